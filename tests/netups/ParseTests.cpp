// The pure parts of the network UPS client: the monitor setting, reply lines, the variables.
#include "CUpsReply.h"
#include "CUpsSession.h"
#include "CUpsTarget.h"
#include "CUpsValues.h"

#include <gtest/gtest.h>

#include <string>

TEST(NetUpsParse, Target)
{
    const struct {
        LPCWSTR text;
        const char* ups;  // NULL: rejected
        const char* host;
        WORD port;
    } rows[] = {
        {L"ups@nas", "ups", "nas", 3493},
        {L"my-ups_1.a@nas.example.org:4000", "my-ups_1.a", "nas.example.org", 4000},
        {L"ups@192.168.1.5:1", "ups", "192.168.1.5", 1},
        {L"ups@[::1]", "ups", "::1", 3493},
        {L"ups@[fe80::1%12]:65535", "ups", "fe80::1%12", 65535},
        {L"ups@host:65536", NULL}, {L"ups@host:0", NULL}, {L"ups@host:", NULL},
        {L"ups@host:12a", NULL}, {L"ups@host:-1", NULL}, {L"ups@host:000001", NULL},
        {L"@host", NULL}, {L"ups@", NULL}, {L"ups@:3493", NULL}, {L"ups", NULL}, {L"", NULL},
        {L"ups @host", NULL}, {L"ups@ho st", NULL}, {L"ups@host ", NULL}, {L"u\x00e9@host", NULL},
        {L"ups@[::1", NULL}, {L"ups@[]", NULL}, {L"ups@[::1]x", NULL}, {L"ups@[host]", NULL},
        {L"ups@a@b", NULL}, {L"u\"p@host", NULL}, {L"ups@ho_st", NULL},
    };
    for (const auto& row : rows) {
        CUpsTarget target;
        ASSERT_EQ(row.ups != NULL, target.Parse(row.text)) << row.text;
        if (row.ups != NULL) {
            EXPECT_STREQ(row.ups, target.GetUpsName());
            EXPECT_STREQ(row.host, target.GetHost());
            EXPECT_EQ(row.port, target.GetPort());
        }
    }
    CUpsTarget target;
    EXPECT_FALSE(target.Parse(NULL));
    EXPECT_TRUE(target.Parse((L"ups@" + std::wstring(253, L'h')).c_str()));
    EXPECT_FALSE(target.Parse((L"ups@" + std::wstring(254, L'h')).c_str()));
    EXPECT_FALSE(target.Parse((std::wstring(64, L'u') + L"@h").c_str()));
    EXPECT_FALSE(target.Parse((L"ups@" + std::wstring(400, L'h')).c_str()));
}

TEST(NetUpsParse, Reply)
{
    const struct {
        const char* line;
        UpsReplyKind kind;
        const char* text;
    } rows[] = {
        {"OK", UpsReplyOk, ""},
        {"OK Goodbye", UpsReplyOk, ""},
        {"OKAY", UpsReplyMalformed, ""},
        {"ERR ACCESS-DENIED", UpsReplyErr, "ACCESS-DENIED"},
        {"ERR DATA-STALE more words", UpsReplyErr, "DATA-STALE"},
        {"ERR", UpsReplyMalformed, ""},
        {"ERR ", UpsReplyMalformed, ""},
        {"ERR lower", UpsReplyMalformed, ""},
        {"VAR ups ups.status \"OL CHRG\"", UpsReplyVar, "OL CHRG"},
        {"VAR ups ups.status \"\"", UpsReplyVar, ""},
        {"VAR ups ups.status \"a \\\"q\\\" b\\\\c\"", UpsReplyVar, "a \"q\" b\\c"},
        {"VAR ups ups.status \"\\x\"", UpsReplyVar, "x"},
        {"VAR ups ups.status OL", UpsReplyMalformed, ""},
        {"VAR ups ups.status \"OL", UpsReplyMalformed, ""},
        {"VAR ups ups.status \"OL\\\"", UpsReplyMalformed, ""},
        {"VAR ups ups.status \"OL\" trailing", UpsReplyMalformed, ""},
        {"VAR other ups.status \"OL\"", UpsReplyMalformed, ""},
        {"VAR ups battery.charge \"100\"", UpsReplyMalformed, ""},
        {"VAR ups  ups.status \"OL\"", UpsReplyMalformed, ""},
        {"VAR upsx ups.status \"OL\"", UpsReplyMalformed, ""},
        {"", UpsReplyMalformed, ""},
        {"BEGIN LIST VAR ups", UpsReplyMalformed, ""},
    };
    for (const auto& row : rows) {
        CUpsReply reply;
        EXPECT_EQ(row.kind, reply.Parse(row.line, "ups", "ups.status")) << row.line;
        EXPECT_EQ(row.text, reply.GetText()) << row.line;
    }
    CUpsReply reply;
    EXPECT_EQ(UpsReplyMalformed, reply.Parse("VAR ups ups.status \"OL\"", NULL, NULL));
}

