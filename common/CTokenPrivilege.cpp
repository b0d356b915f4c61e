#include "CTokenPrivilege.h"

#include "ScopedHandle.h"

CTokenPrivilege::CTokenPrivilege() : m_hToken(NULL), m_bChanged(FALSE)
{
    ZeroMemory(&m_Previous, sizeof(m_Previous));
}

CTokenPrivilege::~CTokenPrivilege()
{
    Restore();
}

namespace {

// A handle of our own to the token to adjust, so that Restore can reach it later.
BOOL OpenToken(HANDLE hToken, PHANDLE phOwn)
{
    if (hToken == NULL) {
        return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, phOwn);
    }
    return ::DuplicateHandle(::GetCurrentProcess(), hToken, ::GetCurrentProcess(), phOwn, 0, FALSE,
                             DUPLICATE_SAME_ACCESS);
}

}  // namespace

DWORD CTokenPrivilege::Enable(LPCWSTR lpszName, HANDLE hToken)
{
    if (lpszName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    Restore();
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(NULL, lpszName, &wanted.Privileges[0].Luid) ||
        !OpenToken(hToken, &m_hToken)) {
        const DWORD dwErr = ::GetLastError();
        CloseAndClear(m_hToken);
        return dwErr;
    }
    DWORD cbPrevious = sizeof(m_Previous);
    // Succeeds even when the token lacks the privilege; only the last error tells (1300).
    if (!::AdjustTokenPrivileges(m_hToken, FALSE, &wanted, sizeof(m_Previous), &m_Previous,
                                 &cbPrevious)) {
        const DWORD dwErr = ::GetLastError();
        CloseAndClear(m_hToken);
        return dwErr;
    }
    const DWORD dwErr = ::GetLastError();
    if (dwErr != ERROR_SUCCESS) {
        CloseAndClear(m_hToken);
        return dwErr;
    }
    m_bChanged = TRUE;
    return ERROR_SUCCESS;
}

void CTokenPrivilege::Restore()
{
    // m_Previous lists nothing when the privilege was enabled already.
    if (m_bChanged && m_Previous.PrivilegeCount != 0) {
        ::AdjustTokenPrivileges(m_hToken, FALSE, &m_Previous, 0, NULL, NULL);
    }
    m_bChanged = FALSE;
    ZeroMemory(&m_Previous, sizeof(m_Previous));
    CloseAndClear(m_hToken);
}
