// The two watchers and the library's lifetime, through the real MIRELAPI.dll bound by ordinal,
// against the simulated power supply (and the simulated battery where a level is needed).
// Short settings throughout: flicker 1 s, alarm and balloon waits of a few hundred ms.
#include "CLog.h"
#include "SimBattery.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "WatchFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace testsupport;
using namespace watchtest;

namespace {

// Timer windows: a signal comes no earlier than its deadline less a little, and late by at most
// this much (Wine under load).
const long long kEarlyMs = 100;
const long long kLateMs = 700;

void ExpectAround(long long actual, long long deadline, const char* what)
{
    EXPECT_GE(actual, deadline - kEarlyMs) << what;
    EXPECT_LE(actual, deadline + kLateMs) << what;
}

void SleepUntil(const EventRecorder& rec, ULONGLONG elapsedMs)
{
    const ULONGLONG now = rec.Elapsed();
    if (now < elapsedMs) {
        ::Sleep(static_cast<DWORD>(elapsedMs - now));
    }
}

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_power.Available()) {
            GTEST_SKIP() << "no simulated power supply (run through scripts/test.sh)";
        }
        RemoveSimBattery();
        ASSERT_TRUE(m_api.Loaded()) << "MIRELAPI.dll or its ordinals missing";
        m_rec.Start();
        m_baseThreads = ThreadCount();
    }

    ScopedPowerSupply m_power;
    MirelApi m_api;
    EventRecorder m_rec;
    size_t m_baseThreads = 0;
};

}  // namespace

// ---- AC-line watcher ----

TEST_F(WatchTest, LineOnAtInitializeSignalsACOnBeforeReturning)
{
    m_rec.Stop();  // the event is looked at directly
    m_baseThreads = ThreadCount();
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_rec.Event(kACOn), 0));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(m_rec.Event(kACLoss), 0));
    // Only the battery-level watcher runs.
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());
    m_api.Finalize();
    EXPECT_EQ(m_baseThreads, ThreadCount());
}

TEST_F(WatchTest, LineOffThroughoutGivesACLossThenS4)
{
    struct Case {
        DWORD flickerSec, hibernateSec, alarmMs, balloonMs;
    };
    const Case cases[] = {
        { 1, 0, 300, 200 },
        { 1, 1, 100, 100 },  // the hibernate delay counts in seconds
        { 0, 0, 300, 0 },    // no flicker wait: the line is judged at the first timer tick
    };
    ASSERT_TRUE(m_power.SetAcOnline(false));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flicker " << c.flickerSec << " s, hibernate " << c.hibernateSec
                                        << " s, " << c.alarmMs << " + " << c.balloonMs << " ms");
        EventRecorder rec;
        rec.Start();
        const size_t base = ThreadCount();
        WATCHDATA data = rec.Data(c.flickerSec, 0, 50, c.alarmMs, c.balloonMs);
        data.dwHibernateAfter = c.hibernateSec;
        ASSERT_EQ(0u, m_api.Initialize(&data));
        EXPECT_EQ(base + 2, ThreadCount());

        const long long loss = rec.WaitFor(kACLoss, 1, 3000);
        const long long s4 = rec.WaitFor(kS4, 1, 3000);
        ExpectAround(loss, c.flickerSec * 1000, "AC loss after the flicker time");
        ExpectAround(s4 - loss, c.hibernateSec * 1000 + c.alarmMs + c.balloonMs,
                     "S4 after hibernate delay + alarm + balloon");
        SleepUntil(rec, s4 + 500);
        EXPECT_EQ(1u, rec.Count(kACLoss));
        EXPECT_EQ(1u, rec.Count(kS4));
        EXPECT_EQ(0u, rec.Count(kACOn));
        EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_TIMER), m_api.S4Cause().dwCause);
        // The watch thread has ended by itself.
        EXPECT_EQ(base + 1, ThreadCount());
        m_api.Finalize();
    }
}

