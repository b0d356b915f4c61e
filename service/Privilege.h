// Enabling a privilege in a token: a privilege must be both held and enabled before the call that
// needs it (the hibernation call needs SE_SHUTDOWN_NAME).
#pragma once

#include <windows.h>

// Enables lpszPrivilege in hToken (opened with TOKEN_ADJUST_PRIVILEGES). 0 when it is enabled;
// ERROR_NOT_ALL_ASSIGNED when the token does not hold it; otherwise the failing call's error.
DWORD EnableTokenPrivilege(HANDLE hToken, LPCWSTR lpszPrivilege);
// The same for the token of this process.
DWORD EnableProcessPrivilege(LPCWSTR lpszPrivilege);
