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
const size_t kLineChars = 1024;
const size_t kStampChars = 128;
// How long Finalize gives the writer to write out what waits before it is ended.
const DWORD kWriterStopMs = 3000;

// A file name may not climb out of the log folder, whichever separator it uses.
bool EscapesFolder(LPCWSTR lpszFileName)
{
    return wcsstr(lpszFileName, L"..\\") != NULL || wcsstr(lpszFileName, L"../") != NULL;
}

// The service's file is a bare name: no folder, no drive, no stream.
bool IsBareName(LPCWSTR lpszFileName)
{
    return wcspbrk(lpszFileName, L"\\/:") == NULL && wcscmp(lpszFileName, L"..") != 0 &&
           wcscmp(lpszFileName, L".") != 0;
}

void FormatStamp(LPWSTR lpszStamp, size_t cchStamp)
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    ::StringCchPrintfW(lpszStamp, cchStamp, L"[%d/%02d/%02d %02d:%02d:%02d.%03d]", st.wYear,
                       st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

}  // namespace

CLog::CLog()
    : m_bOpened(FALSE),
      m_dwLogForm(1),
      m_dwLogLevel(1),
      m_dwDbgPort(0),
      m_dwFileAttributes(FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_HIDDEN),
      m_dwPlace(LOG_PLACE_SHARED),
      m_dwDropped(0),
      m_ullQueued(0),
      m_ullWritten(0),
      m_bStopping(false)
{
    m_szFileName[0] = L'\0';
}

CLog::~CLog()
{
    Finalize();
}

void CLog::Initialize(LPCWSTR lpszRegKey, DWORD dwPlace)
{
    if (m_bOpened) {
        return;
    }
    m_dwPlace = dwPlace;
    ::StringCchCopyW(m_szFileName, ARRAYSIZE(m_szFileName), kDefaultFileName);
    if (lpszRegKey != NULL) {
        ReadSettings(lpszRegKey);
    }
    if (EscapesFolder(m_szFileName) || (dwPlace == LOG_PLACE_SERVICE && !IsBareName(m_szFileName))) {
        ::StringCchCopyW(m_szFileName, ARRAYSIZE(m_szFileName), kDefaultFileName);
    }
    // Nothing to write, no writer: the common case costs no thread.
    if (m_dwLogForm != 1 && m_dwLogForm != 2) {
        return;
    }
    m_bStopping = false;
    m_dwDropped = 0;
    m_hWake.Reset(::CreateEventW(NULL, FALSE, FALSE, NULL));
    if (m_hWake.IsValid()) {
        m_hWriter.Reset(::CreateThread(NULL, 0, WriterProc, this, 0, NULL));
    }
    m_bOpened = m_hWriter.IsValid() ? TRUE : FALSE;
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
    m_bOpened = FALSE;
    if (m_hWriter.IsValid()) {
        {
            CSrwLock::CGuard guard(m_QueueLock);
            m_bStopping = true;
        }
        ::SetEvent(m_hWake.Get());
        // A writer stuck in the file system (a lock another process holds on the file) is not
        // waited for beyond the limit.
        if (::WaitForSingleObject(m_hWriter.Get(), kWriterStopMs) != WAIT_OBJECT_0) {
            ::TerminateThread(m_hWriter.Get(), 0);
        }
        m_hWriter.Reset();
    }
    m_hWake.Reset();
    m_Lines.clear();
    m_ullWritten = m_ullQueued;
}

BOOL CLog::Flush(DWORD dwTimeoutMs)
{
    const ULONGLONG ullStart = ::GetTickCount64();
    for (;;) {
        {
            CSrwLock::CGuard guard(m_QueueLock);
            if (m_ullWritten >= m_ullQueued || !m_hWriter.IsValid()) {
                return TRUE;
            }
        }
        if (::GetTickCount64() - ullStart >= dwTimeoutMs) {
            return FALSE;
        }
        ::Sleep(5);
    }
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

    WCHAR szStamp[kStampChars];
    FormatStamp(szStamp, ARRAYSIZE(szStamp));

    WCHAR szLine[kLineChars];
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), L"%s%s\r\n", szStamp, szText);
    WriteLine(szLine);
}

