// The pipe server's sessions: one per registered application, created, replaced and closed here,
// each kept alive by its references while a delivery uses it.
#include "CPipeSv.h"

#include "CLog.h"

#include <memory>
#include <new>

namespace {

const int kSessionInitAttempts = 10;
const DWORD kSessionInitPauseMs = 1000;

}  // namespace

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
