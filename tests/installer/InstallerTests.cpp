// The MSI package under Wine's msiexec, and the service's entries in the Application log. Run by
// in-own-prefix.sh: a prefix of its own whose service manager traces the event-log calls of the
// services it starts into MIREL_SYSTEM_LOG.
#include "RunningService.h"
#include "CUpsConfig.h"
#include "TracedEvents.h"

#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>
#include <shlobj.h>

#include <fstream>
#include <map>

namespace {

using namespace servicetest;

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\MIRELSVC";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\MIRELSVC";

std::wstring InstallDir()
{
    wchar_t folder[MAX_PATH] = L"";
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_PROGRAM_FILES, FALSE);
    return std::wstring(folder) + L"\\Mirel";
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names in a folder, for a failure report.
std::wstring Listing(const std::wstring& folder)
{
    std::wstring names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        names += std::wstring(found.cFileName) + L" ";
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    return names;
}

bool KeyExists(const wchar_t* key)
{
    ScopedRegKey k;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, k.Put()) == ERROR_SUCCESS;
}

std::wstring RunValue()
{
    wchar_t value[MAX_PATH] = L"";
    DWORD size = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, L"MIRELAPP", RRF_RT_REG_SZ, NULL, value, &size);
    return value;
}

// Versions of this product in the installed programs' list (Wine loses the upgrade code's
// registration in a major upgrade, so the list is the better witness).
std::vector<std::wstring> InstalledVersions()
{
    const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    std::vector<std::wstring> versions;
    ScopedRegKey list;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, list.Put());
    wchar_t product[256];
    for (DWORD i = 0, len = ARRAYSIZE(product);
         RegEnumKeyExW(list.Get(), i, product, &len, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++i, len = ARRAYSIZE(product)) {
        wchar_t name[64] = L"", version[32] = L"";
        DWORD nameSize = sizeof(name), versionSize = sizeof(version);
        RegGetValueW(list.Get(), product, L"DisplayName", RRF_RT_REG_SZ, NULL, name, &nameSize);
        RegGetValueW(list.Get(), product, L"DisplayVersion", RRF_RT_REG_SZ, NULL, version, &versionSize);
        if (wcscmp(name, L"Mirel") == 0) versions.push_back(version);
    }
    return versions;
}

DWORD Msiexec(const std::wstring& args)
{
    return RunProcess(L"msiexec " + args + L" /qn", 120000);
}

std::wstring Package(const wchar_t* name)
{
    return L"\"" + ProgramPath(name) + L"\"";
}

class Installer : public ::testing::Test {
protected:
    void TearDown() override { Msiexec(L"/x " + Package(L"Mirel.msi")); }

    void ExpectInstalled(const wchar_t* version)
    {
        EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{ version });
        for (const wchar_t* file : { L"MIRELSVC.exe", L"MIRELAPI.dll", L"MIRELAPP.exe" }) {
            EXPECT_TRUE(FileExists(InstallDir() + L"\\" + file)) << file;
        }
        EXPECT_NE(ServiceProcessId(), 0u);
        EXPECT_EQ(RunValue(), L"\"" + InstallDir() + L"\\MIRELAPP.exe\"");
        EXPECT_TRUE(KeyExists(kEventSourceKey));
    }
};

TEST_F(Installer, InstallsAgainUpgradesAndRemovesCleanly)
{
    // A folder outside Program Files may be writable by users: the service would run their file.
    EXPECT_NE(Msiexec(L"/i " + Package(L"Mirel.msi") + L" INSTALLDIR=\"C:\\Tools\\Power Mgmt\\\""), 0u);
    EXPECT_TRUE(InstalledVersions().empty());
    EXPECT_FALSE(KeyExists(kServiceKey));

    ASSERT_EQ(Msiexec(L"/i " + Package(L"Mirel-old.msi")), 0u);
    ExpectInstalled(L"0.9.0");

    ASSERT_EQ(Msiexec(L"/i " + Package(L"Mirel.msi")), 0u);  // a major upgrade
    ExpectInstalled(L"1.0.0");

    ASSERT_EQ(Msiexec(L"/i " + Package(L"Mirel.msi")), 0u);  // the same package again
    ExpectInstalled(L"1.0.0");

    // An application that answers nothing holds the stopping service for an acknowledgement
    // timeout; the package's stop request returns at once, and its removal must wait.
    // The network UPS's password, written where the installation secured the key, goes with the
    // removal. (That an upgrade keeps it rests on UPGRADINGPRODUCTCODE, which Wine's installer
    // never sets when it removes the older product.)
    ASSERT_TRUE(SetRegString(MIREL_UPS_CREDENTIALS_KEY, L"UpsPassword", L"pw"));
    ObserverProcess hung(L"hung", true);
    ASSERT_TRUE(hung.WaitForLine("hung", 10000)) << hung.Dump();
    ASSERT_EQ(Msiexec(L"/x " + Package(L"Mirel.msi")), 0u);
    EXPECT_TRUE(InstalledVersions().empty());
    EXPECT_FALSE(FileExists(InstallDir())) << Listing(InstallDir());
    EXPECT_EQ(RunValue(), L"");
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(KeyExists(kEventSourceKey));
    EXPECT_FALSE(KeyExists(L"Software\\Orvane"));
}

