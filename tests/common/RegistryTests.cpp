#include "CRegistry.h"
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
