// The security descriptors of the named objects this system creates. Each grants full control
// to SYSTEM and the Administrators only and, to everybody else, just what their part needs;
// nobody else may change the DACL or the owner (a NULL DACL would let any user do both).
#pragma once

#include <windows.h>

// What an object is for; it decides the DACL.
enum {
    // The service's pipes: users may connect, read, write data and wait; they may not add pipe
    // instances of the name (FILE_CREATE_PIPE_INSTANCE), nor change the DACL or the owner.
    OBJSEC_SERVICE_PIPE = 0,
    // An application's notification pipe: SYSTEM (the service) and the user who runs it.
    OBJSEC_OWNER_PIPE = 1,
    // A mutex shared with the applications: users may wait for it and release it.
    OBJSEC_SHARED_MUTEX = 2,
    // A mutex of the service alone.
    OBJSEC_SERVICE_MUTEX = 3,
};

class CObjectSecurity {
public:
    CObjectSecurity();
    ~CObjectSecurity();

    // Builds the descriptor for nKind (OBJSEC_...).
    DWORD Initialize(int nKind);
    void Finalize();
    // For the Create... call; valid between Initialize and Finalize.
    LPSECURITY_ATTRIBUTES Get() { return &m_Attributes; }

    // The DACL of nKind in SDDL form, as GetSecurityInfo reads it back from the object.
    static DWORD FormatSddl(int nKind, LPWSTR lpszSddl, size_t cchSddl);

private:
    CObjectSecurity(const CObjectSecurity&) = delete;
    CObjectSecurity& operator=(const CObjectSecurity&) = delete;

    SECURITY_ATTRIBUTES m_Attributes;
};
