// MIRELAPI.dll with a network UPS as the source: the real UPS server that scripts/test.sh runs
// (skipped without it), the simulated power supply keeping the local line on throughout, as on a
// desktop whose mains come through the UPS. Dead time 5 s, flicker waits of a few seconds.
#include "NutServer.h"
#include "SimBattery.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "WatchFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace testsupport;
using namespace watchtest;

namespace {

const DWORD kCeilingMs = 30000;
const long long kEarlyMs = 100;
const long long kLateMs = 1000;  // a poll of the source (500 ms) plus Wine under load

class NetWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_power.Available()) {
            GTEST_SKIP() << "no simulated power supply (run through scripts/test.sh)";
        }
        RemoveSimBattery();  // no local battery: no level event but the network UPS's
        ASSERT_TRUE(m_api.Loaded());
        m_hSource = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    }
    void TearDown() override
    {
        // The source event stays open until MirelFinalize has returned.
        m_api.Finalize();
        ::CloseHandle(m_hSource);
        if (HasFailure()) {
            m_log.PrintTail(40);  // the link's changes with the status words the server sent
        }
    }

    // Options for the server with the monitor's account, then the library started.
    void Start(DWORD flickerSec, DWORD hibernateSec, DWORD reserveSec, const wchar_t* monitor = nullptr)
    {
        WATCHOPTIONS options = { sizeof(options), reserveSec };
        wcscpy_s(options.szUpsMonitor, monitor != nullptr ? monitor : m_nut.Monitor().c_str());
        wcscpy_s(options.szUpsUser, L"mon");
        wcscpy_s(options.szUpsPassword, L"monpw");
        options.dwUpsDeadTime = 5;
        options.hSourceEvent = m_hSource;
        ASSERT_EQ(0u, m_api.SetOptions(options));
        m_rec.Start();
        WATCHDATA data = m_rec.Data(flickerSec, hibernateSec, 50, 300, 200);
        ASSERT_EQ(0u, m_api.Initialize(&data));
    }
    WATCHSOURCE Source()
    {
        WATCHSOURCE source = { sizeof(source) };
        EXPECT_EQ(0u, m_api.Source(&source));
        return source;
    }
    bool WaitSource(const std::function<bool(const WATCHSOURCE&)>& done)
    {
        for (ULONGLONG end = NowMs() + kCeilingMs; NowMs() < end; ::Sleep(50)) {
            if (done(Source())) {
                return true;
            }
        }
        return false;
    }
    // The status set and read back through the library with the link in force.
    bool SetStatus(const char* status)
    {
        const std::wstring wide(status, status + strlen(status));
        return m_nut.Set("ups.status", status) && WaitSource([&](const WATCHSOURCE& s) {
                   return s.dwLink == WATCHLINK_ONLINE && wide == s.szStatus;
               });
    }
    // Started with the UPS on battery, flicker wait 1 s and S4 after 600 s; returns once the
    // watch has told the loss.
    void StartOnBattery(DWORD reserveSec)
    {
        Start(1, 600, reserveSec);
        ASSERT_TRUE(SetStatus("OB"));
        m_api.StartUPSWatch();
        ASSERT_GE(m_rec.WaitFor(kACLoss, 1, kCeilingMs), 0);
    }
    // Needs the server as well; skips without it.
    bool NeedServer()
    {
        return m_nut.Available() && m_nut.Reset();
    }

    ScopedPowerSupply m_power;
    ScopedLogSettings m_log{ L"t_netwatch.log", 2, 0 };
    NutServer m_nut;
    MirelApi m_api;
    EventRecorder m_rec;
    HANDLE m_hSource = NULL;
};

#define REQUIRE_SERVER()                                                   \
    if (!NeedServer()) {                                                   \
        GTEST_SKIP() << "no UPS server: run through scripts/test.sh";      \
    }

}  // namespace

TEST_F(NetWatchTest, OnBatteryGivesACLossAfterTheFlickerWaitAndS4AtTheDeadline)
{
    REQUIRE_SERVER();
    Start(2, 0, 0);
    ASSERT_TRUE(SetStatus("OB"));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_hSource, kCeilingMs)) << "link and line told";
    const WATCHSOURCE source = Source();
    EXPECT_EQ(static_cast<DWORD>(WATCHSOURCE_NETWORK_UPS), source.dwKind);
    EXPECT_EQ(100u, source.dwPercent);
    EXPECT_EQ(1800u, source.dwRuntime);
    EXPECT_EQ(0u, source.bCritical);
    EXPECT_EQ(1u, source.bLineOff);
    EXPECT_EQ(std::wstring(), source.szError);
    EXPECT_GE(m_rec.WaitFor(kBattHigh, 1, kCeilingMs), 0) << "100 % against 50 %";

    const long long start = static_cast<long long>(m_rec.Elapsed());
    m_api.StartUPSWatch();  // as the service does at the source event
    const long long loss = m_rec.WaitFor(kACLoss, 1, kCeilingMs);
    EXPECT_GE(loss - start, 2000 - kEarlyMs);
    EXPECT_LE(loss - start, 2000 + kLateMs);
    const long long s4 = m_rec.WaitFor(kS4, 1, kCeilingMs);
    EXPECT_GE(s4 - loss, 500 - kEarlyMs);
    EXPECT_LE(s4 - loss, 500 + kLateMs);
    EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_TIMER), m_api.S4Cause().dwCause);
}

TEST_F(NetWatchTest, LineBackWithinTheFlickerWaitGivesACOnNoLoss)
{
    REQUIRE_SERVER();
    Start(10, 0, 0);
    ASSERT_TRUE(SetStatus("OB"));
    m_api.StartUPSWatch();
    ASSERT_TRUE(SetStatus("OL"));
    EXPECT_GE(m_rec.WaitFor(kACOn, 2, kCeilingMs), 0) << "one at the start, one at the flicker end";
    EXPECT_EQ(0u, m_rec.Count(kACLoss));
    EXPECT_EQ(0u, m_rec.Count(kS4));
}

