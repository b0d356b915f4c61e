#include "CSessionList.h"

#include "PipeDefs.h"

#include <stdlib.h>
#include <wchar.h>

namespace {

bool IsHexDigit(WCHAR c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

}  // namespace

CSessionList::CSessionList() : m_pHead(NULL), m_nCount(0) {}

DWORD CSessionList::Insert(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle)
{
    DWORD dwHandle = PIPE_MIN_CLIENT_HANDLE;
    while (dwHandle <= PIPE_MAX_CLIENT_HANDLE && Lookup(dwHandle) != NULL) {
        ++dwHandle;
    }
    if (dwHandle > PIPE_MAX_CLIENT_HANDLE) {
        return ERROR_PIPE_BUSY;
    }
    pNode->dwClientHandle = dwHandle;
    pNode->nRefs = 1;
    pNode->pPrev = NULL;
    pNode->pNext = NULL;
    CLIENT_SESSION** ppTail = &m_pHead;
    while (*ppTail != NULL) {
        pNode->pPrev = *ppTail;
        ppTail = &(*ppTail)->pNext;
    }
    *ppTail = pNode;
    ++m_nCount;
    *lpdwClientHandle = dwHandle;
    return ERROR_SUCCESS;
}

BOOL CSessionList::Unlink(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle)
{
    if (pNode == NULL || pNode->dwClientHandle == 0) {
        return FALSE;
    }
    *lpdwClientHandle = pNode->dwClientHandle;
    if (pNode->pPrev != NULL) {
        pNode->pPrev->pNext = pNode->pNext;
    } else {
        m_pHead = pNode->pNext;
    }
    if (pNode->pNext != NULL) {
        pNode->pNext->pPrev = pNode->pPrev;
    }
    pNode->pPrev = NULL;
    pNode->pNext = NULL;
    pNode->dwClientHandle = 0;
    --m_nCount;
    return TRUE;
}

CLIENT_SESSION* CSessionList::TakeAll()
{
    CLIENT_SESSION* pHead = m_pHead;
    m_pHead = NULL;
    m_nCount = 0;
    for (CLIENT_SESSION* p = pHead; p != NULL; p = p->pNext) {
        p->dwClientHandle = 0;
    }
    return pHead;
}

CLIENT_SESSION* CSessionList::Lookup(DWORD dwClientHandle) const
{
    for (CLIENT_SESSION* p = m_pHead; p != NULL; p = p->pNext) {
        if (p->dwClientHandle == dwClientHandle) {
            return p;
        }
    }
    return NULL;
}

CLIENT_SESSION* CSessionList::LookupName(LPCWSTR lpszPipeName) const
{
    for (CLIENT_SESSION* p = m_pHead; p != NULL; p = p->pNext) {
        if (p->pPipe != NULL && ::CompareStringOrdinal(p->pPipe->GetPipeName(), -1, lpszPipeName, -1,
                                                       TRUE) == CSTR_EQUAL) {
            return p;
        }
    }
    return NULL;
}

DWORD CSessionList::Snapshot(CLIENT_SESSION** ppNodes, DWORD nMax)
{
    DWORD dwCount = 0;
    for (CLIENT_SESSION* p = m_pHead; p != NULL && dwCount < nMax; p = p->pNext) {
        ++p->nRefs;
        ppNodes[dwCount++] = p;
    }
    return dwCount;
}

BOOL CSessionList::IsFull() const
{
    return m_nCount >= static_cast<int>(PIPE_MAX_CLIENT_HANDLE);
}

int CSessionList::CountOfSession(DWORD dwSessionId) const
{
    int n = 0;
    for (const CLIENT_SESSION* p = m_pHead; p != NULL; p = p->pNext) {
        n += (p->dwSessionId == dwSessionId) ? 1 : 0;
    }
    return n;
}

CLIENT_SESSION* CSessionList::ChooseEvictee(DWORD dwSessionId) const
{
    CLIENT_SESSION* pVictim = NULL;
    int nMost = 0;
    // Walking oldest to newest, the last node of the largest session is its newest registration;
    // between equally large sessions the newest registration of all gives way.
    for (CLIENT_SESSION* p = m_pHead; p != NULL; p = p->pNext) {
        const int n = CountOfSession(p->dwSessionId);
        if (n >= nMost) {
            nMost = n;
            pVictim = p;
        }
    }
    if (pVictim == NULL || CountOfSession(dwSessionId) + 1 > nMost) {
        return NULL;
    }
    return pVictim;
}

BOOL CSessionList::IsNotifyPipeName(LPCWSTR lpszPipeName, LPCWSTR lpszDataPipe)
{
    const size_t cchPrefix = wcslen(lpszDataPipe);
    if (cchPrefix == 0 || wcslen(lpszPipeName) != cchPrefix + PIPE_PID_DIGITS ||
        ::CompareStringOrdinal(lpszPipeName, static_cast<int>(cchPrefix), lpszDataPipe,
                               static_cast<int>(cchPrefix), TRUE) != CSTR_EQUAL) {
        return FALSE;
    }
    for (size_t i = cchPrefix; i < cchPrefix + PIPE_PID_DIGITS; ++i) {
        if (!IsHexDigit(lpszPipeName[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

DWORD CSessionList::PipeNameProcessId(LPCWSTR lpszPipeName)
{
    const size_t cch = wcslen(lpszPipeName);
    return (cch < PIPE_PID_DIGITS) ? 0 : wcstoul(lpszPipeName + cch - PIPE_PID_DIGITS, NULL, 16);
}
