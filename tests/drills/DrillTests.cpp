// Fault drills of the whole system: the real service, library and tray application with observer
// processes in the place of further applications, under load and under attack. The AC line comes
// from the simulated power supply, the hibernation call from the stand-in power library.
#include "CSettings.h"
#include "CLog.h"
#include "CPipe.h"
#include "TrayAppFixture.h"

#include <psapi.h>

#include <map>
#include <memory>

namespace {

using namespace traytest;

// What the service process holds: its open handles, as the system's handle list shows them
// (GetProcessHandleCount reads 0 under Wine, and the process list gives the handle table's size),
// and committed private memory (the commit charge, PagefileUsage: Wine leaves PrivateUsage at 0).
struct Figures {
    ULONG handles = 0;
    SIZE_T committed = 0;
};

// One entry of the system's handle list (information class 16).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

typedef NTSTATUS(NTAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

ULONG HandleCount(DWORD pid)
{
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    std::vector<BYTE> buf(1 << 20);
    ULONG size = 0;
    while (query(16, buf.data(), static_cast<ULONG>(buf.size()), &size) == static_cast<NTSTATUS>(0xC0000004)) {
        buf.resize(buf.size() * 2);  // STATUS_INFO_LENGTH_MISMATCH
    }
    const ULONG count = *reinterpret_cast<ULONG*>(buf.data());
    const HandleEntry* entries = reinterpret_cast<HandleEntry*>(buf.data() + sizeof(ULONG_PTR));
    ULONG owned = 0;
    for (ULONG i = 0; i < count; ++i) owned += entries[i].ownerPid == pid;
    return owned;
}

Figures FiguresOf(DWORD pid)
{
    Figures f;
    f.handles = HandleCount(pid);
    ScopedKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    if (GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        f.committed = counters.PagefileUsage;
    }
    return f;
}

// Milliseconds of the day at which the first line holding text after line `from` was written.
long LoggedAt(const std::vector<std::wstring>& lines, const std::wstring& text, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::wstring::npos) return LoggedMs(lines[i]);
    }
    return -1;
}

class Drills : public TrayApp {
protected:
    Drills()
    {
        // Event-level lines only: cheap enough for thousands of notifications, and they carry
        // the main loop's events with their times.
        SetRegDword(MIREL_DBGLOG_KEY, L"loglevel", 0);
    }
    void SetUp() override
    {
        TrayApp::SetUp();
        ResetEvent(stopHostile.Get());
    }

    // The application's own registration is done once the service has told it the battery state.
    bool WaitAppRegistered(size_t count) { return WaitForLogCount(L"dwNotify = 3", count, 10000); }

