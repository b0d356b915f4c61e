#include "CLog.h"
#include "CService.h"
#include "SampleService.h"
#include "ScopedHandle.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <vector>

using namespace testsupport;

namespace {

// The framework used from this process to command the sample service, as its program would.
class CCommander : public CService {
public:
    CCommander() { Initialize(SAMPLE_SERVICE_NAME, L"Mirel sample service", L"desc", NULL, 0); }
};

// The status the service last reported; all zero when it is not installed.
SERVICE_STATUS QueryStatus()
{
    ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(OpenServiceW(scm.Get(), SAMPLE_SERVICE_NAME, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service.IsValid() || !QueryServiceStatus(service.Get(), &status)) {
        return SERVICE_STATUS{};
    }
    return status;
}

DWORD QueryState()
{
    return QueryStatus().dwCurrentState;
}

bool WaitForState(DWORD state, DWORD timeoutMs)
{
    const ULONGLONG deadline = NowMs() + timeoutMs;
    while (QueryState() != state) {
        if (NowMs() > deadline) return false;
        Sleep(50);
    }
    return true;
}

// Sends a control; *reported is the status the service reported by the time it was handled.
DWORD SendControl(DWORD control, SERVICE_STATUS* reported = nullptr)
{
    ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(OpenServiceW(scm.Get(), SAMPLE_SERVICE_NAME,
                                        SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    const DWORD result = ControlService(service.Get(), control, &status) ? 0 : GetLastError();
    if (reported != nullptr) *reported = status;
    return result;
}

// Each case starts and ends with the sample service not installed and a fresh log.
class ServiceLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegTree(SAMPLE_SETTINGS_KEY);
        commander.Unregister();
        g_Log.Initialize(MIREL_DBGLOG_KEY);
    }
    void TearDown() override
    {
        if (HasFailure()) {
            log.PrintTail(80);  // the service's side of the story
        }
        if (commander.Unregister() != ERROR_SUCCESS && QueryState() != 0) {
            EndServiceProcess(SAMPLE_SERVICE_NAME);
            commander.Unregister();
        }
        g_Log.Finalize();
        DeleteRegTree(SAMPLE_SETTINGS_KEY);
    }

    ScopedLogSettings log{L"t_service.log", 2, 2};
    CCommander commander;
    const std::wstring path = ProgramPath(L"SampleService.exe");
};

}  // namespace

TEST_F(ServiceLifecycle, InstallStartStopUninstallAreIdempotent)
{
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    EXPECT_EQ(0u, commander.Register(path.c_str(), FALSE)) << "second install";
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
    {
        // The recovery actions also follow a stop with an error exit code. Wine knows no such
        // setting (ERROR_INVALID_LEVEL): there the log shows it was asked for.
        ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
        ScopedScHandle service(OpenServiceW(scm.Get(), SAMPLE_SERVICE_NAME, SERVICE_QUERY_CONFIG));
        SERVICE_FAILURE_ACTIONS_FLAG flag = {};
        DWORD needed = 0;
        if (QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                 reinterpret_cast<BYTE*>(&flag), sizeof(flag), &needed)) {
            EXPECT_TRUE(flag.fFailureActionsOnNonCrashFailures);
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
            EXPECT_TRUE(log.Contains(L"ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)."));
        }
    }

    ASSERT_EQ(0u, commander.Start());
    EXPECT_EQ(SERVICE_RUNNING, QueryState());
    EXPECT_EQ(0u, commander.Start()) << "second start";
    EXPECT_TRUE(log.Contains(L"The service already running."));

    std::string out;
    EXPECT_EQ(0u, RunProcess(L"sc.exe query " SAMPLE_SERVICE_NAME, 30000, &out));
    EXPECT_NE(std::string::npos, out.find("RUNNING")) << out;

    ASSERT_EQ(0u, commander.Stop());
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
    EXPECT_EQ(0u, commander.Stop()) << "second stop";
    EXPECT_TRUE(log.Contains(L"OnStop"));
    EXPECT_TRUE(log.Contains(L"AfterMainLoop"));
    EXPECT_TRUE(log.Contains(L"Exit ServiceMain()"));

    EXPECT_EQ(0u, commander.Unregister());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), commander.Unregister());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), commander.Start());
}

