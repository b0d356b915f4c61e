// The service program installed and run by Wine's service manager, watched by observer processes
// that register like tray applications. The AC line comes from the simulated power supply, the
// hibernation call from the stand-in power-management library.
#include "CGlobalLock.h"
#include "CPipe.h"
#include "PipeDefs.h"
#include "RunningService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <thread>

using namespace servicetest;
using namespace testsupport;

// A hung application registered first must cost the others nothing: the good observer gets the
// AC-loss sequence and the PC hibernates on time, the resume is reported once (not before the
// hibernation call has returned), and the stop reaches everybody promptly.
TEST_F(RunningService, AcLossHibernatesOnTimeAndAHungClientDelaysNobody)
{
    const DWORD kCallMs = 3000;  // how long the PC stays down
    SetRegDword(POWRPROF_SETTINGS_KEY, L"SuspendBlockMs", kCallMs);
    StartService();
    ObserverProcess hung(L"hung", true);
    ASSERT_NE(0u, hung.WaitRegistered()) << hung.Dump();
    ASSERT_TRUE(hung.WaitForLine("hung", 5000));
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    // Its own registration: no battery, hibernation possible, and the restarted watch finds the line.
    EXPECT_TRUE(good.WaitForCodes(0, { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }, 3000));

    // The line drops; the next registration restarts the watch, which now finds it off.
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    const ULONGLONG t0 = NowMs();
    EXPECT_TRUE(good.WaitForCodes(before, kAcLoss, kFlickerMs + 2000));
    const ULONGLONG acLostMs = NowMs() - t0;
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 3000));
    const ULONGLONG suspendMs = NowMs() - t0;
    // Sent while the call still blocks (before the PC went down, for all the service knows).
    const size_t afterLoss = trigger->Codes().size();
    good.Signal(L"resume");
    EXPECT_LT(acLostMs, kFlickerMs + 1500);
    EXPECT_GT(suspendMs, kHibernateMs - 400);
    EXPECT_LT(suspendMs, kHibernateMs + 1500);
    EXPECT_EQ("1 0 0\r\n", SuspendCalls());
    EXPECT_LT(LogIndex(L"EVTINDEX_ACLOSS"), LogIndex(L"EVTINDEX_S4"));

    // The first resume check is answered once the call has returned, to everybody; later ones
    // are not, nor is an 8-byte request.
    EXPECT_TRUE(trigger->WaitForCodes(afterLoss, { NOTIFY_RESUMED }, kCallMs + 3000));
    EXPECT_GE(NowMs() - t0, suspendMs + kCallMs / 2);  // half of it: the call was seen late
    EXPECT_TRUE(good.WaitForCodes(0, { NOTIFY_RESUMED }, 3000));
    good.Signal(L"resume");
    good.Signal(L"resume8");
    trigger->Signal(L"resume");

    // The line is back: the next watch start reports it.
    ASSERT_TRUE(power.SetAcOnline(true));
    const size_t beforeRestore = good.Codes().size();
    ObserverProcess second(L"second");
    ASSERT_NE(0u, second.WaitRegistered());
    EXPECT_TRUE(good.WaitForCodes(beforeRestore, { NOTIFY_AC_RESTORED }, 3000));
    const std::vector<DWORD> codes = good.Codes();
    EXPECT_EQ(1, std::count(codes.begin(), codes.end(), static_cast<DWORD>(NOTIFY_RESUMED)));

    // Stopping with the hung application still registered.
    const ULONGLONG stopMs = StopService();
    EXPECT_LT(stopMs, 8000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_SERVICE_STOPPED), good.Codes().back());
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_SERVICE_STOPPED), second.Codes().back());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(suspendCalled, 0));
}

// Without a hibernation file, or with only the reduced one kept for fast start-up, the AC loss
// is announced as such and the watch ends there.
TEST_F(RunningService, AcLossWithoutHibernationFileDisablesAndNeverHibernates)
{
    const struct { const wchar_t* name; DWORD value; } cases[] = {
        { L"HiberFilePresent", 0 },
        { L"HiberFileType", 1 },  // reduced
    };
    SetRegDword(kSettingsKey, L"PowerFlickerTime", 3);
    ASSERT_TRUE(power.SetAcOnline(false));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteRegTree(POWRPROF_SETTINGS_KEY);
        SetRegDword(POWRPROF_SETTINGS_KEY, c.name, c.value);
        DeleteFileW(log.Path().c_str());
        StartService();
        ObserverProcess good(L"good");
        ASSERT_NE(0u, good.WaitRegistered()) << good.Dump();
        EXPECT_TRUE(good.WaitForCodes(0, { NOTIFY_NO_BATTERY, NOTIFY_S4_DISABLED }, 3000)) << good.Dump();
        EXPECT_TRUE(good.WaitForCodes(2, { NOTIFY_S4_DISABLED, NOTIFY_AC_LOST }, 5000));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(suspendCalled, kHibernateMs + 500));
        EXPECT_NE(SIZE_MAX, LogIndex(L"EVTINDEX_ACLOSS"));
        EXPECT_EQ(SIZE_MAX, LogIndex(L"EVTINDEX_S4"));
        EXPECT_EQ("", SuspendCalls());
        ASSERT_EQ(0u, RunServiceCommand(L"/UNINSTALL"));
    }
}

