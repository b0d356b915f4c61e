#include "CObjectSecurity.h"

#include "ScopedHandle.h"

#include <sddl.h>
#include <strsafe.h>

namespace {

// Full control for SYSTEM and the Administrators (FILE_ALL_ACCESS, MUTEX_ALL_ACCESS), and for the
// users (BU), interactive (IU) and authenticated (AU) accounts: FILE_GENERIC_READ |
// FILE_WRITE_DATA (0x12008b) on a service pipe, SYNCHRONIZE | MUTEX_MODIFY_STATE (0x100001) on a
// shared mutex. Protected (P): nothing is inherited. Rights are given specific, not generic, so
// that the object keeps exactly these.
const WCHAR kServicePipe[] =
    L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008b;;;BU)(A;;0x12008b;;;IU)(A;;0x12008b;;;AU)";
const WCHAR kOwnerPipeFormat[] = L"D:P(A;;FA;;;SY)(A;;FA;;;%s)";
const WCHAR kSharedMutex[] =
    L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100001;;;BU)(A;;0x100001;;;IU)(A;;0x100001;;;AU)";
const WCHAR kServiceMutex[] = L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)";

// The SID of the user this process runs as, in string form (the token user, not an impersonated
// one: the pipe belongs to the process).
DWORD FormatProcessUser(LPWSTR lpszSid, size_t cchSid)
{
    ScopedKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        return ::GetLastError();
    }
    BYTE buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cb = 0;
    LPWSTR lpszString = NULL;
    if (!::GetTokenInformation(token.Get(), TokenUser, buf, sizeof(buf), &cb) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &lpszString)) {
        return ::GetLastError();
    }
    ScopedLocalMem owned(lpszString);
    return SUCCEEDED(::StringCchCopyW(lpszSid, cchSid, lpszString)) ? ERROR_SUCCESS
                                                                     : ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

CObjectSecurity::CObjectSecurity()
{
    ZeroMemory(&m_Attributes, sizeof(m_Attributes));
}

CObjectSecurity::~CObjectSecurity()
{
    Finalize();
}

DWORD CObjectSecurity::FormatSddl(int nKind, LPWSTR lpszSddl, size_t cchSddl)
{
    if (lpszSddl == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    LPCWSTR lpszFixed = NULL;
    switch (nKind) {
    case OBJSEC_SERVICE_PIPE: lpszFixed = kServicePipe; break;
    case OBJSEC_SHARED_MUTEX: lpszFixed = kSharedMutex; break;
    case OBJSEC_SERVICE_MUTEX: lpszFixed = kServiceMutex; break;
    case OBJSEC_OWNER_PIPE: break;
    default: return ERROR_INVALID_PARAMETER;
    }
    if (lpszFixed != NULL) {
        return SUCCEEDED(::StringCchCopyW(lpszSddl, cchSddl, lpszFixed)) ? ERROR_SUCCESS
                                                                         : ERROR_INSUFFICIENT_BUFFER;
    }
    WCHAR szUser[SECURITY_MAX_SID_SIZE * 4];
    const DWORD dwRet = FormatProcessUser(szUser, ARRAYSIZE(szUser));
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    return SUCCEEDED(::StringCchPrintfW(lpszSddl, cchSddl, kOwnerPipeFormat, szUser))
               ? ERROR_SUCCESS
               : ERROR_INSUFFICIENT_BUFFER;
}

DWORD CObjectSecurity::Initialize(int nKind)
{
    Finalize();
    WCHAR szSddl[256];
    DWORD dwRet = FormatSddl(nKind, szSddl, ARRAYSIZE(szSddl));
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    PSECURITY_DESCRIPTOR pSD = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(szSddl, SDDL_REVISION_1, &pSD, NULL)) {
        return ::GetLastError();
    }
    m_Attributes.nLength = sizeof(m_Attributes);
    m_Attributes.lpSecurityDescriptor = pSD;
    m_Attributes.bInheritHandle = FALSE;
    return ERROR_SUCCESS;
}

void CObjectSecurity::Finalize()
{
    if (m_Attributes.lpSecurityDescriptor != NULL) {
        ::LocalFree(m_Attributes.lpSecurityDescriptor);
    }
    ZeroMemory(&m_Attributes, sizeof(m_Attributes));
}