TEST_F(ServiceLifecycle, UninstallStopsARunningService)
{
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    ASSERT_EQ(0u, commander.Start());
    EXPECT_EQ(0u, commander.Unregister());
    EXPECT_EQ(0u, QueryState()) << "still installed";
}

TEST_F(ServiceLifecycle, DelayedStartIsRefusedHereButTheServiceStaysInstalled)
{
    // Wine does not support the delayed automatic start: the install reports that error.
    const DWORD ret = commander.Register(path.c_str(), TRUE);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), ret);
    EXPECT_TRUE(log.Contains(L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION)."));
    EXPECT_TRUE(log.Contains(
        L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_DELAYED_AUTO_START_INFO)."));
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
}

TEST_F(ServiceLifecycle, UserControlReachesTheUnknownEventHandler)
{
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    ASSERT_EQ(0u, commander.Start());
    EXPECT_EQ(0u, SendControl(200));
    EXPECT_TRUE(log.WaitFor(L"OnUnknownEvent 200 0", 5000));
    EXPECT_TRUE(log.Contains(L"Other Event:000000c8"));
}

TEST_F(ServiceLifecycle, ServiceThatStopsWhileItsHandlerRunsStillReportsStopped)
{
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    ASSERT_EQ(0u, commander.Start());
    EXPECT_EQ(0u, SendControl(SAMPLE_CONTROL_STOP_IN_HANDLER));
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 5000));
    EXPECT_TRUE(log.Contains(L"Exit ServiceMain()"));
}

TEST_F(ServiceLifecycle, SecondCopyOfTheServiceProcessEndsWith183)
{
    // A mutex of the same name that another process took while the service was down is no copy
    // of the service: it starts all the same.
    ScopedKernelHandle squatter(CreateMutexW(NULL, TRUE, L"Global\\mtx_" SAMPLE_SERVICE_NAME));
    ASSERT_TRUE(squatter.IsValid());
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    ASSERT_EQ(0u, commander.Start());
    EXPECT_TRUE(log.WaitFor(L"is held by another process; ignored.", 5000));
    squatter.Reset();
    commander.Stop();
    ASSERT_EQ(0u, commander.Start());
    EXPECT_EQ(183u, RunProcess(L"\"" + path + L"\"", 30000));
    EXPECT_EQ(SERVICE_RUNNING, QueryState());
}

TEST_F(ServiceLifecycle, FailedStartUpNeverRunsButStillCleansUp)
{
    SetRegDword(SAMPLE_SETTINGS_KEY, L"BeforeMainLoopResult", 5);
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), commander.Start());
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
    // Windows sees the failure (and runs the recovery actions): the error is the exit code.
    EXPECT_EQ(5u, QueryStatus().dwWin32ExitCode);
    EXPECT_TRUE(log.WaitFor(L"AfterMainLoop", 5000));
    EXPECT_TRUE(log.Contains(L"BeforeMainLoop 5"));
    EXPECT_FALSE(log.Contains(L"] MainLoop"));
}

// A stop is STOP_PENDING at once, with a real wait hint and a check point that advances while the
// service drains; RUNNING is never reported again, and the requested stop ends with exit code 0.
TEST_F(ServiceLifecycle, StopIsPendingAtOnceAndTheCheckPointAdvancesWhileDraining)
{
    SetRegDword(SAMPLE_SETTINGS_KEY, L"AfterMainLoopDelayMs", 3000);
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    ASSERT_EQ(0u, commander.Start());
    SERVICE_STATUS reported = {};
    ASSERT_EQ(0u, SendControl(SERVICE_CONTROL_STOP, &reported));
    EXPECT_EQ(SERVICE_STOP_PENDING, reported.dwCurrentState);
    EXPECT_GE(reported.dwWaitHint, 1000u);
    EXPECT_EQ(0u, reported.dwControlsAccepted);

    DWORD lastCheckPoint = reported.dwCheckPoint, advances = 0;
    const ULONGLONG deadline = NowMs() + 15000;
    for (SERVICE_STATUS s = QueryStatus(); s.dwCurrentState != SERVICE_STOPPED && NowMs() < deadline;
         s = QueryStatus()) {
        EXPECT_EQ(SERVICE_STOP_PENDING, s.dwCurrentState);
        EXPECT_GE(s.dwWaitHint, 1000u);
        if (s.dwCheckPoint > lastCheckPoint) ++advances;
        lastCheckPoint = s.dwCheckPoint;
        Sleep(100);
    }
    EXPECT_GE(advances, 2u) << "a 3 s drain, a check point a second";
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
    EXPECT_EQ(0u, QueryStatus().dwWin32ExitCode);
}