TEST_F(WatchTest, LineBackBeforeTheFlickerTimerGivesACOnOnce)
{
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ::Sleep(300);
    ASSERT_TRUE(m_power.SetAcOnline(true));

    ExpectAround(m_rec.WaitFor(kACOn, 1, 3000), 1000, "AC on at the flicker time");
    SleepUntil(m_rec, 2500);
    EXPECT_EQ(1u, m_rec.Count(kACOn));
    EXPECT_EQ(0u, m_rec.Count(kACLoss));
    EXPECT_EQ(0u, m_rec.Count(kS4));
}

TEST_F(WatchTest, RefreshStateWhileTheLineIsOffCountsAsAC)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetPsts(0, 2));
    ASSERT_TRUE(m_power.SetBatteryPresent(50));
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    size_t cursor = 0;
    EXPECT_EQ(kACOn, m_rec.Next(&cursor, 1000));
    m_api.Finalize();
}

TEST_F(WatchTest, StopDuringTheSecondWaitCancelsS4)
{
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 1000, 0);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ASSERT_GE(m_rec.WaitFor(kACLoss, 1, 3000), 0);
    ::Sleep(200);

    const ULONGLONG t0 = NowMs();
    m_api.StopUPSWatch();
    EXPECT_LT(NowMs() - t0, 1000u) << "the watch thread ends at once";
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());
    SleepUntil(m_rec, 3000);
    EXPECT_EQ(0u, m_rec.Count(kS4));
    EXPECT_EQ(0u, m_rec.Count(kACOn));
}

// Start requests while the line stays off (registrations, battery steps) keep the running wait and
// its deadlines; only a line that came back and went again begins a new one.
TEST_F(WatchTest, StartWhileTheLineStaysOffKeepsTheDeadlines)
{
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 800, 0);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    for (ULONGLONG at : { 300, 600, 900, 1300, 1600 }) {  // in both waits
        SleepUntil(m_rec, at);
        m_api.StartUPSWatch();
    }
    const long long loss = m_rec.WaitFor(kACLoss, 1, 3000);
    ExpectAround(loss, 1000, "AC loss at the first deadline");
    ExpectAround(m_rec.WaitFor(kS4, 1, 3000), loss + 800, "S4 at the first deadline");

    // After the S4 the watch is over: a start begins anew, and so does one after the line's return.
    m_api.StartUPSWatch();
    ::Sleep(400);
    ASSERT_TRUE(m_power.SetAcOnline(true));
    m_api.StartUPSWatch();
    ASSERT_TRUE(m_power.SetAcOnline(false));
    const long long restart2 = static_cast<long long>(m_rec.Elapsed());
    m_api.StartUPSWatch();
    ExpectAround(m_rec.WaitFor(kACLoss, 2, 3000) - restart2, 1000, "AC loss of the new wait");
    EXPECT_EQ(1u, m_rec.Count(kACOn));
    EXPECT_EQ(2u, m_rec.Count(kACLoss));
}

TEST_F(WatchTest, NullLossAndS4EventsRunTheWaitsSilently)
{
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    data.hACLossEvent = NULL;
    data.hS4Event = NULL;
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ::Sleep(300);
    EXPECT_EQ(m_baseThreads + 2, ThreadCount()) << "the watch runs";
    SleepUntil(m_rec, 2300);
    EXPECT_EQ(m_baseThreads + 1, ThreadCount()) << "and ends after the second wait";
    EXPECT_EQ(0u, m_rec.Count(kACOn));
}

// ---- a UPS as the battery in use ----

