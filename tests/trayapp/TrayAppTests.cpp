// MIRELAPP.exe beside the installed service: its link to the service, its single instance and
// its tray icon.
#include "CSettings.h"
#include "PipeDefs.h"
#include "ServiceDrill.h"
#include "TrayAppFixture.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

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

// On Windows a standard user cannot open the LocalSystem service's process, so the watch polls
// the service once a second. Wine grants SYNCHRONIZE on a process whatever its DACL says, but
// refuses the query right that the DACL does not grant: under such a DACL the application cannot
// open the service's process, and a killed service is still noticed within 2.5 s. (The DACL is
// given back before the kill, so that Wine's service manager can let go of the process.)
TEST_F(TrayApp, NoticesAKilledServiceItCannotOpenByPolling)
{
    auto setServiceDacl = [](const wchar_t* sddl) {
        ScopedKernelHandle service(OpenProcess(WRITE_DAC, FALSE, ServiceProcessId()));
        PSECURITY_DESCRIPTOR sd = NULL;
        if (!service.IsValid() ||
            !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, NULL)) {
            return false;
        }
        ScopedLocalMem owner(sd);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = NULL;
        return GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
               SetSecurityInfo(service.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                               dacl, NULL) == ERROR_SUCCESS;
    };
    StartService();
    ASSERT_TRUE(setServiceDacl(L"D:(A;;0x1E0001;;;WD)"));  // no query right
    ChildProcess& app = StartApp();
    ASSERT_TRUE(WaitForLogCount(L"dwNotify = 08", 1, 5000));
    ASSERT_TRUE(WaitForLogCount(L"Fail to OpenProcess() dwRet: 5; polling the service.", 1, 3000));
    ASSERT_TRUE(setServiceDacl(L"D:(A;;0x1FFFFF;;;WD)"));

    EndServiceProcess(MIREL_SERVICE_NAME);
    const ULONGLONG t0 = NowMs();
    ASSERT_TRUE(WaitForLogCount(kStopped, 1, 5000));
    EXPECT_LT(NowMs() - t0, 2500u);
    EXPECT_EQ(1u, LogCount(L"Service process gone."));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), app.Wait(0));
    // Wine's service manager takes note of the dead process when it is told to stop it; started
    // again, the service can be removed as usual.
    RunServiceCommand(L"/STOP");
    EXPECT_EQ(0u, RunServiceCommand(L"/START"));
    EXPECT_TRUE(WaitForLogCount(kRunning, 1, 5000));
}

// While the service runs, another process serves its control pipe (a name taken while the
// service was down): the application does not register with it, takes the service for stopped,
// and keeps asking. The impostor hears nothing.
TEST_F(TrayApp, RegistersWithTheServicesOwnProcessOnly)
{
    const std::wstring exe = ProgramPath(L"SampleService.exe");
    // (A service deleted just before may still be marked for deletion for a moment.)
    ASSERT_TRUE(WaitUntilTrue([&] { return RunProcess(L"sc create MIRELSVC binpath= \"" + exe + L"\"") == 0; },
                              10000));
    ASSERT_EQ(0u, RunProcess(L"sc start MIRELSVC"));
    ASSERT_TRUE(WaitUntilTrue([&] { return ServiceState() == SERVICE_RUNNING; }, 5000));
    ScopedKernelHandle impostor[8];  // a fresh instance for each question
    for (ScopedKernelHandle& instance : impostor) {
        instance.Reset(CreateNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                        PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL));
        ASSERT_TRUE(instance.IsValid());
    }
    ChildProcess& app = StartApp();
    ASSERT_TRUE(WaitForLogCount(kStopped, 1, 5000));
    ASSERT_TRUE(WaitForLogCount(L"not by the service", 3, 8000));  // asked again each second
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), app.Wait(0));
    EXPECT_EQ(0u, LogCount(L"Fail to register with the service."));
    EXPECT_EQ(0u, LogCount(kRunning));
    for (ScopedKernelHandle& instance : impostor) {
        char buf[64];
        DWORD read = 0;
        EXPECT_FALSE(ReadFile(instance.Get(), buf, sizeof(buf), &read, NULL) && read > 0) << "no request";
    }
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

