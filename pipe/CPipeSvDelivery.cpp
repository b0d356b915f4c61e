// The pipe server's deliveries to the registered applications, and what a failed one does to its
// session.
#include "CPipeSv.h"

#include "CLog.h"

namespace {

// Deliveries in a row that may time out before the application counts as gone and its slot is
// given back.
const DWORD kMaxFailedSends = 3;

}  // namespace

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
