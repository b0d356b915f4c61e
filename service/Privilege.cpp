#include "Privilege.h"

#include "ScopedHandle.h"

DWORD EnableTokenPrivilege(HANDLE hToken, LPCWSTR lpszPrivilege)
{
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(NULL, lpszPrivilege, &privileges.Privileges[0].Luid)) {
        return ::GetLastError();
    }
    // Succeeds also when the token lacks the privilege; only the last error tells.
    if (!::AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, NULL, NULL)) {
        return ::GetLastError();
    }
    return ::GetLastError();
}

DWORD EnableProcessPrivilege(LPCWSTR lpszPrivilege)
{
    ScopedKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                            token.Put())) {
        return ::GetLastError();
    }
    return EnableTokenPrivilege(token.Get(), lpszPrivilege);
}
