#include "CServiceLink.h"

#include "CLog.h"
#include "CNotifyTable.h"
#include "CSettings.h"
#include "Notify.h"

namespace {

const WCHAR kCtrlPipeName[] = PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX;
// The watch looks at the service once a second.
const DWORD kWatchPeriodMs = 1000;
// How long a busy control pipe is waited for by the server check, in slices that look at the
// abort event.
const DWORD kBusyWaitMs = 2000;
const DWORD kBusySliceMs = 100;
// The registration is confirmed every 10 s. Each confirmation is one short exchange on the data
// pipe (a connection, 12 bytes, an acknowledgement), so even a full table of 100 applications
// costs the service 10 small exchanges a second; a dropped application is deaf for at most
// this long and one registration.
const DWORD kConfirmPeriodMs = 10000;
// The control pipe, opened as a client that lets its server identify the user but never act
// as the user: whoever serves the pipe may be an impostor.
const DWORD kCtrlOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

HANDLE OpenCtrlPipe()
{
    return ::CreateFileW(kCtrlPipeName, GENERIC_READ, 0, NULL, OPEN_EXISTING, kCtrlOpenFlags, NULL);
}

// ERROR_SUCCESS once an instance of the control pipe is free; ERROR_PIPE_BUSY when none frees up
// in time or hAbortEvent is set; ERROR_FILE_NOT_FOUND when the pipe is gone.
DWORD WaitCtrlPipe(HANDLE hAbortEvent)
{
    for (DWORD dwWaited = 0; dwWaited < kBusyWaitMs; dwWaited += kBusySliceMs) {
        if (hAbortEvent != NULL && ::WaitForSingleObject(hAbortEvent, 0) == WAIT_OBJECT_0) {
            break;
        }
        if (::WaitNamedPipeW(kCtrlPipeName, kBusySliceMs)) {
            return ERROR_SUCCESS;
        }
        if (::GetLastError() != ERROR_SEM_TIMEOUT) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    return ERROR_PIPE_BUSY;
}

}  // namespace

CServiceLink::CServiceLink()
    : m_hWnd(NULL),
      m_uMessage(0),
      m_lpFunc(NULL),
      m_lpData(NULL),
      m_lLinked(0),
      m_dwWatchedPid(0),
      m_ullConfirmAt(0),
      m_Wake(::CreateEventW(NULL, FALSE, FALSE, NULL)),
      m_lResumeCheck(0),
      m_lpTask(NULL),
      m_lpTaskData(NULL),
      m_lTask(0),
      m_lStopTold(0)
{
}

CServiceLink::~CServiceLink()
{
    Disconnect();
}

void CServiceLink::Attach(HWND hWnd, UINT uMessage, LPSERVICENOTIFYFUNC lpFunc, LPVOID lpData)
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
    DWORD dwRet = CheckPipeServer(dwServicePid, hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    if (m_PipeCl.GetServiceProcessId() != 0) {
        // What is left of the registration with a service that went.
        m_PipeCl.Finalize(hAbortEvent);
    }
    DWORD dwClientID = 0;
    dwRet = m_PipeCl.Initialize(PIPECL_MODE_FULL, MIREL_PIPE_SUFFIX, &dwClientID, Receive, this,
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
    m_ullConfirmAt = ::GetTickCount64() + kConfirmPeriodMs;
    ::InterlockedExchange(&m_lStopTold, 0);
    ::InterlockedExchange(&m_lLinked, 1);
    return ERROR_SUCCESS;
}

// ERROR_SUCCESS when the control pipe is served by dwServicePid. The connection made for the
// question carries no request: the service reads nothing from it and goes on.
DWORD CServiceLink::CheckPipeServer(DWORD dwServicePid, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CServiceLink::CheckPipeServer");
    ScopedKernelHandle pipe(OpenCtrlPipe());
    if (!pipe.IsValid() && ::GetLastError() == ERROR_PIPE_BUSY) {
        const DWORD dwRet = WaitCtrlPipe(hAbortEvent);
        if (dwRet != ERROR_SUCCESS) {
            return dwRet;
        }
        pipe.Reset(OpenCtrlPipe());
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

// Every wait of the unregistration ends when the timer fires; without a timer nothing is waited
// for at all (the service notices the gone pipe at its next delivery).
void CServiceLink::DisconnectWithin(DWORD dwBoundMs)
{
    ::InterlockedExchange(&m_lLinked, 0);
    ScopedKernelHandle bound(::CreateWaitableTimerW(NULL, TRUE, NULL));
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(dwBoundMs) * 10000;  // relative, in 100 ns
    if (!bound.IsValid() || !::SetWaitableTimer(bound.Get(), &due, 0, NULL, NULL, FALSE)) {
        bound.Reset(::CreateEventW(NULL, TRUE, TRUE, NULL));
    }
    m_PipeCl.Finalize(bound.Get());
}

void CServiceLink::RequestResumeCheck()
{
    ::InterlockedExchange(&m_lResumeCheck, 1);
    if (m_Wake.IsValid()) {
        ::SetEvent(m_Wake.Get());
    }
}

void CServiceLink::SetWatchTask(LPWATCHTASKFUNC lpFunc, LPVOID lpData)
{
    m_lpTask = lpFunc;
    m_lpTaskData = lpData;
}

void CServiceLink::RequestWatchTask()
{
    ::InterlockedExchange(&m_lTask, 1);
    if (m_Wake.IsValid()) {
        ::SetEvent(m_Wake.Get());
    }
}

DWORD CServiceLink::Send(DWORD dwRequest, HANDLE hAbortEvent, LPDWORD lpdwAck)
{
    return m_PipeCl.Send(&dwRequest, sizeof(dwRequest), lpdwAck, hAbortEvent);
}

void CServiceLink::PostToWindow(DWORD dwCode)
{
    ::PostMessageW(m_hWnd, m_uMessage, dwCode, 0);
}

BOOL CServiceLink::IsBodyLen(DWORD dwLen)
{
    return dwLen <= kMaxBodyLen && CNotifyTable::IsWireLen(dwLen);
}

BOOL CServiceLink::Decode(const DWORD* lpBody, DWORD dwLen, LPDWORD lpdwCode, LPDWORD lpdwValue)
{
    if (!IsBodyLen(dwLen)) {
        return FALSE;
    }
    *lpdwCode = lpBody[0];
    *lpdwValue = dwLen > sizeof(DWORD) ? lpBody[1] : 0;
    return TRUE;
}

// A stop notice ends the link here, before its acknowledgement lets the service end: the end of
// its process is then no second news for the watch.
void CServiceLink::Receive(LPVOID lpData, PPIPEEVENT pPipeEvent)
{
    LOG_FUNCTION(L"CServiceLink::Receive");
    CServiceLink* pThis = static_cast<CServiceLink*>(lpData);
    DWORD dwBuff[2] = { 0, 0 };
    const DWORD dwLen = pPipeEvent->dwDataSize;
    if (!IsBodyLen(dwLen)) {
        return;
    }
    pThis->m_PipeCl.GetReceivedData(dwBuff, dwLen);
    SERVICENOTIFY notify = { 0, 0, dwLen };
    Decode(dwBuff, dwLen, &notify.dwCode, &notify.dwValue);
    if (dwLen == sizeof(DWORD)) {
        LOG_TRACE(LOG_EVENT, FN, L"dwNotify = %02X", dwBuff[0]);
        if (dwBuff[0] == NOTIFY_SERVICE_STOPPED) {
            // The window hears this notice itself: the watch tells it no second time.
            pThis->MarkStopTold();
            pThis->MarkLost();
        }
    } else {
        LOG_TRACE(LOG_EVENT, FN, L"dwBuff [0]: %02X, [1]: %02X", dwBuff[0], dwBuff[1]);
    }
    if (pThis->m_lpFunc != NULL) {
        pThis->m_lpFunc(pThis->m_lpData, &notify);
    }
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
        HANDLE waits[3] = { hTerminate };
        DWORD nWaits = 1;
        if (m_ServiceProcess.IsValid()) {
            waits[nWaits++] = m_ServiceProcess.Get();
        }
        if (m_Wake.IsValid()) {
            waits[nWaits++] = m_Wake.Get();
        }
        const DWORD dwWait = ::WaitForMultipleObjects(nWaits, waits, FALSE, kWatchPeriodMs);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_FAILED) {
            return;
        }
        WatchOnce(hTerminate, m_ServiceProcess.IsValid() && dwWait == WAIT_OBJECT_0 + 1);
        SendPendingRequest(hTerminate);
        RunPendingTask();
    }
}

// Linked: a service that died or was restarted sends no stop notice, so its end is looked for,
// and a service that dropped the registration says so only when asked. Either way, and while
// not linked, the watch registers anew; any failure is tried again a second later.
void CServiceLink::WatchOnce(HANDLE hTerminate, BOOL bProcessEnded)
{
    LOG_FUNCTION(L"CServiceLink::WatchOnce");
    if (!IsLinked()) {
        Relink(hTerminate);
    } else if (IsServiceGone(bProcessEnded)) {
        if (::InterlockedCompareExchange(&m_lLinked, 0, 1) == 1) {
            DWORD dwExitCode = 0;
            ::GetExitCodeProcess(m_ServiceProcess.Get(), &dwExitCode);
            LOG_TRACE(LOG_EVENT, FN, L"Service process gone. Exit code: %u", dwExitCode);
            Relink(hTerminate);
        }
    } else if (IsRegistrationDropped(hTerminate) && ::InterlockedCompareExchange(&m_lLinked, 0, 1) == 1) {
        LOG_TRACE(LOG_EVENT, FN, L"Registration dropped by the service; registering again.");
        Relink(hTerminate);
    }
}

// Registers anew. A service already back (a restart we missed) or still running (a dropped
// registration, a busy pipe) is no news for the user; a service that is not there is told once
// per loss.
void CServiceLink::Relink(HANDLE hTerminate)
{
    const DWORD dwRet = Connect(hTerminate);
    if (dwRet == ERROR_SUCCESS) {
        PostToWindow(NOTIFY_SERVICE_RUNNING);
    } else if (IsServiceDown(dwRet) && ::InterlockedExchange(&m_lStopTold, 1) == 0) {
        PostToWindow(NOTIFY_SERVICE_STOPPED);
    }
}

// Confirms the registration when it is due: TRUE only when the service answers that it does not
// know it. A failed exchange proves nothing (a busy pipe; a service going away, which the watch
// notices by itself) and is tried again at the next interval.
BOOL CServiceLink::IsRegistrationDropped(HANDLE hTerminate)
{
    const ULONGLONG ullNow = ::GetTickCount64();
    if (ullNow < m_ullConfirmAt) {
        return FALSE;
    }
    m_ullConfirmAt = ullNow + kConfirmPeriodMs;
    DWORD dwAck = PIPEACK_OK;
    Send(REQUEST_CONFIRM, hTerminate, &dwAck);
    return dwAck == PIPEACK_REJECTED;
}

// The window's request, sent here so that the GUI thread never waits on the pipe.
void CServiceLink::SendPendingRequest(HANDLE hTerminate)
{
    if (::InterlockedExchange(&m_lResumeCheck, 0) != 0 && IsLinked()) {
        DWORD dwAck = 0;
        Send(REQUEST_RESUME_CHECK, hTerminate, &dwAck);
    }
}

void CServiceLink::RunPendingTask()
{
    if (::InterlockedExchange(&m_lTask, 0) != 0 && m_lpTask != NULL) {
        m_lpTask(m_lpTaskData);
    }
}

// The service we registered with is gone: its process ended, or (when it cannot be waited on) its
// control pipe vanished or the service manager knows another process or none. A manager that
// cannot be asked says nothing: the next second asks again.
BOOL CServiceLink::IsServiceGone(BOOL bProcessEnded)
{
    if (m_ServiceProcess.IsValid()) {
        return bProcessEnded;
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
