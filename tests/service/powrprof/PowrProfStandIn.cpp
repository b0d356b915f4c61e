// Stand-in for powrprof.dll: hibernation capabilities and the hibernation call, as configured by
// the test, with every call recorded.
#include "PowrProfStandIn.h"

#include "SdkCompat.h"

#include <windows.h>
#include <powrprof.h>
#include <shlobj.h>
#include <stdio.h>

namespace {

DWORD Setting(LPCWSTR name, DWORD fallback)
{
    DWORD value = fallback;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, POWRPROF_SETTINGS_KEY, name, RRF_RT_REG_DWORD, NULL,
                     &value, &size) != ERROR_SUCCESS) {
        return fallback;
    }
    return value;
}

void RecordCall(BOOLEAN hibernate, BOOLEAN force, BOOLEAN wakeupEventsDisabled)
{
    WCHAR path[MAX_PATH];
    if (SHGetSpecialFolderPathW(NULL, path, CSIDL_COMMON_APPDATA, FALSE)) {
        lstrcatW(path, L"\\" POWRPROF_CALLS_FILE);
        FILE* fp = _wfopen(path, L"ab");
        if (fp != NULL) {
            fprintf(fp, "%d %d %d\r\n", hibernate, force, wakeupEventsDisabled);
            fclose(fp);
        }
    }
    HANDLE called = OpenEventW(EVENT_MODIFY_STATE, FALSE, POWRPROF_CALLED_EVENT);
    if (called != NULL) {
        SetEvent(called);
        CloseHandle(called);
    }
}

// As the system's call demands: the caller's token (the thread's when it impersonates) holds the
// shutdown privilege enabled, not merely present.
bool ShutdownPrivilegeEnabled()
{
    HANDLE token = NULL;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    PRIVILEGE_SET set = {};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    BOOL enabled = FALSE;
    const bool ok = LookupPrivilegeValueW(NULL, SE_SHUTDOWN_NAME, &set.Privilege[0].Luid) &&
                    PrivilegeCheck(token, &set, &enabled);
    CloseHandle(token);
    return ok && enabled;
}

}  // namespace

extern "C" BOOLEAN WINAPI GetPwrCapabilities(PSYSTEM_POWER_CAPABILITIES caps)
{
    const DWORD error = Setting(L"CapabilitiesError", 0);
    if (error != 0 || caps == NULL) {
        SetLastError(error != 0 ? error : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ZeroMemory(caps, sizeof(*caps));
    caps->SystemS4 = Setting(L"SystemS4", 1) != 0;
    caps->HiberFilePresent = Setting(L"HiberFilePresent", 1) != 0;
    MIREL_HIBERFILE_TYPE(*caps) = static_cast<BYTE>(Setting(L"HiberFileType", HIBERFILE_TYPE_NONE));
    return TRUE;
}

extern "C" BOOLEAN WINAPI SetSuspendState(BOOLEAN hibernate, BOOLEAN force,
                                          BOOLEAN wakeupEventsDisabled)
{
    RecordCall(hibernate, force, wakeupEventsDisabled);
    if (!ShutdownPrivilegeEnabled()) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    Sleep(Setting(L"SuspendBlockMs", 0));
    const DWORD error = Setting(L"SuspendError", 0);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
