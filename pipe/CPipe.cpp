#include "CPipe.h"

#include "CBuffer.h"
#include "CLog.h"
#include "ScopedHandle.h"

#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <strsafe.h>

namespace {

// Pipe instances of a receiving end. All of them are created at once, the first with the first-
// instance flag: with the limit reached, no other process can add an instance of our name and
// take connections meant for us.
const DWORD kOpenMode = FILE_FLAG_OVERLAPPED | PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
const DWORD kMoreOpenMode = FILE_FLAG_OVERLAPPED | PIPE_ACCESS_DUPLEX;
const DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
const DWORD kMaxInstances = PIPE_INSTANCES;
const DWORD kBufferBytes = 1024;
const DWORD kDefaultTimeoutMs = 1000;

// Sending end: overlapped so that every wait is bounded, and identification only, so that a
// receiving end can never act with the sender's token.
const DWORD kClientFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
// What a sending end asks for: no more than the pipes grant their users. GENERIC_WRITE would
// include FILE_CREATE_PIPE_INSTANCE and the attribute rights, which they are refused.
const DWORD kClientAccess = GENERIC_READ | FILE_WRITE_DATA;

// A busy pipe is waited for in steps of up to a second, ten seconds in all; a step is cut into
// slices so that the abort event ends the wait promptly.
const DWORD kBusyWaitMs = 1000;
const DWORD kBusyGiveUpMs = 10 * kBusyWaitMs;
const DWORD kBusySliceMs = 100;

// Longest pipe name accepted. Kept at the bound that every build of the channel has accepted,
// whose names once had to fit a named lock as well.
const size_t kMaxNameChars = 250;

// Completes an overlapped operation that ReadFile/WriteFile started (bStarted is their result).
// The wait ends early when hAbortEvent is signalled (995) or after dwTimeoutMs (121); the
// operation is then cancelled before its buffer is given back to the caller.
DWORD FinishIo(HANDLE hFile, BOOL bStarted, OVERLAPPED* pOv, HANDLE hAbortEvent, DWORD dwTimeoutMs,
               LPDWORD lpdwDone)
{
    *lpdwDone = 0;
    if (!bStarted) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr != ERROR_IO_PENDING) {
            return dwErr;
        }
        HANDLE waits[2] = { pOv->hEvent, hAbortEvent };
        const DWORD dwWait = ::WaitForMultipleObjects(hAbortEvent != NULL ? 2 : 1, waits, FALSE,
                                                      dwTimeoutMs);
        if (dwWait != WAIT_OBJECT_0) {
            const DWORD dwWaitErr = (dwWait == WAIT_FAILED) ? ::GetLastError() : 0;
            ::CancelIoEx(hFile, pOv);
            if (::GetOverlappedResult(hFile, pOv, lpdwDone, TRUE)) {
                return ERROR_SUCCESS;  // it completed before the cancel took hold
            }
            if (dwWait == WAIT_OBJECT_0 + 1) {
                return ERROR_OPERATION_ABORTED;
            }
            return (dwWait == WAIT_TIMEOUT) ? ERROR_SEM_TIMEOUT : dwWaitErr;
        }
    }
    return ::GetOverlappedResult(hFile, pOv, lpdwDone, FALSE) ? ERROR_SUCCESS : ::GetLastError();
}

// One read or write on hFile, with hEvent for its completion, bounded as FinishIo bounds it.
DWORD ReadWithin(HANDLE hFile, HANDLE hEvent, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                 DWORD dwTimeoutMs, LPDWORD lpdwDone)
{
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    return FinishIo(hFile, ::ReadFile(hFile, lpBuf, dwLen, NULL, &ov), &ov, hAbortEvent,
                    dwTimeoutMs, lpdwDone);
}

DWORD WriteWithin(HANDLE hFile, HANDLE hEvent, LPCVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                  DWORD dwTimeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    DWORD dwDone = 0;
    return FinishIo(hFile, ::WriteFile(hFile, lpBuf, dwLen, NULL, &ov), &ov, hAbortEvent,
                    dwTimeoutMs, &dwDone);
}

DWORD RemainingMs(ULONGLONG ullDeadline)
{
    const ULONGLONG ullNow = ::GetTickCount64();
    return (ullNow >= ullDeadline) ? 0 : static_cast<DWORD>(ullDeadline - ullNow);
}

}  // namespace

CPipe::CPipe()
{
    InitializeMembers();
}