// A failed hibernation reaches the applications with its code, and leaves nothing to resume.
TEST_F(RunningService, FailedHibernationIsReportedWithItsCode)
{
    SetRegDword(POWRPROF_SETTINGS_KEY, L"SuspendError", ERROR_ACCESS_DENIED);
    StartService();
    ObserverProcess good(L"good");
    ObserverProcess gone(L"gone");
    ASSERT_NE(0u, good.WaitRegistered());
    const DWORD goneId = gone.WaitRegistered();
    ASSERT_NE(0u, goneId);
    gone.Kill();

    size_t before = 0;
    const DWORD triggerId = DropLineAndRegisterTrigger(good, &before);
    ASSERT_NE(0u, triggerId);
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST,
                                            NOTIFY_S4_FAILED }, kHibernateMs + 3000));
    EXPECT_TRUE(good.WaitForLine("00000004 00000005", 1000));
    EXPECT_TRUE(trigger->WaitForLine("00000004 00000005", 1000));

    good.Signal(L"resume");
    Sleep(500);
    const std::vector<DWORD> codes = trigger->Codes();
    EXPECT_EQ(codes.end(), std::find(codes.begin(), codes.end(), static_cast<DWORD>(NOTIFY_RESUMED)));

    // The killed application was dropped at the first message after its death, so its handle was
    // free again for the trigger or, at the latest, after the AC-loss messages.
    ObserverProcess next(L"next");
    const DWORD nextId = next.WaitRegistered();
    EXPECT_TRUE(triggerId == goneId || nextId == goneId) << goneId << " " << triggerId << " " << nextId;
}

// The channels take no lock that another process can hold: with every lock name of the old
// design held by this process for the whole case, the service starts, registers, notifies and
// stops as usual.
TEST_F(RunningService, PipeLockNamesHeldByAnotherProcessHoldNothingUp)
{
    std::vector<std::unique_ptr<CGlobalLock>> held;
    auto holdLocksOf = [&held](const std::wstring& pipe) {
        for (const wchar_t* end : { L"sv", L"cl" }) {
            held.emplace_back(new CGlobalLock);
            ASSERT_EQ(0u, held.back()->Initialize((pipe + end).c_str(), INFINITE));
            ASSERT_EQ(0u, held.back()->Lock(NULL));
        }
    };
    holdLocksOf(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX);
    holdLocksOf(PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX);
    StartService();
    ObserverProcess first(L"first");
    wchar_t name[MAX_PATH];
    swprintf(name, MAX_PATH, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, first.Pid());
    holdLocksOf(name);
    ASSERT_NE(0u, first.WaitRegistered());
    ObserverProcess second(L"second");
    ASSERT_NE(0u, second.WaitRegistered());
    EXPECT_TRUE(first.WaitForCodes(2, { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED }, 10000)) << first.Dump();

    const ULONGLONG stopMs = StopService();
    EXPECT_LT(stopMs, 8000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_SERVICE_STOPPED), first.Codes().back());
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_SERVICE_STOPPED), second.Codes().back());
}

// Twenty hung applications are told to stop side by side, so the stop stays prompt; an
// application that registers while the service stops hears so or finds the door shut.
TEST_F(RunningService, StopWithManyHungClientsIsPromptAndLateComersHearIt)
{
    StartService();
    std::vector<std::unique_ptr<ObserverProcess>> hung;
    for (int i = 0; i < 20; ++i) {
        hung.emplace_back(new ObserverProcess(L"hung" + std::to_wstring(i), true));
    }
    for (const auto& h : hung) {
        ASSERT_TRUE(h->WaitForLine("hung", 10000)) << h->Dump();
    }
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());

    const ULONGLONG t0 = NowMs();
    std::thread stopper([&] { RunProcess(L"sc stop MIRELSVC", 30000); });
    Sleep(1000);
    ObserverProcess late(L"late");
    EXPECT_TRUE(WaitUntilTrue([&] {
        const std::vector<std::string> lines = late.Lines();
        return late.Count(NOTIFY_SERVICE_STOPPED) == 1 ||
               (!lines.empty() && lines.front().compare(0, 6, "error ") == 0);
    }, 8000)) << late.Dump();
    while (ServiceState() != SERVICE_STOPPED && NowMs() - t0 < 30000) Sleep(20);
    const ULONGLONG stopMs = NowMs() - t0;
    stopper.join();
    // One acknowledgement timeout for all twenty, not one each: well under three on a busy machine.
    EXPECT_LT(stopMs, 3 * PIPE_IO_TIMEOUT_MS);
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_SERVICE_STOPPED), good.Codes().back());
}

