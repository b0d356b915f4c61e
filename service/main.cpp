// The service program: installs, removes, starts and stops the service from the command line
// (leaving the result in CheckKey.txt), or runs as the service itself.
#include "CLog.h"
#include "CServiceCtrl.h"
#include "CSettings.h"
#include "resource.h"

#include <shlobj.h>
#include <stdio.h>
#include <strsafe.h>

namespace {

const WCHAR kServiceName[] = MIREL_SERVICE_NAME;

// Loads a string resource of this program; 0 or the error code.
DWORD LoadText(UINT uId, LPWSTR lpszBuf, int cchBuf)
{
    if (::LoadStringW(::GetModuleHandleW(NULL), uId, lpszBuf, cchBuf) > 0) {
        return ERROR_SUCCESS;
    }
    const DWORD dwErr = ::GetLastError();
    LOG_TRACE(LOG_EVENT, L"wmain", L"LoadString Failed. Error: %d.", dwErr);
    return dwErr != ERROR_SUCCESS ? dwErr : ERROR_RESOURCE_NAME_NOT_FOUND;
}

// Leaves a command's result in the caller's local application-data folder; an install (for the
// installer) and a drill (for whoever asked for it) keep the file.
void WriteResultFile(DWORD dwResult, bool bKeep)
{
    WCHAR szFolder[MAX_PATH];
    WCHAR szPath[MAX_PATH] = L"";
    if (::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_LOCAL_APPDATA, FALSE)) {
        ::StringCchPrintfW(szPath, ARRAYSIZE(szPath), L"%s\\%s", szFolder, L"CheckKey.txt");
    }
    if (szPath[0] == L'\0') {
        return;
    }
    FILE* fp = _wfopen(szPath, L"w");
    if (fp != NULL) {
        fprintf(fp, "%d", static_cast<int>(dwResult));
        fclose(fp);
    }
    if (!bKeep) {
        ::DeleteFileW(szPath);
    }
}

DWORD RunService(CServiceCtrl& service)
{
    const DWORD dwRet = service.InitializeWatchData();
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    service.ServiceEntry();
    service.FinalizeWatchData();
    // Non-zero only when the service could not start (the library or its events failed, say).
    return service.GetExitCode();
}

DWORD Run(int argc, wchar_t** argv)
{
    WCHAR szDisplayName[100];
    WCHAR szDescription[100];
    DWORD dwRet = LoadText(IDS_DISPLAY_NAME, szDisplayName, ARRAYSIZE(szDisplayName));
    if (dwRet == ERROR_SUCCESS) {
        dwRet = LoadText(IDS_DESCRIPTION, szDescription, ARRAYSIZE(szDescription));
    }
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    CServiceCtrl service;
    dwRet = service.Initialize(kServiceName, szDisplayName, szDescription, NULL, 0);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    DWORD dwResult = 0;
    if (service.ArgCheck(static_cast<DWORD>(argc), argv, &dwResult)) {
        service.Finalize();
        WriteResultFile(dwResult, ::lstrcmpiW(argv[1], L"/Install") == 0 ||
                                      ::lstrcmpiW(argv[1], L"/DRILL") == 0);
        return ERROR_SUCCESS;
    }
    dwRet = RunService(service);
    service.Finalize();
    return dwRet;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    g_Log.Initialize(MIREL_DBGLOG_KEY, LOG_PLACE_SERVICE);
    const DWORD dwRet = Run(argc, argv);
    g_Log.Finalize();
    return static_cast<int>(dwRet);
}
