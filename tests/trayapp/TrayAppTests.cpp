// MIRELAPP.exe beside the installed service: its link to the service, its single instance and
// its tray icon.
#include "CSettings.h"
#include "TrayAppFixture.h"

#include <gtest/gtest.h>

using namespace traytest;


// Started after the service hibernated the PC, the application registers and asks at once
// whether it was hibernated: everybody hears that it was (a 4-byte notification).
TEST_F(TrayApp, RegistersAtStartAndAsksWhetherThePcWasHibernated)
{
    StartService();
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(suspendCalled, kHibernateMs + 3000));

    StartApp();
    EXPECT_TRUE(good.WaitForCount(NOTIFY_RESUMED, 1, 5000)) << good.Dump();
    EXPECT_TRUE(WaitForLogCount(L"dwNotify = 02", 1, 3000));
    EXPECT_EQ(3u, LogCount(L"PIPEREQUEST_CONNECT"));  // the two observers' and the application's
}

// A failed hibernation reaches the application with its code (an 8-byte notification).
TEST_F(TrayApp, FailedHibernationArrivesWithItsCode)
{
    SetRegDword(POWRPROF_SETTINGS_KEY, L"SuspendError", ERROR_ACCESS_DENIED);
    StartService();
    StartApp();
    ASSERT_TRUE(WaitForLogCount(L"dwNotify = 08", 1, 5000));  // its registration's S4_ENABLED
    ObserverProcess good(L"good");
    ASSERT_NE(0u, good.WaitRegistered());
    size_t before = 0;
    ASSERT_NE(0u, DropLineAndRegisterTrigger(good, &before));
    EXPECT_TRUE(WaitForLogCount(L"dwBuff [0]: 04, [1]: 05", 1, kHibernateMs + 3000));
    EXPECT_TRUE(WaitForLogCount(L"WPARAM 04, LPARAM 00000005", 1, 1000));
}

// Stopped at start, the application waits for the service and registers once it runs; a service
// that dies without a word is noticed too, and the application registers with its successor.
TEST_F(TrayApp, WaitsForAStoppedServiceAndOutlivesAKilledOne)
{
    RunServiceCommand(L"/Install");
    ChildProcess& app = StartApp();
    ASSERT_TRUE(WaitForLogCount(kStopped, 1, 5000));

    ASSERT_EQ(0u, RunServiceCommand(L"/START"));
    const ULONGLONG t0 = NowMs();
    ASSERT_TRUE(WaitForLogCount(kRunning, 1, 5000));
    EXPECT_LT(NowMs() - t0, Patient(2500));

    EndServiceProcess(MIREL_SERVICE_NAME);
    const ULONGLONG t1 = NowMs();
    ASSERT_TRUE(WaitForLogCount(kStopped, 2, 5000));
    EXPECT_LT(NowMs() - t1, Patient(2500));
    EXPECT_EQ(1u, LogCount(L"Service process gone."));
    // Wine's service manager takes note of the dead process when it is told to stop it.
    RunServiceCommand(L"/STOP");
    ASSERT_EQ(0u, RunServiceCommand(L"/START"));
    EXPECT_TRUE(WaitForLogCount(kRunning, 2, 5000));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), app.Wait(0));
}

// A running service that serves no pipe (here a service of that name that is something else):
// nothing this program could do would help, so it ends quietly.
TEST_F(TrayApp, EndsQuietlyWhenTheRunningServiceCannotBeReached)
{
    const std::wstring exe = ProgramPath(L"SampleService.exe");
    ASSERT_EQ(0u, RunProcess(L"sc create MIRELSVC binpath= \"" + exe + L"\""));
    ASSERT_EQ(0u, RunProcess(L"sc start MIRELSVC"));
    ASSERT_TRUE(WaitUntilTrue([&] { return ServiceState() == SERVICE_RUNNING; }, 5000));
    ChildProcess& app = StartApp();
    EXPECT_EQ(0u, app.Wait(15000));
    EXPECT_EQ(0u, LogCount(kStopped));
}

// One copy per session: a second one ends at once without registering. The end of the session
// ends the first one with 0, unregistered.
TEST_F(TrayApp, SecondCopyEndsAtOnceAndEndSessionEndsTheFirst)
{
    StartService();
    ChildProcess& first = StartApp();
    ASSERT_TRUE(WaitForLogCount(L"dwNotify = 08", 1, 5000));
    ChildProcess& second = StartApp();
    EXPECT_EQ(0u, second.Wait(5000));
    EXPECT_EQ(1u, LogCount(L"PIPEREQUEST_CONNECT"));

    ASSERT_TRUE(PostToApp(WM_ENDSESSION, FALSE, 0));
    EXPECT_EQ(0u, first.Wait(5000));
    EXPECT_EQ(1u, LogCount(L"PIPEREQUEST_CLOSE"));
}

// The icon stands only while a condition holds, also after the shell's notification area was
// recreated.
TEST_F(TrayApp, TaskbarCreatedBringsTheIconBackOnlyWithACondition)
{
    SimBattery sim(1);
    ASSERT_EQ(0u, sim.Result());
    ASSERT_TRUE(sim.SetCapacity(0, 40000, 50000));
    ASSERT_TRUE(power.SetBatteryPresent(80));
    StartService();
    StartApp();
    ASSERT_TRUE(WaitForLogCount(L"m_bIsMirelType = TRUE", 1, 5000));
    ASSERT_TRUE(WaitForLogCount(L"dwNotify = 12", 1, 5000));  // battery level fine: no condition
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    ASSERT_TRUE(PostToApp(taskbarCreated, 0, 0));
    Sleep(500);
    EXPECT_EQ(0u, LogCount(kIconAdded));

    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_DISABLED, 0));
    ASSERT_TRUE(WaitForLogCount(kIconAdded, 1, 3000));
    ASSERT_TRUE(PostToApp(taskbarCreated, 0, 0));
    EXPECT_TRUE(WaitForLogCount(kIconAdded, 2, 3000));
}
