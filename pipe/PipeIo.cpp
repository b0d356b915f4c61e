#include "PipeIo.h"

namespace {

// Completes an overlapped operation that ReadFile/WriteFile started (bStarted is their result).
// The wait ends early when hAbortEvent is signalled (995) or after dwTimeoutMs (121); the
// operation is then cancelled before its buffer is given back to the caller.
DWORD FinishIo(HANDLE hFile, BOOL bStarted, OVERLAPPED* pOv, HANDLE hAbortEvent, DWORD dwTimeoutMs,
               LPDWORD lpdwDone)
{
    *lpdwDone = 0;
    if (!bStarted) {
        const DWORD dwErr = ::GetLastError();
        if (dwErr != ERROR_IO_PENDING) {
            return dwErr;
        }
        HANDLE waits[2] = { pOv->hEvent, hAbortEvent };
        const DWORD dwWait = ::WaitForMultipleObjects(hAbortEvent != NULL ? 2 : 1, waits, FALSE,
                                                      dwTimeoutMs);
        if (dwWait != WAIT_OBJECT_0) {
            const DWORD dwWaitErr = (dwWait == WAIT_FAILED) ? ::GetLastError() : 0;
            ::CancelIoEx(hFile, pOv);
            if (::GetOverlappedResult(hFile, pOv, lpdwDone, TRUE)) {
                return ERROR_SUCCESS;  // it completed before the cancel took hold
            }
            if (dwWait == WAIT_OBJECT_0 + 1) {
                return ERROR_OPERATION_ABORTED;
            }
            return (dwWait == WAIT_TIMEOUT) ? ERROR_SEM_TIMEOUT : dwWaitErr;
        }
    }
    return ::GetOverlappedResult(hFile, pOv, lpdwDone, FALSE) ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

namespace pipeio {

// One read or write on hFile, with hEvent for its completion, bounded as FinishIo bounds it.
DWORD ReadWithin(HANDLE hFile, HANDLE hEvent, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                 DWORD dwTimeoutMs, LPDWORD lpdwDone)
{
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    return FinishIo(hFile, ::ReadFile(hFile, lpBuf, dwLen, NULL, &ov), &ov, hAbortEvent,
                    dwTimeoutMs, lpdwDone);
}

DWORD WriteWithin(HANDLE hFile, HANDLE hEvent, LPCVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent,
                  DWORD dwTimeoutMs)
{
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    DWORD dwDone = 0;
    return FinishIo(hFile, ::WriteFile(hFile, lpBuf, dwLen, NULL, &ov), &ov, hAbortEvent,
                    dwTimeoutMs, &dwDone);
}

DWORD RemainingMs(ULONGLONG ullDeadline)
{
    const ULONGLONG ullNow = ::GetTickCount64();
    return (ullNow >= ullDeadline) ? 0 : static_cast<DWORD>(ullDeadline - ullNow);
}

}  // namespace pipeio
