// Drills asked for with "MIRELSVC.exe /DRILL" of the running service, watched by observers. Run by
// in-own-prefix.sh: a prefix of its own whose service manager traces the services' event-log
// calls into MIREL_SYSTEM_LOG.
#include "CDrillReport.h"
#include "RunningService.h"
#include "SimBattery.h"
#include "TracedEvents.h"

#include <fstream>
#include <thread>

using namespace servicetest;
using namespace testsupport;

namespace {

// The message ids of the event-log entries traced since the byte offset `from`.
std::vector<DWORD> EventIdsSince(std::streamoff from)
{
    std::vector<DWORD> ids;
    for (const LoggedEvent& e : EventsSince(from)) ids.push_back(e.id);
    return ids;
}

class DrillCommand : public RunningService {
protected:
    void SetUp() override
    {
        ASSERT_NE(_wgetenv(L"MIREL_SYSTEM_LOG"), nullptr) << "run through in-own-prefix.sh";
        RunningService::SetUp();
        DeleteRegTree(MIREL_DRILL_KEY);
        ASSERT_TRUE(power.SetBatteryPresent(90));
        from = SystemLogSize();
    }
    void TearDown() override
    {
        WaitDrill();
        RunningService::TearDown();
        DeleteRegTree(MIREL_DRILL_KEY);
    }

    // The command runs beside the test; WaitDrill gives its exit code and output.
    void StartDrill()
    {
        drill = std::thread([this] {
            exitCode = RunProcess(L"\"" + ProgramPath(L"MIRELSVC.exe") + L"\" /drill", 90000, &output);
        });
    }
    // A drill once the observer has taken its registration's state; *before: where the drill's
    // notifications begin among the observer's codes.
    void StartDrillHeardBy(ObserverProcess& observer, size_t* before)
    {
        ASSERT_NE(0u, observer.WaitRegistered());
        ASSERT_TRUE(observer.WaitForCodes(0, { NOTIFY_BATTERY_PRESENT, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED },
                                          5000));
        *before = observer.Codes().size();
        StartDrill();
        ASSERT_TRUE(observer.WaitForCodes(*before, kAcLoss, kFlickerMs + 10000)) << observer.Dump();
    }
    void WaitDrill()
    {
        if (drill.joinable()) drill.join();
    }
    static DRILLRESULT Result()
    {
        DRILLRESULT result = {};
        CDrillReport::Load(&result, NULL, 0);
        return result;
    }
    bool Printed(const std::string& text) const { return output.find(text) != std::string::npos; }
    std::vector<DWORD> EventIds()
    {
        Sleep(500);  // the trace reaches the file after the service's end
        return EventIdsSince(from);
    }

    std::streamoff from = 0;
    std::thread drill;
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
};

}  // namespace

// Everybody hears the loss as a real one, then the line-on notice; no hibernation is asked for;
// the report counts the hung application as registered but not warned, and times both stages
// against their deadlines. A second drill on a PC that could not hibernate says why.
TEST_F(DrillCommand, WarnsEveryoneChecksInsteadOfHibernatingAndReports)
{
    StartService();
    ObserverProcess hung(L"hung", true);
    ASSERT_TRUE(hung.WaitForLine("hung", 10000)) << hung.Dump();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    ASSERT_TRUE(good.WaitForCodes(0, { NOTIFY_BATTERY_PRESENT, NOTIFY_S4_ENABLED, NOTIFY_AC_RESTORED }, 5000))
        << good.Dump();

    size_t before = good.Codes().size();
    StartDrill();
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST, NOTIFY_AC_RESTORED },
                                  kHibernateMs + 10000)) << good.Dump();
    WaitDrill();
    EXPECT_EQ(0u, exitCode);
    const DRILLRESULT passed = Result();
    EXPECT_EQ(0u, passed.dwResult);
    EXPECT_EQ(2u, passed.dwRegistered);
    EXPECT_EQ(1u, passed.dwWarned);
    EXPECT_EQ(kFlickerMs, passed.dwAcLostDeadlineMs);
    EXPECT_EQ(kHibernateMs, passed.dwHibernateDeadlineMs);
    EXPECT_GE(passed.dwAcLostMs, kFlickerMs);
    EXPECT_LT(passed.dwAcLostMs, kFlickerMs + 1500);
    EXPECT_GE(passed.dwHibernateMs, kHibernateMs);
    EXPECT_LT(passed.dwHibernateMs, kHibernateMs + 1500);
    EXPECT_EQ(90u, passed.dwBatteryPercent);
    EXPECT_TRUE(Printed(std::to_string(passed.dwAcLostMs) + " ms")) << output;
    EXPECT_TRUE(Printed("実際の停電でも休止状態へ移行できます")) << output;
    EXPECT_TRUE(Printed("電源: ")) << "the source in use: " << output;
    EXPECT_EQ("", SuspendCalls());
    // Wine keeps no service security (its query gives an empty DACL): the installing command's
    // own account of the call is what can be seen here.
    EXPECT_NE(SIZE_MAX, LogIndex(L"Succeeded to SetServiceObjectSecurity."));

    SetRegDword(POWRPROF_SETTINGS_KEY, L"HiberFilePresent", 0);
    ASSERT_TRUE(power.SetBatteryPresent(4));
    before = good.Codes().size();
    StartDrill();
    WaitDrill();
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_S4_DISABLED, NOTIFY_AC_LOST, NOTIFY_AC_RESTORED }, 5000))
        << good.Dump();
    const DRILLRESULT failed = Result();
    EXPECT_EQ(passed.dwSerial + 1, failed.dwSerial);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), failed.dwResult);
    EXPECT_TRUE(Printed("休止状態が無効です")) << output;
    EXPECT_TRUE(Printed("バッテリー残量 4% がしきい値 8% を下回っています")) << output;
    EXPECT_EQ("", SuspendCalls());

    StopService();
    // One entry per drill, and none of a real loss.
    const std::vector<DWORD> expected = { 0x40000001, 0x40000028, 0x80000029, 0x40000002 };
    EXPECT_EQ(expected, EventIds());
}

