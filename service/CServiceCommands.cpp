// CService: the program's command line and the commands it carries out through the service
// manager (install, remove, start, stop, and the polling while a start or stop is pending).
#include "CService.h"

#include "CLog.h"
#include "CLogFile.h"
#include "ScopedHandle.h"
#include "ServiceSecurity.h"

#include <algorithm>

#include <strsafe.h>
#include <wchar.h>

namespace {

// The longest pause between two status queries while a start or stop is pending.
const DWORD kMaxPollMs = 500;

// Recovery after a failure: restart after 5 s, again after 5 s, then after a minute each time;
// a day without failure starts the count afresh.
BOOL SetRecoveryActions(SC_HANDLE hService)
{
    SC_ACTION actions[3] = {
        { SC_ACTION_RESTART, 5000 }, { SC_ACTION_RESTART, 5000 }, { SC_ACTION_RESTART, 60000 },
    };
    SERVICE_FAILURE_ACTIONSW failure = { 24 * 60 * 60, NULL, NULL, ARRAYSIZE(actions), actions };
    return ::ChangeServiceConfig2W(hService, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// Without this flag Windows runs the recovery actions only after a crash, not after a stop with
// an error exit code (a start-up or main loop that failed), and the PC stays unprotected. A
// system that does not know the setting (ERROR_INVALID_LEVEL) keeps the installation: the
// actions still follow a crash there. 0 or the error.
DWORD SetRecoveryAfterErrorExit(SC_HANDLE hService, LPCWSTR lpszFunction)
{
    SERVICE_FAILURE_ACTIONS_FLAG nonCrash = { TRUE };
    if (::ChangeServiceConfig2W(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash)) {
        g_Log.Trace(LOG_DETAIL, lpszFunction, __LINE__,
                    L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG).");
        return ERROR_SUCCESS;
    }
    const DWORD dwErr = ::GetLastError();
    g_Log.Trace(LOG_DETAIL, lpszFunction, __LINE__,
                L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG).");
    return (dwErr == ERROR_INVALID_LEVEL) ? ERROR_SUCCESS : dwErr;
}

// The program path as the service manager's command line: in quotes (once, whether or not the
// caller quoted it already).
HRESULT QuotePath(LPCWSTR lpszPath, LPWSTR lpszCommand, size_t cchCommand)
{
    const size_t cch = wcslen(lpszPath);
    if (cch >= 2 && lpszPath[0] == L'"' && lpszPath[cch - 1] == L'"') {
        return ::StringCchCopyW(lpszCommand, cchCommand, lpszPath);
    }
    return ::StringCchPrintfW(lpszCommand, cchCommand, L"\"%s\"", lpszPath);
}

// An earlier registration may carry another DACL (an older version's, or one loosened since):
// installing again puts the service's own back.
DWORD RestrictExistingService(SC_HANDLE hScm, LPCWSTR lpszServiceName)
{
    ScopedScHandle service(::OpenServiceW(hScm, lpszServiceName, READ_CONTROL | WRITE_DAC));
    return service.IsValid() ? RestrictServiceControl(service.Get()) : ::GetLastError();
}

// The installation runs as SYSTEM before any user could make a folder of that name, so the
// service's log folder is made here with its protected DACL. A folder another account owns is
// refused; that costs only the debug log, never the installation.
void PrepareLogFolder(LPCWSTR lpszFunction)
{
    WCHAR szFolder[MAX_PATH];
    if (!CLogFile::PrepareServiceFolder(szFolder, ARRAYSIZE(szFolder))) {
        g_Log.Trace(LOG_DETAIL, lpszFunction, __LINE__, L"Failed to prepare the log folder.");
    }
}

}  // namespace

BOOL CService::ArgCheck(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet)
{
    static const WCHAR FN[] = L"CService::ArgCheck";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszArgv == NULL) {
        LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszArgv");
        return FALSE;
    }
    if (lpdwRet == NULL) {
        LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRet");
        return FALSE;
    }
    if (!m_bInitialized) {
        LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
        return ERROR_NOT_READY;
    }

    const BOOL bHandled = RunCommand(dwArgc, lpszArgv, lpdwRet);
    LOG_RESULT(LOG_DETAIL, FN, *lpdwRet);
    return bHandled;
}

// Carries out the first command of the command line; FALSE when it holds none.
BOOL CService::RunCommand(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet)
{
    for (DWORD i = 1; i < dwArgc; ++i) {
        if (::lstrcmpiW(lpszArgv[i], L"/UNINSTALL") == 0) {
            *lpdwRet = Unregister();
            return TRUE;
        }
        if (::lstrcmpiW(lpszArgv[i], L"/START") == 0) {
            *lpdwRet = Start();
            return TRUE;
        }
        if (::lstrcmpiW(lpszArgv[i], L"/STOP") == 0) {
            *lpdwRet = Stop();
            return TRUE;
        }
    }
    if (dwArgc >= 3) {
        for (DWORD j = 1; j < dwArgc; ++j) {
            if (::lstrcmpiW(lpszArgv[j], L"/INSTALL") == 0) {
                LPCWSTR lpszPath = (j + 1 < dwArgc) ? lpszArgv[j + 1] : NULL;
                const BOOL bDelayed = dwArgc >= 4 && j + 2 < dwArgc &&
                                      ::lstrcmpiW(lpszArgv[j + 2], L"/D") == 0;
                *lpdwRet = Register(lpszPath, bDelayed);
                return TRUE;
            }
        }
    }
    // Anything else but the program name is an unknown command.
    *lpdwRet = (dwArgc >= 2) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    return dwArgc >= 2;
}

// The service manager and this service in it, with every right the commands need.
DWORD CService::OpenOwnService(ScopedScHandle* pScm, ScopedScHandle* pService)
{
    pScm->Reset(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!pScm->IsValid()) {
        return ::GetLastError();
    }
    pService->Reset(::OpenServiceW(pScm->Get(), m_szServiceName, SERVICE_ALL_ACCESS));
    return pService->IsValid() ? ERROR_SUCCESS : ::GetLastError();
}

DWORD CService::Register(LPCWSTR lpszPath, BOOL bDelayedAutoStart)
{
    static const WCHAR FN[] = L"CService::Register";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszPath == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszPath");
    }
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    // Unquoted, a path with spaces would let the service manager run "C:\Tools\Power.exe" for
    // "C:\Tools\Power Mgmt\MIRELSVC.exe".
    WCHAR szCommand[MAX_PATH + 3];
    if (FAILED(QuotePath(lpszPath, szCommand, ARRAYSIZE(szCommand)))) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_FILENAME_EXCED_RANGE);
    }
    PrepareLogFolder(FN);
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!scm.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    ScopedScHandle service(::CreateServiceW(
        scm.Get(), m_szServiceName, m_szDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, szCommand, NULL, NULL,
        reinterpret_cast<LPCWSTR>(m_byDependencies), NULL, NULL));
    if (!service.IsValid()) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr == ERROR_SERVICE_EXISTS) {
            const DWORD dwSecurity = RestrictExistingService(scm.Get(), m_szServiceName);
            LOG_TRACE(LOG_DETAIL, FN, dwSecurity == ERROR_SUCCESS
                                          ? L"Succeeded to SetServiceObjectSecurity."
                                          : L"Failed to SetServiceObjectSecurity.");
            return LOG_RESULT(LOG_DETAIL, FN, dwSecurity);
        }
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to register.");
        return LOG_RESULT(LOG_DETAIL, FN, dwErr);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to register!");
    return LOG_RESULT(LOG_DETAIL, FN, Configure(service.Get(), bDelayedAutoStart));
}