// Where the package places each action of its execute sequence; a deferred custom action is
// marked with a trailing '*', a rollback action with '~'.
std::map<std::wstring, int> ExecuteSequence()
{
    std::map<std::wstring, int> sequence;
    PMSIHANDLE db, view, record;
    const std::wstring path = ProgramPath(L"Mirel.msi");
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS ||
        MsiDatabaseOpenViewW(db, L"SELECT `InstallExecuteSequence`.`Action`, `Sequence`, `Type` "
                                 L"FROM `InstallExecuteSequence`, `CustomAction` WHERE "
                                 L"`InstallExecuteSequence`.`Action` = `CustomAction`.`Action`",
                             &view) != ERROR_SUCCESS ||
        MsiViewExecute(view, 0) != ERROR_SUCCESS) {
        return sequence;
    }
    while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        wchar_t action[73];
        DWORD len = ARRAYSIZE(action);
        MsiRecordGetStringW(record, 1, action, &len);
        const int type = MsiRecordGetInteger(record, 3);
        const bool deferred = (type & msidbCustomActionTypeInScript) != 0;
        const bool rollback = deferred && (type & msidbCustomActionTypeRollback) != 0;
        sequence[std::wstring(action) + (rollback ? L"~" : deferred ? L"*" : L"")] = MsiRecordGetInteger(record, 2);
    }
    return sequence;
}

// Windows refuses a deferred action outside InstallInitialize (1500) .. InstallFinalize (6600),
// which Wine lets through; the service must be registered before StartServices (5900) starts
// it, and its process must have ended before DeleteServices (2000) and RemoveFiles (3500).
TEST(Package, CustomActionsLieWhereTheirWorkIsDue)
{
    const std::map<std::wstring, int> actual = ExecuteSequence();
    const int install = actual.count(L"InstallService*") ? actual.at(L"InstallService*") : 0;
    const std::map<std::wstring, std::pair<int, int>> expected = {
        { L"SetInstallServiceData", { 1000, 1500 } },
        { L"AwaitServiceExit*", { 1900, 2000 } },
        { L"InstallService*", { 4000, 5900 } },
        // Its undoing right before it, so that a failure in it already rolls it back.
        { L"SetRollbackInstallServiceData", { 1000, 1500 } },
        { L"RollbackInstallService~", { install - 2, install } },
        { L"ForgetUpsCredentials*", { 1500, 6600 } },
    };
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& e : expected) {
        const auto found = actual.find(e.first);
        ASSERT_NE(found, actual.end()) << e.first;
        EXPECT_GT(found->second, e.second.first) << e.first;
        EXPECT_LT(found->second, e.second.second) << e.first;
    }
}

class EventLog : public Installer {
protected:
    void SetUp() override
    {
        ASSERT_NE(_wgetenv(L"MIREL_SYSTEM_LOG"), nullptr) << "run through in-own-prefix.sh";
        SetDrillSettings(kFlickerMs / 1000);
        ASSERT_EQ(Msiexec(L"/i " + Package(L"Mirel.msi")), 0u);
        // Restarted, the service loads the stand-in from its own folder.
        ASSERT_TRUE(CopyFileW(ProgramPath(L"powrprof.dll").c_str(), StandIn().c_str(), FALSE));
        ASSERT_TRUE(UseStandInPowerLibrary(true));
        StopService();
        from = SystemLogSize();
        RunServiceCommand(L"/START");
    }
    void TearDown() override
    {
        StopService();
        DeleteFileW(StandIn().c_str());
        Installer::TearDown();
        UseStandInPowerLibrary(false);
        DeleteRegTree(POWRPROF_SETTINGS_KEY);
        DeleteRegTree(L"Software\\Orvane");
    }
    static std::wstring StandIn() { return InstallDir() + L"\\powrprof.dll"; }

