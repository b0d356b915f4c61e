#include "CTokenPrivilege.h"

#include "ScopedHandle.h"

namespace {

const DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

}  // namespace

CTokenPrivilege::CTokenPrivilege() : m_hToken(NULL), m_bChanged(FALSE), m_bImpersonating(FALSE)
{
    ZeroMemory(&m_Previous, sizeof(m_Previous));
}

CTokenPrivilege::~CTokenPrivilege()
{
    Restore();
}

// A handle of our own to the token to adjust, so that Restore can reach it later. Without a token
// from the caller: the thread's impersonation token, made for this object unless the thread
// already has one. 0 or the error.
DWORD CTokenPrivilege::OpenToken(HANDLE hToken)
{
    if (hToken != NULL) {
        return ::DuplicateHandle(::GetCurrentProcess(), hToken, ::GetCurrentProcess(), &m_hToken, 0,
                                 FALSE, DUPLICATE_SAME_ACCESS)
                   ? ERROR_SUCCESS
                   : ::GetLastError();
    }
    if (::OpenThreadToken(::GetCurrentThread(), kTokenAccess, TRUE, &m_hToken)) {
        return ERROR_SUCCESS;
    }
    if (::GetLastError() != ERROR_NO_TOKEN) {
        return ::GetLastError();
    }
    if (!::ImpersonateSelf(SecurityImpersonation)) {
        return ::GetLastError();
    }
    m_bImpersonating = TRUE;
    return ::OpenThreadToken(::GetCurrentThread(), kTokenAccess, TRUE, &m_hToken) ? ERROR_SUCCESS
                                                                                   : ::GetLastError();
}

DWORD CTokenPrivilege::Enable(LPCWSTR lpszName, HANDLE hToken)
{
    if (lpszName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    Restore();
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD dwErr = ::LookupPrivilegeValueW(NULL, lpszName, &wanted.Privileges[0].Luid)
                      ? OpenToken(hToken)
                      : ::GetLastError();
    DWORD cbPrevious = sizeof(m_Previous);
    // Succeeds even when the token lacks the privilege: the last error tells either way (1300).
    if (dwErr == ERROR_SUCCESS) {
        ::AdjustTokenPrivileges(m_hToken, FALSE, &wanted, sizeof(m_Previous), &m_Previous, &cbPrevious);
        dwErr = ::GetLastError();
    }
    if (dwErr != ERROR_SUCCESS) {
        ZeroMemory(&m_Previous, sizeof(m_Previous));
        Restore();
        return dwErr;
    }
    m_bChanged = TRUE;
    return ERROR_SUCCESS;
}

void CTokenPrivilege::Restore()
{
    // m_Previous lists nothing when the privilege was enabled already. A token made for this
    // object goes with the impersonation, its privileges with it.
    if (m_bChanged && m_Previous.PrivilegeCount != 0 && !m_bImpersonating) {
        ::AdjustTokenPrivileges(m_hToken, FALSE, &m_Previous, 0, NULL, NULL);
    }
    if (m_bImpersonating) {
        ::RevertToSelf();
        m_bImpersonating = FALSE;
    }
    m_bChanged = FALSE;
    ZeroMemory(&m_Previous, sizeof(m_Previous));
    CloseAndClear(m_hToken);
}
