// The rules of the drill that hold without a running service: who may start one (the service's
// access rules, checked against an administrator's token and one without the administrators
// group, since under Wine every process runs as the same administrator), the shutdown
// privilege's check, and the verdict of the checks.
#include "CDrillReport.h"
#include "CTokenPrivilege.h"
#include "CUpsLink.h"
#include "MIRELMSG.h"
#include "ScopedHandle.h"
#include "ServiceSecurity.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

namespace {

HANDLE ProcessToken()
{
    HANDLE token = NULL;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token);
    return token;
}

// The process's token, or one in which the administrators group only denies; for AccessCheck.
HANDLE ImpersonationToken(bool withoutAdministrators)
{
    ScopedKernelHandle process(ProcessToken());
    ScopedKernelHandle restricted;
    if (withoutAdministrators) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, sid, &size);
        SID_AND_ATTRIBUTES disable = { sid, 0 };
        CreateRestrictedToken(process.Get(), 0, 1, &disable, 0, NULL, 0, NULL, restricted.Put());
    }
    HANDLE impersonation = NULL;
    DuplicateToken(withoutAdministrators ? restricted.Get() : process.Get(), SecurityImpersonation,
                   &impersonation);
    return impersonation;
}

// Whether the token gets `access` from the service's access rules.
bool Granted(HANDLE token, DWORD access)
{
    const std::wstring sddl = std::wstring(L"O:SYG:SY") + kServiceSddl;
    PSECURITY_DESCRIPTOR sd = NULL;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, NULL));
    ScopedLocalMem owner(sd);
    GENERIC_MAPPING mapping = { SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | STANDARD_RIGHTS_READ,
                                SERVICE_CHANGE_CONFIG | STANDARD_RIGHTS_WRITE,
                                SERVICE_START | SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL | STANDARD_RIGHTS_EXECUTE,
                                SERVICE_ALL_ACCESS };
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof(privileges), granted = 0;
    BOOL status = FALSE;
    EXPECT_TRUE(AccessCheck(sd, token, access, &mapping, &privileges, &privilegesSize, &granted, &status))
        << GetLastError();
    return status != FALSE;
}

}  // namespace

TEST(DrillRules, OnlyAdministratorsMaySendTheServiceItsControls)
{
    ScopedKernelHandle admin(ImpersonationToken(false));
    ScopedKernelHandle user(ImpersonationToken(true));
    ASSERT_TRUE(admin.IsValid());
    ASSERT_TRUE(user.IsValid());
    EXPECT_TRUE(Granted(admin.Get(), SERVICE_USER_DEFINED_CONTROL));
    EXPECT_TRUE(Granted(admin.Get(), SERVICE_ALL_ACCESS));
    EXPECT_FALSE(Granted(user.Get(), SERVICE_USER_DEFINED_CONTROL));
    EXPECT_FALSE(Granted(user.Get(), SERVICE_STOP));
    // The tray application asks for the service's state as a user.
    EXPECT_TRUE(Granted(user.Get(), SERVICE_QUERY_STATUS));
}

TEST(DrillRules, ShutdownPrivilegeEnablesOnlyWhereItIsHeld)
{
    ScopedKernelHandle process(ProcessToken());
    CTokenPrivilege held;
    EXPECT_EQ(0u, held.Enable(SE_SHUTDOWN_NAME, process.Get()));
    LUID luid = {};
    ASSERT_TRUE(LookupPrivilegeValueW(NULL, SE_SHUTDOWN_NAME, &luid));
    LUID_AND_ATTRIBUTES remove = { luid, 0 };
    ScopedKernelHandle without;
    ASSERT_TRUE(CreateRestrictedToken(process.Get(), 0, 0, NULL, 1, &remove, 0, NULL, without.Put()));
    CTokenPrivilege missing;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), missing.Enable(SE_SHUTDOWN_NAME, without.Get()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), missing.Enable(L"SeNoSuchPrivilege", process.Get()));
}

