// Figures of the whole running system, for scripts/bench.sh:
//   system_bench.exe [idleSeconds=60]
// The installed service with a simulated battery (so the library polls it twice a second and the
// tray application hears its level each time) and the real tray application:
//   - where a battery poll's time goes: its parts, timed in this process;
//   - end-to-end latency from the service's main loop taking the battery event to the tray
//     application's window handling the notification (times of the shared debug log);
//   - idle CPU of the service and of the tray application (three windows, the median);
//   - committed memory of both after the start and after a soak of 3,000 notifications;
//   - registration to first notification and delivery times of a client in this process, alone
//     and with the hostile process of the drills running beside it;
//   - a full table of applications: beside the tray application, 99 more (this program again,
//     "system_bench.exe app") registering at once; the time until the last of them has its
//     first notification.
// Each figure is also printed as "ROW|figure|value|goal" for the report's table.
#include "CBattery.h"
#include "CLog.h"
#include "CPipe.h"
#include "CPipeCl.h"
#include "Notify.h"
#include "ServiceDrill.h"
#include "SimBattery.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "TestRegistry.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace servicetest;
using namespace testsupport;

namespace {

struct ProcessUse {
    double cpuMs = 0;
    double committedKb = 0;
};

// CPU from the system's process list (GetProcessTimes reads 0 for other processes under Wine);
// committed memory is the commit charge (Wine leaves PrivateUsage at 0).
ProcessUse UseOf(DWORD pid)
{
    ProcessUse use;
    std::vector<BYTE> buf(1 << 21);
    ULONG size = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buf.data(), static_cast<ULONG>(buf.size()), &size) == 0) {
        for (BYTE* p = buf.data();;) {
            const SYSTEM_PROCESS_INFORMATION* info = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(p);
            if (HandleToUlong(info->UniqueProcessId) == pid) {
                use.cpuMs = (info->UserTime.QuadPart + info->KernelTime.QuadPart) / 1e4;
                use.committedKb = info->VirtualMemoryCounters.PagefileUsage / 1024.0;
            }
            if (info->NextEntryOffset == 0) break;
            p += info->NextEntryOffset;
        }
    }
    return use;
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Row(const char* figure, const std::string& value, const char* goal)
{
    printf("ROW|%s|%s|%s\n", figure, value.c_str(), goal);
}

std::string Format(const char* format, double a, double b = 0)
{
    char text[128];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

// Microseconds per call of fn, over n calls.
double MicrosPerCall(int n, const std::function<void()>& fn)
{
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < n; ++i) fn();
    QueryPerformanceCounter(&t1);
    return (t1.QuadPart - t0.QuadPart) * 1e6 / f.QuadPart / n;
}

void PollBreakdown()
{
    g_Log.Initialize(MIREL_DBGLOG_KEY);  // as in the service: open, nothing to write
    CBattery battery;
    battery.Initialize();
    DWORD percent = 0;
    SYSTEM_POWER_STATUS status;
    const double poll = MicrosPerCall(200, [&] { battery.GetLifePercent(0, &percent); });
    const double system = MicrosPerCall(200, [&] { ::GetSystemPowerStatus(&status); });
    const double quiet = MicrosPerCall(2000, [] { g_Log.Trace(LOG_EVENT, L"bench", __LINE__, L"code %d", 1); });
    const double check = MicrosPerCall(100, [] {
        WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 1);
        ServiceProcessId();
    });
    printf("a service check by the tray application (pipe probe, service status) %.0f us\n", check);
    Row("tray application's service check (pipe probe, service status)", Format("%.0f us", check), "-");
    printf("poll parts: battery query (open, tag, information, status, close) %.0f us; "
           "GetSystemPowerStatus %.0f us; an unwritten event-level log line %.1f us\n", poll, system, quiet);
    Row("battery query of one poll (this process's wall time)", Format("%.0f us", poll), "-");
    Row("event-level log line, logging off", Format("%.1f us", quiet), "-");
    battery.Finalize();
    g_Log.Finalize();
}

