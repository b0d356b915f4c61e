// The receiving end of a channel: its pipe instances, the thread that serves each of them, and
// what a callback does with the connection it is handed. Set up and finalised with the rest of the
// channel in CPipe.cpp.
#include "CPipe.h"

#include "CLog.h"
#include "PipeIo.h"
#include "ScopedHandle.h"

#include <algorithm>

using pipeio::ReadWithin;
using pipeio::RemainingMs;
using pipeio::WriteWithin;

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

}  // namespace

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
