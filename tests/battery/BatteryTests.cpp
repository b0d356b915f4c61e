// CBattery against the simulated battery driver and the simulated power supply.
#include "CBattery.h"
#include "CLog.h"
#include "SimBattery.h"
#include "TestLog.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

// Wine passes these NTSTATUS values on as the Windows errors below.
const DWORD kStatusDeviceNotReady = 0xC00000A3;        // -> 21
const DWORD kStatusInvalidDeviceRequest = 0xC0000010;  // -> 1

size_t CountLines(const ScopedLogSettings& log, const std::wstring& text)
{
    const std::vector<std::wstring> lines = log.Lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
}

}  // namespace

// No battery device at all: a desktop PC.
TEST(BatteryAbsent, CountZeroAndQueriesRefused)
{
    RemoveSimBattery();
    CBattery battery;
    ASSERT_EQ(0u, battery.Initialize());

    DWORD count = 99;
    EXPECT_EQ(0u, battery.GetAttachableBatteryCount(&count));
    EXPECT_EQ(0u, count);
    BOOL notebook = TRUE;
    EXPECT_EQ(0u, battery.IsNotebookPC(&notebook));
    EXPECT_FALSE(notebook);
    DWORD percent = 42;
    EXPECT_EQ(259u, battery.GetLifePercent(0, &percent));
    EXPECT_EQ(42u, percent);
    BATTINFO info;
    EXPECT_EQ(259u, battery.GetSelectBatteryInfo(0, &info, BATTINFO_NAME));
}

TEST(BatteryAbsent, NullArgumentsAndUninitialisedObject)
{
    CBattery battery;
    SYSTEM_POWER_STATUS status;
    DWORD value = 0;
    BOOL flag = FALSE;
    // Before Initialize every query is refused with 21; null outputs always with 87.
    EXPECT_EQ(21u, battery.GetSystemPowerStatus(&status, 0));
    EXPECT_EQ(21u, battery.GetAttachableBatteryCount(&value));
    EXPECT_EQ(21u, battery.GetLifePercent(0, &value));
    EXPECT_EQ(21u, battery.IsNotebookPC(&flag));
    EXPECT_FALSE(flag);

    ASSERT_EQ(0u, battery.Initialize());
    EXPECT_EQ(87u, battery.GetSystemPowerStatus(nullptr, 0));
    EXPECT_EQ(87u, battery.GetAttachableBatteryCount(nullptr));
    EXPECT_EQ(87u, battery.GetLifePercent(0, nullptr));
    EXPECT_EQ(87u, battery.IsNotebookPC(nullptr));
    EXPECT_EQ(87u, battery.GetSelectBatteryInfo(0, nullptr, BATTINFO_NAME));

    battery.Finalize();
    battery.Finalize();
    EXPECT_EQ(21u, battery.GetAttachableBatteryCount(&value));
}

class BatteryDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, m_sim.Result()) << "simulated battery not installed";
        ASSERT_EQ(0u, m_battery.Initialize());
    }

    SimBattery m_sim{ 1 };
    CBattery m_battery;
};

TEST_F(BatteryDevice, LifePercentArithmetic)
{
    struct Case {
        DWORD remaining, full, percent;
        DWORD result = 0;  // on failure the percentage is left alone
        DWORD system = 0;  // the system's BatteryLifePercent; 0: it reports no battery
    };
    ScopedPowerSupply power;
    const Case cases[] = {
        { 41230, 47520, 87 },          // 867 per mille, rounded half up
        { 47520, 47520, 100 },
        { 0, 47520, 0 },
        { 12345, 0, 0 },               // no full-charge capacity: 0, still success
        { 52272, 47520, 110 },         // not capped at 100
        { 23524, 47520, 50 },          // 495 per mille: half up
        { 23522, 47520, 49 },          // 494.99 per mille is truncated to 494 first
        { 4294968, 5000000, 86 },      // ×1000 would wrap in 32 bits
        { BATTERY_UNKNOWN_CAPACITY, 47520, 12345, ERROR_INVALID_DATA },  // unknown, not full
        { 20000, BATTERY_UNKNOWN_CAPACITY, 12345, ERROR_INVALID_DATA },
        { BATTERY_UNKNOWN_CAPACITY, 47520, 37, 0, 37 },  // unknown: the system's estimate
        { 20000, BATTERY_UNKNOWN_CAPACITY, 4, 0, 4 },
        { 41230, 47520, 87, 0, 4 },                     // known: the battery's own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.remaining << "/" << c.full << " system " << c.system);
        if (c.system != 0) {  // these rows come last, and need the simulated power supply
            if (!power.Available()) continue;
            ASSERT_TRUE(power.SetBatteryPresent(c.system));
        }
        ASSERT_TRUE(m_sim.SetCapacity(0, c.remaining, c.full));
        DWORD percent = 12345;
        EXPECT_EQ(c.result, m_battery.GetLifePercent(0, &percent));
        EXPECT_EQ(c.percent, percent);
    }
}

