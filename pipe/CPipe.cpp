// A channel's set-up and finalisation, and its sending end (the receiving end: CPipeListen.cpp).
#include "CPipe.h"

#include "CBuffer.h"
#include "CLog.h"
#include "PipeIo.h"
#include "ScopedHandle.h"

#include <wchar.h>

#include <algorithm>
#include <strsafe.h>

using pipeio::ReadWithin;
using pipeio::RemainingMs;
using pipeio::WriteWithin;

namespace {

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