CPipe::~CPipe()
{
    Finalize(NULL);
}

void CPipe::InitializeMembers()
{
    for (Instance& inst : m_Instances) {
        inst.pOwner = NULL;
        inst.hPipe = NULL;
        inst.hIoEvent = NULL;
        ::InterlockedExchange(&inst.lThreadId, 0);
        inst.ulClientPid = 0;
        inst.ulClientSession = 0;
        inst.bSessionKnown = FALSE;
        inst.bCrowded = FALSE;
        inst.bAwaitingFirstBytes = FALSE;
        inst.bAckWritten = FALSE;
    }
    m_hStopEvent = NULL;
    m_dwExpectedServer = 0;
    m_hClient = NULL;
    ZeroMemory(m_szPipeName, sizeof(m_szPipeName));
    m_nType = 0;
    m_nSecurity = OBJSEC_SERVICE_PIPE;
    m_lpFunc = NULL;
    m_lpData = NULL;
    m_bInitialized = FALSE;
    m_hIoEvent = NULL;
    ::InterlockedExchange(&m_lServerProcessId, 0);
}

DWORD CPipe::Initialize(int nType, LPCWSTR lpszPipeName, LPPIPEFUNC lpFunc, LPVOID lpData,
                        int nSecurity)
{
    LOG_FUNCTION(L"CPipe::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (m_bInitialized) {
        LOG_TRACE(LOG_DETAIL, FN, L"Exit retval:%08x", ERROR_PIPE_BUSY);
        return ERROR_PIPE_BUSY;
    }
    if (lpszPipeName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszPipeName");
    }
    if ((nType != PIPETYPE_SERVER && nType != PIPETYPE_CLIENT) ||
        (nType == PIPETYPE_SERVER && lpFunc == NULL)) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_PARAMETER);
    }
    if (m_Instances[0].hPipe != NULL || m_hClient != NULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_PIPE_BUSY);
    }
    DWORD dwRet = SetNameAndLock(lpszPipeName);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }

    m_hIoEvent = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    if (m_hIoEvent == NULL) {
        dwRet = ::GetLastError();
        Finalize(NULL);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    m_nType = nType;
    m_nSecurity = nSecurity;
    if (nType == PIPETYPE_SERVER) {
        m_lpFunc = lpFunc;
        m_lpData = lpData;
        dwRet = Create();
        if (dwRet != ERROR_SUCCESS) {
            Finalize(NULL);
            return LOG_RESULT(LOG_DETAIL, FN, dwRet);
        }
    }
    // A client may already be connected: the receive thread then serves it at once, so the
    // channel must count as ready before that thread starts.
    m_bInitialized = TRUE;
    if (nType == PIPETYPE_SERVER) {
        dwRet = ReceiveStart();
        if (dwRet != ERROR_SUCCESS) {
            Finalize(NULL);
            return LOG_RESULT(LOG_DETAIL, FN, dwRet);
        }
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// Takes the name (87 when it is too long) and sets the channel's lock up; neither is kept on a
// failure. The lock is this process's own: no other process can open it, let alone hold it.
DWORD CPipe::SetNameAndLock(LPCWSTR lpszPipeName)
{
    LOG_FUNCTION(L"CPipe::SetNameAndLock");
    if (wcslen(lpszPipeName) > kMaxNameChars ||
        FAILED(::StringCchCopyW(m_szPipeName, ARRAYSIZE(m_szPipeName), lpszPipeName))) {
        ZeroMemory(m_szPipeName, sizeof(m_szPipeName));
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD dwRet = m_Lock.InitializeLocal(PIPE_LOCK_TIMEOUT_MS);
    if (dwRet != ERROR_SUCCESS) {
        ZeroMemory(m_szPipeName, sizeof(m_szPipeName));
        return dwRet;
    }
    LOG_TRACE(LOG_DETAIL, FN, L"m_Lock.Initialize Success");
    return ERROR_SUCCESS;
}

DWORD CPipe::Create()
{
    LOG_FUNCTION(L"CPipe::Create");
    LOG_ENTER(LOG_DETAIL, FN);
    CObjectSecurity security;
    const DWORD dwRet = security.Initialize(m_nSecurity);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    HANDLE& hFirst = m_Instances[0].hPipe;
    hFirst = ::CreateNamedPipeW(m_szPipeName, kOpenMode, kPipeMode, kMaxInstances, kBufferBytes,
                                kBufferBytes, kDefaultTimeoutMs, security.Get());
    const DWORD dwErr = ::GetLastError();
    if (!IsOpenHandle(hFirst)) {
        hFirst = NULL;
        LOG_TRACE(LOG_DETAIL, FN, L"CreateNamedPipeW failed:%u", dwErr);
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    // A name that another process already serves must not be shared with it. Where the first-
    // instance flag is not enforced, the instance count still tells.
    DWORD dwInstances = 0;
    if (!::GetNamedPipeHandleStateW(hFirst, NULL, &dwInstances, NULL, NULL, NULL, 0) ||
        dwInstances != 1) {
        LOG_TRACE(LOG_DETAIL, FN, L"Pipe name in use:%s", m_szPipeName);
        CloseAndClear(hFirst);
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    if (CreateMoreInstances(security.Get()) != ERROR_SUCCESS) {
        Close();
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Created:%s", m_szPipeName);
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// The instances after the first, with the same security; all of them must be ours, so the count
// must come out at the limit.
DWORD CPipe::CreateMoreInstances(LPSECURITY_ATTRIBUTES lpSa)
{
    LOG_FUNCTION(L"CPipe::CreateMoreInstances");
    for (DWORD i = 1; i < kMaxInstances; ++i) {
        HANDLE& hPipe = m_Instances[i].hPipe;
        hPipe = ::CreateNamedPipeW(m_szPipeName, kMoreOpenMode, kPipeMode, kMaxInstances,
                                   kBufferBytes, kBufferBytes, kDefaultTimeoutMs, lpSa);
        if (!IsOpenHandle(hPipe)) {
            hPipe = NULL;
            LOG_TRACE(LOG_DETAIL, FN, L"CreateNamedPipeW failed:%u", ::GetLastError());
            return ERROR_INVALID_HANDLE;
        }
    }
    DWORD dwInstances = 0;
    if (!::GetNamedPipeHandleStateW(m_Instances[0].hPipe, NULL, &dwInstances, NULL, NULL, NULL, 0) ||
        dwInstances != kMaxInstances) {
        LOG_TRACE(LOG_DETAIL, FN, L"Pipe name in use:%s", m_szPipeName);
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// Starts one thread per instance; each serves its own instance only, so that a connection that
// is slow to write or to take its acknowledgement holds no other sender up.
DWORD CPipe::ReceiveStart()
{
    LOG_FUNCTION(L"CPipe::ReceiveStart");
    m_hStopEvent = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    if (m_hStopEvent == NULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
    }
    for (Instance& inst : m_Instances) {
        inst.pOwner = this;
        inst.hIoEvent = ::CreateEventW(NULL, TRUE, FALSE, NULL);
        if (inst.hIoEvent == NULL) {
            return LOG_RESULT(LOG_DETAIL, FN, ::GetLastError());
        }
        const DWORD dwRet = inst.thread.Initialize(InstanceThreadProc, &inst);
        if (dwRet != ERROR_SUCCESS) {
            return LOG_RESULT(LOG_DETAIL, FN, dwRet);
        }
    }
    return ERROR_SUCCESS;
}

DWORD CPipe::InstanceThreadProc(LPVOID lpParam)
{
    LOG_FUNCTION(L"CPipe::InstanceThreadProc");
    Instance* pInst = static_cast<Instance*>(lpParam);
    if (pInst == NULL || pInst->pOwner == NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"Null!");
        return ERROR_INVALID_PARAMETER;
    }
    ::InterlockedExchange(&pInst->lThreadId, static_cast<LONG>(::GetCurrentThreadId()));
    ScopedKernelHandle connected(::CreateEventW(NULL, TRUE, FALSE, NULL));
    if (!connected.IsValid()) {
        LOG_TRACE(LOG_DETAIL, FN, L"Error in CreateEvent(). code:%u", ::GetLastError());
        return 0;
    }
    OVERLAPPED ov = {};
    ov.hEvent = connected.Get();
    while (pInst->pOwner->ServeNext(pInst, &ov) == ERROR_SUCCESS) {
    }
    return 0;
}

// Starts waiting for a client on one instance; a client that is already there sets the event.
DWORD CPipe::Listen(HANDLE hPipe, OVERLAPPED* pOv)
{
    LOG_FUNCTION(L"CPipe::Listen");
    for (;;) {
        const HANDLE hEvent = pOv->hEvent;
        ZeroMemory(pOv, sizeof(*pOv));
        pOv->hEvent = hEvent;
        ::ResetEvent(hEvent);
        if (::ConnectNamedPipe(hPipe, pOv)) {
            LOG_TRACE(LOG_DETAIL, FN, L"Error in ConnectNamedPipe(). code:%u", ::GetLastError());
            return ERROR_INVALID_FUNCTION;
        }
        const DWORD dwErr = ::GetLastError();
        if (dwErr == ERROR_PIPE_CONNECTED) {
            LOG_TRACE(LOG_DETAIL, FN, L"Already been accessed. Set event.");
            ::SetEvent(hEvent);
        } else if (dwErr == ERROR_NO_DATA) {
            // A client came and went before we listened: the instance is reset and listens anew.
            LOG_TRACE(LOG_DETAIL, FN, L"Client already gone.");
            ::DisconnectNamedPipe(hPipe);
            continue;
        }
        return ERROR_SUCCESS;
    }
}

// Waits for a client on the instance and serves it; a non-zero result ends the thread. A connect
// still pending at the stop is cancelled before its record goes.
DWORD CPipe::ServeNext(Instance* pInst, OVERLAPPED* pOv)
{
    LOG_FUNCTION(L"CPipe::ServeNext");
    const DWORD dwRet = Listen(pInst->hPipe, pOv);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    const HANDLE waits[2] = { m_hStopEvent, pOv->hEvent };
    const DWORD dwWait = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (dwWait != WAIT_OBJECT_0 + 1) {
        LOG_TRACE(LOG_DETAIL, FN, L"Stopping:%u", dwWait == WAIT_FAILED ? ::GetLastError() : 0);
        ::CancelIoEx(pInst->hPipe, pOv);
        DWORD dwDone = 0;
        ::GetOverlappedResult(pInst->hPipe, pOv, &dwDone, TRUE);
        ::DisconnectNamedPipe(pInst->hPipe);
        return ERROR_OPERATION_ABORTED;
    }
    Serve(pInst);
    return ERROR_SUCCESS;
}

// One connected client, served on the instance's thread; the instance is free again afterwards.
// An acknowledgement is taken by the sender before the connection is cut, or it would be lost.
void CPipe::Serve(Instance* pInst)
{
    LOG_FUNCTION(L"CPipe::Serve");
    Admit(pInst);
    if (m_lpFunc != NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"Call callback-function.");
        m_lpFunc(m_lpData);
    } else {
        LOG_TRACE(LOG_DETAIL, FN, L"Callback-function is not defined.");
    }
    if (pInst->bAckWritten) {
        WaitSenderDone(pInst);
    }
    ::DisconnectNamedPipe(pInst->hPipe);
    Dismiss(pInst);
}

// Records who is connected and chooses the limits of the connection: a process that another
// instance serves already, or a logon session that holds PIPE_SESSION_SHARE of them, is cut short
// on every wait, so that nobody keeps the instances from the others by being slow on several.
void CPipe::Admit(Instance* pInst)
{
    LOG_FUNCTION(L"CPipe::Admit");
    ULONG ulPid = 0;
    ULONG ulSession = 0;
    ::GetNamedPipeClientProcessId(pInst->hPipe, &ulPid);
    const BOOL bSessionKnown = ::GetNamedPipeClientSessionId(pInst->hPipe, &ulSession);
    DWORD dwSameProcess = 0;
    DWORD dwSameSession = 0;
    CSrwLock::CGuard guard(m_AdmitLock);
    for (const Instance& other : m_Instances) {
        if (&other != pInst && other.ulClientPid != 0) {
            dwSameProcess += (other.ulClientPid == ulPid) ? 1 : 0;
            dwSameSession += (bSessionKnown && other.bSessionKnown &&
                              other.ulClientSession == ulSession) ? 1 : 0;
        }
    }
    pInst->ulClientPid = ulPid;
    pInst->ulClientSession = ulSession;
    pInst->bSessionKnown = bSessionKnown;
    pInst->bCrowded = dwSameProcess != 0 || dwSameSession >= PIPE_SESSION_SHARE;
    pInst->bAwaitingFirstBytes = TRUE;
    pInst->bAckWritten = FALSE;
    if (pInst->bCrowded) {
        LOG_TRACE(LOG_DETAIL, FN, L"Crowded:%u/%u", ulPid, ulSession);
    }
}

void CPipe::Dismiss(Instance* pInst)
{
    CSrwLock::CGuard guard(m_AdmitLock);
    pInst->ulClientPid = 0;
    pInst->bSessionKnown = FALSE;
    pInst->bCrowded = FALSE;
    pInst->bAckWritten = FALSE;
}

// The instance whose thread calls, or NULL outside every instance's thread.
CPipe::Instance* CPipe::Current() const
{
    const LONG lThread = static_cast<LONG>(::GetCurrentThreadId());
    for (const Instance& inst : m_Instances) {
        if (inst.lThreadId == lThread && inst.pOwner != NULL) {
            return const_cast<Instance*>(&inst);
        }
    }
    return NULL;
}

DWORD CPipe::LimitMs(const Instance* pInst, DWORD dwDefaultMs) const
{
    return pInst->bCrowded ? std::min(dwDefaultMs, PIPE_CROWDED_MS) : dwDefaultMs;
}

DWORD CPipe::Connect(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::Connect");
    LOG_ENTER(LOG_DETAIL, FN);
    if (IsOpenHandle(m_hClient)) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_ALREADY_EXISTS);
    }
    // Senders of every process compete for the one instance: a sender keeps trying while it
    // frees up now and then, until the time is up.
    const ULONGLONG ullDeadline = ::GetTickCount64() + kBusyGiveUpMs;
    for (;;) {
        HANDLE h = ::CreateFileW(m_szPipeName, kClientAccess, 0, NULL, OPEN_EXISTING,
                                 kClientFlags, NULL);
        if (IsOpenHandle(h)) {
            ULONG ulServer = 0;
            ::GetNamedPipeServerProcessId(h, &ulServer);
            ::InterlockedExchange(&m_lServerProcessId, static_cast<LONG>(ulServer));
            if (m_dwExpectedServer != 0 && ulServer != m_dwExpectedServer) {
                ::CloseHandle(h);
                LOG_TRACE(LOG_DETAIL, FN, L"Served by another process:%u", ulServer);
                return LOG_RESULT(LOG_DETAIL, FN, PIPE_ERROR_FOREIGN_SERVER);
            }
            m_hClient = h;
            LOG_TRACE(LOG_DETAIL, FN, L"Connected:%s", m_szPipeName);
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
        }
        const DWORD dwErr = ::GetLastError();
        if (dwErr != ERROR_PIPE_BUSY) {
            return LOG_RESULT(LOG_DETAIL, FN, dwErr);
        }
        LOG_TRACE(LOG_DETAIL, FN, L"ERROR_PIPE_BUSY");
        if (RemainingMs(ullDeadline) == 0) {
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_PIPE_BUSY);
        }
        if (WaitBusyPipe(hAbortEvent, ullDeadline) != ERROR_SUCCESS) {
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_OPERATION_ABORTED);
        }
    }
}

// Waits up to a second (not past ullDeadline) for the instance to be free, or 995 as soon as
// hAbortEvent is set.
DWORD CPipe::WaitBusyPipe(HANDLE hAbortEvent, ULONGLONG ullDeadline)
{
    const ULONGLONG ullStepEnd = std::min(::GetTickCount64() + kBusyWaitMs, ullDeadline);
    for (;;) {
        if (hAbortEvent != NULL && ::WaitForSingleObject(hAbortEvent, 0) == WAIT_OBJECT_0) {
            return ERROR_OPERATION_ABORTED;
        }
        const DWORD dwLeft = RemainingMs(ullStepEnd);
        // Free now, or gone altogether: the next open tells which.
        if (dwLeft == 0 || ::WaitNamedPipeW(m_szPipeName, std::min(dwLeft, kBusySliceMs)) ||
            ::GetLastError() != ERROR_SEM_TIMEOUT) {
            return ERROR_SUCCESS;
        }
    }
}

// Takes m_Lock; 21 (and the lock left free) when the channel was finalised while we waited.
DWORD CPipe::LockIfReady(HANDLE hAbortEvent)
{
    const DWORD dwRet = m_Lock.Lock(hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    if (!m_bInitialized) {
        m_Lock.Unlock();
        return ERROR_NOT_READY;
    }
    return ERROR_SUCCESS;
}

DWORD CPipe::Send(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::Send");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetcode");
    }
    DWORD dwRet = LockIfReady(hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    dwRet = Connect(hAbortEvent);
    if (!IsOpenHandle(m_hClient)) {
        m_Lock.Unlock();
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    *lpdwRetCode = PIPEACK_STAGE_WRITE;
    LOG_TRACE(LOG_DETAIL, FN, L"Send to %s.", m_szPipeName);
    dwRet = WriteWithin(m_hClient, m_hIoEvent, lpBuf, dwLen, hAbortEvent, PIPE_IO_TIMEOUT_MS);
    if (dwRet == ERROR_SUCCESS) {
        LOG_TRACE(LOG_DETAIL, FN, L"wait for ACK...");
        *lpdwRetCode = PIPEACK_STAGE_WAIT;
        DWORD dwAck = 0;
        dwRet = ReadAck(&dwAck, hAbortEvent);
        if (dwRet == ERROR_SUCCESS) {
            *lpdwRetCode = dwAck;
            LOG_TRACE(LOG_DETAIL, FN, L"Received ACK.");
        }
    }
    // The acknowledgement shows that the receiver has consumed the message, so the client end is
    // closed without a flush: a flush would wait on a receiver that has stopped reading.
    CloseAndClear(m_hClient);
    m_Lock.Unlock();
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

// Reads the 4-byte acknowledgement, however the receiver splits it, within one time bound.
DWORD CPipe::ReadAck(LPDWORD lpdwAck, HANDLE hAbortEvent)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + PIPE_IO_TIMEOUT_MS;
    BYTE* pAck = reinterpret_cast<BYTE*>(lpdwAck);
    DWORD dwHave = 0;
    while (dwHave < sizeof(DWORD)) {
        DWORD dwDone = 0;
        const DWORD dwRet = ReadWithin(m_hClient, m_hIoEvent, pAck + dwHave, sizeof(DWORD) - dwHave,
                                       hAbortEvent, RemainingMs(ullDeadline), &dwDone);
        if (dwRet != ERROR_SUCCESS) {
            return dwRet;
        }
        dwHave += dwDone;
    }
    return ERROR_SUCCESS;
}

DWORD CPipe::SendRequest(DWORD dwRequest, LPCWSTR lpszText, DWORD dwValue, LPDWORD lpdwRetCode,
                         HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::SendRequest");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetCode");
    }
    *lpdwRetCode = 0;
    DWORD dwRet = LockIfReady(hAbortEvent);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    // With a text the data is the text and its terminator, else the 4 bytes of dwValue.
    const DWORD cbData = (lpszText != NULL)
                             ? static_cast<DWORD>((wcslen(lpszText) + 1) * sizeof(WCHAR))
                             : static_cast<DWORD>(sizeof(dwValue));
    // The lock is a mutex: Send takes it once more on this thread.
    dwRet = SendFrame(dwRequest, lpszText != NULL ? static_cast<LPCVOID>(lpszText) : &dwValue, cbData,
                      lpdwRetCode, hAbortEvent);
    m_Lock.Unlock();
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CPipe::SendFrame(DWORD dwCode, LPCVOID lpData, DWORD dwLen, LPDWORD lpdwRetCode,
                       HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::SendFrame");
    if (lpData == NULL && dwLen != 0) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }
    if (dwLen > MAXDWORD - sizeof(DataHdr)) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_PARAMETER);
    }
    CBuffer frame;
    const DWORD dwRet = frame.Allocate(sizeof(DataHdr) + dwLen);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    DataHdr* pHdr = frame.As<DataHdr>();
    pHdr->dwCode = dwCode;
    pHdr->dwDataSize = dwLen;
    if (dwLen != 0) {
        ::CopyMemory(frame.Get() + sizeof(DataHdr), lpData, dwLen);
    }
    return Send(frame.Get(), static_cast<DWORD>(frame.Size()), lpdwRetCode, hAbortEvent);
}

