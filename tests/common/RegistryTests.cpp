#include "CRegistry.h"
#include "CSettings.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const std::wstring kKey = std::wstring(kTestKey) + L"\\Registry";

class RegistryReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegTree(kKey);
        SetRegDword(kKey, L"dword", 42);
        SetRegString(kKey, L"string", L"value");
        ASSERT_EQ(0, reg.OpenKey(kKey.c_str(), KEY_READ));
    }
    void TearDown() override { DeleteRegTree(kKey); }

    CRegistry reg;
};

}  // namespace

TEST_F(RegistryReader, ReadsTypedValues)
{
    DWORD value = 0;
    EXPECT_EQ(0, reg.QueryDWORDValue(L"dword", &value));
    EXPECT_EQ(42u, value);

    DWORD chars = 0;
    EXPECT_EQ(0, reg.QueryStringValue(L"string", nullptr, &chars));
    EXPECT_EQ(6u, chars) << "capacity with terminator";
    wchar_t text[16];
    chars = 16;
    EXPECT_EQ(0, reg.QueryStringValue(L"string", text, &chars));
    EXPECT_EQ(6u, chars);
    EXPECT_STREQ(L"value", text);
}

TEST_F(RegistryReader, WrongTypeIsInvalidDataAndLeavesTheOutputAlone)
{
    DWORD value = 7;
    EXPECT_EQ(13, reg.QueryDWORDValue(L"string", &value));
    EXPECT_EQ(7u, value);

    wchar_t text[16] = L"untouched";
    DWORD chars = 16;
    EXPECT_EQ(13, reg.QueryStringValue(L"dword", text, &chars));
    EXPECT_STREQ(L"untouched", text);
}

TEST_F(RegistryReader, MissingValuesAndBadArguments)
{
    DWORD value = 7;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.QueryDWORDValue(L"absent", &value));
    EXPECT_EQ(7u, value);
    EXPECT_EQ(87, reg.QueryDWORDValue(nullptr, &value));
    EXPECT_EQ(87, reg.QueryDWORDValue(L"dword", nullptr));
    EXPECT_EQ(87, reg.OpenKey(nullptr, KEY_READ));
}

TEST_F(RegistryReader, StringLongerThanTheBufferIsMoreData)
{
    SetRegString(kKey, L"long", std::wstring(300, L'x'));
    wchar_t text[261];
    DWORD chars = 260;
    EXPECT_EQ(234, reg.QueryStringValue(L"long", text, &chars));
}

TEST_F(RegistryReader, SubkeysOpenBelowTheOpenKey)
{
    SetRegDword(kKey + L"\\Sub", L"inner", 5);
    ASSERT_EQ(0, reg.OpenKey(L"Sub", KEY_READ));
    DWORD value = 0;
    EXPECT_EQ(0, reg.QueryDWORDValue(L"inner", &value));
    EXPECT_EQ(5u, value);
    EXPECT_EQ(0, reg.CloseKey());
    EXPECT_EQ(0, reg.CloseKey());
}

namespace {

const std::wstring kPolicyKey = MIREL_POLICY_KEY;
const std::wstring kProductKey = MIREL_SETTINGS_KEY;

struct SettingRow {
    const wchar_t* name;       // what the case shows
    DWORD setting;
    bool policy;               // a policy value is present
    DWORD policyValue;
    int product;               // 0 absent, 1 a DWORD, 2 a string (mistyped)
    DWORD productValue;
    DWORD expected;
    LONG result;               // of reading the product's value (0 when the policy's was read)
};

}  // namespace

// Every setting of the shared contract: the policy wins, a mistyped or missing value falls back,
// every value is clamped to its range (the two waits too, whose sum the service adds up).
TEST(Settings, PolicyFirstThenProductThenDefaultAlwaysClamped)
{
    const SettingRow rows[] = {
        {L"default", SETTING_POWER_FLICKER_TIME, false, 0, 0, 0, 5, ERROR_FILE_NOT_FOUND},
        {L"product", SETTING_POWER_FLICKER_TIME, false, 0, 1, 12, 12, 0},
        {L"policy wins", SETTING_POWER_FLICKER_TIME, true, 30, 1, 12, 30, 0},
        {L"policy clamped", SETTING_POWER_FLICKER_TIME, true, 999, 1, 12, 60, 0},
        {L"mistyped product", SETTING_HIBERNATE_AFTER, false, 0, 2, 0, 0, ERROR_INVALID_DATA},
        {L"policy over mistyped", SETTING_HIBERNATE_AFTER, true, 7, 2, 0, 7, 0},
        {L"low clamp", SETTING_BATTERY_LIFE_PERCENT, false, 0, 1, 1, 5, 0},
        {L"high clamp", SETTING_BATTERY_LIFE_PERCENT, false, 0, 1, 90, 20, 0},
        {L"beeps", SETTING_BEEP_COUNT, false, 0, 1, 11, 10, 0},
        {L"frequency", SETTING_BEEP_FREQUENCY, false, 0, 1, 10, 37, 0},
        {L"balloon wait", SETTING_SHOW_BALLOON_WAIT, false, 0, 1, 0xFFFFFFFF, 10000, 0},
        {L"switch check", SETTING_DT_SWITCH_CHECK, true, 0xFFFFFFFF, 0, 0, 500, 0},
        {L"runtime reserve", SETTING_HIBERNATE_AT_RUNTIME, false, 0, 0, 0, 180, ERROR_FILE_NOT_FOUND},
        {L"reserve off", SETTING_HIBERNATE_AT_RUNTIME, true, 0, 1, 600, 0, 0},
        {L"reserve clamped", SETTING_HIBERNATE_AT_RUNTIME, false, 0, 1, 7200, 3600, 0},
        {L"dead time", SETTING_UPS_DEAD_TIME, false, 0, 0, 0, 15, ERROR_FILE_NOT_FOUND},
        {L"dead time policy clamped", SETTING_UPS_DEAD_TIME, true, 1, 1, 60, 5, 0},
        {L"dead time clamped", SETTING_UPS_DEAD_TIME, false, 0, 1, 3600, 300, 0},
    };
    for (const SettingRow& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteRegTree(kPolicyKey);
        DeleteRegTree(kProductKey);
        const wchar_t* valueName = CSettings::Definition(row.setting)->lpszName;
        if (row.policy) {
            SetRegDword(kPolicyKey, valueName, row.policyValue);
        }
        if (row.product == 1) {
            SetRegDword(kProductKey, valueName, row.productValue);
        } else if (row.product == 2) {
            SetRegString(kProductKey, valueName, L"12");
        } else {
            SetRegDword(kProductKey, L"Unrelated", 1);
        }
        CSettings settings;
        EXPECT_EQ(0, settings.Initialize());
        DWORD value = 0;
        EXPECT_EQ(row.result, settings.Query(row.setting, &value));
        EXPECT_EQ(row.expected, value);
        EXPECT_EQ(row.expected, settings.Get(row.setting));
    }
    DeleteRegTree(kPolicyKey);
    DeleteRegTree(kProductKey);

    CSettings none;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, none.Initialize());
    EXPECT_EQ(2100u, none.AlarmTime()) << "(200 + 500) x 3 by default";
    EXPECT_EQ(nullptr, CSettings::Definition(SETTING_COUNT));
    DWORD value = 0;
    EXPECT_EQ(87, none.Query(SETTING_COUNT, &value));
}
