#include "CService.h"

#include "CLog.h"
#include "CSrwLock.h"
#include "ScopedHandle.h"

#include <strsafe.h>

#include <algorithm>

WCHAR CService::m_szServiceName[256];
CService* CService::m_lpObj = NULL;
SERVICE_STATUS CService::m_ServiceStatus;
SERVICE_STATUS_HANDLE CService::m_hServiceStatus = NULL;
HANDLE CService::m_hTerminateEvent = NULL;

namespace {

const DWORD kStartWaitHintMs = 5000;
const DWORD kMaxPollMs = 500;
const DWORD kDefaultPendingTimeoutMs = 30000;
const DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                SERVICE_ACCEPT_HARDWAREPROFILECHANGE | SERVICE_ACCEPT_POWEREVENT |
                                SERVICE_ACCEPT_SESSIONCHANGE;

// The dispatcher thread and the service thread both report; one report at a time.
CSrwLock g_statusLock;

bool IsPendingState(DWORD dwState)
{
    return dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING ||
           dwState == SERVICE_CONTINUE_PENDING || dwState == SERVICE_PAUSE_PENDING;
}

LPCWSTR ControlName(DWORD dwControl)
{
    switch (dwControl) {
    case SERVICE_CONTROL_STOP: return L"SERVICE_CONTROL_STOP";
    case SERVICE_CONTROL_PAUSE: return L"SERVICE_CONTROL_PAUSE";
    case SERVICE_CONTROL_CONTINUE: return L"SERVICE_CONTROL_CONTINUE";
    case SERVICE_CONTROL_INTERROGATE: return L"SERVICE_CONTROL_INTERROGATE";
    case SERVICE_CONTROL_SHUTDOWN: return L"SERVICE_CONTROL_SHUTDOWN";
    case SERVICE_CONTROL_PARAMCHANGE: return L"SERVICE_CONTROL_PARAMCHANGE";
    case SERVICE_CONTROL_NETBINDADD: return L"SERVICE_CONTROL_NETBINDADD";
    case SERVICE_CONTROL_NETBINDREMOVE: return L"SERVICE_CONTROL_NETBINDREMOVE";
    case SERVICE_CONTROL_NETBINDENABLE: return L"SERVICE_CONTROL_NETBINDENABLE";
    case SERVICE_CONTROL_NETBINDDISABLE: return L"SERVICE_CONTROL_NETBINDDISABLE";
    case SERVICE_CONTROL_DEVICEEVENT: return L"SERVICE_CONTROL_DEVICEEVENT";
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: return L"SERVICE_CONTROL_HARDWAREPROFILECHANGE";
    case SERVICE_CONTROL_POWEREVENT: return L"SERVICE_CONTROL_POWEREVENT";
    case SERVICE_CONTROL_SESSIONCHANGE: return L"SERVICE_CONTROL_SESSIONCHANGE";
    case SERVICE_CONTROL_PRESHUTDOWN: return L"SERVICE_CONTROL_PRESHUTDOWN";
    case SERVICE_CONTROL_TIMECHANGE: return L"SERVICE_CONTROL_TIMECHANGE";
    case SERVICE_CONTROL_TRIGGEREVENT: return L"SERVICE_CONTROL_TRIGGEREVENT";
    default: return NULL;
    }
}

}  // namespace

CService::CService()
    : m_bInitialized(FALSE), m_dwPendingTimeoutMs(kDefaultPendingTimeoutMs)
{
    m_szDisplayName[0] = L'\0';
    m_szDescription[0] = L'\0';
    ZeroMemory(m_byDependencies, sizeof(m_byDependencies));
}

CService::~CService()
{
    static const WCHAR FN[] = L"CService::~CService";
    LOG_ENTER(LOG_DETAIL, FN);
    LOG_EXIT(LOG_DETAIL, FN);
}