TEST_F(BatteryDevice, InformationRecordIsFilledAsSelected)
{
    ASSERT_TRUE(m_sim.SetName(0, L"SIM-A 12345"));
    ASSERT_TRUE(m_sim.SetCapacity(0, 30000, 45000));
    DWORD count = 0;
    BOOL notebook = FALSE;
    EXPECT_EQ(0u, m_battery.GetAttachableBatteryCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(0u, m_battery.IsNotebookPC(&notebook));
    EXPECT_TRUE(notebook);

    BATTINFO info;
    ASSERT_EQ(0u, m_battery.GetSelectBatteryInfo(0, &info, BATTINFO_NAME | BATTINFO_INFORMATION | BATTINFO_STATUS));
    EXPECT_STREQ(L"SIM-A 12345", info.szDeviceName);
    EXPECT_EQ(45000u, info.Information.FullChargedCapacity);
    EXPECT_EQ(30000u, info.Status.Capacity);

    // Only the selected parts are filled; the rest of the record is cleared.
    memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(0u, m_battery.GetSelectBatteryInfo(0, &info, BATTINFO_STATUS));
    EXPECT_EQ(L'\0', info.szDeviceName[0]);
    EXPECT_EQ(0u, info.Information.FullChargedCapacity);
    EXPECT_EQ(30000u, info.Status.Capacity);
    EXPECT_EQ(259u, m_battery.GetSelectBatteryInfo(1, &info, BATTINFO_STATUS));
}

TEST_F(BatteryDevice, FailingControlKeepsThePartsFilledBefore)
{
    struct Case {
        const char* what;
        DWORD control, status, error;
        bool nameFilled, informationFilled;
    };
    const Case cases[] = {
        { "status", IOCTL_BATTERY_QUERY_STATUS, kStatusDeviceNotReady, 21, true, true },
        { "information", IOCTL_BATTERY_QUERY_INFORMATION, kStatusInvalidDeviceRequest, 1, false, false },
        { "tag", IOCTL_BATTERY_QUERY_TAG, kStatusDeviceNotReady, 21, false, false },
    };
    ASSERT_TRUE(m_sim.SetCapacity(0, 10000, 40000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(m_sim.SetFailure(0, c.control, c.status));
        BATTINFO info;
        EXPECT_EQ(c.error, m_battery.GetSelectBatteryInfo(0, &info, BATTINFO_NAME | BATTINFO_INFORMATION | BATTINFO_STATUS));
        EXPECT_EQ(c.nameFilled, info.szDeviceName[0] != L'\0');
        EXPECT_EQ(c.informationFilled, info.Information.FullChargedCapacity == 40000u);
        EXPECT_EQ(0u, info.Status.Capacity);

        DWORD percent = 77;
        EXPECT_EQ(c.error, m_battery.GetLifePercent(0, &percent));
        EXPECT_EQ(77u, percent) << "untouched on failure";
    }
    ASSERT_TRUE(m_sim.SetFailure(0, 0, 0));
    DWORD percent = 0;
    EXPECT_EQ(0u, m_battery.GetLifePercent(0, &percent));
    EXPECT_EQ(25u, percent);
}

TEST_F(BatteryDevice, TagZeroMeansNoBatteryInTheSlot)
{
    ASSERT_TRUE(m_sim.SetTag(0, 0));
    DWORD percent = 77;
    EXPECT_NE(0u, m_battery.GetLifePercent(0, &percent));
    EXPECT_EQ(77u, percent);
    ASSERT_TRUE(m_sim.SetTag(0, 7));
    EXPECT_EQ(0u, m_battery.GetLifePercent(0, &percent));
    EXPECT_EQ(80u, percent);
}

TEST(BatteryDevices, OnlyTheFirstTwoAreRecorded)
{
    SimBattery sim(3);
    ASSERT_EQ(0u, sim.Result());
    CBattery battery;
    ASSERT_EQ(0u, battery.Initialize());
    DWORD count = 0;
    EXPECT_EQ(0u, battery.GetAttachableBatteryCount(&count));
    EXPECT_EQ(2u, count);

    for (DWORD i = 0; i < 2; ++i) {
        BATTINFO info;
        ASSERT_EQ(0u, battery.GetSelectBatteryInfo(i, &info, BATTINFO_NAME));
        EXPECT_EQ(L"MIREL SIMBATT " + std::to_wstring(i), std::wstring(info.szDeviceName));
    }
    BATTINFO info;
    EXPECT_EQ(259u, battery.GetSelectBatteryInfo(2, &info, BATTINFO_NAME));

    // Re-enumeration after the devices are gone.
    RemoveSimBattery();
    ASSERT_EQ(0u, battery.Initialize());
    EXPECT_EQ(0u, battery.GetAttachableBatteryCount(&count));
    EXPECT_EQ(0u, count);
}

// The system status is read again while it contradicts the enumerated batteries.
TEST(BatterySystemStatus, RetriesWhileTheSystemReportsNoBattery)
{
    ScopedPowerSupply power;
    if (!power.Available()) {
        GTEST_SKIP() << "no simulated power supply (run through scripts/test.sh)";
    }
    struct Case {
        bool device, systemBattery;
        DWORD retry, attempts;
    };
    const Case cases[] = {
        { true, false, 1, 2 },   // battery enumerated, flag 0x80: read twice, 500 ms apart
        { true, false, 0, 1 },   // no retry allowed: one reading, no sleep
        { true, true, 1, 1 },    // consistent at once
        { false, false, 1, 1 },  // no device, no system battery: consistent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "device " << c.device << " system " << c.systemBattery
                                        << " retry " << c.retry);
        SimBattery sim(1);
        if (!c.device) {
            RemoveSimBattery();
        }
        ASSERT_TRUE(c.systemBattery ? power.SetBatteryPresent(37) : power.SetBatteryAbsent());
        CBattery battery;
        ASSERT_EQ(0u, battery.Initialize());

        ScopedLogSettings log(L"t_battery_status.log", 1, 2);
        g_Log.Initialize(MIREL_DBGLOG_KEY);
        SYSTEM_POWER_STATUS status;
        const ULONGLONG t0 = NowMs();
        EXPECT_EQ(0u, battery.GetSystemPowerStatus(&status, c.retry));
        const ULONGLONG elapsed = NowMs() - t0;
        g_Log.Finalize();

        EXPECT_EQ(c.attempts, CountLines(log, L"BatteryFlag:        "));
        if (c.attempts == 2) {
            EXPECT_GE(elapsed, 480u);
            EXPECT_LT(elapsed, 1500u);
        } else {
            EXPECT_LT(elapsed, 400u);
        }
        EXPECT_EQ(c.systemBattery ? 0 : 0x80, status.BatteryFlag & 0x80);
        EXPECT_EQ(1, status.ACLineStatus);
    }
}

TEST(BatteryRuntime, UnknownValuesNeverCount)
{
    const ULONG kUnknownRate = BATTERY_UNKNOWN_RATE;
    struct Case {
        ULONG estimated, capacity;
        LONG rate;
        DWORD percent, runtime;
    };
    const Case cases[] = {
        { 400, 50000, 0, 80, 400 },                         // the driver's estimate
        { BATTERY_UNKNOWN_TIME, 50000, -10000, 80, 18000 },  // 50 Wh at 10 W
        { BATTERY_UNKNOWN_TIME, 50, -600, 50, 300 },         // relative: 50 of 100 at 600 per hour
        { BATTERY_UNKNOWN_TIME, 50000, 0, 80, BATTERY_UNKNOWN_TIME },     // not discharging
        { BATTERY_UNKNOWN_TIME, 50000, 5000, 80, BATTERY_UNKNOWN_TIME },  // charging
        { BATTERY_UNKNOWN_TIME, 50000, static_cast<LONG>(kUnknownRate), 80, BATTERY_UNKNOWN_TIME },
        { BATTERY_UNKNOWN_TIME, BATTERY_UNKNOWN_CAPACITY, -10000, 80, BATTERY_UNKNOWN_TIME },
        { 65535, 50000, 0, 80, BATTERY_UNKNOWN_TIME },
        { 70000, 50000, 0, 80, BATTERY_UNKNOWN_TIME },
        { 65534, 50000, 0, 80, 65534 },
        { 0, 50000, 0, 20, BATTERY_UNKNOWN_TIME },  // 0 at 20 %: no estimate
        { 0, 50000, 0, BATTERY_PERCENTAGE_UNKNOWN, BATTERY_UNKNOWN_TIME },
        { 0, 50000, 0, 19, 0 },                     // 0 at 19 %: believed
        { 65535, 1000, -40000, 5, 90 },             // a useless estimate, the rate's answer
        { BATTERY_UNKNOWN_TIME, 50000, -1, 80, BATTERY_UNKNOWN_TIME },  // 180,000,000 s
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.estimated << " s, " << c.capacity << " at " << c.rate << ", "
                                        << c.percent << " %");
        EXPECT_EQ(c.runtime, CBattery::JudgeRuntime(c.estimated, c.capacity, c.rate, c.percent));
    }
}

