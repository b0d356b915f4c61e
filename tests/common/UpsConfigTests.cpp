// Where the network UPS's settings come from: the policy before the product for the monitor and the
// user, the password only from the key that SYSTEM and the Administrators alone may open; a value
// that does not fit or has another type fails with its name, never cut.
#include "CSettings.h"
#include "CUpsConfig.h"
#include "ScopedHandle.h"
#include "TestRegistry.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

using namespace testsupport;

namespace {

const std::wstring kPolicy = MIREL_POLICY_KEY;
const std::wstring kCredentials = MIREL_UPS_CREDENTIALS_KEY;

struct ConfigCase {
    const wchar_t* name;
    const wchar_t* policyMonitor;  // nullptr: no value
    const wchar_t* productMonitor;
    const wchar_t* policyUser;
    const wchar_t* credentialUser;
    DWORD result;
    const wchar_t* monitor;
    const wchar_t* user;
    const wchar_t* badValue;
};

void Put(const std::wstring& key, const wchar_t* name, const wchar_t* value)
{
    if (value != nullptr) {
        SetRegString(key, name, value);
    }
}

class UpsConfigTest : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        DeleteRegValue(kSettingsKey, L"UpsMonitor");
        DeleteRegTree(kPolicy);
        DeleteRegTree(kCredentials);
    }
};

}  // namespace

TEST_F(UpsConfigTest, SourcesAndBadValues)
{
    const std::wstring tooLong(UPSCONFIG_MONITOR_CHARS, L'u');
    const ConfigCase cases[] = {
        { L"unset", nullptr, nullptr, nullptr, nullptr, 0, L"", L"", L"" },
        { L"product only", nullptr, L"ups@nas", nullptr, L"mon", 0, L"ups@nas", L"mon", L"" },
        { L"policy wins", L"ups@policy:3500", L"ups@nas", L"pol", L"mon", 0, L"ups@policy:3500", L"pol", L"" },
        { L"empty policy yields", L"", L"ups@nas", nullptr, nullptr, 0, L"ups@nas", L"", L"" },
        { L"too long", nullptr, tooLong.c_str(), nullptr, nullptr, ERROR_MORE_DATA, L"", L"", L"UpsMonitor" },
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        Clean();
        Put(kPolicy, L"UpsMonitor", c.policyMonitor);
        Put(kSettingsKey, L"UpsMonitor", c.productMonitor);
        Put(kPolicy, L"UpsUser", c.policyUser);
        Put(kCredentials, L"UpsUser", c.credentialUser);
        Put(kCredentials, L"UpsPassword", L"secret");
        CUpsConfig config;
        EXPECT_EQ(c.result, config.Read());
        EXPECT_STREQ(c.monitor, config.Get().szMonitor);
        EXPECT_STREQ(c.user, config.Get().szUser);
        EXPECT_STREQ(c.badValue, config.BadValue());
        EXPECT_EQ(c.monitor[0] != L'\0', CUpsConfig::IsMonitorSet());
    }
}

TEST_F(UpsConfigTest, PasswordOnlyFromTheProtectedKey)
{
    SetRegString(kSettingsKey, L"UpsMonitor", L"ups@nas");
    SetRegString(kPolicy, L"UpsPassword", L"readable-by-all");
    CUpsConfig config;
    ASSERT_EQ(0u, config.Read());
    EXPECT_STREQ(L"", config.Get().szPassword);

    SetRegDword(kCredentials, L"UpsPassword", 1234);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), config.Read());
    EXPECT_STREQ(L"UpsPassword", config.BadValue());
}

// Windows enforces the DACL; here it is read back as the service left it, also for a key that an
// administrator created by hand with the inherited, readable DACL.
TEST_F(UpsConfigTest, CredentialsKeyIsSecuredAgain)
{
    SetRegString(kSettingsKey, L"UpsMonitor", L"ups@nas");
    SetRegString(kCredentials, L"UpsUser", L"mon");
    CUpsConfig config;
    ASSERT_EQ(0u, config.Read());

    ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCredentials.c_str(), 0, READ_CONTROL, key.Put()));
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, nullptr, nullptr, &sd));
    ScopedLocalMem owned(sd);
    LPWSTR sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                       DACL_SECURITY_INFORMATION, &sddl, nullptr));
    ScopedLocalMem ownedSddl(sddl);
    EXPECT_STREQ(CUpsConfig::CredentialsSddl(), sddl);
}