DWORD CService::OnStop() { return ERROR_SUCCESS; }
DWORD CService::OnPause() { return ERROR_SUCCESS; }
DWORD CService::OnContinue() { return ERROR_SUCCESS; }
DWORD CService::OnInterrogate() { return ERROR_SUCCESS; }
DWORD CService::OnParamChange() { return ERROR_SUCCESS; }
DWORD CService::OnNetbindAdd() { return ERROR_SUCCESS; }
DWORD CService::OnNetbindRemove() { return ERROR_SUCCESS; }
DWORD CService::OnNetbindEnable() { return ERROR_SUCCESS; }
DWORD CService::OnNetbindDisable() { return ERROR_SUCCESS; }
DWORD CService::OnDeviceEvent(DWORD, LPVOID) { return ERROR_SUCCESS; }
DWORD CService::OnHardwareProfileChange(DWORD, LPVOID) { return ERROR_SUCCESS; }
DWORD CService::OnPowerEvent(DWORD, LPVOID) { return ERROR_SUCCESS; }
DWORD CService::OnSessionChange(DWORD, LPVOID) { return ERROR_SUCCESS; }
DWORD CService::OnUnknownEvent(DWORD, DWORD) { return ERROR_SUCCESS; }
DWORD CService::OnTimeChange() { return ERROR_SUCCESS; }
DWORD CService::OnTriggerEvent() { return ERROR_SUCCESS; }

DWORD CService::OnShutdown()
{
    TerminateMainLoop();
    return ERROR_SUCCESS;
}

DWORD CService::OnPreShutdown()
{
    TerminateMainLoop();
    return ERROR_SUCCESS;
}

void CService::MainLoop(DWORD, LPWSTR*)
{
    static const WCHAR FN[] = L"CService::MainLoop";
    LOG_ENTER(LOG_DETAIL, FN);
    const DWORD dwWait = ::WaitForSingleObject(m_hTerminateEvent, INFINITE);
    if (dwWait == WAIT_OBJECT_0) {
        LOG_TRACE(LOG_DETAIL, FN, L"Exit Service loop");
    } else if (dwWait != WAIT_FAILED) {
        LOG_TRACE(LOG_DETAIL, FN, L"unknown");
    }
    LOG_EXIT(LOG_DETAIL, FN);
}

DWORD CService::BeforeMainLoop(SERVICE_STATUS_HANDLE)
{
    return ERROR_SUCCESS;
}

void CService::AfterMainLoop(SERVICE_STATUS_HANDLE) {}

