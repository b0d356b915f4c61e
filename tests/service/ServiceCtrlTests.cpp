// The service program's settings, command line and power-event handling, in this process and
// through the real program.
#include "CGlobalLock.h"
#include "CInstanceMutex.h"
#include "CObjectSecurity.h"
#include "CSettings.h"
#include "CPipeCl.h"
#include "CServiceCtrl.h"
#include "CTokenPrivilege.h"
#include "CUpsConfig.h"
#include "CPowerAlerts.h"
#include "CWatchEvents.h"
#include "MIRELMSG.h"
#include "Notify.h"
#include "SimBattery.h"
#include "ScopedHandle.h"
#include "TestLog.h"
#include "TestProcess.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

class CSettingsProbe : public CServiceCtrl {
public:
    const WATCHDATA& Data() const { return m_WatchData; }
    const WATCHOPTIONS& Options() const { return m_WatchOptions; }
};

struct SettingsCase {
    const wchar_t* name;
    DWORD value;
    DWORD WATCHDATA::*field;
    DWORD expected;
};

}  // namespace

TEST(ServiceSettings, EveryValueIsClampedToItsRange)
{
    const SettingsCase cases[] = {
        { L"BatteryLifePercent", 0, &WATCHDATA::dwBatteryLifePercent, 5 },
        { L"BatteryLifePercent", 50, &WATCHDATA::dwBatteryLifePercent, 20 },
        { L"BatteryLifePercent", 12, &WATCHDATA::dwBatteryLifePercent, 12 },
        { L"HibernateAfter", 3600, &WATCHDATA::dwHibernateAfter, 600 },
        { L"HibernateAfter", 30, &WATCHDATA::dwHibernateAfter, 30 },
        { L"PowerFlickerTime", 120, &WATCHDATA::dwPowerFlickerTime, 60 },
        { L"PowerFlickerTime", 0, &WATCHDATA::dwPowerFlickerTime, 0 },
        { L"BeepCount", 0, &WATCHDATA::dwAlarmTime, 0 },
        { L"BeepCount", 99, &WATCHDATA::dwAlarmTime, 7000 },
        { L"BeepDuration", 50, &WATCHDATA::dwAlarmTime, 900 },
        { L"BeepDuration", 5000, &WATCHDATA::dwAlarmTime, 6600 },
        { L"BeepInterval", 0, &WATCHDATA::dwAlarmTime, 1800 },
        { L"BeepInterval", 5000, &WATCHDATA::dwAlarmTime, 4500 },
        { L"ShowBalloonWait", 4000, &WATCHDATA::dwShowBalloonWait, 4000 },
        { L"ShowBalloonWait", 0xFFFFFFFF, &WATCHDATA::dwShowBalloonWait, 10000 },
    };
    for (const SettingsCase& c : cases) {
        DeleteRegTree(kSettingsKey);
        SetRegDword(kSettingsKey, c.name, c.value);
        CSettingsProbe probe;
        ASSERT_EQ(0u, probe.InitializeWatchData());
        EXPECT_EQ(c.expected, probe.Data().*c.field) << c.name << L"=" << c.value;
        probe.FinalizeWatchData();
    }
    DeleteRegTree(kSettingsKey);
}

// The network UPS's strings reach the library's options whole, or not at all: a value that cannot
// be read leaves the local probes alone at work and is named for the event log.
TEST(ServiceSettings, NetworkUpsWholeOrNotAtAll)
{
    DeleteRegTree(kSettingsKey);
    SetRegString(kSettingsKey, L"UpsMonitor", L"ups@nas:3493");
    SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsUser", L"mon");
    SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsPassword", L"secret");
    WATCHOPTIONS options = {};
    LPCWSTR bad = nullptr;
    EXPECT_EQ(0u, CWatchEvents::ReadUps(&options, &bad));
    EXPECT_STREQ(L"ups@nas:3493", options.szUpsMonitor);
    EXPECT_STREQ(L"mon", options.szUpsUser);
    EXPECT_STREQ(L"secret", options.szUpsPassword);
    SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsPassword", std::wstring(200, L'p').c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), CWatchEvents::ReadUps(&options, &bad));
    EXPECT_STREQ(L"UpsPassword", bad);
    EXPECT_STREQ(L"", options.szUpsMonitor);
    EXPECT_STREQ(L"", options.szUpsPassword);
    DeleteRegTree(kSettingsKey);
}