// Each battery event of the service's main loop, paired with the next handling of the battery
// notification by the application's window.
void Latency(const ScopedLogSettings& log, const char* beside = "alone")
{
    std::vector<double> latencies;
    long sent = -1;
    for (const std::wstring& line : log.Lines()) {
        if (line.find(L"EVTINDEX_BATTHI") != std::wstring::npos) {
            sent = LoggedMs(line);
        } else if (sent >= 0 && line.find(L"[CMainWnd::OnMirelNotify]") != std::wstring::npos &&
                   line.find(L"WPARAM 12") != std::wstring::npos) {
            latencies.push_back(LoggedMs(line) - sent);
            sent = -1;
        }
    }
    const double worst = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
    printf("end-to-end latency over %zu notifications: median %.0f ms, worst %.0f ms\n",
           latencies.size(), Median(latencies), worst);
    Row((std::string("service send -> tray window handles it, ") + beside + " (median, worst)").c_str(),
        Format("%.0f ms, %.0f ms", Median(latencies), worst), "<= 1000 ms");
}

}  // namespace

namespace {

// The service and the tray application, started afresh (they read the log settings at start).
class System {
public:
    System()
    {
        RunServiceCommand(L"/Install");
        RunServiceCommand(L"/START");
        WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 5000);
        m_app.Start(L"\"" + ProgramPath(L"MIRELAPP.exe") + L"\"");
        Sleep(3000);  // registered, first notifications handled
    }
    ~System()
    {
        HWND hWnd = FindWindowW(L"Parvex", NULL);
        if (hWnd != NULL) PostMessageW(hWnd, WM_ENDSESSION, TRUE, 0);
        m_app.Wait(8000);
        RunServiceCommand(L"/UNINSTALL");
    }
    DWORD AppPid() const { return m_app.Id(); }

private:
    ChildProcess m_app;
};

void Idle(DWORD servicePid, DWORD appPid, DWORD seconds)
{
    std::vector<double> service, app;
    for (int window = 0; window < 3; ++window) {
        const ProcessUse s0 = UseOf(servicePid), a0 = UseOf(appPid);
        Sleep(seconds * 1000 / 3);
        const ProcessUse s1 = UseOf(servicePid), a1 = UseOf(appPid);
        service.push_back((s1.cpuMs - s0.cpuMs) * 180.0 / seconds);  // per minute
        app.push_back((a1.cpuMs - a0.cpuMs) * 180.0 / seconds);
    }
    printf("idle CPU per minute (windows of %lu s): service %.0f/%.0f/%.0f ms, tray %.0f/%.0f/%.0f ms\n",
           seconds / 3, service[0], service[1], service[2], app[0], app[1], app[2]);
    Row("idle CPU, service (median)", Format("%.0f ms/min = %.3f %%", Median(service), Median(service) / 600),
        "<= 0.2 %");
    Row("idle CPU, tray application (median)", Format("%.0f ms/min = %.3f %%", Median(app), Median(app) / 600),
        "<= 0.05 %");
}

// 1,000 registrations of this process's name: 3,000 notifications to the application.
void Soak()
{
    CPipe ctrl;
    ctrl.Initialize(PIPETYPE_CLIENT, PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, NULL, NULL);
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, GetCurrentProcessId());
    for (int i = 1; i <= 1000; ++i) {
        DWORD handle = 0;
        ctrl.SendRequest(PIPEREQUEST_CONNECT, name, 0, &handle, NULL);
        if (i % 10 == 0) Sleep(100);  // the application's queue holds a bounded number
    }
    ctrl.Finalize(NULL);
    Sleep(2000);
}