DWORD CService::Initialize(LPCWSTR lpszServiceName, LPCWSTR lpszDisplayName,
                           LPCWSTR lpszDescription, const BYTE* lpDependencies,
                           DWORD dwDependenciesLen)
{
    static const WCHAR FN[] = L"CService::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszServiceName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszServiceName");
    }
    if (lpszDisplayName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszDisplayName");
    }
    if (lpszDescription == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszDescription");
    }
    ::StringCchCopyW(m_szServiceName, ARRAYSIZE(m_szServiceName), lpszServiceName);
    ::StringCchCopyW(m_szDisplayName, ARRAYSIZE(m_szDisplayName), lpszDisplayName);
    ::StringCchCopyW(m_szDescription, ARRAYSIZE(m_szDescription), lpszDescription);
    ZeroMemory(m_byDependencies, sizeof(m_byDependencies));
    if (lpDependencies != NULL) {
        const DWORD cb = std::min<DWORD>(dwDependenciesLen, sizeof(m_byDependencies));
        ::CopyMemory(m_byDependencies, lpDependencies, cb);
    }
    m_bInitialized = TRUE;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CService::Finalize()
{
    static const WCHAR FN[] = L"CService::Finalize";
    LOG_ENTER(LOG_DETAIL, FN);
    m_bInitialized = FALSE;
    LOG_EXIT(LOG_DETAIL, FN);
}

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
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!scm.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    ScopedScHandle service(::CreateServiceW(
        scm.Get(), m_szServiceName, m_szDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, lpszPath, NULL, NULL,
        reinterpret_cast<LPCWSTR>(m_byDependencies), NULL, NULL));
    if (!service.IsValid()) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr == ERROR_SERVICE_EXISTS) {
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
        }
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to register.");
        return LOG_RESULT(LOG_DETAIL, FN, dwErr);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to register!");

    DWORD dwRet = ERROR_SUCCESS;
    SERVICE_DESCRIPTIONW description = { m_szDescription };
    if (::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        LOG_TRACE(LOG_DETAIL, FN, L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION).");
    } else {
        dwRet = ::GetLastError();
        LOG_TRACE(LOG_DETAIL, FN, L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_DESCRIPTION).");
    }
    if (bDelayedAutoStart) {
        SERVICE_DELAYED_AUTO_START_INFO delayed = { TRUE };
        if (::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
            LOG_TRACE(LOG_DETAIL, FN,
                      L"Succeeded to ChangeServiceConfig2(SERVICE_CONFIG_DELAYED_AUTO_START_INFO).");
        } else {
            dwRet = ::GetLastError();
            LOG_TRACE(LOG_DETAIL, FN,
                      L"Failed to ChangeServiceConfig2(SERVICE_CONFIG_DELAYED_AUTO_START_INFO).");
        }
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CService::Unregister()
{
    static const WCHAR FN[] = L"CService::Unregister";
    LOG_ENTER(LOG_DETAIL, FN);
    DWORD dwRet = Stop();
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!scm.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    ScopedScHandle service(::OpenServiceW(scm.Get(), m_szServiceName, SERVICE_ALL_ACCESS));
    if (!service.IsValid() || !::DeleteService(service.Get())) {
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
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!scm.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    ScopedScHandle service(::OpenServiceW(scm.Get(), m_szServiceName, SERVICE_ALL_ACCESS));
    if (!service.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
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
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!scm.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    LOG_TRACE(LOG_DETAIL, FN, L"OpenService");
    ScopedScHandle service(::OpenServiceW(scm.Get(), m_szServiceName, SERVICE_ALL_ACCESS));
    if (!service.IsValid()) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
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

DWORD CService::ServiceEntry()
{
    static const WCHAR FN[] = L"CService::ServiceEntry";
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    m_lpObj = this;
    SERVICE_TABLE_ENTRYW table[] = {
        { m_szServiceName, ServiceMain },
        { NULL, NULL },
    };

    WCHAR szMutexName[MAX_PATH];
    ::StringCchPrintfW(szMutexName, ARRAYSIZE(szMutexName), L"Global\\mtx_%s", m_szServiceName);
    ScopedKernelHandle mutex(::CreateMutexW(NULL, TRUE, szMutexName));
    DWORD dwRet = ::GetLastError();
    if (mutex.IsValid() && dwRet != ERROR_ALREADY_EXISTS) {
        dwRet = ::StartServiceCtrlDispatcherW(table) ? ERROR_SUCCESS : ::GetLastError();
    }
    m_lpObj = NULL;
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

void WINAPI CService::ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv)
{
    static const WCHAR FN[] = L"CService::ServiceMain";
    LOG_ENTER(LOG_DETAIL, FN);
    if (m_lpObj == NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"m_lpObj is NULL.");
        return;
    }
    m_hTerminateEvent = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    if (m_hTerminateEvent == NULL) {
        m_lpObj->SetServiceStatus(SERVICE_STOPPED, 0, 0);
        return;
    }
    m_hServiceStatus = ::RegisterServiceCtrlHandlerExW(m_szServiceName, ServiceHandler, m_lpObj);
    if (m_hServiceStatus == NULL) {
        m_lpObj->SetServiceStatus(SERVICE_STOPPED, 0, 0);
        CloseAndClear(m_hTerminateEvent);
        return;
    }

    CService* pThis = m_lpObj;
    pThis->SetServiceStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);
    if (pThis->BeforeMainLoop(m_hServiceStatus) == ERROR_SUCCESS) {
        pThis->SetServiceStatus(SERVICE_RUNNING, 0, 0);
        pThis->MainLoop(dwArgc, lpszArgv);
    }
    pThis->SetServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    pThis->AfterMainLoop(m_hServiceStatus);

    CloseAndClear(m_hTerminateEvent);
    LOG_TRACE(LOG_DETAIL, FN, L"Exit ServiceMain()");
    pThis->SetServiceStatus(SERVICE_STOPPED, 0, 0);
}

DWORD WINAPI CService::ServiceHandler(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                      LPVOID lpContext)
{
    static const WCHAR FN[] = L"CService::ServiceHandler";
    LOG_ENTER(LOG_DETAIL, FN);
    CService* pThis = static_cast<CService*>(lpContext);
    if (pThis == NULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_CALL_NOT_IMPLEMENTED);
    }
    const DWORD dwRet = pThis->Dispatch(dwControl, dwEventType, lpEventData);
    pThis->RefreshServiceStatus();
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CService::Dispatch(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData)
{
    static const WCHAR FN[] = L"CService::ServiceHandler";
    LPCWSTR lpszName = ControlName(dwControl);
    if (lpszName != NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"%s", lpszName);
    } else {
        LOG_TRACE(LOG_DETAIL, FN, L"Other Event:%08x", dwControl);
    }
    switch (dwControl) {
    case SERVICE_CONTROL_STOP: return OnStop();
    case SERVICE_CONTROL_PAUSE: return OnPause();
    case SERVICE_CONTROL_CONTINUE: return OnContinue();
    case SERVICE_CONTROL_INTERROGATE: return OnInterrogate();
    case SERVICE_CONTROL_SHUTDOWN: return OnShutdown();
    case SERVICE_CONTROL_PARAMCHANGE: return OnParamChange();
    case SERVICE_CONTROL_NETBINDADD: return OnNetbindAdd();
    case SERVICE_CONTROL_NETBINDREMOVE: return OnNetbindRemove();
    case SERVICE_CONTROL_NETBINDENABLE: return OnNetbindEnable();
    case SERVICE_CONTROL_NETBINDDISABLE: return OnNetbindDisable();
    case SERVICE_CONTROL_DEVICEEVENT: return OnDeviceEvent(dwEventType, lpEventData);
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
        return OnHardwareProfileChange(dwEventType, lpEventData);
    case SERVICE_CONTROL_POWEREVENT: return OnPowerEvent(dwEventType, lpEventData);
    case SERVICE_CONTROL_SESSIONCHANGE: return OnSessionChange(dwEventType, lpEventData);
    case SERVICE_CONTROL_PRESHUTDOWN: return OnPreShutdown();
    case SERVICE_CONTROL_TIMECHANGE: return OnTimeChange();
    case SERVICE_CONTROL_TRIGGEREVENT: return OnTriggerEvent();
    default: return OnUnknownEvent(dwControl, dwEventType);
    }
}

DWORD CService::SetServiceStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    if (!m_bInitialized || m_hServiceStatus == NULL) {
        return ERROR_NOT_READY;
    }
    SERVICE_STATUS stopped;
    {
        CSrwLock::CGuard guard(g_statusLock);
        UpdateStatusLocked(dwCurrentState, dwWin32ExitCode, dwWaitHint);
        if (dwCurrentState != SERVICE_STOPPED) {
            return ReportStatus(&m_ServiceStatus);
        }
        stopped = m_ServiceStatus;
    }
    // The control dispatcher runs the handler under a lock of its own, and reporting STOPPED
    // takes that lock too: holding ours meanwhile would deadlock with a handler that waits for
    // it. With STOPPED recorded no refresh reports anything, so nothing can follow it.
    return ReportStatus(&stopped);
}