// Critical when the watch starts or during its flicker wait: the AC loss at once, the S4 after
// alarm and balloon, however long the waits are set. A forced shutdown counts so with the line on.
TEST_F(NetWatchTest, CriticalUpsEndsTheFlickerWaitAtOnce)
{
    REQUIRE_SERVER();
    const struct {
        const char* atStart;
        const char* later;
    } rows[] = { { "OB LB", nullptr }, { "OB", "OB LB" }, { "FSD OL", nullptr } };
    Start(20, 600, 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.atStart);
        ASSERT_TRUE(SetStatus(row.atStart));
        const size_t losses = m_rec.Count(kACLoss);
        m_api.StartUPSWatch();
        if (row.later != nullptr) {
            ASSERT_TRUE(SetStatus(row.later));
        }
        // The library has seen it critical by now.
        const long long critical = static_cast<long long>(m_rec.Elapsed());
        const long long loss = m_rec.WaitFor(kACLoss, losses + 1, kCeilingMs);
        ASSERT_GE(loss, 0);
        EXPECT_LE(loss - critical, kLateMs) << "no flicker wait";
        const long long s4 = m_rec.WaitFor(kS4, losses + 1, kCeilingMs);
        EXPECT_GE(s4 - loss, 500 - kEarlyMs);
        EXPECT_LE(s4 - loss, 500 + kLateMs);
        EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_CRITICAL), m_api.S4Cause().dwCause);
        ASSERT_TRUE(m_nut.Set("ups.status", "OL"));
    }
}

TEST_F(NetWatchTest, RuntimeBelowTheReserveGivesAnEarlyS4)
{
    REQUIRE_SERVER();
    ASSERT_NO_FATAL_FAILURE(StartOnBattery(300));
    ASSERT_TRUE(m_nut.Set("battery.runtime", "120"));
    ASSERT_GE(m_rec.WaitFor(kS4, 1, kCeilingMs), 0);
    const WATCHCAUSE cause = m_api.S4Cause();
    EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_RUNTIME), cause.dwCause);
    EXPECT_EQ(120u, cause.dwRuntime);
}

TEST_F(NetWatchTest, ServerStoppedOnBatteryTurnsCriticalAfterTheDeadTime)
{
    REQUIRE_SERVER();
    ASSERT_NO_FATAL_FAILURE(StartOnBattery(0));
    const ULONGLONG stopped = m_rec.Elapsed();
    ASSERT_TRUE(m_nut.Control("stop"));
    const long long s4 = m_rec.WaitFor(kS4, 1, kCeilingMs);
    ASSERT_GE(s4, 0);
    EXPECT_GE(static_cast<ULONGLONG>(s4), stopped + 5000 - kEarlyMs) << "not before the dead time";
    EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_CRITICAL), m_api.S4Cause().dwCause);
    const WATCHSOURCE source = Source();
    EXPECT_EQ(static_cast<DWORD>(WATCHLINK_HOLDING), source.dwLink);
    EXPECT_EQ(static_cast<DWORD>(WATCHSOURCE_NETWORK_UPS), source.dwKind);
    EXPECT_EQ(1u, source.bCritical);
    EXPECT_EQ(1u, source.bLineOff);
}

// Lost on line: the local probes again (line on, no battery), and nothing is signalled.
TEST_F(NetWatchTest, ServerStoppedOnLineFallsBackToTheLocalProbes)
{
    REQUIRE_SERVER();
    Start(1, 600, 0);
    ASSERT_TRUE(SetStatus("OL"));
    ASSERT_GE(m_rec.WaitFor(kBattHigh, 1, kCeilingMs), 0);
    ::ResetEvent(m_hSource);
    ASSERT_TRUE(m_nut.Control("stop"));
    ASSERT_TRUE(WaitSource([](const WATCHSOURCE& s) { return s.dwLink == WATCHLINK_LOST; }));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_hSource, 0)) << "the link change is told";
    const WATCHSOURCE source = Source();
    EXPECT_EQ(static_cast<DWORD>(WATCHSOURCE_NONE), source.dwKind);
    EXPECT_EQ(0u, source.bLineOff);
    EXPECT_NE(std::wstring(), source.szError);
    m_api.StartUPSWatch();
    EXPECT_GE(m_rec.WaitFor(kACOn, 2, kCeilingMs), 0) << "the local line reads on";
    ::Sleep(1000);  // a level event already on its way when the link went
    const size_t high = m_rec.Count(kBattHigh);
    ::Sleep(2000);
    EXPECT_EQ(high, m_rec.Count(kBattHigh)) << "no local battery: no level event";
    EXPECT_EQ(0u, m_rec.Count(kACLoss));
    EXPECT_EQ(0u, m_rec.Count(kS4));
}

// No server needed: the text is refused before any connection.
TEST_F(NetWatchTest, MonitorTextThatNamesNoHostIsABadSetting)
{
    Start(1, 0, 0, L"dummy@");
    WATCHSOURCE source = Source();
    EXPECT_EQ(static_cast<DWORD>(WATCHLINK_BAD_SETTING), source.dwLink);
    EXPECT_EQ(static_cast<DWORD>(WATCHSOURCE_NONE), source.dwKind);
    ASSERT_EQ(0u, m_api.SetRuntimeReserve(0));  // no monitor at all
    source = Source();
    EXPECT_EQ(static_cast<DWORD>(WATCHLINK_NONE), source.dwLink);
}