TEST(ServiceSettings, DefaultsAndMistypedValues)
{
    for (bool keyExists : { false, true }) {
        DeleteRegTree(kSettingsKey);
        if (keyExists) {
            SetRegString(kSettingsKey, L"HibernateAfter", L"30");
            SetRegDword(kSettingsKey, L"PowerFlickerTime", 7);
        }
        CSettingsProbe probe;
        ASSERT_EQ(0u, probe.InitializeWatchData());
        const WATCHDATA& d = probe.Data();
        EXPECT_EQ(0u, d.dwHibernateAfter);
        EXPECT_EQ(keyExists ? 7u : 5u, d.dwPowerFlickerTime);
        EXPECT_EQ(8u, d.dwBatteryLifePercent);
        EXPECT_EQ(2100u, d.dwAlarmTime);
        EXPECT_EQ(500u, d.dwShowBalloonWait);
        EXPECT_EQ(0u, d.dwReserved);
        EXPECT_EQ(sizeof(WATCHOPTIONS), probe.Options().cbSize);
        EXPECT_EQ(180u, probe.Options().dwHibernateAtRuntime);
        EXPECT_EQ(15u, probe.Options().dwUpsDeadTime);
        EXPECT_EQ(183u, CWatchEvents::DrillTimes(d, probe.Options()).dwRuntimeNeeded)
            << "2.6 s of alarm and balloon, rounded up";
        const HANDLE events[] = { d.hBattLowEvent, d.hBattHighEvent, d.hACLossEvent, d.hS4Event,
                                  d.hACOnEvent, probe.Options().hSourceEvent };
        for (HANDLE h : events) {
            ASSERT_NE(nullptr, h);
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 0));
        }
        probe.FinalizeWatchData();
        EXPECT_EQ(nullptr, probe.Data().hS4Event);
        EXPECT_EQ(nullptr, probe.Options().hSourceEvent);
        probe.FinalizeWatchData();
    }
    DeleteRegTree(kSettingsKey);
}

namespace {

const wchar_t kServiceName[] = MIREL_SERVICE_NAME;

std::wstring ResultFilePath()
{
    WCHAR folder[MAX_PATH];
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_LOCAL_APPDATA, FALSE);
    return std::wstring(folder) + L"\\CheckKey.txt";
}

std::wstring InstalledPath()
{
    ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(OpenServiceW(scm.Get(), kServiceName, SERVICE_QUERY_CONFIG));
    BYTE buf[8192];
    DWORD needed = 0;
    if (!service.IsValid() ||
        !QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf),
                             sizeof(buf), &needed)) {
        return L"";
    }
    return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf)->lpBinaryPathName;
}

// The program run with a command line, as the installer runs it.
class ServiceCommandLine : public ::testing::Test {
protected:
    void SetUp() override { Command(L"/UNINSTALL"); }
    void TearDown() override { Command(L"/UNINSTALL"); }

    DWORD Command(const std::wstring& args)
    {
        DeleteFileW(ResultFilePath().c_str());
        return RunProcess(L"\"" + path + L"\" " + args, 60000);
    }
    std::string ResultFile() { return ReadFileBytes(ResultFilePath()); }

    const std::wstring path = ProgramPath(L"MIRELSVC.exe");
};

}  // namespace

TEST_F(ServiceCommandLine, LoneInstallUsesTheProgramsOwnPathAndLeavesTheResult)
{
    for (const wchar_t* arg : { L"/Install", L"/install", L"/INSTALL" }) {
        EXPECT_EQ(0u, Command(arg)) << arg;
        EXPECT_EQ("0", ResultFile()) << arg;
        // Quoted: a folder with a space must not make the manager run a shorter path.
        EXPECT_EQ(0, lstrcmpiW((L"\"" + path + L"\"").c_str(), InstalledPath().c_str())) << InstalledPath().c_str();
    }
}