// The settings of a newly registered service beyond CreateServiceW's: description, who may control
// it, recovery actions, delayed start. Every step is tried; the result is the last failure's.
DWORD CService::Configure(SC_HANDLE hService, BOOL bDelayedAutoStart)
{
    static const WCHAR FN[] = L"CService::Configure";
    DWORD dwRet = ERROR_SUCCESS;
    SERVICE_DESCRIPTIONW description = { m_szDescription };
    if (::ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, &description)) {
        LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION).");
    } else {
        dwRet = ::GetLastError();
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION).");
    }
    const DWORD dwSecurity = RestrictServiceControl(hService);
    if (dwSecurity == ERROR_SUCCESS) {
        LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to SetServiceObjectSecurity.");
    } else {
        dwRet = dwSecurity;
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to SetServiceObjectSecurity.");
    }
    if (SetRecoveryActions(hService)) {
        LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS).");
    } else {
        dwRet = ::GetLastError();
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS).");
    }
    const DWORD dwFlag = SetRecoveryAfterErrorExit(hService, FN);
    if (dwFlag != ERROR_SUCCESS) {
        dwRet = dwFlag;
    }
    if (bDelayedAutoStart) {
        SERVICE_DELAYED_AUTO_START_INFO delayed = { TRUE };
        if (::ChangeServiceConfig2W(hService, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
            LOG_TRACE(LOG_DETAIL, FN,
                      L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_DELAYED_AUTO_START_INFO).");
        } else {
            dwRet = ::GetLastError();
            LOG_TRACE(LOG_DETAIL, FN,
                      L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_DELAYED_AUTO_START_INFO).");
        }
    }
    return dwRet;
}

