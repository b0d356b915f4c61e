#include "CPipeSv.h"

#include "CBuffer.h"
#include "CLog.h"

#include <algorithm>
#include <memory>
#include <new>
#include <strsafe.h>
#include <wchar.h>

namespace {

// A control request: the header and at most this much data are read.
const DWORD kCtrlDataBytes = 1024;
const int kSessionInitAttempts = 10;
const DWORD kSessionInitPauseMs = 1000;
// Deliveries in a row that may time out before the application counts as gone and its slot is
// given back.
const DWORD kMaxFailedSends = 3;

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

// TRUE when dwClientHandle is a session that process ulProcessId registered.
BOOL CPipeSv::IsRegistrant(DWORD dwClientHandle, ULONG ulProcessId)
{
    CSrwLock::CGuard guard(m_SessionLock);
    const CLIENT_SESSION* pNode = (dwClientHandle != 0) ? m_Sessions.Lookup(dwClientHandle) : NULL;
    return pNode != NULL && pNode->pPipe != NULL && pNode->dwProcessId == ulProcessId;
}

DWORD CPipeSv::CreateSession(LPCWSTR lpszPipeName, DWORD dwProcessId, DWORD dwSessionId,
                             LPDWORD lpdwClientHandle, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::CreateSession");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszPipeName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszPipeName");
    }
    if (lpdwClientHandle == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwClientHandle");
    }
    *lpdwClientHandle = 0;
    if (!CSessionList::IsNotifyPipeName(lpszPipeName, m_Pipe.GetPipeName())) {
        LOG_TRACE(LOG_DETAIL, FN, L"Refused pipe name.");
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_PARAMETER);
    }
    {
        CSrwLock::CGuard guard(m_SessionLock);
        if (m_Sessions.IsFull() && m_Sessions.ChooseEvictee(dwSessionId) == NULL) {
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_PIPE_BUSY);
        }
    }
    std::unique_ptr<CPipe> pPipe(new (std::nothrow) CPipe);
    std::unique_ptr<CLIENT_SESSION> pNode(new (std::nothrow) CLIENT_SESSION());
    if (!pPipe || !pNode) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD dwRet = OpenSessionPipe(pPipe.get(), lpszPipeName, dwProcessId);
    if (dwRet == ERROR_SUCCESS) {
        pNode->pPipe = pPipe.get();
        pNode->dwProcessId = dwProcessId;
        pNode->dwSessionId = dwSessionId;
        dwRet = InsertSession(pNode.get(), lpdwClientHandle, hAbortEvent);
    }
    if (dwRet != ERROR_SUCCESS) {
        pPipe->Finalize(hAbortEvent);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    // The list owns both from here on.
    pPipe.release();
    pNode.release();
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// Sets the session's sending end up on the application's pipe, retrying while it is busy. It
// delivers only to a pipe that the registrant itself serves.
DWORD CPipeSv::OpenSessionPipe(CPipe* pPipe, LPCWSTR lpszPipeName, DWORD dwProcessId)
{
    DWORD dwRet = ERROR_PIPE_BUSY;
    for (int i = 0; i < kSessionInitAttempts && dwRet == ERROR_PIPE_BUSY; ++i) {
        if (i > 0) {
            ::Sleep(kSessionInitPauseMs);
        }
        dwRet = pPipe->Initialize(PIPETYPE_CLIENT, lpszPipeName, NULL, NULL);
    }
    if (dwRet == ERROR_SUCCESS) {
        pPipe->SetExpectedServer(dwProcessId);
    }
    return dwRet;
}

// Appends the node with the lowest free handle. With the table full, the newest registration of
// the logon session holding the most slots gives way when the newcomer's session holds fewer;
// otherwise 231.
DWORD CPipeSv::InsertSession(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::InsertSession");
    CLIENT_SESSION* pEvicted = NULL;
    DWORD dwEvicted = 0;
    DWORD dwRet = ERROR_SUCCESS;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        if (m_Sessions.IsFull()) {
            pEvicted = m_Sessions.ChooseEvictee(pNode->dwSessionId);
            if (!m_Sessions.Unlink(pEvicted, &dwEvicted)) {
                pEvicted = NULL;
            }
        }
        dwRet = m_Sessions.Insert(pNode, lpdwClientHandle);
    }
    if (pEvicted != NULL) {
        LOG_TRACE(LOG_EVENT, FN, L"Session %u of process %u gave way to process %u", dwEvicted,
                  pEvicted->dwProcessId, pNode->dwProcessId);
        ReleaseSession(pEvicted, hAbortEvent);
        Notify_Disconnected(dwEvicted);
    }
    return dwRet;
}