TEST_F(ServiceCommandLine, InstallWithPathAndDelayKeepsTheResult)
{
    EXPECT_EQ(0u, Command(L"/INSTALL \"" + path + L"\" /D"));
    EXPECT_EQ(std::to_string(ERROR_INVALID_LEVEL), ResultFile());
    EXPECT_FALSE(InstalledPath().empty());
}

// Installing makes the service's log folder (the package runs it as SYSTEM before any user could),
// and installing over a registration puts the service's DACL back: Wine keeps no service security,
// so the command's own account of the call is what can be seen.
TEST_F(ServiceCommandLine, InstallMakesTheLogFolderAndSecuresAnExistingRegistration)
{
    const std::wstring folder = CommonAppDataPath(L"MirelLog");
    MoveFileW(folder.c_str(), (folder + L"." + std::to_wstring(GetTickCount64())).c_str());
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
    ASSERT_EQ(0u, Command(L"/Install"));
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);

    ScopedLogSettings log(L"t_reinstall.log", 2, 2);
    ASSERT_EQ(0u, Command(L"/Install"));
    EXPECT_EQ("0", ResultFile());
    EXPECT_TRUE(log.Contains(L"Succeeded to SetServiceObjectSecurity."));
}

TEST_F(ServiceCommandLine, OtherCommandsLeaveNoResultFile)
{
    ASSERT_EQ(0u, Command(L"/Install"));
    for (const wchar_t* args : { L"/START", L"/STOP", L"/bogus", L"/UNINSTALL", L"/STOP" }) {
        EXPECT_EQ(0u, Command(args)) << args;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ResultFilePath().c_str())) << args;
    }
    EXPECT_TRUE(InstalledPath().empty());
    // Like an install, a drill leaves its result for its caller (here: no service to drill).
    EXPECT_EQ(0u, Command(L"/DRILL"));
    EXPECT_EQ(std::to_string(ERROR_SERVICE_DOES_NOT_EXIST), ResultFile());
}

TEST_F(ServiceCommandLine, ServiceModeOutsideTheServiceManagerEndsCleanly)
{
    ScopedLogSettings log(L"t_svcmode.log", 2, 2);

    // Started from a console: the dispatcher refuses, the program still exits with 0.
    EXPECT_EQ(0u, Command(L""));
    EXPECT_TRUE(log.Contains(L"[CService::ServiceEntry]")) << "never reached the dispatcher";
    EXPECT_FALSE(log.Contains(L"Exit - Error! retval:000000b7"));

    // A second service-mode copy while the service runs stops at the single-instance mutex.
    ASSERT_EQ(0u, Command(L"/Install"));
    ASSERT_EQ(0u, Command(L"/START"));
    EXPECT_EQ(0u, Command(L""));
    EXPECT_TRUE(log.Contains(L"Exit - Error! retval:000000b7"));
}

namespace {

// The controller run in this process up to its main loop, with one registered application
// recording what it receives. The events the library signals are read here directly.
class CPowerProbe : public CServiceCtrl {
public:
    const WATCHDATA& Data() const { return m_WatchData; }
    const WATCHOPTIONS& Options() const { return m_WatchOptions; }
};

class InProcessService : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(power.Available()) << "run the tests through scripts/test.sh";
        SetRegDword(kSettingsKey, L"PowerFlickerTime", 1);
        ASSERT_EQ(0u, service.InitializeWatchData());
        ASSERT_EQ(0u, service.BeforeMainLoop(NULL));
        DWORD id = 0;
        ASSERT_EQ(0u, client.Initialize(1, MIREL_PIPE_SUFFIX, &id, OnNotify, this, NULL));
        // Its registration: the battery state, hibernation possible, and the line found on.
        ASSERT_TRUE(WaitForCodes({ NOTIFY_NO_BATTERY, NOTIFY_S4_ENABLED }));
        ASSERT_TRUE(Signalled(service.Data().hACOnEvent, 2000));
        Clear();
    }
    void TearDown() override
    {
        client.Finalize(NULL);
        service.AfterMainLoop(NULL);
        service.FinalizeWatchData();
        DeleteRegValue(kSettingsKey, L"PowerFlickerTime");
    }

    static void OnNotify(LPVOID data, PPIPEEVENT event)
    {
        InProcessService* self = static_cast<InProcessService*>(data);
        DWORD code = 0;
        self->client.GetReceivedData(&code, sizeof(code));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->codes.push_back(code);
    }
    bool WaitForCodes(const std::vector<DWORD>& expected, DWORD ms = 3000)
    {
        const ULONGLONG deadline = NowMs() + ms;
        do {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (codes == expected) return true;
            }
            Sleep(20);
        } while (NowMs() < deadline);
        std::lock_guard<std::mutex> lock(mutex);
        return codes == expected;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        codes.clear();
    }
    static bool Signalled(HANDLE event, DWORD ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

    ScopedPowerSupply power;
    CPowerProbe service;
    CPipeCl client;
    std::mutex mutex;
    std::vector<DWORD> codes;
};

}  // namespace