DWORD CService::Unregister()
{
    static const WCHAR FN[] = L"CService::Unregister";
    LOG_ENTER(LOG_DETAIL, FN);
    DWORD dwRet = Stop();
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    ScopedScHandle scm, service;
    dwRet = OpenOwnService(&scm, &service);
    if (dwRet == ERROR_SUCCESS && !::DeleteService(service.Get())) {
        dwRet = ::GetLastError();
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CService::Start()
{
    static const WCHAR FN[] = L"CService::Start";
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    ScopedScHandle scm, service;
    const DWORD dwOpen = OpenOwnService(&scm, &service);
    if (dwOpen != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwOpen);
    }
    if (!::StartServiceW(service.Get(), 0, NULL)) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr == ERROR_SERVICE_ALREADY_RUNNING) {
            LOG_TRACE(LOG_DETAIL, FN, L"The service already running.");
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
        }
        return LOG_RESULT(LOG_DETAIL, FN, dwErr);
    }
    return LOG_RESULT(LOG_DETAIL, FN, WaitWhilePending(service.Get(), SERVICE_START_PENDING, FN));
}

DWORD CService::Stop()
{
    static const WCHAR FN[] = L"CService::Stop";
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"OpenSCManager");
    LOG_TRACE(LOG_DETAIL, FN, L"OpenService");
    ScopedScHandle scm, service;
    const DWORD dwOpen = OpenOwnService(&scm, &service);
    if (dwOpen != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwOpen);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"QueryServiceStatus");
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.Get(), &status)) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"ControlService");
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    return LOG_RESULT(LOG_DETAIL, FN, WaitWhilePending(service.Get(), SERVICE_STOP_PENDING, FN));
}

// Polls until the service leaves dwPendingState's goal: RUNNING after a start, STOPPED after a
// stop. A failing query ends the wait without an error. A service that stays pending longer than
// the pending timeout gives 1053; one that stopped while starting gives 1062.
DWORD CService::WaitWhilePending(SC_HANDLE hService, DWORD dwPendingState, LPCWSTR lpszFunction)
{
    const DWORD dwGoal = (dwPendingState == SERVICE_START_PENDING) ? SERVICE_RUNNING
                                                                   : SERVICE_STOPPED;
    const ULONGLONG ullDeadline = ::GetTickCount64() + m_dwPendingTimeoutMs;
    for (;;) {
        SERVICE_STATUS status = {};
        if (!::QueryServiceStatus(hService, &status) || status.dwCurrentState == dwGoal) {
            return ERROR_SUCCESS;
        }
        if (dwGoal == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOPPED) {
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        if (::GetTickCount64() >= ullDeadline) {
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        const DWORD dwSleep = std::min(status.dwWaitHint, kMaxPollMs);
        if (dwGoal == SERVICE_STOPPED) {
            g_Log.Trace(LOG_DETAIL, lpszFunction, __LINE__, L"status.dwCurrentState == %08d",
                        status.dwCurrentState);
            g_Log.Trace(LOG_DETAIL, lpszFunction, __LINE__, L"Sleep:%d ms", dwSleep);
        }
        // A wait hint of 0 would make this a busy loop.
        ::Sleep(std::max<DWORD>(dwSleep, 10));
    }
}
