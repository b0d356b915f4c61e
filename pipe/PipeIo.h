// Bounded overlapped reads and writes on a pipe handle, shared by both ends of a channel.
#pragma once

#include <windows.h>

namespace pipeio {

// One overlapped read or write on hFile, with hEvent (manual-reset) for its completion. The wait
// ends early when hAbortEvent is signalled (995) or after dwTimeoutMs (121); the operation is
// then cancelled before its buffer is given back to the caller.
DWORD ReadWithin(HANDLE hFile, HANDLE hEvent, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                 DWORD dwTimeoutMs, LPDWORD lpdwDone);
DWORD WriteWithin(HANDLE hFile, HANDLE hEvent, LPCVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                  DWORD dwTimeoutMs);
// Milliseconds left until ullDeadline (a GetTickCount64 value); 0 once it has passed.
DWORD RemainingMs(ULONGLONG ullDeadline);

}  // namespace pipeio