TEST(BatteryChoice, InternalBeforeShortTermBeforeOrder)
{
    const ULONG kSys = BATTERY_SYSTEM_BATTERY, kUps = BATTERY_SYSTEM_BATTERY | BATTERY_IS_SHORT_TERM;
    struct Case {
        ULONG caps[2];
        DWORD count, index, choice;
    };
    const Case cases[] = {
        { { kUps, kSys }, 2, 1, BATTCHOICE_INTERNAL },
        { { kSys, kUps }, 2, 0, BATTCHOICE_INTERNAL },
        { { 0, kUps }, 2, 1, BATTCHOICE_SHORT_TERM },   // the first unreadable
        { { kUps, 0 }, 1, 0, BATTCHOICE_SHORT_TERM },
        { { 0, 0 }, 2, 0, BATTCHOICE_FIRST },           // neither readable: as enumerated
        { { BATTERY_IS_SHORT_TERM, 0 }, 1, 0, BATTCHOICE_FIRST },  // not a system battery
        { { 0, 0 }, 0, 0, BATTCHOICE_NONE },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.caps[0] << " " << c.caps[1] << " count " << c.count);
        DWORD choice = 99;
        EXPECT_EQ(c.index, CBattery::ChooseIndex(c.caps, c.count, &choice));
        EXPECT_EQ(c.choice, choice);
    }
}

