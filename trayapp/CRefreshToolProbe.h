// Whether the maker's battery refresh tool runs: while it does, a low battery is its doing.
// Processes are matched by their full image path; a process this user may not open (the tool
// run elevated or as a service under another account) is matched by its image name from a
// process snapshot instead.
#pragma once

#include <windows.h>

class CRefreshToolProbe {
public:
    CRefreshToolProbe();

    LPCWSTR ToolPath() const { return m_szToolPath; }
    // TRUE when a running process is lpszModuleName (a full path, any letter case).
    BOOL IsRunning(LPCWSTR lpszModuleName) const;

    // One process judged: lpszFullPath is its image path, NULL when it could not be opened;
    // lpszExeFile its image name from the snapshot.
    static BOOL IsTool(LPCWSTR lpszModuleName, LPCWSTR lpszFullPath, LPCWSTR lpszExeFile);

private:
    // The full image path of a process, FALSE when it cannot be opened or read.
    static BOOL GetImagePath(DWORD dwProcessId, LPWSTR lpszPath, DWORD cchPath);

    WCHAR m_szToolPath[MAX_PATH];
};