void Memory(const char* when, DWORD servicePid, DWORD appPid)
{
    const ProcessUse s = UseOf(servicePid), a = UseOf(appPid);
    printf("committed memory %s: service %.0f KB, tray %.0f KB\n", when, s.committedKb, a.committedKb);
    Row((std::string("committed memory ") + when + ", service / tray").c_str(),
        Format("%.0f KB / %.0f KB", s.committedKb, a.committedKb), "-");
}

// A client in this process: the time of each notification it hears.
struct Probe {
    CPipeCl client;
    HANDLE heard = CreateEventW(NULL, FALSE, FALSE, NULL);
    static void OnData(LPVOID self, PPIPEEVENT) { SetEvent(static_cast<Probe*>(self)->heard); }
    ~Probe() { CloseHandle(heard); }
};

double Ms(const LARGE_INTEGER& t0)
{
    LARGE_INTEGER f, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t1);
    return (t1.QuadPart - t0.QuadPart) * 1e3 / f.QuadPart;
}

// 20 registrations: from the start of each to its first notification.
void RegistrationTimes(const char* beside)
{
    std::vector<double> first;
    for (int i = 0; i < 20; ++i) {
        Probe probe;
        DWORD id = 0;
        LARGE_INTEGER t0;
        QueryPerformanceCounter(&t0);
        if (probe.client.Initialize(PIPECL_MODE_FULL, MIREL_PIPE_SUFFIX, &id, Probe::OnData, &probe, NULL) == 0 &&
            WaitForSingleObject(probe.heard, 10000) == WAIT_OBJECT_0) {
            first.push_back(Ms(t0));
        }
        probe.client.Finalize(NULL);
    }
    const double worst = first.empty() ? 0 : *std::max_element(first.begin(), first.end());
    printf("%s: registration to first notification median %.0f ms, worst %.0f ms (%zu of 20)\n", beside,
           Median(first), worst, first.size());
    Row((std::string("registration -> first notification, ") + beside + " (median, worst)").c_str(),
        Format("%.0f ms, %.0f ms", Median(first), worst), "<= 3000 ms");
}

// The drills' hostile process, aimed at victimPid, for the life of the object. With bKeepLog it
// leaves the shared log file alone, so that the application's lines can be timed.
class Hostile {
public:
    Hostile(DWORD victimPid, bool bKeepLog) : m_stop(CreateEventW(NULL, TRUE, FALSE, L"Global\\mirel_hostile_stop"))
    {
        ResetEvent(m_stop);
        m_process.Start(L"\"" + ProgramPath(L"hostile.exe") + L"\" " + std::to_wstring(victimPid) +
                            (bKeepLog ? L" keeplog" : L""), true);
        Sleep(500);
    }
    ~Hostile()
    {
        SetEvent(m_stop);
        m_process.Wait(10000);
        printf("hostile: %s", m_process.Output().c_str());
        CloseHandle(m_stop);
    }

private:
    HANDLE m_stop;
    ChildProcess m_process;
};

// The names that line the applications of HundredAtOnce up.
const wchar_t kAppGo[] = L"Global\\mirel_bench_go";
const wchar_t kAppStop[] = L"Global\\mirel_bench_stop";
const wchar_t kAppReady[] = L"Global\\mirel_bench_ready";
const wchar_t kAppHeard[] = L"Global\\mirel_bench_heard";

// One application of HundredAtOnce: registers at the go, prints the counter at its first
// notification and stays registered until the stop.
int RunApp()
{
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, kAppGo), stop = OpenEventW(SYNCHRONIZE, FALSE, kAppStop);
    HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kAppReady);
    HANDLE heard = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kAppHeard);
    if (go == NULL || stop == NULL || ready == NULL || heard == NULL) return 2;
    ReleaseSemaphore(ready, 1, NULL);
    WaitForSingleObject(go, 120000);
    Probe probe;
    DWORD id = 0;
    const DWORD ret = probe.client.Initialize(PIPECL_MODE_FULL, MIREL_PIPE_SUFFIX, &id, Probe::OnData, &probe, NULL);
    LARGE_INTEGER t;
    if (ret == 0 && WaitForSingleObject(probe.heard, 30000) == WAIT_OBJECT_0 && QueryPerformanceCounter(&t)) {
        printf("heard %lld\n", t.QuadPart);
    } else {
        printf("failed %lu\n", ret);
    }
    fflush(stdout);
    ReleaseSemaphore(heard, 1, NULL);
    WaitForSingleObject(stop, 60000);
    probe.client.Finalize(NULL);
    return 0;
}