// Reports the current state again after a control. Reading and reporting under one lock keeps a
// state the service thread has meanwhile left (RUNNING after STOPPED, say) from being reported
// once more; after STOPPED nothing is reported at all.
void CService::RefreshServiceStatus()
{
    if (!m_bInitialized || m_hServiceStatus == NULL) {
        return;
    }
    CSrwLock::CGuard guard(g_statusLock);
    if (m_ServiceStatus.dwCurrentState != SERVICE_STOPPED) {
        UpdateStatusLocked(m_ServiceStatus.dwCurrentState, 0, m_ServiceStatus.dwWaitHint);
        ReportStatus(&m_ServiceStatus);
    }
}

void CService::UpdateStatusLocked(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    m_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_ServiceStatus.dwCurrentState = dwCurrentState;
    if (IsPendingState(dwCurrentState)) {
        m_ServiceStatus.dwControlsAccepted = 0;
        ++m_ServiceStatus.dwCheckPoint;
    } else {
        m_ServiceStatus.dwControlsAccepted = kAcceptedControls;
        m_ServiceStatus.dwCheckPoint = 0;
    }
    m_ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
    m_ServiceStatus.dwServiceSpecificExitCode = 0;
    m_ServiceStatus.dwWaitHint = dwWaitHint;
}

DWORD CService::ReportStatus(LPSERVICE_STATUS lpStatus)
{
    return ::SetServiceStatus(m_hServiceStatus, lpStatus) ? ERROR_SUCCESS : ::GetLastError();
}

void CService::TerminateMainLoop()
{
    if (m_hTerminateEvent != NULL) {
        ::SetEvent(m_hTerminateEvent);
    }
}