// The shared file lies in the common application-data folder; the service's in its own
// protected folder there. FALSE when the service's folder cannot be had safely.
BOOL CLog::BuildFilePath(LPWSTR lpszPath, size_t cchPath) const
{
    WCHAR szFolder[MAX_PATH];
    if (m_dwPlace == LOG_PLACE_SERVICE) {
        return CLogFile::PrepareServiceFolder(szFolder, ARRAYSIZE(szFolder)) &&
               SUCCEEDED(::StringCchPrintfW(lpszPath, cchPath, L"%s\\%s", szFolder, m_szFileName));
    }
    if (::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_COMMON_APPDATA, FALSE)) {
        ::StringCchPrintfW(lpszPath, cchPath, L"%s\\%s", szFolder, m_szFileName);
    } else {
        ::StringCchPrintfW(lpszPath, cchPath, L".\\%s", m_szFileName);
    }
    return TRUE;
}

// Queues the line for the writer; a full queue drops it and counts it. Never waits on anything
// but the queue's own short hold.
void CLog::WriteLine(LPCWSTR lpszLine)
{
    {
        CSrwLock::CGuard guard(m_QueueLock);
        if (m_bStopping || m_Lines.size() >= kMaxQueuedLines) {
            ++m_dwDropped;
            return;
        }
        try {
            m_Lines.emplace_back(lpszLine);
        } catch (...) {
            ++m_dwDropped;
            return;
        }
        ++m_ullQueued;
    }
    ::SetEvent(m_hWake.Get());
}

DWORD WINAPI CLog::WriterProc(LPVOID lpParam)
{
    CLog* pThis = static_cast<CLog*>(lpParam);
    while (::WaitForSingleObject(pThis->m_hWake.Get(), INFINITE) == WAIT_OBJECT_0 &&
           pThis->WriteBatch()) {
    }
    return 0;
}

// Takes every waiting line and writes them out; false once the log is stopping.
bool CLog::WriteBatch()
{
    std::deque<std::wstring> lines;
    DWORD dwDropped = 0;
    bool bStopping = false;
    ULONGLONG ullTaken = 0;
    {
        CSrwLock::CGuard guard(m_QueueLock);
        lines.swap(m_Lines);
        ullTaken = m_ullQueued;
        dwDropped = m_dwDropped;
        m_dwDropped = 0;
        bStopping = m_bStopping;
    }
    if (m_dwDbgPort != 0) {
        for (const std::wstring& line : lines) {
            ::OutputDebugStringW(line.c_str());
        }
    }
    AppendToFile(lines, dwDropped);
    CSrwLock::CGuard guard(m_QueueLock);
    m_ullWritten = ullTaken;
    return !bStopping;
}

// One opening of the file per batch, so that it may be moved or deleted while the system runs.
void CLog::AppendToFile(const std::deque<std::wstring>& lines, DWORD dwDropped)
{
    WCHAR szPath[MAX_PATH];
    CLogFile file;
    if ((lines.empty() && dwDropped == 0) || !BuildFilePath(szPath, ARRAYSIZE(szPath)) ||
        !file.Open(szPath, m_dwPlace, m_dwFileAttributes)) {
        return;
    }
    if (dwDropped != 0) {
        WCHAR szStamp[kStampChars], szLine[kLineChars];
        FormatStamp(szStamp, ARRAYSIZE(szStamp));
        ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), L"%s Lines dropped:%u\r\n", szStamp, dwDropped);
        file.Append(szLine);
    }
    for (const std::wstring& line : lines) {
        file.Append(line.c_str());
    }
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