DWORD CPipe::Receive(LPVOID lpBuf, DWORD dwLen, LPDWORD lpdwRead, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::Receive");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRead == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRead");
    }
    Instance* pInst = Current();
    if (pInst == NULL || !IsOpenHandle(pInst->hPipe)) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    // No lock here: only the instance's own thread reads and writes it; Finalize ends a wait in
    // progress through the stop event and closes the handle only after the thread has ended.
    *lpdwRead = 0;
    LOG_TRACE(LOG_DETAIL, FN, L"Read from %s.", m_szPipeName);
    DWORD dwDone = 0;
    const DWORD dwTimeoutMs =
        LimitMs(pInst, pInst->bAwaitingFirstBytes ? PIPE_FIRST_BYTES_MS : PIPE_IO_TIMEOUT_MS);
    pInst->bAwaitingFirstBytes = FALSE;
    const DWORD dwRet = ReadWithin(pInst->hPipe, pInst->hIoEvent, lpBuf, dwLen, hAbortEvent,
                                   dwTimeoutMs, &dwDone);
    if (dwRet == ERROR_SUCCESS) {
        *lpdwRead = dwDone;
    } else {
        ::DisconnectNamedPipe(pInst->hPipe);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CPipe::SendAck(DWORD dwAck, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::SendAck");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    Instance* pInst = Current();
    if (pInst == NULL || !IsOpenHandle(pInst->hPipe)) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Snd ACK to %s.", m_szPipeName);
    const DWORD dwRet = WriteWithin(pInst->hPipe, pInst->hIoEvent, &dwAck, sizeof(dwAck),
                                    hAbortEvent, LimitMs(pInst, PIPE_IO_TIMEOUT_MS));
    if (dwRet == ERROR_SUCCESS) {
        pInst->bAckWritten = TRUE;
    } else {
        ::DisconnectNamedPipe(pInst->hPipe);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

// The sender closes its end once it holds the acknowledgement. Until then the connection must not
// be cut, or the acknowledgement still in the pipe would be lost; unlike a flush, this wait is
// bounded and ends with the stop event. Bytes the sender wrote beyond what was read are dropped.
DWORD CPipe::WaitSenderDone(Instance* pInst)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + LimitMs(pInst, PIPE_IO_TIMEOUT_MS);
    BYTE scratch[256];
    for (;;) {
        DWORD dwDone = 0;
        const DWORD dwRet = ReadWithin(pInst->hPipe, pInst->hIoEvent, scratch, sizeof(scratch),
                                       m_hStopEvent, RemainingMs(ullDeadline), &dwDone);
        if (dwRet == ERROR_BROKEN_PIPE || dwRet == ERROR_PIPE_NOT_CONNECTED) {
            return ERROR_SUCCESS;
        }
        if (dwRet != ERROR_SUCCESS) {
            return dwRet;
        }
        if (RemainingMs(ullDeadline) == 0) {
            return ERROR_SEM_TIMEOUT;
        }
    }
}

DWORD CPipe::GetClientProcessId(PULONG lpulProcessId) const
{
    if (lpulProcessId == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    const Instance* pInst = Current();
    if (!m_bInitialized || pInst == NULL || !IsOpenHandle(pInst->hPipe)) {
        return ERROR_NOT_READY;
    }
    return ::GetNamedPipeClientProcessId(pInst->hPipe, lpulProcessId) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD CPipe::GetClientSessionId(PULONG lpulSessionId) const
{
    if (lpulSessionId == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    const Instance* pInst = Current();
    if (!m_bInitialized || pInst == NULL || !IsOpenHandle(pInst->hPipe)) {
        return ERROR_NOT_READY;
    }
    return ::GetNamedPipeClientSessionId(pInst->hPipe, lpulSessionId) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD CPipe::GetServerProcessId() const
{
    return static_cast<DWORD>(::InterlockedCompareExchange(&m_lServerProcessId, 0, 0));
}

void CPipe::Close()
{
    for (Instance& inst : m_Instances) {
        CloseAndClear(inst.hPipe);
        CloseAndClear(inst.hIoEvent);
    }
    CloseAndClear(m_hClient);
}

void CPipe::Finalize(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipe::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    m_bInitialized = FALSE;
    // A receive in progress waits for its sender together with the stop event: setting it first
    // ends every instance's wait at once, however silent its sender.
    if (m_hStopEvent != NULL) {
        ::SetEvent(m_hStopEvent);
    }
    const DWORD dwLock = m_Lock.Lock(hAbortEvent);
    for (Instance& inst : m_Instances) {
        inst.thread.Terminate();
    }
    Close();
    for (Instance& inst : m_Instances) {
        inst.thread.Finalize();
    }
    CloseAndClear(m_hStopEvent);
    if (dwLock == ERROR_SUCCESS) {
        m_Lock.Unlock();
    }
    m_Lock.Finalize();
    CloseAndClear(m_hIoEvent);
    InitializeMembers();
    LOG_EXIT(LOG_DETAIL, FN);
}