TEST_F(WatchTest, UpsRuntimeAtTheReserveGivesAnEarlyS4AndItsCause)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetUps(0, 60, 65535));  // firmware's "don't know": no early S4
    ASSERT_TRUE(m_power.SetBatteryPresent(60));
    ASSERT_TRUE(m_power.SetAcOnline(false));
    ASSERT_EQ(0u, m_api.SetRuntimeReserve(300));
    WATCHDATA data = m_rec.Data(1, 600, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ASSERT_GE(m_rec.WaitFor(kACLoss, 1, 3000), 0);
    ASSERT_TRUE(sim.SetUps(0, 60, 400));
    ::Sleep(1200);
    EXPECT_EQ(0u, m_rec.Count(kS4));

    ASSERT_TRUE(sim.SetUps(0, 30, 170));
    const long long change = static_cast<long long>(m_rec.Elapsed());
    const long long s4 = m_rec.WaitFor(kS4, 1, 5000);
    ASSERT_GE(s4, 0);
    EXPECT_GE(s4 - change, 500 - kEarlyMs) << "alarm + balloon after the poll that saw it";
    EXPECT_LE(s4 - change, 500 + 500 + kLateMs) << "within one poll plus alarm plus balloon";
    const WATCHCAUSE cause = m_api.S4Cause();
    EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_RUNTIME), cause.dwCause);
    EXPECT_EQ(170u, cause.dwRuntime);
    WATCHSOURCE source = { sizeof(source) };
    ASSERT_EQ(0u, m_api.Source(&source));
    EXPECT_EQ(static_cast<DWORD>(WATCHSOURCE_UPS), source.dwKind);
    EXPECT_EQ(30u, source.dwPercent);
    EXPECT_EQ(170u, source.dwRuntime);
}

// Windows reports "line on, no battery" when the UPS drops off USB: the loss goes on.
TEST_F(WatchTest, UpsVanishingDuringTheLossGivesS4After15sNotACOn)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetUps(0, 60, 900));
    ASSERT_TRUE(m_power.SetBatteryPresent(60));
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 600, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ASSERT_GE(m_rec.WaitFor(kACLoss, 1, 3000), 0);
    ::Sleep(700);
    RemoveSimBattery();
    ASSERT_TRUE(m_power.SetBatteryAbsent());
    ASSERT_TRUE(m_power.SetAcOnline(true));
    const long long gone = static_cast<long long>(m_rec.Elapsed());
    m_api.StartUPSWatch();  // as the service does at the power-status change
    const long long s4 = m_rec.WaitFor(kS4, 1, 20000);
    ExpectAround(s4 - gone, 15000 + 250, "S4 15 s after the poll that found it gone");
    EXPECT_EQ(0u, m_rec.Count(kACOn));
    EXPECT_EQ(static_cast<DWORD>(WATCHCAUSE_UPS_LOST), m_api.S4Cause().dwCause);
}

TEST_F(WatchTest, UpsVanishingOutsideALossChangesNothing)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetUps(0, 60, 900));
    ASSERT_TRUE(m_power.SetBatteryPresent(60));
    WATCHDATA data = m_rec.Data(1, 600, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    RemoveSimBattery();
    ASSERT_TRUE(m_power.SetBatteryAbsent());
    m_api.StartUPSWatch();
    EXPECT_GE(m_rec.WaitFor(kACOn, 2, 3000), 0);
}

// ---- battery-level watcher ----

class BatteryWatchTest : public WatchTest {
protected:
    void SetUp() override
    {
        WatchTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_sim.reset(new SimBattery(1));
        ASSERT_EQ(0u, m_sim->Result());
        ASSERT_TRUE(m_power.SetBatteryPresent(50));
    }

    std::unique_ptr<SimBattery> m_sim;
};

