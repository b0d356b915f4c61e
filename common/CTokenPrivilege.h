// One privilege, enabled for as long as the object lives: privileges such as the shutdown right
// are held disabled and must be enabled before the call that needs them. By default it is enabled
// in a token of the calling thread alone, so that two threads that need it at once (a drill and a
// real loss) never disable it for each other through the shared process token.
#pragma once

#include <windows.h>

class CTokenPrivilege {
public:
    CTokenPrivilege();
    // Puts the privilege back into the state Enable found it in.
    ~CTokenPrivilege();

    // Enables lpszName (an SE_..._NAME) in hToken (opened with TOKEN_ADJUST_PRIVILEGES and
    // TOKEN_QUERY; the caller keeps it). When hToken is NULL the calling thread gets a token of its
    // own (ImpersonateSelf, unless it impersonates already) and the call that needs the privilege
    // must run on this thread before Restore, which must run on it too (RevertToSelf).
    // 1300 (ERROR_NOT_ALL_ASSIGNED) when the token does not hold it at all; otherwise 0 or the
    // failing call's code.
    DWORD Enable(LPCWSTR lpszName, HANDLE hToken = NULL);
    void Restore();

private:
    CTokenPrivilege(const CTokenPrivilege&) = delete;
    CTokenPrivilege& operator=(const CTokenPrivilege&) = delete;

    DWORD OpenToken(HANDLE hToken);

    HANDLE m_hToken;
    TOKEN_PRIVILEGES m_Previous;
    BOOL m_bChanged;
    // The thread impersonates itself for this object: Restore reverts it.
    BOOL m_bImpersonating;
};
