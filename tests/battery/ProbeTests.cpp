// The two power-state probes of the watchers: mains lost (DC) and battery refresh running.
#include "CLog.h"
#include "CWatch.h"
#include "SimBattery.h"
#include "TestLog.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const wchar_t kPstsLine[] = L"IOCTL_CALL__PSTS の戻り値：";

// A watcher with its battery object ready, as the derived watchers have it.
class ProbeWatch : public CWatch {
public:
    ProbeWatch() { m_Battery.Initialize(); }
};

}  // namespace

TEST(PowerProbes, ACDCStateFromLineAndRefreshWord)
{
    ScopedPowerSupply power;
    if (!power.Available()) {
        GTEST_SKIP() << "no simulated power supply (run through scripts/test.sh)";
    }
    struct Case {
        const char* what;
        bool device, acOnline;
        DWORD psts;
        bool refused, dc;
        const wchar_t* logged;  // the status word line, or nullptr when the control is not sent
        DWORD bytes = 4;        // what the control returns
        bool late = false;      // the battery comes after the watcher was built
        bool ups = false;       // the battery is a UPS: the maker's control is never sent to it
    };
    const Case cases[] = {
        { "AC online", true, true, 1, false, false, nullptr },
        { "offline, word 1", true, false, 1, false, true, L"1" },
        { "offline, word 0 (refresh)", true, false, 0, false, false, L"0" },
        { "offline, word 2 (PKS)", true, false, 2, false, false, L"2" },
        { "offline, high bits ignored", true, false, 0x10002, false, false, L"2" },
        { "offline, control refused", true, false, 2, true, true, L"0" },
        { "offline, no battery device", false, false, 1, false, true, nullptr },
        { "offline, word 0 in one byte", true, false, 0, false, true, L"0", 1 },
        { "offline, nothing returned", true, false, 0, false, true, L"0", 0 },
        { "offline, word 2 in two bytes", true, false, 2, false, false, L"2", 2 },
        { "offline, battery came later, refresh", true, false, 0, false, false, L"0", 4, true },
        { "offline, UPS only, its word 0 not asked", true, false, 0, false, true, nullptr, 4, false, true },
        { "offline, UPS came later, not asked", true, false, 0, false, true, nullptr, 4, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBattery sim(1);
        ASSERT_EQ(0u, sim.Result());
        if (!c.device) {
            RemoveSimBattery();
        } else {
            ASSERT_TRUE(sim.SetPsts(0, c.psts));
            ASSERT_TRUE(!c.ups || sim.SetUps(0, 50, 600));
        }
        if (c.refused) {
            ASSERT_TRUE(sim.SetFailure(0, IOCTL_CALL__PSTS, 0xC0000010));
        }
        ASSERT_TRUE(SetSimBatteryValue(0, L"PstsBytes", c.bytes));
        ASSERT_TRUE(power.SetBatteryPresent(50));
        ASSERT_TRUE(power.SetAcOnline(c.acOnline));

        ScopedLogSettings log(L"t_probe.log", 1, 0);
        g_Log.Initialize(MIREL_DBGLOG_KEY);
        if (c.late) {
            RemoveSimBattery();
        }
        ProbeWatch watch;
        if (c.late) {
            ASSERT_EQ(0u, InstallSimBattery(1));
            ASSERT_TRUE(SetSimBatteryPsts(0, c.psts));
            ASSERT_TRUE(!c.ups || SetSimBatteryUps(0, 50, 600));
        }
        EXPECT_EQ(c.dc ? TRUE : FALSE, watch.GetACDCState());
        g_Log.Finalize();
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.Contains(std::wstring(kPstsLine) + c.logged));
        } else {
            EXPECT_FALSE(log.Contains(kPstsLine));
        }
    }
}

TEST(PowerProbes, UnreadableStateCountsAsAC)
{
    ScopedPowerSupply power;
    if (!power.Available()) {
        GTEST_SKIP() << "no simulated power supply (run through scripts/test.sh)";
    }
    RemoveSimBattery();
    ASSERT_TRUE(power.SetAcOnline(false));
    ScopedLogSettings log(L"t_probe_fail.log", 1, 0);
    g_Log.Initialize(MIREL_DBGLOG_KEY);
    ProbeWatch watch;
    EXPECT_FALSE(watch.IsDuringPKSOrBattRefresh());
    EXPECT_TRUE(watch.GetACDCState());
    // A finalised battery object cannot read the status (21): AC is assumed, and said so.
    watch.Finalize();
    EXPECT_FALSE(watch.GetACDCState());
    g_Log.Finalize();
    EXPECT_TRUE(log.Contains(L"Fail to GetACDCState() dwRet: 00000015."));
}