TEST_F(BatteryWatchTest, LevelAgainstThreshold)
{
    struct Case {
        DWORD remaining, full, threshold, psts;
        int expected;
        bool systemKnows = true;  // the system's own estimate: 50 %, or none
    };
    const Case cases[] = {
        { 8, 100, 8, 1, kBattHigh },      // at the threshold
        { 7, 100, 8, 1, kBattLow },       // below
        { 7, 100, 8, 0, kBattHigh },      // below, but a refresh runs
        { 7, 100, 8, 2, kBattHigh },      // below, PKS state
        { 0, 100, 0, 1, kBattHigh },      // threshold 0: always high
        { 110, 100, 100, 1, kBattHigh },  // reading above 100 %
        { 100, 100, 101, 1, kBattLow },
        { 0xFFFFFFFF, 100, 8, 1, kBattHigh },  // capacity unknown: the system's 50 %
        { 0xFFFFFFFF, 100, 60, 1, kBattLow },
        { 0xFFFFFFFF, 100, 8, 1, -1, false },  // nor does the system know: neither
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.remaining << "% threshold " << c.threshold << " word " << c.psts);
        ASSERT_TRUE(m_sim->SetCapacity(0, c.remaining, c.full));
        ASSERT_TRUE(m_sim->SetPsts(0, c.psts));
        ASSERT_TRUE(c.systemKnows ? m_power.SetBatteryPresent(50) : m_power.SetBatteryAbsent());
        WATCHDATA data = m_rec.Data(1, 0, c.threshold, 300, 200);
        size_t cursor = m_rec.Total();
        const ULONGLONG start = m_rec.Elapsed();
        ASSERT_EQ(0u, m_api.Initialize(&data));
        ULONGLONG at = 0;
        // AC-on comes first, at once; the level follows with the first poll.
        EXPECT_EQ(kACOn, m_rec.Next(&cursor, 1500));
        EXPECT_EQ(c.expected, m_rec.Next(&cursor, 1500, &at));
        if (c.expected >= 0) {
            ExpectAround(static_cast<long long>(at - start), 500, "first poll");
        }
        m_api.Finalize();
    }
}

TEST_F(BatteryWatchTest, LevelDropIsSeenAtTheNextPollAndRepeated)
{
    ASSERT_TRUE(m_sim->SetCapacity(0, 9, 100));
    WATCHDATA data = m_rec.Data(1, 0, 8, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ASSERT_GE(m_rec.WaitFor(kBattHigh, 2, 2000), 0);

    ASSERT_TRUE(m_sim->SetCapacity(0, 7, 100));
    const ULONGLONG change = m_rec.Elapsed();
    const long long low = m_rec.WaitFor(kBattLow, 1, 2000);
    ASSERT_GE(low, 0);
    EXPECT_LE(low - static_cast<long long>(change), 1100) << "at the first poll after the change";
    SleepUntil(m_rec, static_cast<ULONGLONG>(low) + 1600);
    // Every poll signals again, and only the low event from now on.
    EXPECT_GE(m_rec.Count(kBattLow), 3u);
    for (ULONGLONG t : m_rec.Times(kBattHigh)) {
        EXPECT_LT(t, static_cast<ULONGLONG>(low));
    }
}

TEST_F(WatchTest, NoBatteryGivesNoBatteryEvent)
{
    ScopedLogSettings log(L"t_watch_nobatt.log", 1, 0);
    WATCHDATA data = m_rec.Data(1, 0, 0, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ::Sleep(1600);
    EXPECT_EQ(0u, m_rec.Count(kBattHigh));
    EXPECT_EQ(0u, m_rec.Count(kBattLow));
    m_api.Finalize();
    // One line per poll names the reason.
    EXPECT_TRUE(log.Contains(L"error occurred. code: 259"));
}

// ---- lifetime ----

TEST_F(WatchTest, ExportsOutsideTheInitialisedStateDoNothing)
{
    WATCHSOURCE source = { sizeof(source) };
    EXPECT_EQ(21u, m_api.Source(&source));
    source.cbSize = 0;
    EXPECT_EQ(87u, m_api.Source(&source));
    m_api.StartUPSWatch();
    m_api.StopUPSWatch();
    m_api.Finalize();
    EXPECT_EQ(m_baseThreads, ThreadCount());

    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    m_api.Finalize();
    m_api.Finalize();
    ::Sleep(50);  // signals from before the return reach the recorder
    size_t cursor = m_rec.Total();
    ASSERT_TRUE(m_power.SetAcOnline(false));
    m_api.StartUPSWatch();
    m_api.StopUPSWatch();
    m_api.StartUPSWatch();
    EXPECT_EQ(m_baseThreads, ThreadCount());
    EXPECT_EQ(-1, m_rec.Next(&cursor, 1300));
    EXPECT_EQ(1u, m_rec.Count(kACOn));
}

TEST_F(WatchTest, InitializeWithoutRecordThenStartLogsTheMissingObject)
{
    ScopedLogSettings log(L"t_watch_null.log", 1, 1);
    EXPECT_EQ(87u, m_api.Initialize(nullptr));
    m_api.StartUPSWatch();
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());  // no watcher; only the log's writer
    EXPECT_TRUE(log.WaitFor(L"lpData is NULL.", 5000));
    EXPECT_TRUE(log.WaitFor(L"g_pDllObj is NULL.", 5000));
    EXPECT_TRUE(log.WaitFor(L"Exit - Error!", 5000));
}

TEST_F(WatchTest, NothingIsSignalledAfterFinalize)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(m_power.SetBatteryPresent(50));
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 8, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    ASSERT_GE(m_rec.WaitFor(kBattHigh, 1, 1500), 0);
    m_api.Finalize();
    ::Sleep(50);  // signals from before the return reach the recorder
    size_t cursor = m_rec.Total();
    EXPECT_EQ(m_baseThreads, ThreadCount());
    EXPECT_EQ(-1, m_rec.Next(&cursor, 2000)) << "no AC loss, no battery level";
}