TEST(NetUpsParse, Status)
{
    const struct {
        const char* value;
        UpsLine line;
        bool critical;
    } rows[] = {
        {"OL", UpsLineOn, false},        {"OL CHRG", UpsLineOn, false},
        {"OB", UpsLineOff, false},       {"OB DISCHRG", UpsLineOff, false},
        {"OB LB", UpsLineOff, true},     {"LB OB", UpsLineOff, true},
        {"OL LB", UpsLineOn, true},      {"FSD OB LB", UpsLineOff, true},
        {"FSD OL", UpsLineOff, true},    {"OL OB", UpsLineOff, false},
        {"OB OL LB", UpsLineOff, true},  {"", UpsLineUnknown, false},
        {"WAIT", UpsLineUnknown, false}, {"OFF BYPASS", UpsLineUnknown, false},
        {"OLX OBX LBX", UpsLineUnknown, false}, {"ol ob", UpsLineUnknown, false},
        {"  OL  ", UpsLineOn, false},    {"OL TRIM RB HB CAL ALARM", UpsLineOn, false},
    };
    for (const auto& row : rows) {
        UpsReading reading = {};
        CUpsValues::ParseStatus(row.value, reading);
        EXPECT_EQ(row.line, reading.line) << row.value;
        EXPECT_EQ(row.critical, reading.bCritical) << row.value;
    }
    UpsReading reading = {};
    CUpsValues::ParseStatus(std::string(200, 'X') + "\x01", reading);
    EXPECT_EQ(NETUPS_MAX_STATUS - 1, wcslen(reading.szStatus));
    CUpsValues::ParseStatus("OB\x01", reading);
    EXPECT_STREQ(L"OB?", reading.szStatus);
}

TEST(NetUpsParse, ChargeAndRuntime)
{
    const struct {
        const char* value;
        int charge;
        int runtime;
    } rows[] = {
        {"0", 0, 0},          {"100", 100, 100},       {"87.9", 87, 87},
        {"101", -1, 101},     {"1800", -1, 1800},      {"65534", -1, 65534},
        {"65535", -1, -1},    {"99999999999", -1, -1}, {"-5", -1, -1},
        {"", -1, -1},         {"abc", -1, -1},         {"12abc", -1, -1},
        {" 12", -1, -1},      {"12 ", -1, -1},         {".5", -1, -1},
        {"5.", 5, 5},         {"1.2.3", -1, -1},       {"007", 7, 7},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.charge, CUpsValues::ParseCharge(row.value)) << row.value;
        EXPECT_EQ(row.runtime, CUpsValues::ParseRuntime(row.value)) << row.value;
    }
}

TEST(NetUpsParse, Arguments)
{
    EXPECT_EQ("monuser", CUpsSession::Argument("monuser"));
    EXPECT_EQ("\"\"", CUpsSession::Argument(""));
    EXPECT_EQ("\"pa ss\"", CUpsSession::Argument("pa ss"));
    EXPECT_EQ("\"a\\\"b\\\\c\"", CUpsSession::Argument("a\"b\\c"));
}
