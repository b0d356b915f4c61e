// Timing accuracy and CPU cost of the watchers under Wine (run by bench/watchlib/bench.sh):
//   watch_bench [runs=20] [pollSeconds=60]
// 1. runs × an AC-line watch with the line off (flicker 1 s, alarm 300 ms, balloon 200 ms):
//    delay of hACLossEvent and hS4Event after their deadlines, median and worst, in ms.
// 2. pollSeconds of battery polling (2 Hz) against the simulated battery, once with the level
//    above the threshold (three battery controls per poll) and once below it (plus the refresh
//    probe): CPU time per minute of this process (only the library's poll thread works) and of
//    the driver host winedevice.exe, as far as Wine reports it.
#include "SimBattery.h"
#include "WatchFixture.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

using namespace testsupport;
using namespace watchtest;

namespace {

const DWORD kFlickerSec = 1;
const DWORD kAlarmMs = 300;
const DWORD kBalloonMs = 200;

// Waits for one auto-reset event; the precise time it was seen, or a negative value.
double WaitPrecise(HANDLE event, DWORD timeoutMs)
{
    return ::WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0 ? PreciseMs() : -1.0;
}

void Report(const char* what, std::vector<double> delays)
{
    if (delays.empty()) {
        printf("%-10s no samples\n", what);
        return;
    }
    std::sort(delays.begin(), delays.end());
    const double median = delays[delays.size() / 2];
    printf("%-10s runs %zu  median %+7.1f ms  worst %+7.1f ms  best %+7.1f ms\n", what, delays.size(),
           median, delays.back(), delays.front());
    printf("ROW|library: %s after its deadline (median, worst)|%+.1f ms, %+.1f ms|within 50 ms\n", what,
           median, delays.back());
}

bool MeasureDeadlines(MirelApi& api, int runs)
{
    EventRecorder events;  // events only: this program waits on them itself
    WATCHDATA data = events.Data(kFlickerSec, 0, 0, kAlarmMs, kBalloonMs);
    SetAcOnline(true);
    if (api.Initialize(&data) != 0) {
        return false;
    }
    SetAcOnline(false);
    std::vector<double> loss;
    std::vector<double> s4;
    for (int i = 0; i < runs; ++i) {
        const double start = PreciseMs();
        api.StartUPSWatch();
        const double lossAt = WaitPrecise(events.Event(kACLoss), 5000);
        const double s4At = WaitPrecise(events.Event(kS4), 5000);
        if (lossAt < 0 || s4At < 0) {
            printf("run %d: event missing\n", i);
            continue;
        }
        loss.push_back(lossAt - start - kFlickerSec * 1000.0);
        s4.push_back(s4At - start - (kFlickerSec * 1000.0 + kAlarmMs + kBalloonMs));
    }
    api.Finalize();
    SetAcOnline(true);
    Report("hACLoss", loss);
    Report("hS4", s4);
    return true;
}

ULONGLONG ProcessCpu100ns(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return k.QuadPart + u.QuadPart;
}

// CPU time of every winedevice.exe (the simulated battery's requests run there).
ULONGLONG DriverHostCpu100ns()
{
    ULONGLONG total = 0;
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = { sizeof(entry) };
    for (BOOL ok = ::Process32FirstW(snap, &entry); ok; ok = ::Process32NextW(snap, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"winedevice.exe") == 0) {
            HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
            if (process != NULL) {
                total += ProcessCpu100ns(process);
                ::CloseHandle(process);
            }
        }
    }
    ::CloseHandle(snap);
    return total;
}

bool MeasurePolling(MirelApi& api, DWORD seconds, DWORD threshold)
{
    SimBattery sim(1);
    if (sim.Result() != 0) {
        printf("simulated battery not installed: %lu\n", sim.Result());
        return false;
    }
    SetBatteryPresent(50);
    EventRecorder events;
    // The simulated battery stands at 80 %.
    WATCHDATA data = events.Data(kFlickerSec, 0, threshold, kAlarmMs, kBalloonMs);
    events.Start();
    if (api.Initialize(&data) != 0) {
        return false;
    }
    const ULONGLONG cpu0 = ProcessCpu100ns(::GetCurrentProcess());
    const ULONGLONG host0 = DriverHostCpu100ns();
    const double t0 = PreciseMs();
    ::Sleep(seconds * 1000);
    const ULONGLONG cpu1 = ProcessCpu100ns(::GetCurrentProcess());
    const ULONGLONG host1 = DriverHostCpu100ns();
    const double wall = PreciseMs() - t0;
    api.Finalize();
    events.Stop();
    SetBatteryAbsent();

    const double cpuMs = static_cast<double>(cpu1 - cpu0) / 10000.0;
    const double hostMs = static_cast<double>(host1 - host0) / 10000.0;
    printf("polling    threshold %lu: %.1f s, %zu low + %zu high events; CPU per minute: library "
           "%.1f ms, driver host %.1f ms\n",
           threshold, wall / 1000.0, events.Count(kBattLow), events.Count(kBattHigh),
           cpuMs * 60000.0 / wall, hostMs * 60000.0 / wall);
    printf("ROW|library: CPU of 2 Hz polling, level %s the threshold|%.1f ms/min|-\n",
           threshold == 50 ? "above" : "below", cpuMs * 60000.0 / wall);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = (argc > 1) ? atoi(argv[1]) : 20;
    const DWORD seconds = (argc > 2) ? static_cast<DWORD>(atoi(argv[2])) : 60;
    if (!PowerSupplyAvailable()) {
        printf("no simulated power supply: run through bench/watchlib/bench.sh\n");
        return 2;
    }
    RemoveSimBattery();
    MirelApi api;
    if (!api.Loaded()) {
        printf("MIRELAPI.dll not found\n");
        return 1;
    }
    // Threshold 50: level high, three controls per poll; threshold 90: low, plus the probe.
    const bool ok = MeasureDeadlines(api, runs) && MeasurePolling(api, seconds, 50) &&
                    MeasurePolling(api, seconds, 90);
    RestorePowerSupply();
    return ok ? 0 : 1;
}
