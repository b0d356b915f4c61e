#include "CGlobalLock.h"

#include "CObjectSecurity.h"
#include "ScopedHandle.h"

#include <strsafe.h>

namespace {

const WCHAR kGlobalPrefix[] = L"Global\\";
const size_t kGlobalPrefixLen = ARRAYSIZE(kGlobalPrefix) - 1;

// Kernel object names may not contain '\' after the namespace, and '.' is kept out too.
void MangleName(LPWSTR lpszName)
{
    for (LPWSTR p = lpszName + kGlobalPrefixLen; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'.') {
            *p = L'$';
        }
    }
}

}  // namespace

CGlobalLock::CGlobalLock() : m_hMutex(NULL), m_dwTimeout(INFINITE) {}

CGlobalLock::~CGlobalLock()
{
    Finalize();
}

DWORD CGlobalLock::Initialize(LPCWSTR lpszName, DWORD dwTimeout)
{
    if (lpszName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    WCHAR szName[MAX_PATH];
    if (FAILED(::StringCchPrintfW(szName, ARRAYSIZE(szName), L"%s%s", kGlobalPrefix, lpszName))) {
        return ERROR_INVALID_PARAMETER;
    }
    MangleName(szName);

    // Users may wait for the lock and release it, no more: asking for more (CreateMutexW asks for
    // all access) would fail for them once another account has created it.
    CObjectSecurity security;
    DWORD dwRet = security.Initialize(OBJSEC_SHARED_MUTEX);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    const DWORD dwAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
    HANDLE hMutex = ::CreateMutexExW(security.Get(), szName, 0, dwAccess);
    if (hMutex == NULL) {
        hMutex = ::OpenMutexW(dwAccess, FALSE, szName);
    }
    dwRet = ::GetLastError();
    return (hMutex == NULL) ? dwRet : Adopt(hMutex, dwTimeout);
}

DWORD CGlobalLock::InitializeLocal(DWORD dwTimeout)
{
    HANDLE hMutex = ::CreateMutexW(NULL, FALSE, NULL);
    return (hMutex == NULL) ? ::GetLastError() : Adopt(hMutex, dwTimeout);
}

DWORD CGlobalLock::Adopt(HANDLE hMutex, DWORD dwTimeout)
{
    Finalize();
    m_hMutex = hMutex;
    m_dwTimeout = (dwTimeout == 0) ? INFINITE : dwTimeout;
    return ERROR_SUCCESS;
}

DWORD CGlobalLock::Lock(HANDLE hAbortEvent)
{
    if (m_hMutex == NULL) {
        return ERROR_NOT_READY;
    }
    HANDLE handles[2] = { m_hMutex, hAbortEvent };
    const DWORD nCount = (hAbortEvent != NULL) ? 2 : 1;
    switch (::WaitForMultipleObjects(nCount, handles, FALSE, m_dwTimeout)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return ERROR_SUCCESS;
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1:
        return ERROR_OPERATION_ABORTED;
    case WAIT_TIMEOUT:
        return ERROR_BUSY;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

DWORD CGlobalLock::Unlock()
{
    if (m_hMutex == NULL) {
        return ERROR_NOT_READY;
    }
    return ::ReleaseMutex(m_hMutex) ? ERROR_SUCCESS : ::GetLastError();
}

void CGlobalLock::Finalize()
{
    CloseAndClear(m_hMutex);
    m_dwTimeout = INFINITE;
}