// Takes the node out of the list unless another thread already did; the caller holds no lock.
BOOL CPipeSv::RemoveSession(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle)
{
    CSrwLock::CGuard guard(m_SessionLock);
    return m_Sessions.Unlink(pNode, lpdwClientHandle);
}

// A notification pipe has at most one session: registering its name again replaces the old
// session, so that one process cannot take every handle. Returns the handle that was freed, or 0.
DWORD CPipeSv::CloseSessionOfName(LPCWSTR lpszPipeName, HANDLE hAbortEvent)
{
    CLIENT_SESSION* pNode = NULL;
    DWORD dwHandle = 0;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        pNode = m_Sessions.LookupName(lpszPipeName);
        if (!m_Sessions.Unlink(pNode, &dwHandle)) {
            return 0;
        }
    }
    ReleaseSession(pNode, hAbortEvent);
    return dwHandle;
}

// Drops one reference; the last one closes the session's channel, outside the list lock.
void CPipeSv::ReleaseSession(CLIENT_SESSION* pNode, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::ReleaseSession");
    {
        CSrwLock::CGuard guard(m_SessionLock);
        if (--pNode->nRefs > 0) {
            return;
        }
    }
    if (pNode->pPipe != NULL) {
        pNode->pPipe->Finalize(hAbortEvent);
        delete pNode->pPipe;
    } else {
        LOG_TRACE(LOG_DETAIL, FN, L"pPipe is not exist!");
    }
    delete pNode;
}

DWORD CPipeSv::CloseSession(DWORD dwClientHandle, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::CloseSession");
    LOG_ENTER(LOG_DETAIL, FN);
    if (dwClientHandle == 0 || dwClientHandle == 0xFFFFFFFF) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
    }
    CLIENT_SESSION* pNode = NULL;
    DWORD dwRemoved = 0;
    {
        // Looked up and unlinked in one hold: another thread may free a node it has unlinked.
        CSrwLock::CGuard guard(m_SessionLock);
        pNode = m_Sessions.Lookup(dwClientHandle);
        if (!m_Sessions.Unlink(pNode, &dwRemoved)) {
            return LOG_RESULT(LOG_DETAIL, FN, ERROR_INVALID_HANDLE);
        }
    }
    ReleaseSession(pNode, hAbortEvent);
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CPipeSv::CloseAllSession(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::CloseAllSession");
    LOG_ENTER(LOG_DETAIL, FN);
    CLIENT_SESSION* pNode = NULL;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        pNode = m_Sessions.TakeAll();
    }
    while (pNode != NULL) {
        CLIENT_SESSION* pNext = pNode->pNext;
        pNode->pPrev = NULL;
        pNode->pNext = NULL;
        ReleaseSession(pNode, hAbortEvent);
        pNode = pNext;
    }
    LOG_EXIT(LOG_DETAIL, FN);
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

DWORD CPipeSv::send_hdr_data(CPipe* pPipe, LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode,
                             HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::send_hdr_data");
    LOG_ENTER(LOG_DETAIL, FN);
    if (pPipe == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pPipe");
    }
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetCode");
    }
    // The service's identifier is 0.
    return LOG_RESULT(LOG_DETAIL, FN, pPipe->SendFrame(0, lpBuf, dwLen, lpdwRetCode, hAbortEvent));
}