TEST_F(InProcessService, PowerStatusChangeChecksTheBatteryAndRestartsTheWatch)
{
    ASSERT_TRUE(power.SetBatteryPresent(40));
    EXPECT_EQ(0u, service.OnPowerEvent(PBT_APMPOWERSTATUSCHANGE, NULL));
    EXPECT_TRUE(WaitForCodes({ NOTIFY_BATTERY_PRESENT }));
    EXPECT_TRUE(Signalled(service.Data().hACOnEvent, 2000));

    // An unknown type changes nothing.
    Clear();
    EXPECT_EQ(0u, service.OnPowerEvent(0xFFFF, NULL));
    EXPECT_FALSE(Signalled(service.Data().hACOnEvent, 300));
    EXPECT_TRUE(WaitForCodes({}, 0));

    // A wake without user input brings only the automatic resume: it restarts the watch and
    // checks the battery like the resume that follows user input.
    EXPECT_EQ(0u, service.OnPowerEvent(PBT_APMRESUMEAUTOMATIC, NULL));
    EXPECT_TRUE(WaitForCodes({ NOTIFY_BATTERY_PRESENT }));
    EXPECT_TRUE(Signalled(service.Data().hACOnEvent, 2000));
}

// An unattended wake (timer, wake-on-LAN) brings only the automatic resume; it must watch the
// line as well as the resume after user input does.
TEST_F(InProcessService, SuspendStopsTheWatchAndResumeRestartsIt)
{
    ASSERT_TRUE(power.SetAcOnline(false));
    for (DWORD resume : { PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC }) {
        SCOPED_TRACE(resume);
        // The line drops; the restarted watch waits out the flicker time...
        Clear();
        EXPECT_EQ(0u, service.OnPowerEvent(PBT_APMPOWERSTATUSCHANGE, NULL));
        EXPECT_TRUE(WaitForCodes({ NOTIFY_NO_BATTERY }));
        // ...but the PC suspends before it ends: no AC loss is reported.
        EXPECT_EQ(0u, service.OnPowerEvent(PBT_APMSUSPEND, NULL));
        EXPECT_FALSE(Signalled(service.Data().hACLossEvent, 1500));

        // After the resume the watch starts anew, and the battery is checked again.
        Clear();
        const ULONGLONG t0 = NowMs();
        EXPECT_EQ(0u, service.OnPowerEvent(resume, NULL));
        EXPECT_TRUE(WaitForCodes({ NOTIFY_NO_BATTERY }));
        EXPECT_TRUE(Signalled(service.Data().hACLossEvent, 3000));
        EXPECT_GT(NowMs() - t0, 800u);
    }
}

// Power-status changes while the line stays off (a battery stepping down under load) keep the
// deadlines of the running waits.
TEST_F(InProcessService, PowerStatusChangesWhileTheLineStaysOffKeepTheDeadlines)
{
    ASSERT_TRUE(power.SetAcOnline(false));
    const ULONGLONG t0 = NowMs();
    std::atomic<ULONGLONG> lossMs{0}, s4Ms{0};
    std::thread watcher([&] {
        if (Signalled(service.Data().hACLossEvent, 4000)) lossMs = NowMs() - t0;
        if (Signalled(service.Data().hS4Event, 6000)) s4Ms = NowMs() - t0;
    });
    for (ULONGLONG at = 0; at < 5000; at += 700) {
        while (NowMs() - t0 < at) Sleep(10);
        service.OnPowerEvent(PBT_APMPOWERSTATUSCHANGE, NULL);
    }
    watcher.join();
    // Flicker 1 s, then the default alarm (2100 ms) and balloon (500 ms) waits.
    EXPECT_GT(lossMs, 900u);
    EXPECT_LT(lossMs, 1700u);
    EXPECT_GT(s4Ms, 3500u);
    EXPECT_LT(s4Ms, 4400u);
}

