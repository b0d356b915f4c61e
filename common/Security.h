// Security attributes for the objects that processes of every account share.
#pragma once

#include <windows.h>

// Initialises pSD with a DACL granting read and write to LocalSystem, Administrators and Users.
// The caller frees *ppAcl with LocalFree once the descriptor is no longer needed.
DWORD InitSharedFileSecurity(PSECURITY_DESCRIPTOR pSD, PACL* ppAcl);