// An internal battery and a UPS, in either enumeration order: the internal one is in use.
TEST(BatteryDevices, InternalBatteryInUseBeforeTheUps)
{
    for (DWORD ups : { 0u, 1u }) {
        SCOPED_TRACE(testing::Message() << "UPS at " << ups);
        SimBattery sim(2);
        ASSERT_EQ(0u, sim.Result());
        ASSERT_TRUE(sim.SetUps(ups, 60, 400, BATTERY_DISCHARGING_STATE | BATTERY_CRITICAL));
        ASSERT_TRUE(sim.SetCapacity(1 - ups, 41230, 47520));
        ScopedLogSettings log(L"t_battery_choice.log", 1, 0);
        g_Log.Initialize(MIREL_DBGLOG_KEY);
        CBattery battery;
        ASSERT_EQ(0u, battery.Initialize());
        battery.Initialize();  // the same choice again: no second line
        g_Log.Finalize();
        EXPECT_EQ(1u, CountLines(log, L"Battery in use: "));
        EXPECT_EQ(1u, CountLines(log, L"(a system battery that is not short-term of 2)"));
        EXPECT_FALSE(battery.IsShortTerm());
        DWORD percent = 0;
        EXPECT_EQ(0u, battery.GetLifePercent(0, &percent));
        EXPECT_EQ(87u, percent);

        // The internal battery gone: the UPS is in use, and read as one.
        ASSERT_TRUE(SetSimBatteryTag(1 - ups, 0));
        ASSERT_EQ(0u, battery.Initialize());
        EXPECT_TRUE(battery.IsShortTerm());
        BATTREADING reading;
        ASSERT_EQ(0u, battery.ReadSource(0, &reading));
        EXPECT_EQ(60u, reading.dwPercent);
        EXPECT_EQ(400u, reading.dwRuntime);
        EXPECT_TRUE(reading.bCritical);
    }
}
