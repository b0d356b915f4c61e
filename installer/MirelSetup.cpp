// Custom actions of the installer package. The service is installed through the service program's
// own command line: that path takes the display name and description from the program's string
// resources and sets the recovery actions, which the package tables cannot express. The program
// always exits with 0; a command's result comes back in its result file.
#include "CSettings.h"
#include "CUpsConfig.h"
#include "ScopedHandle.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>
#include <strsafe.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const DWORD kCommandTimeoutMs = 120000;
// A stopping service drains its applications for up to a minute; this leaves it room beyond that.
const DWORD kServiceExitTimeoutMs = 90000;

// Writes a line to the installer's log.
void LogLine(MSIHANDLE hInstall, LPCWSTR lpszText)
{
    PMSIHANDLE hRecord = ::MsiCreateRecord(0);
    ::MsiRecordSetStringW(hRecord, 0, lpszText);
    ::MsiProcessMessage(hInstall, INSTALLMESSAGE_INFO, hRecord);
}

// The result file of the service program, in this account's local application-data folder.
bool ResultFilePath(LPWSTR lpszPath, size_t cchPath)
{
    WCHAR szFolder[MAX_PATH];
    return ::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_LOCAL_APPDATA, FALSE) &&
           SUCCEEDED(::StringCchPrintfW(lpszPath, cchPath, L"%s\\CheckKey.txt", szFolder));
}

// The number the program left in the file; ERROR_FILE_NOT_FOUND when it left none.
DWORD ReadResult(LPCWSTR lpszPath)
{
    FILE* fp = _wfopen(lpszPath, L"r");
    if (fp == NULL) {
        return ERROR_FILE_NOT_FOUND;
    }
    int nResult = 0;
    const bool bRead = fscanf(fp, "%d", &nResult) == 1;
    fclose(fp);
    return bRead ? static_cast<DWORD>(nResult) : ERROR_INVALID_DATA;
}

// Runs the program with the given command and waits for it. The program's own path follows the
// command: "/INSTALL" installs that file, the other commands ignore it.
DWORD RunProgram(LPCWSTR lpszProgram, LPCWSTR lpszCommand)
{
    WCHAR szCmdLine[2 * MAX_PATH + 32];
    if (FAILED(::StringCchPrintfW(szCmdLine, ARRAYSIZE(szCmdLine), L"\"%s\" %s \"%s\"",
                                  lpszProgram, lpszCommand, lpszProgram))) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    STARTUPINFOW si = { sizeof(si) };
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(lpszProgram, szCmdLine, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL,
                          &si, &pi)) {
        return ::GetLastError();
    }
    const DWORD dwWait = ::WaitForSingleObject(pi.hProcess, kCommandTimeoutMs);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return dwWait == WAIT_OBJECT_0 ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

// Whether the program lies inside the Program Files folder, whose DACL lets only SYSTEM and the
// Administrators write: the service runs it as LocalSystem, so a folder any user can write to
// (an INSTALLDIR elsewhere) would let that user replace it.
bool InProgramFiles(LPCWSTR lpszProgram)
{
    WCHAR szFolder[MAX_PATH];
    WCHAR szFull[MAX_PATH];
    if (!::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_PROGRAM_FILES, FALSE) ||
        FAILED(::StringCchCatW(szFolder, ARRAYSIZE(szFolder), L"\\"))) {
        return false;
    }
    // Resolved first, so that "..\" cannot climb out again.
    const DWORD cchFull = ::GetFullPathNameW(lpszProgram, ARRAYSIZE(szFull), szFull, NULL);
    const size_t cchFolder = wcslen(szFolder);
    if (cchFull == 0 || cchFull >= ARRAYSIZE(szFull) || cchFull <= cchFolder) {
        return false;
    }
    return ::CompareStringOrdinal(szFull, static_cast<int>(cchFolder), szFolder,
                                  static_cast<int>(cchFolder), TRUE) == CSTR_EQUAL;
}

