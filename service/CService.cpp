#include "CService.h"

#include "CInstanceMutex.h"
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
// A stop takes a few seconds (the last notifications drain, the watchers end); the check point
// advances every second meanwhile, for a minute at most, so that a stop that hangs is still seen.
const DWORD kStopWaitHintMs = 5000;
const DWORD kCheckPointMs = 1000;
const DWORD kMaxCheckPoints = 60;
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

}  // namespace

CService::CService()
    : m_bInitialized(FALSE), m_dwPendingTimeoutMs(kDefaultPendingTimeoutMs), m_dwExitCode(0)
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

    CInstanceMutex mutex;
    DWORD dwRet = mutex.Acquire(m_szServiceName);
    if (dwRet == ERROR_SUCCESS) {
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
    pThis->RunService(dwArgc, lpszArgv);

    CloseAndClear(m_hTerminateEvent);
    LOG_TRACE(LOG_DETAIL, FN, L"Exit ServiceMain()");
    // A run that failed stops with its error: Windows then logs it and runs the recovery
    // actions, where an exit code of 0 would read as a stop on request.
    pThis->SetServiceStatus(SERVICE_STOPPED, pThis->m_dwExitCode, 0);
}

// Start-up, main loop and shut-down of one run. A start-up that fails leaves its result as the
// exit code, unless the service set one of its own.
void CService::RunService(DWORD dwArgc, LPWSTR* lpszArgv)
{
    m_dwExitCode = ERROR_SUCCESS;
    SetServiceStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);
    const DWORD dwStart = BeforeMainLoop(m_hServiceStatus);
    if (dwStart == ERROR_SUCCESS) {
        SetServiceStatus(SERVICE_RUNNING, 0, 0);
        MainLoop(dwArgc, lpszArgv);
    } else if (m_dwExitCode == ERROR_SUCCESS) {
        m_dwExitCode = dwStart;
    }
    // The wait hint is the time until the next report: the check point advances while
    // AfterMainLoop drains. Without the ticker the one report still carries the real hint.
    SetServiceStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
    m_PendingTicker.Initialize(PendingTickProc, this);
    AfterMainLoop(m_hServiceStatus);
    m_PendingTicker.Finalize();
}

DWORD CService::PendingTickProc(LPVOID lpData)
{
    CService* pThis = static_cast<CService*>(lpData);
    const HANDLE hStop = pThis->m_PendingTicker.GetTerminateEvent();
    for (DWORD dwTick = 0; dwTick < kMaxCheckPoints; ++dwTick) {
        if (::WaitForSingleObject(hStop, kCheckPointMs) != WAIT_TIMEOUT) {
            break;
        }
        pThis->RefreshServiceStatus();
    }
    return 0;
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
    static const WCHAR FN[] = L"CService::Dispatch";
    // Each control with its name and its handler: one without arguments, or one that takes the
    // event type and data.
    struct Control {
        DWORD dwControl;
        LPCWSTR lpszName;
        DWORD (CService::*lpOnControl)();
        DWORD (CService::*lpOnEvent)(DWORD dwEventType, LPVOID lpEventData);
    };
    static const Control kControls[] = {
        { SERVICE_CONTROL_STOP, L"SERVICE_CONTROL_STOP", &CService::OnStop, NULL },
        { SERVICE_CONTROL_PAUSE, L"SERVICE_CONTROL_PAUSE", &CService::OnPause, NULL },
        { SERVICE_CONTROL_CONTINUE, L"SERVICE_CONTROL_CONTINUE", &CService::OnContinue, NULL },
        { SERVICE_CONTROL_INTERROGATE, L"SERVICE_CONTROL_INTERROGATE", &CService::OnInterrogate, NULL },
        { SERVICE_CONTROL_SHUTDOWN, L"SERVICE_CONTROL_SHUTDOWN", &CService::OnShutdown, NULL },
        { SERVICE_CONTROL_PARAMCHANGE, L"SERVICE_CONTROL_PARAMCHANGE", &CService::OnParamChange, NULL },
        { SERVICE_CONTROL_NETBINDADD, L"SERVICE_CONTROL_NETBINDADD", &CService::OnNetbindAdd, NULL },
        { SERVICE_CONTROL_NETBINDREMOVE, L"SERVICE_CONTROL_NETBINDREMOVE", &CService::OnNetbindRemove, NULL },
        { SERVICE_CONTROL_NETBINDENABLE, L"SERVICE_CONTROL_NETBINDENABLE", &CService::OnNetbindEnable, NULL },
        { SERVICE_CONTROL_NETBINDDISABLE, L"SERVICE_CONTROL_NETBINDDISABLE", &CService::OnNetbindDisable, NULL },
        { SERVICE_CONTROL_DEVICEEVENT, L"SERVICE_CONTROL_DEVICEEVENT", NULL, &CService::OnDeviceEvent },
        { SERVICE_CONTROL_HARDWAREPROFILECHANGE, L"SERVICE_CONTROL_HARDWAREPROFILECHANGE", NULL,
          &CService::OnHardwareProfileChange },
        { SERVICE_CONTROL_POWEREVENT, L"SERVICE_CONTROL_POWEREVENT", NULL, &CService::OnPowerEvent },
        { SERVICE_CONTROL_SESSIONCHANGE, L"SERVICE_CONTROL_SESSIONCHANGE", NULL, &CService::OnSessionChange },
        { SERVICE_CONTROL_PRESHUTDOWN, L"SERVICE_CONTROL_PRESHUTDOWN", &CService::OnPreShutdown, NULL },
        { SERVICE_CONTROL_TIMECHANGE, L"SERVICE_CONTROL_TIMECHANGE", &CService::OnTimeChange, NULL },
        { SERVICE_CONTROL_TRIGGEREVENT, L"SERVICE_CONTROL_TRIGGEREVENT", &CService::OnTriggerEvent, NULL },
    };
    for (const Control& control : kControls) {
        if (control.dwControl == dwControl) {
            LOG_TRACE(LOG_DETAIL, FN, L"%s", control.lpszName);
            return control.lpOnControl != NULL ? (this->*control.lpOnControl)()
                                               : (this->*control.lpOnEvent)(dwEventType, lpEventData);
        }
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Other Event:%08x", dwControl);
    return OnUnknownEvent(dwControl, dwEventType);
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
    if (m_hTerminateEvent == NULL) {
        return;
    }
    if (m_lpObj != NULL) {
        m_lpObj->ReportStopPending();
    }
    ::SetEvent(m_hTerminateEvent);
}

// Windows expects a stop that is under way to be reported at once, with the time it may take.
// Reported under the status lock, so that the refresh after the control reports STOP_PENDING
// again (advancing the check point) and never RUNNING.
void CService::ReportStopPending()
{
    if (!m_bInitialized || m_hServiceStatus == NULL) {
        return;
    }
    CSrwLock::CGuard guard(g_statusLock);
    if (m_ServiceStatus.dwCurrentState == SERVICE_RUNNING) {
        UpdateStatusLocked(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
        ReportStatus(&m_ServiceStatus);
    }
}
