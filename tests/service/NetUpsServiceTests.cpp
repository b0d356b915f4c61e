// The installed service on a desktop whose UPS another machine serves: the real UPS server that
// scripts/test.sh runs (skipped without it), in a prefix of its own that traces the event log.
// The server's helpers bring the socket headers, which must come before windows.h.
#include "NutServer.h"

#include "CUpsConfig.h"
#include "RunningService.h"
#include "TracedEvents.h"

using namespace servicetest;
using namespace testsupport;

namespace {

const DWORD kPollMs = 2000;  // the client asks the server this often

class NetUpsService : public RunningService {
protected:
    void SetUp() override
    {
        ASSERT_NE(_wgetenv(L"MIREL_SYSTEM_LOG"), nullptr) << "run through in-own-prefix.sh";
        if (!nut.Available()) {
            GTEST_SKIP() << "no UPS server: run through scripts/test.sh, which starts one";
        }
        RunningService::SetUp();
        ASSERT_TRUE(nut.Reset());
        from = SystemLogSize();
    }
    void TearDown() override
    {
        if (!nut.Available()) return;
        RunningService::TearDown();
        DeleteRegValue(kSettingsKey, L"UpsMonitor");
        DeleteRegTree(MIREL_UPS_CREDENTIALS_KEY);
        nut.Reset();
    }
    void Configure(const wchar_t* password)
    {
        SetRegString(kSettingsKey, L"UpsMonitor", nut.Monitor());
        SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsUser", L"mon");
        SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsPassword", password);
    }
    std::vector<DWORD> EventIds()
    {
        Sleep(500);  // the trace reaches the file after the service's end
        std::vector<DWORD> ids;
        for (const LoggedEvent& e : EventsSince(from)) ids.push_back(e.id);
        return ids;
    }

    NutServer nut;
    std::streamoff from = 0;
};

}  // namespace

// The local line stays on throughout, as on a desktop whose mains come through the UPS: only the
// server tells of the loss, and the hibernation follows on its usual deadline.
TEST_F(NetUpsService, OnBatteryAtTheServerTheServiceHibernatesOnItsDeadline)
{
    Configure(L"monpw");
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    ASSERT_TRUE(good.WaitForCodes(0, { NOTIFY_BATTERY_PRESENT }, kPollMs + 10000)) << good.Dump();
    const size_t before = good.Codes().size();
    const ULONGLONG t0 = NowMs();
    ASSERT_TRUE(nut.Set("ups.status", "OB"));
    EXPECT_TRUE(good.WaitForCodes(before, kAcLoss, kPollMs + kFlickerMs + 10000)) << good.Dump();
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kPollMs + kHibernateMs + 10000));
    EXPECT_GE(NowMs() - t0, kHibernateMs);
    StopService();
    const std::vector<DWORD> expected = { 0x40000001, 0x8000000A, 0x40000014, 0x4000001E, 0x40000002 };
    EXPECT_EQ(expected, EventIds());
}

// A refused login is one error naming the settings to fix; the local probes still protect.
TEST_F(NetUpsService, RefusedLoginIsLoggedOnceAndTheLocalProbesProtect)
{
    Configure(L"wrong");
    ASSERT_TRUE(power.SetBatteryPresent(90));
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    Sleep(3 * kPollMs);  // several refused attempts, one entry
    size_t atDrop = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &atDrop));
    EXPECT_TRUE(good.WaitForCodes(atDrop, kAcLoss, kFlickerMs + 10000)) << good.Dump();
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 10000));
    StopService();
    const std::vector<DWORD> expected = { 0x40000001, 0xC0000033, 0x8000000A, 0x40000014, 0x4000001E,
                                          0x40000002 };
    EXPECT_EQ(expected, EventIds());
}
