// Whether the maker's battery refresh tool runs: while it does, a low battery is its doing.
// A process counts when its full image path is the tool's. One whose path cannot be read (the
// tool run elevated, or as a service) counts by its image name only when it runs as this user or
// as LocalSystem: any user can start a program of that name, and it must not quiet the low-battery
// warning in other users' sessions.
#pragma once

#include <windows.h>

class CRefreshToolProbe {
public:
    // Who runs a process, as far as the probe cares.
    enum Owner {
        OWNER_UNKNOWN = 0,  // not reported
        OWNER_OTHER = 1,    // another user (or another service account)
        OWNER_SELF = 2,     // the user of this process
        OWNER_SYSTEM = 3,   // LocalSystem
    };

    CRefreshToolProbe();

    LPCWSTR ToolPath() const { return m_szToolPath; }
    // TRUE when a running process is lpszModuleName (a full path, any letter case).
    BOOL IsRunning(LPCWSTR lpszModuleName) const;

    // One process judged: lpszFullPath is its image path, NULL when it could not be read;
    // lpszExeFile its image name from the process list, nOwner who runs it (Owner).
    static BOOL IsTool(LPCWSTR lpszModuleName, LPCWSTR lpszFullPath, LPCWSTR lpszExeFile, int nOwner);
    // pUser (a process's user as the process list reports it, may be NULL) against pSelf.
    static int OwnerOf(PSID pUser, PSID pSelf);

private:
    // Without owners (the session manager's list failed): only a readable path counts.
    static BOOL IsRunningBySnapshot(LPCWSTR lpszModuleName);
    // A listed process of the tool's image name is opened for its path and judged.
    static BOOL IsListedTool(LPCWSTR lpszModuleName, DWORD dwProcessId, LPCWSTR lpszExeFile,
                             int nOwner);
    // The full image path of a process, FALSE when it cannot be opened or read.
    static BOOL GetImagePath(DWORD dwProcessId, LPWSTR lpszPath, DWORD cchPath);

    WCHAR m_szToolPath[MAX_PATH];
};