// Carries out one command of the service program; its result file decides.
UINT ServiceCommand(MSIHANDLE hInstall, LPCWSTR lpszCommand)
{
    WCHAR szProgram[MAX_PATH];
    DWORD cchProgram = ARRAYSIZE(szProgram);
    WCHAR szResultFile[MAX_PATH];
    if (::MsiGetPropertyW(hInstall, L"CustomActionData", szProgram, &cchProgram) != ERROR_SUCCESS ||
        szProgram[0] == L'\0' || !ResultFilePath(szResultFile, ARRAYSIZE(szResultFile))) {
        LogLine(hInstall, L"MIRELSVC: no program path.");
        return ERROR_INSTALL_FAILURE;
    }
    if (!InProgramFiles(szProgram)) {
        LogLine(hInstall, L"MIRELSVC: the install folder must lie inside Program Files.");
        return ERROR_INSTALL_FAILURE;
    }
    ::DeleteFileW(szResultFile);
    DWORD dwResult = RunProgram(szProgram, lpszCommand);
    if (dwResult == ERROR_SUCCESS) {
        dwResult = ReadResult(szResultFile);
        ::DeleteFileW(szResultFile);
    }
    WCHAR szLine[128];
    ::StringCchPrintfW(szLine, ARRAYSIZE(szLine), L"MIRELSVC %s: result %u", lpszCommand, dwResult);
    LogLine(hInstall, szLine);
    return dwResult == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The process of the service once it was asked to stop; empty when there is none to wait for.
// A service that runs on (not asked to stop) is not waited for either.
ScopedKernelHandle StoppingServiceProcess()
{
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    ScopedScHandle service(::OpenServiceW(scm.Get(), MIREL_SERVICE_NAME, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD cbNeeded = 0;
    if (!service.IsValid() ||
        !::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&status), sizeof(status), &cbNeeded) ||
        status.dwProcessId == 0 ||
        (status.dwCurrentState != SERVICE_STOP_PENDING && status.dwCurrentState != SERVICE_STOPPED)) {
        return ScopedKernelHandle();
    }
    return ScopedKernelHandle(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
}

// Deletes a key that holds nothing any more; one with values or subkeys stays as it is.
void DeleteIfEmpty(LPCWSTR lpszKey)
{
    ScopedRegKey key;
    DWORD dwSubKeys = 0;
    DWORD dwValues = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpszKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put()) ==
            ERROR_SUCCESS &&
        ::RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, &dwSubKeys, NULL, NULL, &dwValues, NULL, NULL,
                           NULL, NULL) == ERROR_SUCCESS &&
        dwSubKeys == 0 && dwValues == 0) {
        key.Reset();
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, lpszKey, KEY_WOW64_64KEY, 0);
    }
}

}  // namespace

// Deferred, at a removal that is not part of an upgrade: the network UPS's password goes with the
// product (an upgrade keeps it), and so do the keys above it where nothing else is left in them.
extern "C" UINT __stdcall ForgetUpsCredentials(MSIHANDLE hInstall)
{
    const LONG lRet = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, MIREL_UPS_CREDENTIALS_KEY);
    if (lRet != ERROR_SUCCESS && lRet != ERROR_FILE_NOT_FOUND) {
        LogLine(hInstall, L"MIRELSVC: the network UPS's credentials could not be removed.");
    }
    DeleteIfEmpty(MIREL_SETTINGS_KEY);
    DeleteIfEmpty(L"Software\\Orvane");
    return ERROR_SUCCESS;
}

// Deferred, after the package's stop request: waits until the service's process has ended, so
// that its files can be replaced or removed. The package's own wait gives up after 30 s, and a
// service still draining its applications would leave a program file in use behind it.
// Never fails the package: a process that outlives the wait is logged, and the file in use is
// then handled as any other.
extern "C" UINT __stdcall AwaitServiceExit(MSIHANDLE hInstall)
{
    const ScopedKernelHandle process = StoppingServiceProcess();
    if (process.IsValid() &&
        ::WaitForSingleObject(process.Get(), kServiceExitTimeoutMs) != WAIT_OBJECT_0) {
        LogLine(hInstall, L"MIRELSVC: the stopped service's process has not ended.");
    }
    return ERROR_SUCCESS;
}

// Deferred: registers the service (automatic start, recovery actions); the package starts it.
extern "C" UINT __stdcall InstallService(MSIHANDLE hInstall)
{
    return ServiceCommand(hInstall, L"/INSTALL");
}

// Rollback of InstallService: stops and removes the registration again. Never fails the rollback:
// a service that is not there any more is what it wants.
extern "C" UINT __stdcall UninstallService(MSIHANDLE hInstall)
{
    ServiceCommand(hInstall, L"/UNINSTALL");
    return ERROR_SUCCESS;
}
