// Timing of the hibernation path through the installed service under Wine:
//   hibernate_bench.exe [drills=20]
// Each drill drops the AC line and registers once more (which restarts the AC-line watch, as a
// power event would), then measures when the AC loss reaches an application and when the service
// calls the hibernation (the stand-in power library's event), against the configured waits.
#include "CPipe.h"
#include "CPipeCl.h"
#include "Notify.h"
#include "ServiceDrill.h"
#include "SimBattery.h"
#include "TestProcess.h"
#include "powrprof/PowrProfStandIn.h"

#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

using namespace servicetest;
using namespace testsupport;

namespace {

const DWORD kFlickerMs = 1000;

HANDLE g_acLost = NULL;
std::atomic<ULONGLONG> g_acLostAt{ 0 };

void OnNotify(LPVOID data, PPIPEEVENT)
{
    DWORD code = 0;
    static_cast<CPipeCl*>(data)->GetReceivedData(&code, sizeof(code));
    ULONGLONG none = 0;
    if (code == NOTIFY_AC_LOST && g_acLostAt.compare_exchange_strong(none, NowMs())) {
        SetEvent(g_acLost);
    }
}

// A second registration of this process's notification pipe restarts the service's AC-line
// watch; its handle, or 0.
DWORD Register(CPipe& ctrl)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, GetCurrentProcessId());
    DWORD handle = 0;
    return ctrl.SendRequest(PIPEREQUEST_CONNECT, name, 0, &handle, NULL) == 0 ? handle : 0;
}

struct Stats {
    std::vector<long> values;
    // Median and worst deviation from the deadline.
    void Print(const char* what, long expected) const
    {
        if (values.empty()) return;
        std::vector<long> deviations;
        for (long v : values) deviations.push_back(v - expected);
        std::sort(deviations.begin(), deviations.end());
        const long median = deviations[deviations.size() / 2];
        const long p95 = deviations[std::min(deviations.size() - 1, deviations.size() * 95 / 100)];
        const long worst = std::max(-deviations.front(), deviations.back());
        printf("%-34s deadline %5ld ms  median %+4ld  p95 %+4ld  worst %4ld  (deviation, ms)\n", what,
               expected, median, p95, worst);
        printf("ROW|hibernation path: %s (median, p95, worst)|%+ld, %+ld, %ld ms|within 50 ms\n", what,
               median, p95, worst);
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int drills = argc > 1 ? _wtoi(argv[1]) : 20;
    SetDrillSettings(kFlickerMs / 1000);
    UseStandInPowerLibrary(true);
    RunServiceCommand(L"/Install");
    RunServiceCommand(L"/START");
    if (!WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 5000)) {
        printf("the service does not listen\n");
        RunServiceCommand(L"/UNINSTALL");
        return 1;
    }
    g_acLost = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE suspended = CreateEventW(NULL, FALSE, FALSE, POWRPROF_CALLED_EVENT);
    CPipeCl watcher;
    DWORD id = 0;
    watcher.Initialize(1, MIREL_PIPE_SUFFIX, &id, OnNotify, &watcher, NULL);
    CPipe ctrl;
    ctrl.Initialize(PIPETYPE_CLIENT, PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, NULL, NULL);

    Stats lossToSuspend, startToSuspend, startToLoss;
    int missed = 0;
    for (int i = 0; i < drills; ++i) {
        SetAcOnline(false);
        ResetEvent(g_acLost);
        ResetEvent(suspended);
        g_acLostAt = 0;
        const ULONGLONG t0 = NowMs();
        const DWORD handle = Register(ctrl);
        const bool lost = WaitForSingleObject(g_acLost, kFlickerMs + 5000) == WAIT_OBJECT_0;
        const bool slept = WaitForSingleObject(suspended, kFlickerMs + kBeforeHibernateMs + 5000) == WAIT_OBJECT_0;
        const ULONGLONG t1 = NowMs();
        if (lost && slept) {
            startToLoss.values.push_back(static_cast<long>(g_acLostAt - t0));
            lossToSuspend.values.push_back(static_cast<long>(t1 - g_acLostAt));
            startToSuspend.values.push_back(static_cast<long>(t1 - t0));
        } else {
            ++missed;
        }
        // As a tray application does after the resume: until someone asks, the service keeps the
        // hibernation's state and starts no watch.
        const DWORD resumeCheck = REQUEST_RESUME_CHECK;
        DWORD ack = 0;
        watcher.Send(&resumeCheck, sizeof(resumeCheck), &ack, NULL);
        ctrl.SendRequest(PIPEREQUEST_CLOSE, NULL, handle, &ack, NULL);
        SetAcOnline(true);
    }
    watcher.Finalize(NULL);
    RunServiceCommand(L"/UNINSTALL");
    RestorePowerSupply();
    ClearDrillSettings();
    UseStandInPowerLibrary(false);

    printf("%d drills, %d missed\n", drills, missed);
    startToLoss.Print("watch start -> AC loss delivered", kFlickerMs);
    lossToSuspend.Print("AC loss delivered -> hibernation", kBeforeHibernateMs);
    startToSuspend.Print("watch start -> hibernation", kFlickerMs + kBeforeHibernateMs);
    return missed == 0 ? 0 : 1;
}