TEST_F(ServiceLifecycle, StartGivesUpOnAServiceStuckStarting)
{
    SetRegDword(SAMPLE_SETTINGS_KEY, L"BeforeMainLoopDelayMs", 3000);
    ASSERT_EQ(0u, commander.Register(path.c_str(), FALSE));
    commander.SetPendingTimeout(800);
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT), commander.Start());
    const ULONGLONG elapsed = NowMs() - t0;
    EXPECT_GE(elapsed, 700u);
    EXPECT_LT(elapsed, 2500u);
    EXPECT_EQ(SERVICE_START_PENDING, QueryState());

    // A pending service cannot be stopped; let it finish starting so the case can clean up.
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING, 5000));
}

TEST_F(ServiceLifecycle, CommandLineRunsTheFirstCommand)
{
    struct Case {
        std::vector<std::wstring> args;
        BOOL handled;
        DWORD result;
        const wchar_t* ran;  // function seen in the log, or nullptr
    };
    const std::wstring p = path;
    const Case cases[] = {
        { { L"prog" }, FALSE, 0, nullptr },
        { { L"prog", L"/bogus" }, TRUE, 87, nullptr },
        { { L"prog", L"/INSTALL" }, TRUE, 87, nullptr },
        { { L"prog", L"/stop", L"/START" }, TRUE, 1060, L"[CService::Stop]" },
        { { L"prog", L"x", L"/Start", L"/STOP" }, TRUE, 1060, L"[CService::Start]" },
        { { L"prog", L"/INSTALL", p, L"/STOP" }, TRUE, 1060, L"[CService::Stop]" },
        { { L"prog", L"/uninstall" }, TRUE, 1060, L"[CService::Unregister]" },
        { { L"prog", L"x", L"/install", p }, TRUE, 0, L"[CService::Register]" },
    };
    for (const Case& c : cases) {
        commander.Unregister();
        DeleteFileW(log.Path().c_str());
        std::vector<LPWSTR> argv;
        for (const std::wstring& a : c.args) argv.push_back(const_cast<LPWSTR>(a.c_str()));
        DWORD result = 0xDEAD;
        EXPECT_EQ(c.handled, commander.ArgCheck(static_cast<DWORD>(argv.size()), argv.data(), &result))
            << c.args.back().c_str();
        EXPECT_EQ(c.result, result) << c.args.back().c_str();
        if (c.ran) {
            EXPECT_TRUE(log.Contains(c.ran)) << c.ran;
        }
    }
    EXPECT_EQ(SERVICE_STOPPED, QueryState()) << "the last case installed";
}

TEST_F(ServiceLifecycle, InstallFromTheProgramsOwnCommandLine)
{
    EXPECT_EQ(0u, RunProcess(L"\"" + path + L"\" /INSTALL \"" + path + L"\"", 30000));
    EXPECT_EQ(SERVICE_STOPPED, QueryState());
    EXPECT_EQ(0u, RunProcess(L"\"" + path + L"\" /start", 30000));
    EXPECT_EQ(SERVICE_RUNNING, QueryState());
    EXPECT_EQ(0u, RunProcess(L"\"" + path + L"\" /UNINSTALL", 30000));
    EXPECT_EQ(0u, QueryState());
}

