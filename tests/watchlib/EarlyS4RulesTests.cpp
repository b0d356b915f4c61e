// The early hibernation's rules, one poll at a time, without devices or clocks.
#include "CEarlyS4Rules.h"

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
