// The debug log of every module: UTF-16LE lines, handed to one writer thread per module through a
// bounded queue, so that no caller ever waits on a file or on another process to log.
#pragma once

#include "CLogFile.h"
#include "CSrwLock.h"
#include "ScopedHandle.h"

#include <windows.h>

#include <deque>
#include <string>

// Settings key of the log below HKEY_LOCAL_MACHINE.
#define MIREL_DBGLOG_KEY L"Software\\Orvane\\OrvaneMirel\\DbgLog"

// Trace levels: failures and events, the library's interface, everything else.
enum {
    LOG_EVENT = 0,
    LOG_API = 1,
    LOG_DETAIL = 2,
};

class CLog {
public:
    CLog();
    ~CLog();

    // Reads the settings under HKLM\lpszRegKey and opens the log; does nothing when already open.
    // dwPlace: LOG_PLACE_SERVICE for the service process's modules, whose file lives in a
    // protected folder of its own; LOG_PLACE_SHARED for every other.
    void Initialize(LPCWSTR lpszRegKey, DWORD dwPlace = LOG_PLACE_SHARED);
    void Trace(DWORD dwLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszFormat, ...);
    // Writes out what waits (bounded in time) and stops the writer thread.
    void Finalize();
    // Waits until the writer has taken every line queued before the call (at most dwTimeoutMs),
    // for a reader of the file that must see what this process logged; TRUE when it has.
    BOOL Flush(DWORD dwTimeoutMs);

    // Most lines that may wait for the writer; beyond it lines are dropped and counted.
    static const size_t kMaxQueuedLines = 2048;

    // Writes "Exit retval:%08x", or "Exit - Error! retval:%08x" when dwRet is not 0; returns dwRet.
    DWORD TraceExit(DWORD dwLevel, LPCWSTR lpszFunction, int nLine, DWORD dwRet);
    // Writes "%s is NULL." at level 0 and the error exit line at dwExitLevel; returns 87.
    DWORD TraceNullArg(DWORD dwExitLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszArgName);
    // The same for a function without a result: the exit line is "Exit - Error!".
    void TraceNullArgVoid(DWORD dwExitLevel, LPCWSTR lpszFunction, int nLine, LPCWSTR lpszArgName);

private:
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    void ReadSettings(LPCWSTR lpszRegKey);
    BOOL BuildFilePath(LPWSTR lpszPath, size_t cchPath) const;
    void WriteLine(LPCWSTR lpszLine);
    static DWORD WINAPI WriterProc(LPVOID lpParam);
    bool WriteBatch();
    void AppendToFile(const std::deque<std::wstring>& lines, DWORD dwDropped);

    BOOL m_bOpened;
    DWORD m_dwLogForm;
    DWORD m_dwLogLevel;
    DWORD m_dwDbgPort;
    WCHAR m_szFileName[MAX_PATH + 1];
    DWORD m_dwFileAttributes;
    DWORD m_dwPlace;
    // The queue, the drop count and the stop flag; held only to move lines in or out.
    CSrwLock m_QueueLock;
    std::deque<std::wstring> m_Lines;
    DWORD m_dwDropped;
    ULONGLONG m_ullQueued;   // lines queued since the start
    ULONGLONG m_ullWritten;  // of those, lines the writer has been through
    bool m_bStopping;
    ScopedKernelHandle m_hWake;    // auto-reset: lines wait, or the writer is to stop
    ScopedKernelHandle m_hWriter;  // the writer thread
};

// The one logger of this module.
extern CLog g_Log;

// Whether a logged function name (L"Class::Name") names the function it is written in: the last
// parts of both names agree. Compared at compile time by LOG_FUNCTION, so the name cannot go stale.
template <size_t N, size_t M>
constexpr bool LogNamesFunction(const wchar_t (&lpszLogged)[N], const char (&lpszFunction)[M])
{
    size_t f = N - 1, g = M - 1;
    for (; f > 0 && g > 0 && lpszLogged[f - 1] != L':' && lpszFunction[g - 1] != ':'; --f, --g) {
        if (lpszLogged[f - 1] != static_cast<wchar_t>(lpszFunction[g - 1])) {
            return false;
        }
    }
    return (f == 0 || lpszLogged[f - 1] == L':') && (g == 0 || lpszFunction[g - 1] == ':');
}

// Declares FN, the name the function's log lines carry, checked against the function's own name.
#define LOG_FUNCTION(name)                  \
    static constexpr WCHAR FN[] = name; \
    static_assert(LogNamesFunction(FN, __FUNCTION__), "the log names another function")

#define LOG_TRACE(level, fn, ...) g_Log.Trace((level), (fn), __LINE__, __VA_ARGS__)
#define LOG_ENTER(level, fn) g_Log.Trace((level), (fn), __LINE__, L"Enter")
#define LOG_EXIT(level, fn) g_Log.Trace((level), (fn), __LINE__, L"Exit")
#define LOG_RESULT(level, fn, ret) g_Log.TraceExit((level), (fn), __LINE__, (ret))
#define LOG_NULL_ARG(level, fn, arg) g_Log.TraceNullArg((level), (fn), __LINE__, (arg))
#define LOG_NULL_ARG_VOID(level, fn, arg) g_Log.TraceNullArgVoid((level), (fn), __LINE__, (arg))