// Registrations while the line stays off (any local process may make them) do not push the
// hibernation back.
TEST_F(RunningService, RegistrationsDuringTheWaitsKeepTheDeadlines)
{
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    const ULONGLONG t0 = NowMs();
    std::thread registrar([t0] {
        wchar_t name[MAX_PATH];
        swprintf(name, MAX_PATH, L"%ls%ls%08x", PIPE_DATA_PREFIX, MIREL_PIPE_SUFFIX, GetCurrentProcessId());
        CPipe ctrl;
        ctrl.Initialize(PIPETYPE_CLIENT, PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, NULL, NULL);
        for (ULONGLONG at = 300; at < kHibernateMs; at += 300) {  // through both waits
            while (NowMs() - t0 < at) Sleep(10);
            DWORD ack = 0;
            ctrl.SendRequest(PIPEREQUEST_CONNECT, name, 0, &ack, NULL);
        }
    });
    EXPECT_TRUE(good.WaitForCount(NOTIFY_AC_LOST, 1, kFlickerMs + 2000));
    const ULONGLONG acLostMs = NowMs() - t0;
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 3000));
    const ULONGLONG suspendMs = NowMs() - t0;
    registrar.join();
    EXPECT_LT(acLostMs, kFlickerMs + 1500);
    EXPECT_GT(suspendMs, kHibernateMs - 400);
    EXPECT_LT(suspendMs, kHibernateMs + 1500);
    EXPECT_EQ(1u, good.Count(NOTIFY_AC_LOST));
}

// The battery watcher's verdict reaches the applications at every poll, against the threshold.
TEST_F(RunningService, BatteryLevelRepeatsAtThePollRateAndFollowsTheThreshold)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetCapacity(0, 2000, 50000));  // 4 %, below the default threshold of 8 %
    ASSERT_TRUE(power.SetBatteryPresent(4));
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    EXPECT_TRUE(good.WaitForCodes(0, { NOTIFY_BATTERY_PRESENT, NOTIFY_S4_ENABLED }, 3000)) << good.Dump();

    ASSERT_TRUE(good.WaitForCount(NOTIFY_BATTERY_LOW, 1, 3000));
    const ULONGLONG t1 = NowMs();
    ASSERT_TRUE(good.WaitForCount(NOTIFY_BATTERY_LOW, 4, 5000));
    const ULONGLONG threePolls = NowMs() - t1;
    EXPECT_GT(threePolls, 1000u);
    EXPECT_LT(threePolls, 3000u);

    ASSERT_TRUE(sim.SetCapacity(0, 4000, 50000));  // 8 %: at the threshold
    EXPECT_TRUE(good.WaitForCount(NOTIFY_BATTERY_OK, 2, 3000));
    EXPECT_EQ("00000012", good.Lines().back());
}

// An automatic-start service may run before the battery's device is there at boot, and a battery
// may be inserted later: once it is there its level is polled, and the maker's refresh is
// recognised, so that the line the refresh reports off is not taken for a mains failure.
TEST_F(RunningService, BatteryThatComesAfterTheStartIsWatched)
{
    RemoveSimBattery();
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    // The registration's state; the battery watcher's own reports may come between its items.
    for (DWORD code : { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }) {
        ASSERT_TRUE(good.WaitForCount(code, 1, 3000)) << good.Dump();
    }

    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetCapacity(0, 2000, 50000));  // 4 %, below the default threshold of 8 %
    ASSERT_TRUE(power.SetBatteryPresent(4));
    EXPECT_TRUE(good.WaitForCount(NOTIFY_BATTERY_LOW, 1, 6000)) << good.Dump();

    ASSERT_TRUE(sim.SetPsts(0, 0));  // a refresh runs
    EXPECT_TRUE(good.WaitForCount(NOTIFY_BATTERY_OK, 1, 3000)) << good.Dump();
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_BATTERY_PRESENT, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED },
                                  3000)) << good.Dump();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(suspendCalled, kHibernateMs + 500));
    EXPECT_EQ(0u, good.Count(NOTIFY_AC_LOST));
}

// A line that is back before the flicker wait ends is reported as such, and nothing follows.
TEST_F(RunningService, LineBackDuringTheFlickerWaitCancelsEverything)
{
    SetRegDword(kSettingsKey, L"PowerFlickerTime", 2);
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    ASSERT_TRUE(good.WaitForCodes(0, { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }, 3000));

    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    Sleep(500);
    ASSERT_TRUE(power.SetAcOnline(true));
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }, 4000))
        << good.Dump();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(suspendCalled, 1000));
    const std::vector<DWORD> codes = good.Codes();
    EXPECT_EQ(codes.end(), std::find(codes.begin(), codes.end(), static_cast<DWORD>(NOTIFY_AC_LOST)));
    EXPECT_EQ(SIZE_MAX, LogIndex(L"EVTINDEX_ACLOSS"));
}