    // Starts observers o<first>..o<last> side by side; each that did not register gets one retry.
    void StartObservers(int first, int last)
    {
        for (int i = first; i <= last; ++i) observers.emplace_back(L"o" + std::to_wstring(i));
        for (auto it = observers.begin(); it != observers.end(); ++it) {
            if (it->WaitRegistered() == 0) {
                const int n = first + static_cast<int>(std::distance(observers.begin(), it));
                it = observers.erase(it);
                it = observers.emplace(it, L"o" + std::to_wstring(n));
                ASSERT_NE(0u, it->WaitRegistered()) << "o" << n;
            }
        }
    }
    // The hibernation call comes, and its event follows the loss's by the wait before it (both
    // logged after line logFrom). Returns the log's lines as they stand then.
    std::vector<std::wstring> ExpectHibernatedOnTime(size_t logFrom)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(suspendCalled, kHibernateMs + 10000));
        // The log's writer runs behind the service's threads: its line follows the call.
        EXPECT_TRUE(WaitUntilTrue([&] { return LoggedAt(log.Lines(), L"EVTINDEX_S4", logFrom) >= 0; }, 5000));
        const std::vector<std::wstring> lines = log.Lines();
        const long lost = LoggedAt(lines, L"EVTINDEX_ACLOSS", logFrom);
        const long s4 = LoggedAt(lines, L"EVTINDEX_S4", logFrom);
        EXPECT_NEAR(static_cast<double>(s4 - lost), kBeforeHibernateMs, 50) << lost << " " << s4;
        return lines;
    }
    // The AC-loss drill: the line drops and a registration restarts the watch. Every observer and
    // the application hear the loss in order, and the hibernation comes once, on time after it.
    // What each observer had heard is counted before the drop: the loss may come before the
    // trigger's own registration is done (any registration restarts the watch).
    void AcLossDrill(std::function<void()> registerTrigger)
    {
        std::map<std::wstring, size_t> before;
        for (const ObserverProcess& o : observers) before[o.Tag()] = o.Codes().size();
        const size_t logFrom = log.Lines().size();
        ASSERT_TRUE(power.SetAcOnline(false));
        registerTrigger();
        for (const ObserverProcess& o : observers) {
            const auto heard = before.find(o.Tag());
            const size_t from = (heard != before.end()) ? heard->second : 0;
            EXPECT_TRUE(o.WaitForCodes(from, kAcLoss, kHibernateMs + 10000)) << o.Dump();
        }
        const std::vector<std::wstring> lines = ExpectHibernatedOnTime(logFrom);
        const long app6 = LoggedAt(lines, L"dwNotify = 06", logFrom);
        const long app1 = LoggedAt(lines, L"dwNotify = 01", logFrom);
        if (!apps.empty()) {
            EXPECT_TRUE(app6 >= 0 && app6 <= app1) << app6 << " " << app1;
        }
        EXPECT_EQ("1 0 0\r\n", SuspendCalls());
    }

    // While the service is stopped, a hostile process takes its names. With both pipe names and
    // the single-instance name (as an event) held, the service runs all the same: with the line
    // off it hibernates once, on time, with nobody registered, and it serves the pipes once the
    // names are free. A taken single-instance mutex keeps nothing from starting either.
    // The mutex squatter (*mutexSquatter) goes on holding the name until stopHostile is set.
    void SquatWhileStopped(ChildProcess* mutexSquatter)
    {
        RunServiceCommand(L"/Install");
        const std::wstring hostile = L"\"" + ProgramPath(L"hostile.exe") + L"\" squat ";
        {
            ChildProcess pipeSquatter, eventSquatter;
            ASSERT_TRUE(pipeSquatter.Start(hostile + L"pipes", true));
            ASSERT_TRUE(eventSquatter.Start(hostile + L"event", true));
            ASSERT_TRUE(WaitUntilTrue([] { return WaitNamedPipeW(PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX, 0) ||
                                                   GetLastError() != ERROR_FILE_NOT_FOUND; }, 10000));
            ASSERT_TRUE(WaitUntilTrue([] {
                return ScopedKernelHandle(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\mtx_MIRELSVC")).IsValid();
            }, 10000));
            ASSERT_TRUE(power.SetAcOnline(false));
            const size_t logFrom = log.Lines().size();
            EXPECT_EQ(0u, RunServiceCommand(L"/START"));
            EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
            ExpectHibernatedOnTime(logFrom);
            EXPECT_EQ("1 0 0\r\n", SuspendCalls());
            EXPECT_EQ(1u, LogCount(L"Cannot serve the pipes"));
            EXPECT_EQ(1u, LogCount(L"mtx_MIRELSVC is held by another process"));
            ASSERT_TRUE(power.SetAcOnline(true));
            SetEvent(stopHostile.Get());
            EXPECT_EQ(0u, pipeSquatter.Wait(10000));
            EXPECT_EQ(0u, eventSquatter.Wait(10000));
            ResetEvent(stopHostile.Get());
        }
        {
            // The service tries the names again every few seconds; an application that finds no
            // pipe waits for one, as the tray application does.
            ASSERT_TRUE(WaitUntilTrue([] { return WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 0) ||
                                                   GetLastError() != ERROR_FILE_NOT_FOUND; }, 15000));
            ObserverProcess first(L"first");
            EXPECT_NE(0u, first.WaitRegistered()) << first.Dump();
        }
        StopService();
        EXPECT_EQ(0u, ServiceExitCode());
        DeleteFileW(CommonAppDataPath(POWRPROF_CALLS_FILE).c_str());
        ASSERT_TRUE(mutexSquatter->Start(hostile + L"mutex", true));
        ASSERT_TRUE(WaitUntilTrue([] {
            ScopedKernelHandle probe(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\mtx_MIRELSVC"));
            return probe.IsValid() || GetLastError() == ERROR_ACCESS_DENIED;
        }, 10000));
        StartService();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
        EXPECT_EQ(2u, LogCount(L"mtx_MIRELSVC is held by another process"));
    }
    static DWORD ServiceExitCode()
    {
        ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
        ScopedScHandle service(OpenServiceW(scm.Get(), L"MIRELSVC", SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        return QueryServiceStatus(service.Get(), &status) ? status.dwWin32ExitCode : MAXDWORD;
    }

    std::list<ObserverProcess> observers;
    ScopedKernelHandle stopHostile{ CreateEventW(NULL, TRUE, FALSE, L"Global\\mirel_hostile_stop") };
};

TEST_F(Drills, HundredApplicationsHearTheLossInOrderAndTheHibernationKeepsItsDeadline)
{
    StartService();
    StartApp();
    ASSERT_TRUE(WaitAppRegistered(1));
    ASSERT_NO_FATAL_FAILURE(StartObservers(1, 99));
    ObserverProcess refused(L"refused");  // the 101st
    // Refused within its own logon session: a failure, on which an application tries again.
    EXPECT_TRUE(refused.WaitForLine("error 1225", 3000)) << refused.Dump();
    EXPECT_EQ(0u, refused.WaitRegistered(0));

    // The last observer makes room for the trigger, so 100 hear the drill.
    AcLossDrill([this] {
        observers.pop_back();
        observers.emplace_back(L"trigger");
        ASSERT_NE(0u, observers.back().WaitRegistered());
    });
}

TEST_F(Drills, ApplicationsKilledMidNotificationLeaveNoTrace)
{
    StartService();
    ASSERT_NO_FATAL_FAILURE(StartObservers(1, 3));
    const DWORD pid = ServiceProcessId();
    Figures start;
    std::vector<DWORD> victimIds;
    for (int round = 0; round <= 10; ++round) {
        std::vector<size_t> heard;
        for (const ObserverProcess& o : observers) heard.push_back(o.Codes().size());
        {
            // Its registration notifies everybody; it takes its own first notification's
            // connection and dies with it unread.
            ObserverProcess victim(L"victim", true);
            victimIds.push_back(victim.WaitRegistered());
            ASSERT_TRUE(victim.WaitForLine("hung", 5000)) << victim.Dump();
            victim.Kill();
        }
        size_t i = 0;
        for (const ObserverProcess& o : observers) {
            EXPECT_TRUE(o.WaitForCodes(heard[i++], { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }, 5000))
                << round << " " << o.Dump();
        }
        if (round == 0) start = FiguresOf(pid);  // after the first round every pool is warm
    }
    // A dead application's session is gone by the next registration, which gets its handle.
    EXPECT_EQ(std::vector<DWORD>(victimIds.size(), victimIds.front()), victimIds);
    Sleep(500);
    const Figures end = FiguresOf(pid);
    printf("service: %lu -> %lu handles, %zu -> %zu KB committed\n", start.handles, end.handles,
           start.committed / 1024, end.committed / 1024);
    EXPECT_LE(end.handles, start.handles + 4);
    EXPECT_LE(end.committed, start.committed + 512 * 1024);
}

TEST_F(Drills, ServiceKilledDuringTheFlickerWaitIsRestartedAndStillHibernates)
{
    StartService();
    StartApp();
    ASSERT_TRUE(WaitAppRegistered(1));
    const size_t stopped = LogCount(kStopped), running = LogCount(kRunning);
    size_t before = 0;
    ObserverProcess watcher(L"watcher");
    ASSERT_NE(0u, watcher.WaitRegistered());
    ASSERT_NE(0u, DropLineAndRegisterTrigger(watcher, &before));  // the flicker wait runs
    EndServiceProcess(MIREL_SERVICE_NAME);
    const ULONGLONG killedAt = NowMs();
    ASSERT_TRUE(WaitForLogCount(kStopped, stopped + 1, 5000));
    EXPECT_LT(NowMs() - killedAt, 2500u);
    EXPECT_EQ("", SuspendCalls());

    // Restarted as the recovery actions would (Wine's manager notices the death at a stop).
    RunServiceCommand(L"/STOP");
    ASSERT_EQ(0u, RunServiceCommand(L"/START"));
    ASSERT_TRUE(WaitForLogCount(kRunning, running + 1, 5000));
    // The application registers again, which starts the watch with the line still off.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(suspendCalled, kHibernateMs + 8000));
    EXPECT_EQ("1 0 0\r\n", SuspendCalls());
}

TEST_F(Drills, HostileLocalProcessChangesNeitherOutcomeNorTiming)
{
    ChildProcess mutexSquatter;
    ASSERT_NO_FATAL_FAILURE(SquatWhileStopped(&mutexSquatter));
    ASSERT_NO_FATAL_FAILURE(StartObservers(1, 3));
    ChildProcess hostile;
    ASSERT_TRUE(hostile.Start(L"\"" + ProgramPath(L"hostile.exe") + L"\" " +
                              std::to_wstring(observers.front().Pid()), true));
    Sleep(500);
    // With instances held silently and a registration loop running, a newcomer still gets in
    // within 3 s (its process start included).
    const ULONGLONG startedAt = NowMs();
    observers.emplace_back(L"late");
    ASSERT_NE(0u, observers.back().WaitRegistered(3000)) << observers.back().Dump();
    printf("registered after %llu ms\n", NowMs() - startedAt);
    // No trigger: the hostile's registrations restart the watch, and one that came first would
    // leave a trigger to hear of the loss before its own registration was done.
    AcLossDrill([] {});
    SetEvent(stopHostile.Get());
    EXPECT_EQ(0u, hostile.Wait(10000));
    EXPECT_EQ(0u, mutexSquatter.Wait(10000));
    printf("hostile: %s", hostile.Output().c_str());
    for (const ObserverProcess& o : observers) {
        EXPECT_EQ(0u, o.Count(0x77)) << o.Dump();
        EXPECT_EQ(0u, o.Count(NOTIFY_RESUMED)) << o.Dump();  // no forged resume check was taken
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
}

// 10,000 notifications to ten applications: each registration of this process's own name brings
// every application three (battery, hibernation possible, line on). Paced one registration at a
// time by the battery answer, which comes exactly once per registration: a state report that waits
// behind an equal one collapses into it, and the line-on events of watches started close together
// merge into one.
TEST_F(Drills, SoakOfTenThousandNotificationsLeavesNoGrowth)
{
    const int kRegistrations = 334;
    StartService();
    ASSERT_NO_FATAL_FAILURE(StartObservers(1, 10));
    const DWORD pid = ServiceProcessId();
    CPipe ctrl;
    ASSERT_EQ(0u, ctrl.Initialize(PIPETYPE_CLIENT, PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, NULL, NULL));
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, GetCurrentProcessId());
    std::vector<size_t> base;
    for (const ObserverProcess& o : observers) base.push_back(o.Count(NOTIFY_NO_BATTERY));
    auto caughtUp = [&](int registrations) {
        size_t i = 0;
        for (const ObserverProcess& o : observers) {
            const size_t goal = base[i++] + registrations;
            if (!WaitUntilTrue([&] { return o.Count(NOTIFY_NO_BATTERY) >= goal; }, 10000)) return false;
        }
        return true;
    };
    Figures start;
    for (int i = 1; i <= kRegistrations; ++i) {
        DWORD handle = 0;
        ASSERT_EQ(0u, ctrl.SendRequest(PIPEREQUEST_CONNECT, name, 0, &handle, NULL)) << i;
        ASSERT_TRUE(caughtUp(i)) << i;
        if (i == 20) start = FiguresOf(pid);  // every pool is warm by now
    }
    ctrl.Finalize(NULL);
    // The last registration's other deliveries may still be under way: what stays is what counts.
    Figures end;
    WaitUntilTrue([&] {
        end = FiguresOf(pid);
        return end.handles <= start.handles + 8;
    }, 5000);
    printf("service: %lu -> %lu handles, %zu -> %zu KB committed\n", start.handles, end.handles,
           start.committed / 1024, end.committed / 1024);
    EXPECT_LE(end.handles, start.handles + 8);
    EXPECT_LE(end.committed, start.committed + 1024 * 1024);
    EXPECT_EQ(0u, LogCount(L"Queue full"));
}

}  // namespace
