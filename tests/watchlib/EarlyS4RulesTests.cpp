// The early hibernation's rules, one poll at a time, without devices or clocks.
#include "CEarlyS4Rules.h"
#include "CSourceSnapshot.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const DWORD kGraceMs = 700;  // alarm + balloon
const DWORD kUnknown = WATCH_UNKNOWN_RUNTIME;
const ULONGLONG kNone = CEarlyS4Rules::kNoDeadline;

}  // namespace

TEST(EarlyS4Rules, PollSequences)
{
    struct Row {
        const char* what;
        DWORD reserve;
        BOOL ups;
        std::vector<S4POLL> polls;  // line off, present, runtime, critical, elapsed ms
        ULONGLONG deadline;
        DWORD cause;
        bool acOn = false;  // the last poll's verdict
    };
    const Row rows[] = {
        { "runtime above the reserve", 300, TRUE, { { 1, 1, 400, 0, 500 } }, kNone, WATCHCAUSE_TIMER },
        { "reserve reached", 300, TRUE, { { 1, 1, 400, 0, 500 }, { 1, 1, 170, 0, 1000 } }, 1700, WATCHCAUSE_RUNTIME },
        { "at the reserve", 300, FALSE, { { 1, 1, 300, 0, 500 } }, 1200, WATCHCAUSE_RUNTIME },
        { "reserve off", 0, TRUE, { { 1, 1, 10, 0, 500 } }, kNone, WATCHCAUSE_TIMER },
        { "runtime unknown", 300, TRUE, { { 1, 1, kUnknown, 0, 500 } }, kNone, WATCHCAUSE_TIMER },
        { "line on", 300, TRUE, { { 0, 1, 100, 0, 500 } }, kNone, WATCHCAUSE_TIMER },
        { "never pushed back", 300, TRUE, { { 1, 1, 170, 0, 500 }, { 1, 1, 160, 0, 1000 } }, 1200, WATCHCAUSE_RUNTIME },
        { "critical once", 0, TRUE, { { 1, 1, kUnknown, 1, 500 } }, kNone, WATCHCAUSE_TIMER },
        { "critical, not, critical", 0, TRUE,
          { { 1, 1, kUnknown, 1, 500 }, { 1, 1, kUnknown, 0, 1000 }, { 1, 1, kUnknown, 1, 1500 } }, kNone,
          WATCHCAUSE_TIMER },
        { "critical twice", 0, FALSE, { { 1, 1, kUnknown, 1, 500 }, { 1, 1, kUnknown, 1, 1000 } }, 1700,
          WATCHCAUSE_CRITICAL },
        { "critical twice, line on", 0, TRUE, { { 0, 1, kUnknown, 1, 500 }, { 0, 1, kUnknown, 1, 1000 } }, kNone,
          WATCHCAUSE_TIMER },
        { "UPS vanished", 0, TRUE, { { 1, 1, 400, 0, 500 }, { 0, 0, kUnknown, 0, 1000 } }, 16000,
          WATCHCAUSE_UPS_LOST },
        { "UPS gone from the start", 0, TRUE, { { 0, 0, kUnknown, 0, 500 }, { 0, 0, kUnknown, 0, 1000 } }, 15500,
          WATCHCAUSE_UPS_LOST },
        { "UPS back with the line on", 0, TRUE, { { 0, 0, kUnknown, 0, 500 }, { 0, 1, 400, 0, 3000 } }, kNone,
          WATCHCAUSE_TIMER, true },
        { "UPS back with the line off", 0, TRUE, { { 0, 0, kUnknown, 0, 500 }, { 1, 1, 400, 0, 3000 } }, kNone,
          WATCHCAUSE_TIMER },
        { "internal battery gone", 0, FALSE, { { 1, 1, 400, 0, 500 }, { 0, 0, kUnknown, 0, 1000 } }, kNone,
          WATCHCAUSE_TIMER },
        { "critical once, weighed at its source", 0, FALSE, { { 1, 1, kUnknown, 1, 500, TRUE } }, 1200,
          WATCHCAUSE_CRITICAL },
        { "weighed critical, line on", 0, FALSE, { { 0, 1, kUnknown, 1, 500, TRUE } }, kNone, WATCHCAUSE_TIMER },
        { "reserve before the vanish", 300, TRUE, { { 1, 1, 100, 0, 500 }, { 0, 0, kUnknown, 0, 1000 } }, 1200,
          WATCHCAUSE_RUNTIME },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CEarlyS4Rules rules;
        rules.Begin(kGraceMs, row.ups);
        CEarlyS4Rules::Verdict verdict = CEarlyS4Rules::VERDICT_WAIT;
        for (const S4POLL& poll : row.polls) {
            verdict = rules.Feed(poll, row.reserve);
        }
        EXPECT_EQ(row.deadline, rules.Deadline());
        EXPECT_EQ(row.cause, rules.Cause());
        EXPECT_EQ(row.acOn, verdict == CEarlyS4Rules::VERDICT_AC_ON);
        EXPECT_EQ(row.polls.back().bBatteryPresent ? row.polls.back().dwRuntime : kUnknown, rules.Runtime());
    }
}

// The AC-line watcher's poll takes each reading of the level watcher once, and none that is old:
// a level watcher stuck in the driver leaves the rules as they are.
TEST(SourceSnapshot, OnlyNewAndRecentReadingsAreFed)
{
    const SOURCESTATE gone = { FALSE, FALSE, 255, kUnknown, FALSE };
    struct Row {
        const char* what;
        int published;       // readings published, the last at 1000 ms
        ULONGLONG readAtMs;  // the poll
        int readBefore;      // readings already fed
        bool fed;
    };
    const Row rows[] = {
        { "none yet", 0, 1000, 0, false },
        { "fresh", 1, 1500, 0, true },
        { "at the limit", 1, 1000 + CSourceSnapshot::kStaleMs, 0, true },
        { "stale", 1, 1001 + CSourceSnapshot::kStaleMs, 0, false },
        { "already fed", 2, 1200, 2, false },
        { "one newer", 3, 1200, 2, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CSourceSnapshot snapshot;
        for (int i = 1; i <= row.published; ++i) {
            snapshot.Publish(gone, 1000 - (row.published - i) * 500);
        }
        ULONGLONG seq = row.readBefore;
        SOURCESTATE state = { TRUE, TRUE, 50, 100, TRUE };
        ULONGLONG takenMs = 0;
        EXPECT_EQ(row.fed, snapshot.ReadNew(row.readAtMs, &seq, &state, &takenMs) != FALSE);
        // Nothing fed leaves the poll's copy alone: no vanished UPS, no line back.
        EXPECT_EQ(row.fed ? FALSE : TRUE, state.bPresent);
        EXPECT_EQ(row.fed ? 1000u : 0u, takenMs);
        EXPECT_EQ(static_cast<ULONGLONG>(row.fed ? row.published : row.readBefore), seq);
    }
}
