#include "CServiceLink.h"

#include "CLog.h"
#include "CSettings.h"
#include "Notify.h"

namespace {

const WCHAR kCtrlPipeName[] = PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX;
// The watch looks at the service once a second.
const DWORD kWatchPeriodMs = 1000;
// How long a busy control pipe is waited for by the server check.
const DWORD kBusyWaitMs = 2000;

}  // namespace

CServiceLink::CServiceLink()
    : m_hWnd(NULL), m_uMessage(0), m_lpFunc(NULL), m_lpData(NULL), m_lLinked(0), m_dwWatchedPid(0)
{
}

CServiceLink::~CServiceLink()
{
    Disconnect();
}

void CServiceLink::Attach(HWND hWnd, UINT uMessage, LPPIPEEVENTFUNC lpFunc, LPVOID lpData)
{
    m_hWnd = hWnd;
    m_uMessage = uMessage;
    m_lpFunc = lpFunc;
    m_lpData = lpData;
}

// Only the process the service manager names may answer the registration: while the service is
// down, any user can create a pipe of its name, and would then be heard as the service.
DWORD CServiceLink::Connect(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CServiceLink::Connect");
    DWORD dwServicePid = 0;
    if (QueryService(FN, &dwServicePid) != STATE_RUNNING) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    DWORD dwRet = CheckPipeServer(dwServicePid);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    if (m_PipeCl.GetServiceProcessId() != 0) {
        // What is left of the registration with a service that went.
        m_PipeCl.Finalize(hAbortEvent);
    }
    DWORD dwClientID = 0;
    dwRet = m_PipeCl.Initialize(PIPECL_MODE_FULL, MIREL_PIPE_SUFFIX, &dwClientID, m_lpFunc, m_lpData,
                                hAbortEvent);
    if (dwRet == ERROR_SUCCESS && m_PipeCl.GetServiceProcessId() != dwServicePid) {
        // The service went and another process took the name between the check and now.
        m_PipeCl.Finalize(hAbortEvent);
        dwRet = ERROR_SERVICE_NOT_ACTIVE;
    }
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to register with the service. dwRet: %d", dwRet);
        // The control pipe was there a moment ago: whatever failed, it is tried again, and only
        // the check above reports a service without a control pipe.
        return dwRet == ERROR_FILE_NOT_FOUND ? ERROR_NOT_CONNECTED : dwRet;
    }
    ::InterlockedExchange(&m_lLinked, 1);
    return ERROR_SUCCESS;
}

// ERROR_SUCCESS when the control pipe is served by dwServicePid. The connection made for the
// question carries no request: the service reads nothing from it and goes on.
DWORD CServiceLink::CheckPipeServer(DWORD dwServicePid)
{
    LOG_FUNCTION(L"CServiceLink::CheckPipeServer");
    ScopedKernelHandle pipe(::CreateFileW(kCtrlPipeName, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    if (!pipe.IsValid() && ::GetLastError() == ERROR_PIPE_BUSY && ::WaitNamedPipeW(kCtrlPipeName, kBusyWaitMs)) {
        pipe.Reset(::CreateFileW(kCtrlPipeName, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    }
    if (!pipe.IsValid()) {
        const DWORD dwRet = ::GetLastError();
        return dwRet == ERROR_PIPE_BUSY ? dwRet : ERROR_FILE_NOT_FOUND;
    }
    ULONG ulServer = 0;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &ulServer) || ulServer != dwServicePid) {
        LOG_TRACE(LOG_EVENT, FN, L"Pipe served by process %u, not by the service %u.", ulServer, dwServicePid);
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    return ERROR_SUCCESS;
}

void CServiceLink::Disconnect()
{
    ::InterlockedExchange(&m_lLinked, 0);
    m_PipeCl.Finalize(NULL);
}

DWORD CServiceLink::GetServiceStatus()
{
    DWORD dwPid = 0;
    return QueryService(L"CServiceLink::GetServiceStatus", &dwPid) == STATE_RUNNING
               ? NOTIFY_SERVICE_RUNNING
               : NOTIFY_SERVICE_STOPPED;
}

void CServiceLink::Send(DWORD dwRequest)
{
    DWORD dwRetCode = 0;
    m_PipeCl.Send(&dwRequest, sizeof(dwRequest), &dwRetCode, NULL);
}

// A stop notice ends the link here, before its acknowledgement lets the service end: the end of
// its process is then no second news for the watch.
BOOL CServiceLink::Receive(PPIPEEVENT pPipeEvent, LPDWORD lpdwCode, LPDWORD lpdwValue)
{
    LOG_FUNCTION(L"CServiceLink::Receive");
    DWORD dwBuff[2] = { 0, 0 };
    if (pPipeEvent->dwDataSize == sizeof(DWORD)) {
        m_PipeCl.GetReceivedData(dwBuff, sizeof(DWORD));
        LOG_TRACE(LOG_EVENT, FN, L"dwNotify = %02X", dwBuff[0]);
        if (dwBuff[0] == NOTIFY_SERVICE_STOPPED) {
            MarkLost();
        }
    } else if (pPipeEvent->dwDataSize == sizeof(dwBuff)) {
        m_PipeCl.GetReceivedData(dwBuff, sizeof(dwBuff));
        LOG_TRACE(LOG_EVENT, FN, L"dwBuff [0]: %02X, [1]: %02X", dwBuff[0], dwBuff[1]);
    } else {
        return FALSE;
    }
    *lpdwCode = dwBuff[0];
    *lpdwValue = dwBuff[1];
    return TRUE;
}

void CServiceLink::MarkLost()
{
    ::InterlockedExchange(&m_lLinked, 0);
}

BOOL CServiceLink::IsLinked()
{
    return ::InterlockedCompareExchange(&m_lLinked, 0, 0) != 0;
}

// The service's state and process from the service manager (lpszCaller names the log lines);
// STATE_UNKNOWN when it cannot be asked: not the same as a stopped service.
CServiceLink::State CServiceLink::QueryService(LPCWSTR lpszCaller, LPDWORD lpdwProcessId)
{
    *lpdwProcessId = 0;
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, 0));
    if (!scm.IsValid()) {
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to OpenSCManager() dwRet: %d", ::GetLastError());
        return STATE_UNKNOWN;
    }
    ScopedScHandle service(::OpenServiceW(scm.Get(), MIREL_SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service.IsValid()) {
        const DWORD dwRet = ::GetLastError();
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to OpenService() dwRet: %d", dwRet);
        return dwRet == ERROR_SERVICE_DOES_NOT_EXIST ? STATE_STOPPED : STATE_UNKNOWN;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD cbNeeded = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof(status), &cbNeeded)) {
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to QueryServiceStatus() dwRet: %d",
                    ::GetLastError());
        return STATE_UNKNOWN;
    }
    if (status.dwCurrentState != SERVICE_RUNNING) {
        return STATE_STOPPED;
    }
    *lpdwProcessId = status.dwProcessId;
    return STATE_RUNNING;
}

