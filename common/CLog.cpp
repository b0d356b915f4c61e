#include "CLog.h"

#include "CRegistry.h"
#include "ScopedHandle.h"
#include "Security.h"

#include <shlobj.h>
#include <stdarg.h>
#include <strsafe.h>

CLog g_Log;

namespace {

const WCHAR kDefaultFileName[] = L"default.log";
const DWORD kLockTimeoutMs = 3000;
// How often, and how far apart, a file held by a reader is tried again.
const int kShareRetries = 50;
const DWORD kShareRetryPauseMs = 2;
const size_t kLineChars = 1024;
const size_t kStampChars = 128;

// A file name may not climb out of the log folder, whichever separator it uses.
bool EscapesFolder(LPCWSTR lpszFileName)
{
    return wcsstr(lpszFileName, L"..\\") != NULL || wcsstr(lpszFileName, L"../") != NULL;
}

}  // namespace

CLog::CLog()
    : m_bOpened(FALSE),
      m_dwLogForm(1),
      m_dwLogLevel(1),
      m_dwDbgPort(0),
      m_dwFileAttributes(FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_HIDDEN)
{
    m_szFileName[0] = L'\0';
}

CLog::~CLog()
{
    Finalize();
}

void CLog::Initialize(LPCWSTR lpszRegKey)
{
    if (m_bOpened) {
        return;
    }
    ::StringCchCopyW(m_szFileName, ARRAYSIZE(m_szFileName), kDefaultFileName);
    if (lpszRegKey != NULL) {
        ReadSettings(lpszRegKey);
    }
    if (EscapesFolder(m_szFileName)) {
        ::StringCchCopyW(m_szFileName, ARRAYSIZE(m_szFileName), kDefaultFileName);
    }

    WCHAR szLockName[MAX_PATH];
    if (lpszRegKey != NULL) {
        ::StringCchPrintfW(szLockName, ARRAYSIZE(szLockName), L"clog_mutex_name_%s", lpszRegKey);
    } else {
        ::StringCchCopyW(szLockName, ARRAYSIZE(szLockName), L"clog_mutex_name");
    }
    if (m_Lock.Initialize(szLockName, kLockTimeoutMs) == ERROR_SUCCESS) {
        m_bOpened = TRUE;
    }
}

void CLog::ReadSettings(LPCWSTR lpszRegKey)
{
    m_dwLogForm = 0;
    m_dwLogLevel = 0;
    m_dwDbgPort = 0;

    CRegistry reg;
    if (reg.OpenKey(lpszRegKey, KEY_READ) != ERROR_SUCCESS) {
        return;
    }
    // The stored value need not carry a terminator: start from a zeroed buffer.
    ZeroMemory(m_szFileName, sizeof(m_szFileName));
    DWORD dwChars = MAX_PATH;
    if (reg.QueryStringValue(L"filename", m_szFileName, &dwChars) != ERROR_SUCCESS ||
        m_szFileName[0] == L'\0') {
        ::StringCchCopyW(m_szFileName, ARRAYSIZE(m_szFileName), kDefaultFileName);
    }
    reg.QueryDWORDValue(L"logform", &m_dwLogForm);
    reg.QueryDWORDValue(L"loglevel", &m_dwLogLevel);
    reg.QueryDWORDValue(L"dbgport", &m_dwDbgPort);
    reg.CloseKey();
}

void CLog::Finalize()
{
    m_Lock.Finalize();
    m_bOpened = FALSE;
}

void CLog::Trace(DWORD dwLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszFormat, ...)
{
    // Without a line form nothing is written: the line is not even formatted (the service and
    // the applications pass event-level lines here at every battery poll).
    if (!m_bOpened || dwLevel > m_dwLogLevel || (m_dwLogForm != 1 && m_dwLogForm != 2) ||
        lpszFunction == NULL || lpszFormat == NULL) {
        return;
    }

    WCHAR szMessage[kLineChars];
    va_list args;
    va_start(args, lpszFormat);
    ::StringCchVPrintfW(szMessage, ARRAYSIZE(szMessage), lpszFormat, args);
    va_end(args);

    WCHAR szText[kLineChars];
    if (m_dwLogForm == 1) {
        ::StringCchPrintfW(szText, ARRAYSIZE(szText), L" %s", szMessage);
    } else if (m_dwLogForm == 2) {
        ::StringCchPrintfW(szText, ARRAYSIZE(szText), L"[%08X][%08X][%s][%d] %s",
                           ::GetCurrentProcessId(), ::GetCurrentThreadId(), lpszFunction, nLine,
                           szMessage);
    } else {
        return;
    }

    SYSTEMTIME st;
    ::GetLocalTime(&st);
    WCHAR szStamp[kStampChars];
    ::StringCchPrintfW(szStamp, ARRAYSIZE(szStamp), L"[%d/%02d/%02d %02d:%02d:%02d.%03d]",
                       st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                       st.wMilliseconds);

    WCHAR szLine[kLineChars];
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), L"%s%s\r\n", szStamp, szText);
    WriteLine(szLine);
}