// The line really drops once the drill has announced its loss: the drill ends at once without
// the line-on notice, and the real loss runs to the hibernation on its own deadlines.
TEST_F(DrillCommand, RealLossDuringTheDrillTakesOverWithItsOwnDeadlines)
{
    const DWORD kAfterMs = 5000;  // the drill's wait before hibernation outlasts what follows
    SetRegDword(kSettingsKey, L"HibernateAfter", kAfterMs / 1000);
    StartService();
    ObserverProcess good(L"good");
    size_t before = 0;
    ASSERT_NO_FATAL_FAILURE(StartDrillHeardBy(good, &before));
    std::string second;  // one drill at a time
    RunProcess(L"\"" + ProgramPath(L"MIRELSVC.exe") + L"\" /DRILL", 30000, &second);
    EXPECT_TRUE(second.find("(エラー 170)") != std::string::npos) << second;

    size_t atDrop = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &atDrop));
    const ULONGLONG t0 = NowMs();
    WaitDrill();  // the drill gives way at once, long before its own deadline
    EXPECT_LT(NowMs() - t0, kAfterMs);
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), Result().dwResult);
    EXPECT_TRUE(Printed("訓練は途中で打ち切られました")) << output;

    EXPECT_TRUE(good.WaitForCodes(atDrop, kAcLoss, kFlickerMs + 5000)) << good.Dump();
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + kAfterMs + 5000));
    const ULONGLONG suspendMs = NowMs() - t0;
    EXPECT_GT(suspendMs, kHibernateMs + kAfterMs - 400);
    EXPECT_LT(suspendMs, kHibernateMs + kAfterMs + 1500);
    const std::vector<DWORD> codes = good.Codes();
    EXPECT_EQ(codes.end(), std::find(codes.begin() + before, codes.end(), static_cast<DWORD>(NOTIFY_AC_RESTORED)))
        << good.Dump();

    StopService();
    // The interrupted drill, then the real loss and its hibernation.
    const std::vector<DWORD> expected = { 0x40000001, 0x8000002A, 0x8000000A, 0x40000014, 0x4000001E, 0x40000002 };
    EXPECT_EQ(expected, EventIds());
}

// A stop during the drill ends it too: the applications hear of the stop, not of a line back.
TEST_F(DrillCommand, StopDuringTheDrillEndsItWithoutTheLineOnNotice)
{
    SetRegDword(kSettingsKey, L"HibernateAfter", 5);
    StartService();
    ObserverProcess good(L"good");
    size_t before = 0;
    ASSERT_NO_FATAL_FAILURE(StartDrillHeardBy(good, &before));
    EXPECT_LT(StopService(), 8000u);
    WaitDrill();
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), Result().dwResult);
    EXPECT_TRUE(good.WaitForCodes(before, { NOTIFY_AC_LOST, NOTIFY_SERVICE_STOPPED }, 5000)) << good.Dump();
    const std::vector<DWORD> expected = { 0x40000001, 0x8000002A, 0x40000002 };
    EXPECT_EQ(expected, EventIds());
}

// A desktop on a UPS whose runtime is short of the reserve: the drill says so; a real loss then
// hibernates long before HibernateAfter runs out, and the log tells why.
TEST_F(DrillCommand, UpsShortOfItsReserveFailsTheDrillAndHibernatesEarly)
{
    SimBattery ups(1);
    ASSERT_EQ(0u, ups.Result());
    ASSERT_TRUE(ups.SetUps(0, 60, 120));
    StartService();
    ObserverProcess good(L"good");
    size_t before = 0;
    ASSERT_NO_FATAL_FAILURE(StartDrillHeardBy(good, &before));
    WaitDrill();
    EXPECT_EQ(1816u, Result().dwResult);  // 120 s against the default reserve of 180 s
    EXPECT_TRUE(Printed("電源: UPS")) << output;
    EXPECT_TRUE(Printed("残り運転時間 120 秒が")) << output;
    StopService();

    const DWORD kAfterMs = 600000;
    SetRegDword(kSettingsKey, L"HibernateAfter", kAfterMs / 1000);
    StartService();
    ObserverProcess watcher(L"watcher");
    ASSERT_NE(0u, watcher.WaitRegistered());
    size_t atDrop = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(watcher, &atDrop));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 10000));
    StopService();
    // The failed drill, then the loss and its early hibernation with the reason before it.
    const std::vector<DWORD> expected = { 0x40000001, 0x80000029, 0x40000002, 0x40000001, 0x8000000A,
                                          0x80000018, 0x40000014, 0x4000001E, 0x40000002 };
    EXPECT_EQ(expected, EventIds());
}