    // Drops the line and has the watch started by a registration; waits for the codes and, unless
    // hibernation gets disabled during the flicker wait, for its call; then brings the line back,
    // which a new registration's watch reports (with hibernation disabled nothing watches it).
    void Drill(const std::vector<DWORD>& codes, bool disableDuringWait = false)
    {
        const bool hibernates = !disableDuringWait;
        ObserverProcess watcher(L"watcher");
        ASSERT_NE(watcher.WaitRegistered(), 0u);
        ASSERT_TRUE(power.SetAcOnline(false));
        const size_t before = watcher.Codes().size();
        {
            ObserverProcess trigger(L"trigger");
            ASSERT_NE(trigger.WaitRegistered(), 0u);
            if (disableDuringWait) {  // once the watch has begun
                ASSERT_TRUE(trigger.WaitForCodes(0, { NOTIFY_S4_ENABLED }, 5000)) << trigger.Dump();
                SetRegDword(POWRPROF_SETTINGS_KEY, L"HiberFilePresent", 0);
            }
            ASSERT_TRUE(watcher.WaitForCodes(before, codes, kHibernateMs + 5000)) << watcher.Dump();
            if (hibernates) {
                ASSERT_EQ(WaitForSingleObject(suspendCalled.Get(), 5000), WAIT_OBJECT_0);
            }
        }
        // After the resume every tray application asks whether the PC was hibernated; only then
        // does a registration start a new wait (the resume's power events, which Wine never sends,
        // would too).
        watcher.Signal(L"resume");
        ASSERT_TRUE(power.SetAcOnline(true));
        if (hibernates) {
            ObserverProcess again(L"again");
            EXPECT_TRUE(watcher.WaitForCodes(before, { NOTIFY_AC_RESTORED }, 5000)) << watcher.Dump();
        }
    }

    void StopService()
    {
        std::string output;
        RunProcess(L"sc stop MIRELSVC", 30000, &output);
        for (int i = 0; i < 500 && ServiceProcessId() != 0; ++i) Sleep(20);
    }

    std::streamoff from = 0;  // where the restarted service's trace begins
    ScopedPowerSupply power;
    ScopedKernelHandle suspendCalled{ CreateEventW(NULL, FALSE, FALSE, POWRPROF_CALLED_EVENT) };
};

TEST_F(EventLog, OneEntryPerOccurrenceOfEachDrill)
{
    ASSERT_TRUE(power.SetBatteryAbsent());  // hibernation goes ahead, but the log warns
    ASSERT_NO_FATAL_FAILURE(Drill({ NOTIFY_AC_LOST }));
    ASSERT_TRUE(power.SetBatteryPresent(90));
    SetRegDword(POWRPROF_SETTINGS_KEY, L"SuspendError", 50);
    ASSERT_NO_FATAL_FAILURE(Drill({ NOTIFY_AC_LOST, NOTIFY_S4_FAILED }));
    ASSERT_NO_FATAL_FAILURE(Drill({ NOTIFY_S4_DISABLED, NOTIFY_AC_LOST }, true));
    StopService();
    {
        // Its control pipe's name taken while it was down: the service runs all the same, with a
        // warning that carries the error.
        ScopedKernelHandle squatter(CreateNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, PIPE_ACCESS_DUPLEX, 0,
                                                     1, 512, 512, 0, NULL));
        ASSERT_TRUE(squatter.IsValid());
        EXPECT_EQ(0u, RunServiceCommand(L"/START"));
        StopService();
    }

    const WORD kInfo = EVENTLOG_INFORMATION_TYPE, kWarn = EVENTLOG_WARNING_TYPE, kError = EVENTLOG_ERROR_TYPE;
    const std::vector<LoggedEvent> expected = {
        { kInfo, 0x40000001, "" },                                  // started
        { kWarn, 0x8000000A, "" },  { kError, 0xC0000017, "" },     // AC lost, no battery
        { kInfo, 0x40000014, "" },                                  // hibernation started
        { kInfo, 0x4000001E, "" },  { kInfo, 0x4000000B, "" },      // resumed, AC back
        { kWarn, 0x8000000A, "" },  { kInfo, 0x40000014, "" },      // AC lost, hibernation started
        { kError, 0xC0000015, "50" }, { kInfo, 0x4000000B, "" },    // failed with its code, AC back
        { kWarn, 0x8000000A, "" },  { kError, 0xC0000016, "" },     // AC lost, hibernation disabled
        { kInfo, 0x40000002, "" },                                  // stopped
        { kInfo, 0x40000001, "" },  { kWarn, 0x80000004, "6" },     // started, pipes taken
        { kInfo, 0x40000002, "" },                                  // stopped
    };
    // The trace reaches the file after the service's end.
    for (int i = 0; i < 500 && RunEventsSince(from, 0x40000001).size() < expected.size(); ++i) Sleep(20);
    EXPECT_EQ(RunEventsSince(from, 0x40000001), expected);
}

}  // namespace
