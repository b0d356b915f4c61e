#include "CInstanceMutex.h"

#include "CLog.h"
#include "CObjectSecurity.h"

#include <strsafe.h>

CInstanceMutex::CInstanceMutex() {}

DWORD CInstanceMutex::Acquire(LPCWSTR lpszServiceName)
{
    static const WCHAR FN[] = L"CInstanceMutex::Acquire";
    if (lpszServiceName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    WCHAR szMutexName[MAX_PATH];
    ::StringCchPrintfW(szMutexName, ARRAYSIZE(szMutexName), L"Global\\mtx_%s", lpszServiceName);
    // Only SYSTEM and the Administrators may open ours: nobody else can hold it or re-secure it.
    CObjectSecurity security;
    DWORD dwRet = security.Initialize(OBJSEC_SERVICE_MUTEX);
    if (dwRet == ERROR_SUCCESS) {
        HANDLE hMutex = ::CreateMutexW(security.Get(), TRUE, szMutexName);
        dwRet = ::GetLastError();
        m_Mutex.Reset(hMutex);
        if (m_Mutex.IsValid() && dwRet != ERROR_ALREADY_EXISTS) {
            return ERROR_SUCCESS;
        }
        m_Mutex.Reset();
    }
    // The name is taken: a copy of ours, or anything else any user may create in Global\ (a mutex
    // we cannot open, or an event, semaphore or timer of that name, which gives 6). Only the
    // service manager can tell whether the service runs in another process; otherwise the name
    // is not worth a PC left unprotected.
    if (IsRunningElsewhere(lpszServiceName)) {
        return ERROR_ALREADY_EXISTS;
    }
    LOG_TRACE(LOG_EVENT, FN, L"%s is held by another process; ignored. Error: %u", szMutexName, dwRet);
    return ERROR_SUCCESS;
}

void CInstanceMutex::Release()
{
    m_Mutex.Reset();
}

// Whether the service manager reports the service alive in a process other than this one. When
// it cannot be asked, the other copy is assumed to run, as the mutex alone used to say.
bool CInstanceMutex::IsRunningElsewhere(LPCWSTR lpszServiceName)
{
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service;
    if (scm.IsValid()) {
        service.Reset(::OpenServiceW(scm.Get(), lpszServiceName, SERVICE_QUERY_STATUS));
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD cbNeeded = 0;
    if (!service.IsValid() ||
        !::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof(status), &cbNeeded)) {
        return ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0 &&
           status.dwProcessId != ::GetCurrentProcessId();
}
