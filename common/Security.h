// Security attributes for the objects that processes of every account share.
#pragma once

#include <windows.h>

// Fills lpSA with a newly allocated descriptor whose DACL is present but NULL (access for everyone).
DWORD InitNullDaclSecurity(LPSECURITY_ATTRIBUTES lpSA);
// Frees the descriptor that InitNullDaclSecurity allocated and clears the pointer in lpSA.
void ReleaseNullDaclSecurity(LPSECURITY_ATTRIBUTES lpSA);
// Initialises pSD with a DACL granting read and write to LocalSystem, Administrators and Users.
// The caller frees *ppAcl with LocalFree once the descriptor is no longer needed.
DWORD InitSharedFileSecurity(PSECURITY_DESCRIPTOR pSD, PACL* ppAcl);
