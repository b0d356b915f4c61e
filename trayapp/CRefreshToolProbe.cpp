#include "CRefreshToolProbe.h"

#include "CLog.h"
#include "ScopedHandle.h"

#include <shlobj.h>
#include <strsafe.h>
#include <tlhelp32.h>
#include <wchar.h>

namespace {

const WCHAR kRefreshToolSubPath[] = L"\\ORVANEBATT\\Pellwick.exe";
const WCHAR kRefreshToolDefaultPath[] = L"C:\\Program Files\\ORVANEBATT\\Pellwick.exe";

LPCWSTR FileNameOf(LPCWSTR lpszPath)
{
    LPCWSTR lpszName = wcsrchr(lpszPath, L'\\');
    return lpszName != NULL ? lpszName + 1 : lpszPath;
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

// A snapshot lists every process with its image name, whoever runs it; the full path is read
// where this user may (the limited query right suffices, the tool's memory is not read).
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
    ScopedKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = { sizeof(entry) };
    if (!snapshot.IsValid() || !::Process32FirstW(snapshot.Get(), &entry)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to CreateToolhelp32Snapshot() dwRet: %d", ::GetLastError());
        return FALSE;
    }
    do {
        // Only a process of the tool's name is opened.
        if (_wcsicmp(entry.szExeFile, FileNameOf(lpszModuleName)) != 0) {
            continue;
        }
        WCHAR szPath[MAX_PATH];
        const BOOL bOpened = GetImagePath(entry.th32ProcessID, szPath, ARRAYSIZE(szPath));
        if (IsTool(lpszModuleName, bOpened ? szPath : NULL, entry.szExeFile)) {
            return TRUE;
        }
    } while (::Process32NextW(snapshot.Get(), &entry));
    return FALSE;
}

BOOL CRefreshToolProbe::IsTool(LPCWSTR lpszModuleName, LPCWSTR lpszFullPath, LPCWSTR lpszExeFile)
{
    if (lpszFullPath != NULL) {
        return _wcsicmp(lpszFullPath, lpszModuleName) == 0;
    }
    return lpszExeFile != NULL && _wcsicmp(lpszExeFile, FileNameOf(lpszModuleName)) == 0;
}

BOOL CRefreshToolProbe::GetImagePath(DWORD dwProcessId, LPWSTR lpszPath, DWORD cchPath)
{
    ScopedKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
    return process.IsValid() && ::QueryFullProcessImageNameW(process.Get(), 0, lpszPath, &cchPath);
}
