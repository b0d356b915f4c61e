#include "CSettings.h"
#include "ServiceDrill.h"

#include "ScopedHandle.h"

#include "TestProcess.h"
#include "TestRegistry.h"

namespace servicetest {

namespace {

const wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\MIRELSVC.exe\\DllOverrides";

struct DrillValue {
    const wchar_t* name;
    DWORD value;
};
const DrillValue kDrillValues[] = {
    { L"HibernateAfter", 0 }, { L"BeepCount", 1 },         { L"BeepDuration", 100 },
    { L"BeepInterval", 100 }, { L"ShowBalloonWait", 300 },
};

}  // namespace

void SetDrillSettings(DWORD flickerSeconds)
{
    testsupport::SetRegDword(testsupport::kSettingsKey, L"PowerFlickerTime", flickerSeconds);
    for (const DrillValue& v : kDrillValues) {
        testsupport::SetRegDword(testsupport::kSettingsKey, v.name, v.value);
    }
}

void ClearDrillSettings()
{
    testsupport::DeleteRegValue(testsupport::kSettingsKey, L"PowerFlickerTime");
    for (const DrillValue& v : kDrillValues) {
        testsupport::DeleteRegValue(testsupport::kSettingsKey, v.name);
    }
}

bool UseStandInPowerLibrary(bool use)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kOverrideKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS) {
        return false;
    }
    const wchar_t value[] = L"native";
    const LONG ret = use ? RegSetValueExW(key, L"powrprof", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(value), sizeof(value))
                         : RegDeleteValueW(key, L"powrprof");
    RegCloseKey(key);
    return ret == ERROR_SUCCESS;
}

DWORD RunServiceCommand(const std::wstring& args)
{
    return testsupport::RunProcess(
        L"\"" + testsupport::ProgramPath(L"MIRELSVC.exe") + L"\" " + args, 60000);
}

DWORD ServiceProcessId()
{
    ScopedScHandle scm(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(OpenServiceW(scm.Get(), MIREL_SERVICE_NAME, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &size) || status.dwCurrentState != SERVICE_RUNNING) {
        return 0;
    }
    return status.dwProcessId;
}

}  // namespace servicetest
