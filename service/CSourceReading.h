// One reading of the power source in use, taken on a thread of the system's pool. The library
// reads the device for it, and a device may hang: the caller waits for the reading and for its
// own end, whichever comes first, and may leave; a reading left behind ends on its own and frees
// what it shares with the caller.
#pragma once

#include "MIRELAPI.h"

#include <windows.h>

class CSourceReading {
public:
    // Fills *pSource (cbSize set by the caller). ERROR_OPERATION_ABORTED as soon as hAbort is
    // set, ERROR_TIMEOUT after dwCeilingMs, else the library's result or a failure to start.
    static DWORD Read(HANDLE hAbort, DWORD dwCeilingMs, LPWATCHSOURCE pSource);

private:
    struct Shared;
    static DWORD WINAPI Work(LPVOID lpData);
    static void Release(Shared* pShared);
};