// A start whose pipe names are taken goes on (the watch needs no pipe) and serves the pipes once
// they are free; AfterMainLoop undoes it all, and also accepts an object that never started.
TEST(ServiceStartUp, AfterMainLoopUndoesWhateverStarted)
{
    {
        CPowerProbe never;
        never.AfterMainLoop(NULL);
    }
    // The data pipe's name is taken: the library starts, the pipe server not yet.
    HANDLE squatter = CreateNamedPipeW(PIPE_DATA_PREFIX MIREL_PIPE_SUFFIX, PIPE_ACCESS_DUPLEX, 0, 1, 512,
                                       512, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, squatter);
    CPowerProbe service;
    ASSERT_EQ(0u, service.InitializeWatchData());
    EXPECT_EQ(0u, service.BeforeMainLoop(NULL));
    CloseHandle(squatter);
    bool served = false;  // the control pipe is made after the data pipe
    for (int i = 0; i < 300 && !served; ++i, Sleep(50)) {
        served = WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 0) || GetLastError() != ERROR_FILE_NOT_FOUND;
    }
    EXPECT_TRUE(served);
    service.AfterMainLoop(NULL);

    // The library was finalised again: it can be initialised anew.
    WATCHDATA data = service.Data();
    EXPECT_EQ(0u, MirelInitialize(&data));
    MirelFinalize();
    service.FinalizeWatchData();
}

// A main loop that cannot wait (here: outside the service, no terminate event) ends the run as a
// failure, with the error as the exit code the service stops with.
TEST(ServiceStartUp, MainLoopThatCannotWaitEndsWithAnExitCode)
{
    CPowerProbe service;
    ASSERT_EQ(0u, service.InitializeWatchData());
    EXPECT_EQ(0u, service.GetExitCode());
    service.MainLoop(0, NULL);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), service.GetExitCode());
    service.FinalizeWatchData();
}

// The hibernation call, as the stand-in enforces the documented rule: refused with 1314 while the
// shutdown privilege is merely present (as every account, LocalSystem too, holds it), granted
// while it is enabled, refused again once the enabling object has put it back.
TEST(ServiceHibernation, RefusedUnlessTheShutdownPrivilegeIsEnabled)
{
    // Under its own name: the system's library of the same name is loaded in this process already.
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring copy = std::wstring(temp) + L"powrprof_standin.dll";
    ASSERT_TRUE(CopyFileW(ProgramPath(L"powrprof.dll").c_str(), copy.c_str(), FALSE));
    HMODULE standIn = LoadLibraryW(copy.c_str());
    ASSERT_NE(nullptr, standIn);
    typedef BOOLEAN(WINAPI * SuspendFn)(BOOLEAN, BOOLEAN, BOOLEAN);
    const SuspendFn suspend = reinterpret_cast<SuspendFn>(GetProcAddress(standIn, "SetSuspendState"));
    ASSERT_NE(nullptr, suspend);

    SetLastError(0);
    EXPECT_FALSE(suspend(TRUE, FALSE, FALSE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
    {
        CTokenPrivilege shutdown;
        ASSERT_EQ(0u, shutdown.Enable(SE_SHUTDOWN_NAME));
        EXPECT_TRUE(suspend(TRUE, FALSE, FALSE));
        // Enabled in this thread's own token: another thread (a drill beside a real loss) neither
        // gets it nor takes it away.
        std::thread([&] { EXPECT_FALSE(suspend(TRUE, FALSE, FALSE)); }).join();
        EXPECT_TRUE(suspend(TRUE, FALSE, FALSE));
    }
    ScopedKernelHandle token;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()));  // reverted
    EXPECT_FALSE(suspend(TRUE, FALSE, FALSE));
    FreeLibrary(standIn);
    DeleteFileW(copy.c_str());
}

