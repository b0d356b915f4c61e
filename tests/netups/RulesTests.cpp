// The link rules driven by a clock of our own, and the session's steps against a scripted socket.
#include "CUpsLinkRules.h"
#include "CUpsSession.h"
#include "CUpsValues.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct RuleStep {
    ULONGLONG t;
    const char* status;  // a reading with these words, or NULL
    UpsFailure failure;  // else this failure (UpsFailNone: a tick)
    UpsLink link;
    bool off;
    bool critical;
    bool changed;
};

void RunSteps(DWORD dwDeadTime, const std::vector<RuleStep>& steps)
{
    CUpsLinkRules rules(dwDeadTime);
    for (size_t i = 0; i < steps.size(); ++i) {
        const RuleStep& step = steps[i];
        bool bChanged = false;
        if (step.status != NULL) {
            UpsReading reading = {};
            CUpsValues::ParseStatus(step.status, reading);
            bChanged = rules.OnReading(step.t, reading);
        } else if (step.failure != UpsFailNone) {
            bChanged = rules.OnFailure(step.t, step.failure, "WORD");
        } else {
            rules.OnTick(step.t);
        }
        const NetUpsSnapshot& snapshot = rules.GetSnapshot();
        EXPECT_EQ(step.link, snapshot.link) << "step " << i;
        EXPECT_EQ(step.off, snapshot.bLineOff) << "step " << i;
        EXPECT_EQ(step.critical, snapshot.bCritical) << "step " << i;
        EXPECT_EQ(step.changed, bChanged) << "step " << i;
    }
}

const UpsFailure kTick = UpsFailNone;

}  // namespace

TEST(NetUpsRules, Sequences)
{
    // Refused at the start, then reached.
    RunSteps(15, {{0, NULL, UpsFailUnreachable, UpsLinkUnreachable, false, false, true},
                  {5000, NULL, UpsFailUnreachable, UpsLinkUnreachable, false, false, false},
                  {10000, "OL", kTick, UpsLinkOnline, false, false, true}});
    // Lost while on line: "lost" once, however often the retries fail; back at the next reading.
    RunSteps(15, {{0, "OL CHRG", kTick, UpsLinkOnline, false, false, true},
                  {2000, NULL, UpsFailLost, UpsLinkLost, false, false, true},
                  {7000, NULL, UpsFailUnreachable, UpsLinkLost, false, false, false},
                  {12000, NULL, UpsFailLost, UpsLinkLost, false, false, false},
                  {17000, "OL", kTick, UpsLinkOnline, false, false, true}});
    // Stale while on battery: held, critical once the dead time (5 s) has passed since the loss.
    RunSteps(5, {{0, "OB DISCHRG", kTick, UpsLinkOnline, true, false, true},
                 {2000, NULL, UpsFailLost, UpsLinkHolding, true, false, true},
                 {6999, NULL, kTick, UpsLinkHolding, true, false, false},
                 {7000, NULL, UpsFailUnreachable, UpsLinkHolding, true, true, false},
                 {8000, NULL, UpsFailDenied, UpsLinkHolding, true, true, false},
                 {9000, "OL", kTick, UpsLinkOnline, false, false, true},
                 {11000, NULL, UpsFailLost, UpsLinkLost, false, false, true}});
    // Already low on battery: held critical at once.
    RunSteps(300, {{0, "OB LB", kTick, UpsLinkOnline, true, true, true},
                   {2000, NULL, UpsFailLost, UpsLinkHolding, true, true, true}});
    // Refused login and an unknown UPS: each reported once; a later refused connect is "lost".
    RunSteps(15, {{0, NULL, UpsFailDenied, UpsLinkDenied, false, false, true},
                  {5000, NULL, UpsFailDenied, UpsLinkDenied, false, false, false},
                  {10000, NULL, UpsFailUnknownUps, UpsLinkUnknownUps, false, false, true},
                  {15000, "OL LB", kTick, UpsLinkOnline, false, true, true},
                  {17000, NULL, UpsFailDenied, UpsLinkDenied, false, false, true},
                  {22000, NULL, UpsFailUnreachable, UpsLinkDenied, false, false, false}});
    // Stale at the very start: nothing held, since nothing was read.
    RunSteps(15, {{0, NULL, UpsFailLost, UpsLinkLost, false, false, true}});
}

TEST(NetUpsRules, PaceAndDeadTime)
{
    EXPECT_EQ(5000u, CUpsLinkRules(0).GetDeadTimeMs());
    EXPECT_EQ(300000u, CUpsLinkRules(301).GetDeadTimeMs());
    CUpsLinkRules rules(5);
    UpsReading reading = {};
    CUpsValues::ParseStatus("OB", reading);
    rules.OnReading(1000, reading);
    EXPECT_EQ(2000u, rules.GetWaitMs(1000));
    rules.OnFailure(3000, UpsFailLost, "NO-ANSWER");
    rules.OnFailure(6000, UpsFailUnreachable, "CONNECT-FAILED");
    // The dead time (from 3000) ends before the next attempt (at 11000): the wait ends with it.
    EXPECT_EQ(2000u, rules.GetWaitMs(6000));
    EXPECT_FALSE(rules.IsDue(10999));
    EXPECT_STREQ(L"CONNECT-FAILED", rules.GetSnapshot().szError);
}

