#include "CMultiInstApp.h"

#include "CLog.h"

#include <strsafe.h>

CMultiInstApp::CMultiInstApp() : m_hMutex(NULL)
{
    ZeroMemory(m_szWndClassName, sizeof(m_szWndClassName));
}

CMultiInstApp::~CMultiInstApp()
{
    Finalize();
}

DWORD CMultiInstApp::Initialize(LPCWSTR lpszWndClassName, BOOL bActivate)
{
    LOG_FUNCTION(L"CMultiInstApp::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszWndClassName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszWndClassName");
    }
    WCHAR szMutexName[MAX_PATH] = L"";
    if (FAILED(::StringCchCopyW(m_szWndClassName, ARRAYSIZE(m_szWndClassName), lpszWndClassName)) ||
        FAILED(::StringCchPrintfW(szMutexName, ARRAYSIZE(szMutexName), L"CMultiInstApp_%s",
                                  lpszWndClassName))) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_BUFFER_OVERFLOW);
    }
    // A backslash would name a namespace; the name stays in this logon session's own.
    for (WCHAR& c : szMutexName) {
        if (c == L'\\') {
            c = L'$';
        }
    }
    m_hMutex = ::CreateMutexW(NULL, FALSE, szMutexName);
    DWORD dwRet = ::GetLastError();
    if (m_hMutex == NULL || m_hMutex == INVALID_HANDLE_VALUE) {
        m_hMutex = NULL;
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    if (!bActivate) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
    }
    if (dwRet == ERROR_ALREADY_EXISTS) {
        const DWORD dwForeground = SetForegroundWindow();
        if (dwForeground != ERROR_SUCCESS) {
            dwRet = dwForeground;
        }
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

DWORD CMultiInstApp::CheckRunning(HWND* lphWnd)
{
    LOG_FUNCTION(L"CMultiInstApp::CheckRunning");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lphWnd == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lphWnd");
    }
    *lphWnd = ::FindWindowW(m_szWndClassName, NULL);
    if (*lphWnd == NULL) {
        const DWORD dwErr = ::GetLastError();
        return LOG_RESULT(LOG_DETAIL, FN, dwErr != ERROR_SUCCESS ? dwErr : ERROR_NOT_FOUND);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CMultiInstApp::SetForegroundWindow()
{
    LOG_FUNCTION(L"CMultiInstApp::SetForegroundWindow");
    LOG_ENTER(LOG_DETAIL, FN);
    HWND hWnd = NULL;
    const DWORD dwFound = CheckRunning(&hWnd);
    if (dwFound != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwFound);
    }
    // Only the thread that has the input may hand the foreground on: borrow its input for a moment.
    const DWORD dwForeground = ::GetWindowThreadProcessId(::GetForegroundWindow(), NULL);
    const DWORD dwCurrent = ::GetCurrentThreadId();
    const BOOL bAttached = dwForeground != 0 && dwForeground != dwCurrent &&
                           ::AttachThreadInput(dwCurrent, dwForeground, TRUE);
    if (::IsIconic(hWnd)) {
        ::ShowWindow(hWnd, SW_RESTORE);
    }
    ::SetForegroundWindow(hWnd);
    const DWORD dwRet = ::GetLastError();
    if (bAttached) {
        ::AttachThreadInput(dwCurrent, dwForeground, FALSE);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

void CMultiInstApp::Finalize()
{
    LOG_FUNCTION(L"CMultiInstApp::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (m_hMutex != NULL) {
        ::ReleaseMutex(m_hMutex);
        m_hMutex = NULL;
    }
    LOG_EXIT(LOG_DETAIL, FN);
}
