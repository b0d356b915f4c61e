// The pipe server's set-up, its control requests and its data pipe, and the owner's events; its
// sessions are kept in CPipeSvSession.cpp and delivered to in CPipeSvDelivery.cpp.
#include "CPipeSv.h"

#include "CBuffer.h"
#include "CLog.h"

#include <algorithm>
#include <strsafe.h>
#include <wchar.h>

namespace {

// A control request: the header and at most this much data are read.
const DWORD kCtrlDataBytes = 1024;

}  // namespace

CPipeSv::CPipeSv()
{
    m_lpNotifyFunc = NULL;
    m_lpNotifyData = NULL;
    m_lpRecvFunc = NULL;
    m_lpRecvData = NULL;
}

CPipeSv::~CPipeSv()
{
    Finalize(NULL);
}

void CPipeSv::InitializeMembers()
{
    CPipeRecv::InitializeMembers();
    CSrwLock::CGuard guard(m_SessionLock);
    m_lpNotifyFunc = NULL;
    m_lpNotifyData = NULL;
    m_lpRecvFunc = NULL;
    m_lpRecvData = NULL;
}

DWORD CPipeSv::Initialize(LPCWSTR lpszSuffix, LPPIPEEVENTFUNC lpFunc, LPVOID lpData)
{
    LOG_FUNCTION(L"CPipeSv::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszSuffix == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszSuffix");
    }
    if (lpFunc == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpFunc");
    }
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }
    const size_t cchName = wcslen(lpszSuffix) + PIPE_PREFIX_CHARS + 1;
    CBuffer name;
    if (name.Allocate(cchName * sizeof(WCHAR)) != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_ENOUGH_MEMORY);
    }
    WCHAR* pszName = name.As<WCHAR>();
    ::StringCchPrintfW(pszName, cchName, L"%s%s", PIPE_DATA_PREFIX, lpszSuffix);
    LOG_TRACE(LOG_DETAIL, FN, L"this: %08X", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(this)));
    {
        // Both pipes may have a client waiting; its event must find the owner's callback.
        CSrwLock::CGuard guard(m_SessionLock);
        m_lpRecvFunc = lpFunc;
        m_lpRecvData = lpData;
        m_lpNotifyFunc = lpFunc;
        m_lpNotifyData = lpData;
    }
    // Requests are one 32-bit code, but a longer one from a registered client is still answered
    // (and ignored by the owner): the receiver's frame bound applies, not the request's size.
    DWORD dwRet = CPipeRecv::Initialize(pszName, OnDataRecv, this);
    if (dwRet == ERROR_SUCCESS) {
        ::StringCchPrintfW(pszName, cchName, L"%s%s", PIPE_CTRL_PREFIX, lpszSuffix);
        dwRet = m_CtrlPipe.Initialize(PIPETYPE_SERVER, pszName, OnCtrlRecv, this);
    }
    if (dwRet != ERROR_SUCCESS) {
        Finalize(NULL);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CPipeSv::Finalize(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    CloseAllSession(hAbortEvent);
    CPipeRecv::Finalize(hAbortEvent);
    m_CtrlPipe.Finalize(hAbortEvent);
    // A registration served while the pipes were being stopped is dropped too.
    CloseAllSession(hAbortEvent);
    InitializeMembers();
    LOG_EXIT(LOG_DETAIL, FN);
}

void CPipeSv::StopRegistration(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::StopRegistration");
    LOG_ENTER(LOG_DETAIL, FN);
    m_CtrlPipe.Finalize(hAbortEvent);
    LOG_EXIT(LOG_DETAIL, FN);
}

DWORD CPipeSv::OnCtrlRecv(LPVOID lpData)
{
    LOG_FUNCTION(L"CPipeSv::OnCtrlRecv");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }
    CPipeSv* pThis = static_cast<CPipeSv*>(lpData);
    const HANDLE hAbort = pThis->m_CtrlPipe.GetTerminateEvent();
    CBuffer request;
    DWORD dwRet = request.Allocate(sizeof(DataHdr) + kCtrlDataBytes);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    const BYTE* pBuf = request.Get();
    DWORD dwRead = 0;
    dwRet = pThis->m_CtrlPipe.Receive(request.Get(), static_cast<DWORD>(request.Size()), &dwRead, hAbort);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    const DataHdr* pHdr = reinterpret_cast<const DataHdr*>(pBuf);
    if (dwRead < sizeof(DataHdr)) {
        pThis->m_CtrlPipe.SendAck(PIPEACK_BADREQUEST, hAbort);
    } else if (pHdr->dwCode == PIPEREQUEST_CONNECT) {
        pThis->OnConnectRequest(pBuf, dwRead, hAbort);
    } else if (pHdr->dwCode == PIPEREQUEST_CLOSE) {
        pThis->OnCloseRequest(pBuf, dwRead, hAbort);
    } else {
        LOG_TRACE(LOG_DETAIL, FN, L"UNKNOWN");
        pThis->m_CtrlPipe.SendAck(PIPEACK_BADREQUEST, hAbort);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// Registers the name in the request. The name counts only when its terminator lies within the
// bytes received, and only when it carries the id of the process that sent the request.
void CPipeSv::OnConnectRequest(const BYTE* lpBuf, DWORD dwRead, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::OnConnectRequest");
    LOG_TRACE(LOG_DETAIL, FN, L"PIPEREQUEST_CONNECT");
    const DataHdr* pHdr = reinterpret_cast<const DataHdr*>(lpBuf);
    const DWORD cbData = std::min<DWORD>(pHdr->dwDataSize, dwRead - static_cast<DWORD>(sizeof(DataHdr)));
    LPCWSTR lpszName = reinterpret_cast<LPCWSTR>(lpBuf + sizeof(DataHdr));
    DWORD dwHandle = 0;
    BOOL bCreated = FALSE;
    ULONG ulSender = 0;
    if (pHdr->dwDataSize < sizeof(WCHAR)) {
        LOG_TRACE(LOG_DETAIL, FN, L"No pipe name.");
    } else if (wmemchr(lpszName, L'\0', cbData / sizeof(WCHAR)) == NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"Pipe name is not terminated.");
    } else if (m_CtrlPipe.GetClientProcessId(&ulSender) != ERROR_SUCCESS ||
               (CSessionList::IsNotifyPipeName(lpszName, m_Pipe.GetPipeName()) &&
                CSessionList::PipeNameProcessId(lpszName) != ulSender)) {
        LOG_TRACE(LOG_DETAIL, FN, L"Pipe name of another process:%u", ulSender);
    } else {
        bCreated = (Register(lpszName, ulSender, &dwHandle, hAbortEvent) == ERROR_SUCCESS);
    }
    m_CtrlPipe.SendAck(bCreated ? dwHandle : 0, hAbortEvent);
}

// Replaces any session of the name with a new one. The owner knows of the session before the
// application holds its handle: a request the application sends at once on the data pipe must
// find the owner ready for it. Whatever the owner does at a registration must therefore be
// quick, as the acknowledgement waits for it.
DWORD CPipeSv::Register(LPCWSTR lpszPipeName, ULONG ulSender, LPDWORD lpdwHandle, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::Register");
    // Slots are shared out by logon session: that of the connection, as the pipe tells it.
    ULONG ulSession = 0;
    DWORD dwRet = m_CtrlPipe.GetClientSessionId(&ulSession);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    CSrwLock::CGuard guard(m_RegisterLock);
    const DWORD dwReplaced = CloseSessionOfName(lpszPipeName, hAbortEvent);
    if (dwReplaced != 0) {
        LOG_TRACE(LOG_DETAIL, FN, L"Replaced session:%u", dwReplaced);
        Notify_Disconnected(dwReplaced);
    }
    dwRet = CreateSession(lpszPipeName, ulSender, ulSession, lpdwHandle, hAbortEvent);
    if (dwRet == ERROR_SUCCESS) {
        Notify_Connected(*lpdwHandle);
    }
    return dwRet;
}

// Removes the session named in the request, when the process that registered it asks.
void CPipeSv::OnCloseRequest(const BYTE* lpBuf, DWORD dwRead, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::OnCloseRequest");
    LOG_TRACE(LOG_DETAIL, FN, L"PIPEREQUEST_CLOSE");
    const DataHdr* pHdr = reinterpret_cast<const DataHdr*>(lpBuf);
    if (pHdr->dwDataSize != sizeof(DWORD) || dwRead != sizeof(DataHdr) + sizeof(DWORD)) {
        m_CtrlPipe.SendAck(PIPEACK_BADREQUEST, hAbortEvent);
        return;
    }
    DWORD dwHandle = 0;
    ::CopyMemory(&dwHandle, lpBuf + sizeof(DataHdr), sizeof(DWORD));
    ULONG ulSender = 0;
    BOOL bClosed = FALSE;
    if (m_CtrlPipe.GetClientProcessId(&ulSender) == ERROR_SUCCESS) {
        // The owner hears of the handle's end before another registration can be given it.
        CSrwLock::CGuard guard(m_RegisterLock);
        bClosed = IsRegistrant(dwHandle, ulSender) && CloseSession(dwHandle, hAbortEvent) == ERROR_SUCCESS;
        if (bClosed) {
            Notify_Disconnected(dwHandle);
        }
    }
    if (!bClosed) {
        // Unknown, or registered by another process (for example a stale handle of an application
        // that registered with an earlier run of the service).
        LOG_TRACE(LOG_DETAIL, FN, L"Not the owner of %u:%u", dwHandle, ulSender);
    }
    m_CtrlPipe.SendAck(bClosed ? PIPEACK_OK : PIPEACK_REJECTED, hAbortEvent);
}

void CPipeSv::OnDataRecv(LPVOID lpData, PPIPEEVENT pPipeEvent)
{
    LOG_FUNCTION(L"CPipeSv::OnDataRecv");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpData == NULL) {
        LOG_NULL_ARG_VOID(LOG_DETAIL, FN, L"lpData");
        return;
    }
    if (pPipeEvent == NULL) {
        LOG_NULL_ARG_VOID(LOG_DETAIL, FN, L"pPipeEvent");
        return;
    }
    CPipeSv* pThis = static_cast<CPipeSv*>(lpData);
    if (pPipeEvent->dwEvent == PIPEEVENT_HEADER) {
        // A handle counts only from the process that registered it: any process can write a
        // number.
        ULONG ulSender = 0;
        const BOOL bKnown = pThis->m_Pipe.GetClientProcessId(&ulSender) == ERROR_SUCCESS &&
                            pThis->IsRegistrant(pPipeEvent->dwCode, ulSender);
        pPipeEvent->dwResult = bKnown ? PIPEACK_OK : PIPEACK_REJECTED;
        if (!bKnown) {
            LOG_TRACE(LOG_DETAIL, FN, L"Invalid Client:%d", pPipeEvent->dwCode);
        }
    } else {
        pPipeEvent->dwResult = 0;
        LPPIPEEVENTFUNC lpFunc = NULL;
        LPVOID lpFuncData = NULL;
        {
            CSrwLock::CGuard guard(pThis->m_SessionLock);
            lpFunc = pThis->m_lpRecvFunc;
            lpFuncData = pThis->m_lpRecvData;
        }
        if (lpFunc != NULL) {
            lpFunc(lpFuncData, pPipeEvent);
        }
    }
    LOG_EXIT(LOG_DETAIL, FN);
}

void CPipeSv::Notify(DWORD dwEvent, DWORD dwClientHandle)
{
    LPPIPEEVENTFUNC lpFunc = NULL;
    LPVOID lpFuncData = NULL;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        lpFunc = m_lpNotifyFunc;
        lpFuncData = m_lpNotifyData;
    }
    if (lpFunc != NULL) {
        PIPEEVENT evt = { dwEvent, dwClientHandle, 0, 0 };
        lpFunc(lpFuncData, &evt);
    }
}

void CPipeSv::Notify_Connected(DWORD dwClientHandle)
{
    Notify(PIPEEVENT_CONNECTED, dwClientHandle);
}

void CPipeSv::Notify_Disconnected(DWORD dwClientHandle)
{
    Notify(PIPEEVENT_DISCONNECTED, dwClientHandle);
}
