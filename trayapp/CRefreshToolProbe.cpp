#include "CRefreshToolProbe.h"

#include "CLog.h"
#include "ScopedHandle.h"

#include <shlobj.h>
#include <strsafe.h>
#include <tlhelp32.h>
#include <wchar.h>
#include <wtsapi32.h>

namespace {

const WCHAR kRefreshToolSubPath[] = L"\\ORVANEBATT\\Pellwick.exe";
const WCHAR kRefreshToolDefaultPath[] = L"C:\\Program Files\\ORVANEBATT\\Pellwick.exe";

struct WtsMemTraits {
    typedef PVOID Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::WTSFreeMemory(h); }
};
typedef CScopedHandle<WtsMemTraits> ScopedWtsMem;

LPCWSTR FileNameOf(LPCWSTR lpszPath)
{
    LPCWSTR lpszName = wcsrchr(lpszPath, L'\\');
    return lpszName != NULL ? lpszName + 1 : lpszPath;
}

// The user of this process (its token's, not an impersonated one) into buf; NULL when unknown.
PSID ProcessUser(BYTE* pBuf, DWORD cbBuf)
{
    ScopedKernelHandle token;
    DWORD cb = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()) ||
        !::GetTokenInformation(token.Get(), TokenUser, pBuf, cbBuf, &cb)) {
        return NULL;
    }
    return reinterpret_cast<TOKEN_USER*>(pBuf)->User.Sid;
}

}  // namespace

CRefreshToolProbe::CRefreshToolProbe()
{
    WCHAR szFolder[MAX_PATH];
    if (!::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_PROGRAM_FILES, FALSE) ||
        FAILED(::StringCchPrintfW(m_szToolPath, ARRAYSIZE(m_szToolPath), L"%s%s", szFolder,
                                  kRefreshToolSubPath))) {
        ::StringCchCopyW(m_szToolPath, ARRAYSIZE(m_szToolPath), kRefreshToolDefaultPath);
    }
}

// The session manager's process list names every process with its user, whoever runs it, without
// opening it; the full path is read where this user may (the limited query right suffices, the
// tool's memory is not read).
BOOL CRefreshToolProbe::IsRunning(LPCWSTR lpszModuleName) const
{
    LOG_FUNCTION(L"CRefreshToolProbe::IsRunning");
    if (lpszModuleName == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"lpszModuleName");
        return FALSE;
    }
    if (lpszModuleName[0] == L'\0') {
        return FALSE;
    }
    PWTS_PROCESS_INFOW pList = NULL;
    DWORD dwCount = 0;
    if (!::WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pList, &dwCount)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to WTSEnumerateProcesses() dwRet: %d", ::GetLastError());
        return IsRunningBySnapshot(lpszModuleName);
    }
    ScopedWtsMem list(pList);
    BYTE bySelf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    const PSID pSelf = ProcessUser(bySelf, sizeof(bySelf));
    for (DWORD i = 0; i < dwCount; ++i) {
        if (pList[i].pProcessName != NULL &&
            IsListedTool(lpszModuleName, pList[i].ProcessId, pList[i].pProcessName,
                         OwnerOf(pList[i].pUserSid, pSelf))) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CRefreshToolProbe::IsRunningBySnapshot(LPCWSTR lpszModuleName)
{
    LOG_FUNCTION(L"CRefreshToolProbe::IsRunningBySnapshot");
    ScopedKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = { sizeof(entry) };
    if (!snapshot.IsValid() || !::Process32FirstW(snapshot.Get(), &entry)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to CreateToolhelp32Snapshot() dwRet: %d", ::GetLastError());
        return FALSE;
    }
    do {
        if (IsListedTool(lpszModuleName, entry.th32ProcessID, entry.szExeFile, OWNER_UNKNOWN)) {
            return TRUE;
        }
    } while (::Process32NextW(snapshot.Get(), &entry));
    return FALSE;
}

BOOL CRefreshToolProbe::IsListedTool(LPCWSTR lpszModuleName, DWORD dwProcessId,
                                     LPCWSTR lpszExeFile, int nOwner)
{
    // Only a process of the tool's name is opened.
    if (_wcsicmp(lpszExeFile, FileNameOf(lpszModuleName)) != 0) {
        return FALSE;
    }
    WCHAR szPath[MAX_PATH];
    const BOOL bRead = GetImagePath(dwProcessId, szPath, ARRAYSIZE(szPath));
    return IsTool(lpszModuleName, bRead ? szPath : NULL, lpszExeFile, nOwner);
}

BOOL CRefreshToolProbe::IsTool(LPCWSTR lpszModuleName, LPCWSTR lpszFullPath, LPCWSTR lpszExeFile,
                               int nOwner)
{
    if (lpszFullPath != NULL) {
        return _wcsicmp(lpszFullPath, lpszModuleName) == 0;
    }
    // Not readable: only a process no other user can have started counts by its name.
    return (nOwner == OWNER_SELF || nOwner == OWNER_SYSTEM) && lpszExeFile != NULL &&
           _wcsicmp(lpszExeFile, FileNameOf(lpszModuleName)) == 0;
}

int CRefreshToolProbe::OwnerOf(PSID pUser, PSID pSelf)
{
    if (pUser == NULL || !::IsValidSid(pUser)) {
        return OWNER_UNKNOWN;
    }
    if (::IsWellKnownSid(pUser, WinLocalSystemSid)) {
        return OWNER_SYSTEM;
    }
    return (pSelf != NULL && ::EqualSid(pUser, pSelf)) ? OWNER_SELF : OWNER_OTHER;
}

BOOL CRefreshToolProbe::GetImagePath(DWORD dwProcessId, LPWSTR lpszPath, DWORD cchPath)
{
    ScopedKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
    return process.IsValid() && ::QueryFullProcessImageNameW(process.Get(), 0, lpszPath, &cchPath);
}