// One copy per session: a second one ends at once without registering. A cancelled end of the
// session changes nothing; the end of the session ends the first one with 0, unregistered.
TEST_F(TrayApp, SecondCopyEndsAtOnceAndEndSessionEndsTheFirst)
{
    StartService();
    ChildProcess& first = StartApp();
    ASSERT_TRUE(WaitForLogCount(L"dwNotify = 08", 1, 5000));
    ChildProcess& second = StartApp();
    EXPECT_EQ(0u, second.Wait(5000));
    EXPECT_EQ(1u, LogCount(L"PIPEREQUEST_CONNECT"));

    ASSERT_TRUE(PostToApp(WM_ENDSESSION, FALSE, 0));
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, 7, 0));  // handled after the cancelled end
    ASSERT_TRUE(WaitForLogCount(L"WPARAM 07, LPARAM 00000000", 1, 5000));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), first.Wait(0));
    ASSERT_TRUE(PostToApp(WM_ENDSESSION, TRUE, 0));
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
    // The shell kept the icon and refused the add: the icon is still known as shown, and goes
    // with the condition.
    const size_t deletes = LogCount(L"Shell_NotifyIcon(2):1");
    ASSERT_TRUE(PostToApp(WM_SERVICE_NOTIFY, NOTIFY_S4_ENABLED, 0));
    EXPECT_TRUE(WaitForLogCount(L"Shell_NotifyIcon(2):1", deletes + 1, 8000));
}

// The service drops a registration without a word. Whatever the way, the application finds out
// (the confirmation that the service rejects, or the end of the process it registered with),
// registers again without a "stopped" alert, and hears the next AC loss. It is suspended while
// the registration goes, as a hung or paged-out application would be. Of the four ways:
//   deliveries that keep timing out   here (three notifications to the suspended application)
//   a restart the application missed  here (the service killed and started again meanwhile)
//   a full table giving the slot away not here: it goes to another logon session only, and Wine
//                                     runs every process in one (the choice: tests/pipe)
//   its pipe served by another process not here: the application holds every instance of its
//                                     pipe while it runs
// The last two leave the application exactly where the first does: a registration the service
// no longer knows, which the confirmation finds.
enum DropWay { DROP_BY_TIMEOUTS, DROP_BY_MISSED_RESTART };

class TrayAppDrop : public TrayApp, public ::testing::WithParamInterface<DropWay> {
protected:
    static bool Suspend(ChildProcess& app, bool suspend)
    {
        typedef LONG(NTAPI * SuspendFn)(HANDLE);
        const SuspendFn fn = reinterpret_cast<SuspendFn>(reinterpret_cast<void*>(GetProcAddress(
            GetModuleHandleW(L"ntdll.dll"), suspend ? "NtSuspendProcess" : "NtResumeProcess")));
        return fn != NULL && fn(app.Handle()) == 0;
    }
};

TEST_P(TrayAppDrop, ApplicationRegistersAgainAndHearsTheNextLoss)
{
    StartService();
    ChildProcess& app = StartApp();
    // Taken by the window, so the start is over: a suspension during it would outlast the start
    // handshake of the application's watch thread.
    ASSERT_TRUE(WaitForLogCount(L"WPARAM 08, LPARAM 00000000", 1, 5000));
    ASSERT_TRUE(Suspend(app, true));
    ObserverProcess good(L"good");  // its registration sends the application three notifications
    ASSERT_NE(0u, good.WaitRegistered());
    if (GetParam() == DROP_BY_TIMEOUTS) {
        ASSERT_TRUE(WaitForLogCount(L"timed out 3 times", 1, 30000));
    } else {
        EndServiceProcess(MIREL_SERVICE_NAME);
        RunServiceCommand(L"/STOP");  // Wine's service manager takes note of the dead process
        ASSERT_EQ(0u, RunServiceCommand(L"/START"));
        ASSERT_NE(0u, ObserverProcess(L"late").WaitRegistered());
    }
    ASSERT_TRUE(Suspend(app, false));
    // Confirmed every 10 s: registered again well within 20 s.
    ASSERT_TRUE(WaitForLogCount(kRunning, 1, 20000));
    EXPECT_EQ(GetParam() == DROP_BY_TIMEOUTS ? 1u : 0u, LogCount(L"Registration dropped by the service"));
    size_t before = 0;
    ObserverProcess watcher(L"watcher");
    ASSERT_NE(0u, watcher.WaitRegistered());
    ASSERT_NE(0u, DropLineAndRegisterTrigger(watcher, &before));
    EXPECT_TRUE(WaitForLogCount(L"WPARAM 01, LPARAM 00000000", 1, kHibernateMs + 5000));
    EXPECT_EQ(0u, LogCount(kStopped));
}

INSTANTIATE_TEST_SUITE_P(Ways, TrayAppDrop, ::testing::Values(DROP_BY_TIMEOUTS, DROP_BY_MISSED_RESTART));
