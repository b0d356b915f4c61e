// One privilege of this process's token, enabled for as long as the object lives: privileges such
// as the shutdown right are held disabled and must be enabled before the call that needs them.
#pragma once

#include <windows.h>

class CTokenPrivilege {
public:
    CTokenPrivilege();
    // Puts the privilege back into the state Enable found it in.
    ~CTokenPrivilege();

    // Enables lpszName (an SE_..._NAME) in hToken (opened with TOKEN_ADJUST_PRIVILEGES and
    // TOKEN_QUERY; the caller keeps it), or in the process token when hToken is NULL.
    // 1300 (ERROR_NOT_ALL_ASSIGNED) when the token does not hold it at all; otherwise 0 or the
    // failing call's code.
    DWORD Enable(LPCWSTR lpszName, HANDLE hToken = NULL);
    void Restore();

private:
    CTokenPrivilege(const CTokenPrivilege&) = delete;
    CTokenPrivilege& operator=(const CTokenPrivilege&) = delete;

    HANDLE m_hToken;
    TOKEN_PRIVILEGES m_Previous;
    BOOL m_bChanged;
};