TEST_F(WatchTest, SecondInitializeIsRefused)
{
    ScopedLogSettings log(L"t_watch_twice.log", 1, 1);
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));
    EXPECT_EQ(183u, m_api.Initialize(&data));
    // The initialisation's exit line carries any result the same way.
    EXPECT_TRUE(log.WaitFor(L"Exit retval:000000b7", 5000));
    EXPECT_EQ(m_baseThreads + 2, ThreadCount());  // the battery watcher and the log's writer
    m_api.Finalize();
    EXPECT_EQ(m_baseThreads, ThreadCount());
}

TEST_F(WatchTest, OverlappingStartAndStopCallsAreSerialised)
{
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));

    std::atomic<bool> stop{ false };
    std::atomic<int> calls{ 0 };
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            for (int i = t; !stop; ++i) {
                if (i % 2 == 0) {
                    m_api.StartUPSWatch();
                } else {
                    m_api.StopUPSWatch();
                }
                ++calls;
            }
        });
    }
    ::Sleep(3000);
    stop = true;
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_GT(calls.load(), 30);

    // Consistent afterwards: one stop leaves only the battery-level watcher, and no watch
    // thread lost track of during the storm signals later.
    m_api.StopUPSWatch();
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());
    size_t cursor = m_rec.Total();
    EXPECT_EQ(-1, m_rec.Next(&cursor, 1700));
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());
    // One start runs a complete watch.
    const long long start = static_cast<long long>(m_rec.Elapsed());
    const size_t losses = m_rec.Count(kACLoss);
    m_api.StartUPSWatch();
    ExpectAround(m_rec.WaitFor(kACLoss, losses + 1, 3000) - start, 1000, "AC loss after the storm");
    m_api.Finalize();
    EXPECT_EQ(m_baseThreads, ThreadCount());
}

TEST_F(WatchTest, StopDuringASlowStartTakesEffectAfterIt)
{
    // A battery device without a system battery: every line reading waits 500 ms for a second
    // one, so a start takes that long.
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(m_power.SetAcOnline(false));
    WATCHDATA data = m_rec.Data(1, 0, 50, 300, 200);
    ASSERT_EQ(0u, m_api.Initialize(&data));

    std::thread starter([&] { m_api.StartUPSWatch(); });
    ::Sleep(150);
    const ULONGLONG t0 = NowMs();
    m_api.StopUPSWatch();
    const ULONGLONG stopMs = NowMs() - t0;
    starter.join();

    // The stop waited for the start, so it is the last word: no watch runs afterwards.
    EXPECT_GE(stopMs, 250u);
    EXPECT_EQ(m_baseThreads + 1, ThreadCount());
    ::Sleep(1700);
    EXPECT_EQ(0u, m_rec.Count(kACLoss));
    EXPECT_EQ(0u, m_rec.Count(kS4));
    EXPECT_EQ(0u, m_rec.Count(kACOn));
}