namespace {

// Records which handler the dispatcher reached.
class CRecorder : public CService {
public:
    using CService::ServiceHandler;
    std::wstring last;
    DWORD control = 0, type = 0;
    DWORD OnStop() override { last = L"OnStop"; return 0; }
    DWORD OnPause() override { last = L"OnPause"; return 0; }
    DWORD OnContinue() override { last = L"OnContinue"; return 0; }
    DWORD OnInterrogate() override { last = L"OnInterrogate"; return 0; }
    DWORD OnShutdown() override { last = L"OnShutdown"; return 0; }
    DWORD OnParamChange() override { last = L"OnParamChange"; return 0; }
    DWORD OnNetbindAdd() override { last = L"OnNetbindAdd"; return 0; }
    DWORD OnNetbindRemove() override { last = L"OnNetbindRemove"; return 0; }
    DWORD OnNetbindEnable() override { last = L"OnNetbindEnable"; return 0; }
    DWORD OnNetbindDisable() override { last = L"OnNetbindDisable"; return 0; }
    DWORD OnDeviceEvent(DWORD t, LPVOID) override { last = L"OnDeviceEvent"; type = t; return 0; }
    DWORD OnHardwareProfileChange(DWORD t, LPVOID) override { last = L"OnHardwareProfileChange"; type = t; return 0; }
    DWORD OnPowerEvent(DWORD t, LPVOID) override { last = L"OnPowerEvent"; type = t; return 7; }
    DWORD OnSessionChange(DWORD t, LPVOID) override { last = L"OnSessionChange"; type = t; return 0; }
    DWORD OnUnknownEvent(DWORD c, DWORD t) override { last = L"OnUnknownEvent"; control = c; type = t; return 0; }
    DWORD OnPreShutdown() override { last = L"OnPreShutdown"; return 0; }
    DWORD OnTimeChange() override { last = L"OnTimeChange"; return 0; }
    DWORD OnTriggerEvent() override { last = L"OnTriggerEvent"; return 0; }
};

}  // namespace

TEST(ServiceHandler, DispatchesEveryControlToItsHandler)
{
    const struct { DWORD control; const wchar_t* handler; } cases[] = {
        { 1, L"OnStop" }, { 2, L"OnPause" }, { 3, L"OnContinue" }, { 4, L"OnInterrogate" },
        { 5, L"OnShutdown" }, { 6, L"OnParamChange" }, { 7, L"OnNetbindAdd" },
        { 8, L"OnNetbindRemove" }, { 9, L"OnNetbindEnable" }, { 10, L"OnNetbindDisable" },
        { 11, L"OnDeviceEvent" }, { 12, L"OnHardwareProfileChange" }, { 13, L"OnPowerEvent" },
        { 14, L"OnSessionChange" }, { 15, L"OnPreShutdown" }, { 16, L"OnTimeChange" },
        { 32, L"OnTriggerEvent" }, { 0, L"OnUnknownEvent" }, { 17, L"OnUnknownEvent" },
        { 31, L"OnUnknownEvent" }, { 33, L"OnUnknownEvent" }, { 128, L"OnUnknownEvent" },
        { 255, L"OnUnknownEvent" },
    };
    CRecorder recorder;
    for (const auto& c : cases) {
        recorder.last.clear();
        CRecorder::ServiceHandler(c.control, 0x18, NULL, &recorder);
        EXPECT_EQ(c.handler, recorder.last) << c.control;
    }
    CRecorder::ServiceHandler(200, 0x42, NULL, &recorder);
    EXPECT_EQ(200u, recorder.control);
    EXPECT_EQ(0x42u, recorder.type);
    EXPECT_EQ(7u, CRecorder::ServiceHandler(13, 0xA, NULL, &recorder)) << "handler result passed on";
    EXPECT_EQ(0xAu, recorder.type);
    EXPECT_EQ(120u, CRecorder::ServiceHandler(1, 0, NULL, NULL));
}

TEST(ServiceHandler, UninitialisedObjectRefusesWork)
{
    CRecorder idle;
    DWORD result = 0xDEAD;
    LPWSTR argv[] = { const_cast<LPWSTR>(L"prog"), const_cast<LPWSTR>(L"/START") };
    EXPECT_EQ(21, idle.ArgCheck(2, argv, &result));
    EXPECT_EQ(0xDEADu, result);
    EXPECT_EQ(21u, idle.ServiceEntry());
    EXPECT_EQ(21u, idle.SetServiceStatus(SERVICE_RUNNING, 0, 0));
    EXPECT_EQ(87u, idle.Initialize(nullptr, L"d", L"d", NULL, 0));
    EXPECT_FALSE(idle.ArgCheck(2, nullptr, &result));
}
