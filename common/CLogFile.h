// One opening of the debug log's file, for a batch of lines. The service's file lives in a folder
// of its own whose DACL only SYSTEM and Administrators can change, and is written only when it is
// a plain file (no reparse point is followed, no file with a second link); it is capped in size
// with one rollover. Any other process appends to the shared file as before.
#pragma once

#include "ScopedHandle.h"

#include <windows.h>

// Where a module's lines go (CLog::Initialize).
const DWORD LOG_PLACE_SHARED = 0;   // the common application-data folder, shared by every account
const DWORD LOG_PLACE_SERVICE = 1;  // the service's own protected folder below it

class CLogFile {
public:
    CLogFile();
    ~CLogFile() { Close(); }

    // Opens lpszPath for appending (created with dwAttributes when missing) and takes this
    // writer's turn at its end; FALSE when it cannot be opened, or, for the service's file, is
    // not a plain file of its own.
    BOOL Open(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes);
    void Append(LPCWSTR lpszLine);
    void Close();

    // The service's log folder, created or re-secured: owned by SYSTEM, Administrators or this
    // process's own account, not a reparse point, with the protected DACL. FALSE when unusable.
    static BOOL PrepareServiceFolder(LPWSTR lpszFolder, size_t cchFolder);
    // Bytes after which the service's file is rolled over to "<name>.1".
    static const LONGLONG kMaxFileBytes = 4 * 1024 * 1024;

private:
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    BOOL OpenOnce(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes);
    BOOL RollOver(LPCWSTR lpszPath, DWORD dwPlace, DWORD dwAttributes);
    // Waits a moment for this writer's turn at the end of the file; held until Close.
    void TakeTurn();
    BOOL IsPlainFile() const;
    LONGLONG Size() const;

    ScopedKernelHandle m_File;
    bool m_bTurn = false;
};