TEST(DrillRules, TheFirstFailingCheckGivesTheResult)
{
    struct Row {
        DWORD privilege, s4, battery, percent;
        DWORD expected;
        DWORD runtime, needed;  // seconds; none given: 0 of 0, never short
        DWORD link;             // the network UPS's; none given: none set
    };
    const Row rows[] = {
        { 0, 1, 1, 90, 0 },
        { 0, 1, 1, 8, 0 },      // at the threshold
        { 0, 1, 1, 255, ERROR_INVALID_DATA },  // charge unknown: not enough
        { 0, 1, 2, 90, ERROR_INVALID_DATA },   // presence unknown: neither
        { 0, 1, 0, 90, ERROR_DEVICE_NOT_CONNECTED },
        { 0, 1, 1, 7, 639 },    // below it: not enough power
        { 0, 1, 0, 255, ERROR_DEVICE_NOT_CONNECTED },
        { 0, 0, 0, 255, ERROR_NOT_SUPPORTED },
        { ERROR_NOT_ALL_ASSIGNED, 0, 0, 0, ERROR_NOT_ALL_ASSIGNED },
        { 0, 1, 1, 90, 0, 183, 183 },  // the runtime covers the reserve, alarm and balloon
        { 0, 1, 1, 90, ERROR_NOT_ENOUGH_QUOTA, 182, 183 },
        { 0, 1, 1, 90, 0, WATCH_UNKNOWN_RUNTIME, 183 },  // unknown: the charge judges
        { 0, 1, 1, 7, 639, 10, 183 },                    // the charge's checks come first
        { 0, 1, 1, 255, ERROR_INVALID_DATA, 10, 183 },
        { 0, 1, 1, 90, 0, 600, 183, WATCHLINK_ONLINE },
        { 0, 1, 1, 90, 0, 600, 183, WATCHLINK_HOLDING },
        { 0, 1, 1, 90, ERROR_NETWORK_UNREACHABLE, 600, 183, WATCHLINK_LOST },  // a laptop's battery is no excuse
        { 0, 1, 0, 255, ERROR_NETWORK_UNREACHABLE, 0, 0, WATCHLINK_STARTING },  // the cause, not the battery
        { 0, 1, 1, 90, ERROR_NETWORK_UNREACHABLE, 0, 0, WATCHLINK_DENIED },
        { 0, 0, 1, 90, ERROR_NOT_SUPPORTED, 0, 0, WATCHLINK_UNREACHABLE },
        { 0, 1, 1, 7, 639, 600, 183, WATCHLINK_ONLINE },
    };
    for (const Row& row : rows) {
        DRILLRESULT result = {};
        result.dwPrivilegeError = row.privilege;
        result.bS4Available = row.s4;
        result.dwBattery = row.battery;
        result.dwBatteryPercent = row.percent;
        result.dwBatteryThreshold = 8;
        result.dwRuntime = row.runtime;
        result.dwRuntimeNeeded = row.needed;
        result.dwLink = row.link;
        EXPECT_EQ(row.expected, CDrillReport::Verdict(result)) << row.privilege << row.s4 << row.battery << row.percent << " " << row.runtime << " " << row.link;
    }
}

// A server that comes and goes logs each change of what an administrator must do once; the first
// connection after the start and a link set up again are no news.
TEST(UpsLink, OnlyChangesOfWhatToDoAreLogged)
{
    struct Row { DWORD previous, next, message; };
    const Row rows[] = {
        { WATCHLINK_NONE, WATCHLINK_NONE, 0 },
        { WATCHLINK_STARTING, WATCHLINK_ONLINE, 0 },
        { WATCHLINK_STARTING, WATCHLINK_UNREACHABLE, MSG_UPS_UNREACHABLE },
        { WATCHLINK_UNREACHABLE, WATCHLINK_UNREACHABLE, 0 },
        { WATCHLINK_UNREACHABLE, WATCHLINK_LOST, 0 },
        { WATCHLINK_ONLINE, WATCHLINK_LOST, MSG_UPS_UNREACHABLE },
        { WATCHLINK_LOST, WATCHLINK_ONLINE, MSG_UPS_CONNECTED },
        { WATCHLINK_STARTING, WATCHLINK_DENIED, MSG_UPS_DENIED },
        { WATCHLINK_DENIED, WATCHLINK_ONLINE, MSG_UPS_CONNECTED },
        { WATCHLINK_STARTING, WATCHLINK_UNKNOWN_UPS, MSG_UPS_UNKNOWN },
        { WATCHLINK_STARTING, WATCHLINK_BAD_SETTING, MSG_UPS_UNKNOWN },
        { WATCHLINK_UNKNOWN_UPS, WATCHLINK_BAD_SETTING, 0 },
        { WATCHLINK_ONLINE, WATCHLINK_HOLDING, MSG_UPS_HOLDING },
        { WATCHLINK_HOLDING, WATCHLINK_ONLINE, MSG_UPS_CONNECTED },
        { WATCHLINK_HOLDING, WATCHLINK_LOST, MSG_UPS_UNREACHABLE },
        { WATCHLINK_DENIED, WATCHLINK_STARTING, 0 },
        { WATCHLINK_ONLINE, WATCHLINK_NONE, 0 },
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.message, CUpsLink::Message(row.previous, row.next)) << row.previous << "->" << row.next;
    }
    CUpsLink link;
    EXPECT_FALSE(link.IsPowering());
    link.Reset(true);
    EXPECT_EQ(static_cast<DWORD>(WATCHLINK_STARTING), link.Get());
    EXPECT_EQ(static_cast<DWORD>(MSG_UPS_UNREACHABLE), link.Update(WATCHLINK_UNREACHABLE));
    EXPECT_EQ(static_cast<DWORD>(MSG_UPS_CONNECTED), link.Update(WATCHLINK_ONLINE));
    EXPECT_TRUE(link.IsPowering());
    EXPECT_EQ(static_cast<DWORD>(MSG_UPS_HOLDING), link.Update(WATCHLINK_HOLDING));
    EXPECT_TRUE(link.IsPowering());
}
