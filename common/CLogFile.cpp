#include "CLogFile.h"

#include "Security.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <strsafe.h>

namespace {

// The service's log folder below the common application-data folder, which only administrators
// can alter: SYSTEM and Administrators full control, nothing inherited from above. Users get no
// access at all: one who could open the file, even for reading without sharing, could keep the
// service from writing it.
const WCHAR kServiceFolder[] = L"MirelLog";
const WCHAR kServiceFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Writers take turns by locking one byte far beyond any end a log reaches (CLogFile::TakeTurn),
// trying for about this many milliseconds. A deadline, not a count of sleeps: one Sleep(1) lasts
// a whole timer tick (15.6 ms by default), so 200 of them would take about 3 s.
const DWORD kTurnByteHigh = 0x7FFFFFFF;
const ULONGLONG kTurnWaitMs = 200;

// The owner of an existing folder must be an account no user can act as, or ourselves.
BOOL IsTrustedOwner(PSID pOwner)
{
    if (pOwner == NULL) {
        return FALSE;
    }
    if (::IsWellKnownSid(pOwner, WinLocalSystemSid) || ::IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid)) {
        return TRUE;
    }
    ScopedKernelHandle token;
    BYTE buf[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD cb = 0;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
           ::GetTokenInformation(token.Get(), TokenUser, buf, sizeof(buf), &cb) &&
           ::EqualSid(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, pOwner);
}

// Opens the folder itself (never what a reparse point names) and checks and re-secures it.
BOOL SecureFolder(LPCWSTR lpszFolder, PSECURITY_DESCRIPTOR pSd)
{
    ScopedKernelHandle dir(::CreateFileW(lpszFolder, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                         OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!dir.IsValid() || !::GetFileInformationByHandle(dir.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FALSE;
    }
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pOwnerSd = NULL;
    if (::GetSecurityInfo(dir.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, NULL, NULL,
                          NULL, &pOwnerSd) != ERROR_SUCCESS) {
        return FALSE;
    }
    ScopedLocalMem ownerSd(pOwnerSd);
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    PACL pDacl = NULL;
    if (!IsTrustedOwner(pOwner) || !::GetSecurityDescriptorDacl(pSd, &bPresent, &pDacl, &bDefaulted)) {
        return FALSE;
    }
    return ::SetSecurityInfo(dir.Get(), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL,
                             NULL, pDacl, NULL) == ERROR_SUCCESS;
}

}  // namespace

CLogFile::CLogFile() {}

// Windows appends each write to an append-only handle at the end of the file as one step; Wine
// finds the end apart from the write, so two writers (two applications, or the service and its
// library) can write at the same place and one line replaces the other. Writers therefore take
// turns by an exclusive lock on a byte no log reaches. The lock is only tried for a moment: any
// account may open the shared file, and a process that keeps the lock costs the others their
// turn, never their time.
void CLogFile::TakeTurn()
{
    OVERLAPPED ov = {};
    ov.OffsetHigh = kTurnByteHigh;
    const ULONGLONG ullDeadline = ::GetTickCount64() + kTurnWaitMs;
    while (m_File.IsValid() && !m_bTurn) {
        m_bTurn = ::LockFileEx(m_File.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                               0, 1, 0, &ov) != FALSE;
        if (m_bTurn || ::GetTickCount64() >= ullDeadline) {
            break;
        }
        ::Sleep(1);
    }
}

void CLogFile::Close()
{
    if (m_bTurn) {
        OVERLAPPED ov = {};
        ov.OffsetHigh = kTurnByteHigh;
        ::UnlockFileEx(m_File.Get(), 0, 1, 0, &ov);
        m_bTurn = false;
    }
    m_File.Reset();
}

BOOL CLogFile::PrepareServiceFolder(LPWSTR lpszFolder, size_t cchFolder)
{
    WCHAR szCommon[MAX_PATH];
    if (!::SHGetSpecialFolderPathW(NULL, szCommon, CSIDL_COMMON_APPDATA, FALSE) ||
        FAILED(::StringCchPrintfW(lpszFolder, cchFolder, L"%s\\%s", szCommon, kServiceFolder))) {
        return FALSE;
    }
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceFolderSddl, SDDL_REVISION_1,
                                                                &pSd, NULL)) {
        return FALSE;
    }
    ScopedLocalMem sd(pSd);
    SECURITY_ATTRIBUTES sa = { sizeof(sa), pSd, FALSE };
    if (!::CreateDirectoryW(lpszFolder, &sa) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return FALSE;
    }
    return SecureFolder(lpszFolder, pSd);
}

BOOL CLogFile::Open(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes)
{
    if (!OpenOnce(lpszPath, dwPlace, dwAttributes) ||
        (dwPlace == LOG_PLACE_SERVICE && Size() >= kMaxFileBytes &&
         !RollOver(lpszPath, dwPlace, dwAttributes))) {
        return FALSE;
    }
    TakeTurn();
    if (Size() == 0) {
        static const WCHAR kBom = 0xFEFF;
        DWORD cbWritten = 0;
        ::WriteFile(m_File.Get(), &kBom, sizeof(kBom), &cbWritten, NULL);
    }
    return TRUE;
}

// Full: the one older generation is replaced, and a fresh file begins.
BOOL CLogFile::RollOver(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes)
{
    Close();
    WCHAR szOld[MAX_PATH];
    if (FAILED(::StringCchPrintfW(szOld, ARRAYSIZE(szOld), L"%s.1", lpszPath)) ||
        !::MoveFileExW(lpszPath, szOld, MOVEFILE_REPLACE_EXISTING)) {
        return FALSE;
    }
    return OpenOnce(lpszPath, dwPlace, dwAttributes);
}

// Appending only, shared with other writers and readers. The service's file is opened as the
// name itself, never what it points to, and is kept only when it is a plain file with one link.
BOOL CLogFile::OpenOnce(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes)
{
    const BOOL bService = (dwPlace == LOG_PLACE_SERVICE);
    SECURITY_DESCRIPTOR sd;
    PACL pAcl = NULL;
    SECURITY_ATTRIBUTES sa = { sizeof(sa), &sd, FALSE };
    // The service's file takes its folder's DACL; the shared one is open to every account.
    const bool bShared = !bService && InitSharedFileSecurity(&sd, &pAcl) == ERROR_SUCCESS;
    ScopedLocalMem acl(pAcl);
    // Read access only for the turn's lock (LockFileEx asks for GENERIC_READ or GENERIC_WRITE);
    // without FILE_WRITE_DATA every write is still an append.
    m_File.Reset(::CreateFileW(lpszPath, GENERIC_READ | FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               bShared ? &sa : NULL, OPEN_ALWAYS,
                               dwAttributes | (bService ? FILE_FLAG_OPEN_REPARSE_POINT : 0), NULL));
    if (!m_File.IsValid() || (bService && !IsPlainFile())) {
        Close();
        return FALSE;
    }
    return TRUE;
}

BOOL CLogFile::IsPlainFile() const
{
    BY_HANDLE_FILE_INFORMATION info = {};
    return ::GetFileInformationByHandle(m_File.Get(), &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           info.nNumberOfLinks == 1;
}

LONGLONG CLogFile::Size() const
{
    LARGE_INTEGER size = {};
    return ::GetFileSizeEx(m_File.Get(), &size) ? size.QuadPart : 0;
}

void CLogFile::Append(LPCWSTR lpszLine)
{
    DWORD cbWritten = 0;
    if (m_File.IsValid()) {
        ::WriteFile(m_File.Get(), lpszLine, ::lstrlenW(lpszLine) * sizeof(WCHAR), &cbWritten, NULL);
    }
}