namespace {

// Answers each request line from a script; a request without an answer times out.
class CScriptSocket : public IUpsSocket {
public:
    DWORD Connect(const char*, WORD, DWORD) override { return connectResult; }
    DWORD SendLine(const std::string& line, DWORD) override
    {
        sent.push_back(line);
        return ERROR_SUCCESS;
    }
    DWORD ReceiveLine(std::string& line, DWORD) override
    {
        const auto it = replies.find(sent.back());
        if (it == replies.end()) {
            return ERROR_TIMEOUT;
        }
        line = it->second;
        return line.empty() ? ERROR_INVALID_DATA : ERROR_SUCCESS;
    }
    void Close() override {}

    DWORD connectResult = ERROR_SUCCESS;
    std::map<std::string, std::string> replies = {
        {"USERNAME mon", "OK"},
        {"PASSWORD \"p w\"", "OK"},
        {"LOGIN ups", "OK"},
        {"GET VAR ups ups.status", "VAR ups ups.status \"OB LB\""},
        {"GET VAR ups battery.charge", "VAR ups battery.charge \"42.5\""},
        {"GET VAR ups battery.runtime", "VAR ups battery.runtime \"600\""},
        {"LOGOUT", "OK Goodbye"},
    };
    std::vector<std::string> sent;
};

}  // namespace

TEST(NetUpsRules, SessionSteps)
{
    const struct {
        const char* user;
        DWORD connect;
        const char* request;  // its reply replaced by reply ("" for a broken line)
        const char* reply;
        UpsFailure failure;
        const char* word;
        int percent;
    } rows[] = {
        {"", ERROR_SUCCESS, "", "", UpsFailNone, "", 42},
        {"mon", ERROR_SUCCESS, "", "", UpsFailNone, "", 42},
        {"mon", ERROR_SUCCESS, "LOGIN ups", "ERR ACCESS-DENIED", UpsFailDenied, "ACCESS-DENIED", 0},
        {"mon", ERROR_SUCCESS, "PASSWORD \"p w\"", "ERR INVALID-PASSWORD", UpsFailDenied, "INVALID-PASSWORD", 0},
        {"mon", ERROR_SUCCESS, "LOGIN ups", "ERR UNKNOWN-UPS", UpsFailUnknownUps, "UNKNOWN-UPS", 0},
        {"mon", ERROR_SUCCESS, "LOGIN ups", "ERR ALREADY-LOGGED-IN", UpsFailNone, "", 42},
        {"mon", ERROR_SUCCESS, "LOGIN ups", "VAR ups ups.status \"OL\"", UpsFailLost, "BAD-REPLY", 0},
        {"", ERROR_CONNECTION_REFUSED, "", "", UpsFailUnreachable, "CONNECT-FAILED", 0},
        {"", ERROR_TIMEOUT, "", "", UpsFailUnreachable, "CONNECT-TIMEOUT", 0},
        {"", ERROR_SUCCESS, "GET VAR ups ups.status", "ERR DATA-STALE", UpsFailLost, "DATA-STALE", 0},
        {"", ERROR_SUCCESS, "GET VAR ups ups.status", "ERR DRIVER-NOT-CONNECTED", UpsFailLost, "DRIVER-NOT-CONNECTED", 0},
        {"", ERROR_SUCCESS, "GET VAR ups ups.status", "ERR UNKNOWN-UPS", UpsFailUnknownUps, "UNKNOWN-UPS", 0},
        {"", ERROR_SUCCESS, "GET VAR ups ups.status", "ERR ALREADY-LOGGED-IN", UpsFailLost, "ALREADY-LOGGED-IN", 0},
        {"", ERROR_SUCCESS, "GET VAR ups battery.charge", "ERR VAR-NOT-SUPPORTED", UpsFailNone, "", -1},
        {"", ERROR_SUCCESS, "GET VAR ups battery.charge", "VAR ups battery.runtime \"1\"", UpsFailLost, "BAD-REPLY", 0},
        {"", ERROR_SUCCESS, "GET VAR ups battery.runtime", "OK", UpsFailLost, "BAD-REPLY", 0},
        {"", ERROR_SUCCESS, "GET VAR ups battery.runtime", "", UpsFailLost, "BAD-LINE", 0},
        {"", ERROR_SUCCESS, "GET VAR ups ups.status", NULL, UpsFailLost, "NO-ANSWER", 0},
    };
    CUpsTarget target;
    ASSERT_TRUE(target.Parse(L"ups@nas"));
    for (const auto& row : rows) {
        CScriptSocket socket;
        socket.connectResult = row.connect;
        if (row.reply == NULL) {
            socket.replies.erase(row.request);
        } else if (*row.request != '\0') {
            socket.replies[row.request] = row.reply;
        }
        CUpsSession session(socket, target, row.user, "p w");
        std::string word;
        UpsReading reading = {};
        UpsFailure failure = session.Open(word);
        if (failure == UpsFailNone) {
            failure = session.Poll(reading, word);
        }
        EXPECT_EQ(row.failure, failure) << row.request << " " << (row.reply ? row.reply : "");
        EXPECT_EQ(failure == UpsFailNone, session.IsOpen()) << row.request;
        if (failure != UpsFailNone) {
            EXPECT_EQ(row.word, word) << row.request;
            continue;
        }
        EXPECT_EQ(UpsLineOff, reading.line);
        EXPECT_TRUE(reading.bCritical);
        EXPECT_EQ(row.percent, reading.nPercent);
        EXPECT_EQ(600, reading.nRuntime);
        EXPECT_EQ(*row.user != '\0', socket.sent[0] == "USERNAME mon") << row.user;
        session.Close(1000);
        EXPECT_EQ("LOGOUT", socket.sent.back());
        EXPECT_FALSE(session.IsOpen());
    }
}