void CLog::BuildFilePath(LPWSTR lpszPath, size_t cchPath) const
{
    WCHAR szFolder[MAX_PATH];
    if (::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_COMMON_APPDATA, FALSE)) {
        ::StringCchPrintfW(lpszPath, cchPath, L"%s\\%s", szFolder, m_szFileName);
    } else {
        ::StringCchPrintfW(lpszPath, cchPath, L".\\%s", m_szFileName);
    }
}

void CLog::WriteLine(LPCWSTR lpszLine)
{
    if (m_dwDbgPort != 0) {
        ::OutputDebugStringW(lpszLine);
    }
    WCHAR szPath[MAX_PATH];
    BuildFilePath(szPath, ARRAYSIZE(szPath));

    // Whatever the wait gives, the line is written; without the lock a concurrent open may fail.
    m_Lock.Lock(NULL);
    AppendToFile(szPath, lpszLine);
    m_Lock.Unlock();
}

// Opens the file (shared with every account, created with a byte-order mark), appends the line
// and closes it again, all while the caller holds the lock.
void CLog::AppendToFile(LPCWSTR lpszPath, LPCWSTR lpszLine) const
{
    SECURITY_DESCRIPTOR sd;
    PACL pAcl = NULL;
    SECURITY_ATTRIBUTES sa = { sizeof(sa), &sd, FALSE };
    const bool bShared = InitSharedFileSecurity(&sd, &pAcl) == ERROR_SUCCESS;
    ScopedLocalMem acl(pAcl);
    // A reader of the file (not bound by the lock) may hold it for a moment: the line waits for it
    // rather than being lost.
    ScopedKernelHandle file;
    for (int nTry = 0; nTry < kShareRetries && !file.IsValid(); ++nTry) {
        file.Reset(::CreateFileW(lpszPath, GENERIC_READ | GENERIC_WRITE, 0, bShared ? &sa : NULL,
                                 OPEN_ALWAYS, m_dwFileAttributes, NULL));
        if (!file.IsValid() && ::GetLastError() != ERROR_SHARING_VIOLATION) {
            return;
        }
        if (!file.IsValid()) {
            ::Sleep(kShareRetryPauseMs);
        }
    }
    if (!file.IsValid()) {
        return;
    }
    DWORD cbWritten = 0;
    if (::SetFilePointer(file.Get(), 0, NULL, FILE_END) == 0) {
        static const BYTE kBom[] = { 0xFF, 0xFE };
        ::WriteFile(file.Get(), kBom, sizeof(kBom), &cbWritten, NULL);
    }
    ::WriteFile(file.Get(), lpszLine, ::lstrlenW(lpszLine) * sizeof(WCHAR), &cbWritten, NULL);
}

DWORD CLog::TraceExit(DWORD dwLevel, LPCWSTR lpszFunction, int nLine, DWORD dwRet)
{
    if (dwRet == ERROR_SUCCESS) {
        Trace(dwLevel, lpszFunction, nLine, L"Exit retval:%08x", dwRet);
    } else {
        Trace(dwLevel, lpszFunction, nLine, L"Exit - Error! retval:%08x", dwRet);
    }
    return dwRet;
}

DWORD CLog::TraceNullArg(DWORD dwExitLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszArgName)
{
    Trace(LOG_EVENT, lpszFunction, nLine, L"%s is NULL.", lpszArgName);
    Trace(dwExitLevel, lpszFunction, nLine, L"Exit - Error! retval:%08x", ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
}

void CLog::TraceNullArgVoid(DWORD dwExitLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszArgName)
{
    Trace(LOG_EVENT, lpszFunction, nLine, L"%s is NULL.", lpszArgName);
    Trace(dwExitLevel, lpszFunction, nLine, L"Exit - Error!");
}