DWORD CPipeSv::SendAll(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::SendAll");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetcode");
    }
    // The sessions of this moment, oldest first; each stays alive while we hold its reference,
    // even when another thread removes it meanwhile.
    CLIENT_SESSION* nodes[PIPE_MAX_CLIENT_HANDLE];
    DWORD dwCount = 0;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        dwCount = m_Sessions.Snapshot(nodes, ARRAYSIZE(nodes));
    }
    DWORD dwResult = ERROR_SUCCESS;
    for (DWORD i = 0; i < dwCount; ++i) {
        const DWORD dwOutcome = SendToSession(nodes[i], lpBuf, dwLen, lpdwRetCode, TRUE, hAbortEvent);
        if (dwOutcome != ERROR_SUCCESS) {
            dwResult = dwOutcome;
        }
        ReleaseSession(nodes[i], hAbortEvent);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwResult);
}

DWORD CPipeSv::SendTo(DWORD dwClientHandle, LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode,
                      HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::SendTo");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpBuf == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
    }
    if (lpdwRetCode == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpdwRetCode");
    }
    CLIENT_SESSION* pNode = NULL;
    {
        CSrwLock::CGuard guard(m_SessionLock);
        pNode = m_Sessions.Lookup(dwClientHandle);
        if (pNode != NULL) {
            ++pNode->nRefs;
        }
    }
    if (pNode == NULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_FOUND);
    }
    const DWORD dwRet = SendToSession(pNode, lpBuf, dwLen, lpdwRetCode, FALSE, hAbortEvent);
    ReleaseSession(pNode, hAbortEvent);
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

// One send to a session the caller holds a reference on; a session whose application pipe is
// gone leaves the list, and the owner hears of it when bReport is set.
DWORD CPipeSv::SendToSession(CLIENT_SESSION* pNode, LPCVOID lpBuf, DWORD dwLen,
                             LPDWORD lpdwRetCode, BOOL bReport, HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeSv::SendToSession");
    DWORD dwOutcome = ERROR_INVALID_HANDLE;
    if (pNode->pPipe != NULL) {
        dwOutcome = send_hdr_data(pNode->pPipe, lpBuf, dwLen, lpdwRetCode, hAbortEvent);
    } else {
        LOG_TRACE(LOG_DETAIL, FN, L"pPipe is NULL.");
    }
    if (CountSendOutcome(pNode, dwOutcome)) {
        dwOutcome = ERROR_INVALID_HANDLE;
    }
    if (dwOutcome == ERROR_FILE_NOT_FOUND || dwOutcome == ERROR_INVALID_HANDLE) {
        // Only the thread that takes the session out of the list reports it, so concurrent
        // calls report it once.
        DWORD dwHandle = 0;
        if (RemoveSession(pNode, &dwHandle)) {
            // The list's reference leaves with the node; the caller's keeps it until the caller
            // is done, and the last release closes the channel.
            ReleaseSession(pNode, hAbortEvent);
            if (bReport) {
                Notify_Disconnected(dwHandle);
            }
        }
    }
    return dwOutcome;
}

// TRUE when the session is to count as gone: its pipe is served by a process other than the
// registrant, or its deliveries keep timing out, so that a hung application gives its slot back.
BOOL CPipeSv::CountSendOutcome(CLIENT_SESSION* pNode, DWORD dwOutcome)
{
    LOG_FUNCTION(L"CPipeSv::CountSendOutcome");
    if (dwOutcome == PIPE_ERROR_FOREIGN_SERVER) {
        LOG_TRACE(LOG_EVENT, FN, L"Pipe of session %u not served by its registrant.",
                  pNode->dwClientHandle);
        return TRUE;
    }
    const BOOL bTimedOut = dwOutcome == ERROR_SEM_TIMEOUT || dwOutcome == ERROR_PIPE_BUSY;
    CSrwLock::CGuard guard(m_SessionLock);
    pNode->dwFailedSends = bTimedOut ? pNode->dwFailedSends + 1 : 0;
    if (pNode->dwFailedSends >= kMaxFailedSends) {
        LOG_TRACE(LOG_EVENT, FN, L"Session %u timed out %u times.", pNode->dwClientHandle,
                  pNode->dwFailedSends);
        return TRUE;
    }
    return FALSE;
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
