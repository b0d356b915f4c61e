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

DWORD CTokenPrivilege::Enable(LPCWSTR lpszName)
{
    if (lpszName == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    Restore();
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(NULL, lpszName, &wanted.Privileges[0].Luid) ||
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &m_hToken)) {
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