// Every named object the deliverables create, read back as Windows keeps it: only SYSTEM and the
// Administrators may change a DACL or an owner, users get what their part needs, an application's
// notification pipe belongs to SYSTEM and its user. (Wine checks mutex access against these
// DACLs but lets any pipe be opened: the README tells what only Windows enforces.)
// Only a signal before the wait ran out gets an entry of its own; a cause nobody knows gets none.
TEST(ServiceHibernation, AnEarlySignalIsLoggedWithItsCause)
{
    const DWORD rows[][2] = {
        { WATCHCAUSE_TIMER, 0 },
        { WATCHCAUSE_RUNTIME, MSG_S4_RUNTIME_RESERVE },
        { WATCHCAUSE_CRITICAL, MSG_S4_UPS_CRITICAL },
        { WATCHCAUSE_UPS_LOST, MSG_S4_UPS_LOST },
        { 9, 0 },
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row[1], CPowerAlerts::CauseMessage(row[0])) << row[0];
    }
    EXPECT_EQ(0x80000018u, static_cast<DWORD>(MSG_S4_RUNTIME_RESERVE)) << "24, a warning";
    EXPECT_EQ(0x8000001Au, static_cast<DWORD>(MSG_S4_UPS_LOST)) << "26, a warning";
}

TEST(NamedObjectSecurity, EveryNamedObjectReadsBackItsDacl)
{
    const std::wstring suffix = L"sddl" + std::to_wstring(GetCurrentProcessId());
    CPipeSv server;
    ASSERT_EQ(0u, server.Initialize(suffix.c_str(), [](LPVOID, PPIPEEVENT) {}, &server));
    CPipeCl client;
    DWORD id = 0;
    ASSERT_EQ(0u, client.Initialize(1, suffix.c_str(), &id, [](LPVOID, PPIPEEVENT) {}, &client, NULL));
    ASSERT_NE(0u, id);
    CGlobalLock logLock;
    ASSERT_EQ(0u, logLock.Initialize((L"clog_mutex_name_" + suffix).c_str(), 0));
    CInstanceMutex instance;
    ASSERT_EQ(0u, instance.Acquire(suffix.c_str()));

    wchar_t notify[64];
    swprintf(notify, 64, L"%ls%ls%08x", PIPE_DATA_PREFIX, suffix.c_str(), GetCurrentProcessId());
    const struct {
        std::wstring name;
        bool pipe;
        int kind;
    } objects[] = {
        { PIPE_CTRL_PREFIX + suffix, true, OBJSEC_SERVICE_PIPE },
        { PIPE_DATA_PREFIX + suffix, true, OBJSEC_SERVICE_PIPE },
        { notify, true, OBJSEC_OWNER_PIPE },
        { L"Global\\clog_mutex_name_" + suffix, false, OBJSEC_SHARED_MUTEX },
        { L"Global\\mtx_" + suffix, false, OBJSEC_SERVICE_MUTEX },
    };
    for (const auto& o : objects) {
        ScopedKernelHandle h;
        for (int attempt = 0; attempt < 50 && !h.IsValid(); ++attempt) {
            // A pipe's one instance may still be busy with the registration: wait for it.
            h.Reset(o.pipe ? CreateFileW(o.name.c_str(), READ_CONTROL, 0, NULL, OPEN_EXISTING, 0, NULL)
                           : OpenMutexW(READ_CONTROL, FALSE, o.name.c_str()));
            if (!h.IsValid() && GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(o.name.c_str(), 100);
        }
        ASSERT_TRUE(h.IsValid()) << GetLastError() << " " << std::string(o.name.begin(), o.name.end());
        PSECURITY_DESCRIPTOR sd = NULL;
        ASSERT_EQ(0u, GetSecurityInfo(h.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                      NULL, NULL, &sd));
        ScopedLocalMem ownedSd(sd);
        LPWSTR sddl = NULL;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                         DACL_SECURITY_INFORMATION, &sddl, NULL));
        ScopedLocalMem ownedSddl(sddl);
        wchar_t expected[256];
        ASSERT_EQ(0u, CObjectSecurity::FormatSddl(o.kind, expected, 256));
        EXPECT_STREQ(expected, sddl) << std::string(o.name.begin(), o.name.end());
    }
    client.Finalize(NULL);
    server.Finalize(NULL);
}