void CServiceLink::Watch(HANDLE hTerminate)
{
    for (;;) {
        WatchServiceProcess();
        const HANDLE waits[2] = { hTerminate, m_ServiceProcess.Get() };
        const DWORD dwWait = ::WaitForMultipleObjects(m_ServiceProcess.IsValid() ? 2 : 1, waits, FALSE,
                                                      kWatchPeriodMs);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_FAILED) {
            return;
        }
        WatchOnce(hTerminate, dwWait);
    }
}

// Linked: a service that died or was restarted sends no stop notice, so its end is looked for.
// Not linked: once the service runs, register anew; any failure is tried again a second later.
void CServiceLink::WatchOnce(HANDLE hTerminate, DWORD dwWait)
{
    LOG_FUNCTION(L"CServiceLink::WatchOnce");
    if (IsLinked()) {
        if (IsServiceGone(dwWait) && ::InterlockedCompareExchange(&m_lLinked, 0, 1) == 1) {
            DWORD dwExitCode = 0;
            ::GetExitCodeProcess(m_ServiceProcess.Get(), &dwExitCode);
            LOG_TRACE(LOG_EVENT, FN, L"Service process gone. Exit code: %u", dwExitCode);
            ::PostMessageW(m_hWnd, m_uMessage, NOTIFY_SERVICE_STOPPED, 0);
        }
    } else if (Connect(hTerminate) == ERROR_SUCCESS) {
        ::PostMessageW(m_hWnd, m_uMessage, NOTIFY_SERVICE_RUNNING, 0);
    }
}

// The service we registered with is gone: its process ended, or (when it cannot be waited on) its
// control pipe vanished or the service manager knows another process or none. A manager that
// cannot be asked says nothing: the next second asks again.
BOOL CServiceLink::IsServiceGone(DWORD dwWait)
{
    if (m_ServiceProcess.IsValid()) {
        return dwWait == WAIT_OBJECT_0 + 1;
    }
    if (!::WaitNamedPipeW(kCtrlPipeName, 1) && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        return TRUE;
    }
    DWORD dwPid = 0;
    const State state = QueryService(L"CServiceLink::IsServiceGone", &dwPid);
    return state != STATE_UNKNOWN && dwPid != m_PipeCl.GetServiceProcessId();
}

// While linked, the process that served the registration is opened once for waiting (and for its
// exit code, logged when it ends); while not, none is held (a stopped service's process would
// end every wait at once). A standard user may not open the LocalSystem service's process:
// then the service is polled instead.
void CServiceLink::WatchServiceProcess()
{
    LOG_FUNCTION(L"CServiceLink::WatchServiceProcess");
    const DWORD dwPid = IsLinked() ? m_PipeCl.GetServiceProcessId() : 0;
    if (dwPid == m_dwWatchedPid) {
        return;
    }
    m_dwWatchedPid = dwPid;
    m_ServiceProcess.Reset(dwPid != 0 ? ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                      FALSE, dwPid)
                                      : NULL);
    if (dwPid != 0 && !m_ServiceProcess.IsValid()) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to OpenProcess() dwRet: %d; polling the service.", ::GetLastError());
    }
}