void HundredAtOnce()
{
    // The tray application holds one of the table's handles already.
    const int kApps = PIPE_MAX_CLIENT_HANDLE - 1;
    HANDLE go = CreateEventW(NULL, TRUE, FALSE, kAppGo), stop = CreateEventW(NULL, TRUE, FALSE, kAppStop);
    HANDLE ready = CreateSemaphoreW(NULL, 0, kApps, kAppReady), heard = CreateSemaphoreW(NULL, 0, kApps, kAppHeard);
    std::vector<std::unique_ptr<ChildProcess>> apps;
    for (int i = 0; i < kApps; ++i) {
        apps.emplace_back(new ChildProcess);
        apps.back()->Start(L"\"" + ProgramPath(L"system_bench.exe") + L"\" app", true);
    }
    int started = 0, done = 0;
    while (started < kApps && WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0) ++started;
    Sleep(2000);  // every one of them waits for the go
    LARGE_INTEGER f, t0;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    SetEvent(go);
    while (done < started && WaitForSingleObject(heard, 60000) == WAIT_OBJECT_0) ++done;
    SetEvent(stop);
    double last = 0;
    int heardCount = 0;
    for (auto& app : apps) {
        app->Wait(30000);
        long long t = 0;
        if (sscanf(app->Output().c_str(), "heard %lld", &t) == 1) {
            last = std::max(last, (t - t0.QuadPart) * 1e3 / f.QuadPart);
            ++heardCount;
        }
    }
    printf("%d applications at once: %d heard, the last %.0f ms after the start\n", started, heardCount, last);
    Row("a full table of applications registering at once -> the last one's first notification",
        Format("%.0f ms (%.0f of ", last, heardCount) + std::to_string(kApps) + " heard)", "< 2000 ms");
    for (HANDLE h : { go, stop, ready, heard }) CloseHandle(h);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && wcscmp(argv[1], L"app") == 0) return RunApp();
    const DWORD idleSeconds = argc > 1 ? _wtoi(argv[1]) : 60;
    SimBattery sim(1);
    if (sim.Result() != 0 || !PowerSupplyAvailable()) {
        printf("run through scripts/bench.sh (simulated battery %lu)\n", sim.Result());
        return 1;
    }
    sim.SetCapacity(0, 40000, 50000);
    SetBatteryPresent(80);
    UseStandInPowerLibrary(true);
    PollBreakdown();
    {
        ScopedLogSettings log{ L"t_bench.log", 2, 0 };
        System system;
        Sleep(30000);
        Latency(log);
    }
    {
        System system;  // logging off
        const DWORD servicePid = ServiceProcessId();
        Memory("after start", servicePid, system.AppPid());
        Idle(servicePid, system.AppPid(), idleSeconds);
        Soak();
        Memory("after soak", servicePid, system.AppPid());
        RegistrationTimes("alone");
        {
            Hostile hostile(GetCurrentProcessId(), false);
            RegistrationTimes("hostile process beside");
        }
        HundredAtOnce();
    }
    {
        ScopedLogSettings log{ L"t_bench_hostile.log", 2, 0 };
        System system;
        Hostile hostile(system.AppPid(), true);
        Sleep(30000);
        printf("with the hostile process beside: ");
        Latency(log, "with a hostile process beside");
    }
    UseStandInPowerLibrary(false);
    RestorePowerSupply();
    return 0;
}
