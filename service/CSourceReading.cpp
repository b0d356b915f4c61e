#include "CSourceReading.h"

#include "ScopedHandle.h"

#include <new>

// Owned by both sides; the last to let go deletes it.
struct CSourceReading::Shared {
    volatile LONG lRefs;
    ScopedKernelHandle done;
    WATCHSOURCE source;
    DWORD dwResult;
};

DWORD CSourceReading::Read(HANDLE hAbort, DWORD dwCeilingMs, LPWATCHSOURCE pSource)
{
    Shared* pShared = new (std::nothrow) Shared();
    if (pShared == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    pShared->lRefs = 2;
    pShared->source = *pSource;
    pShared->done.Reset(::CreateEventW(NULL, TRUE, FALSE, NULL));
    if (!pShared->done.IsValid() || !::QueueUserWorkItem(Work, pShared, WT_EXECUTELONGFUNCTION)) {
        const DWORD dwErr = ::GetLastError();
        delete pShared;
        return dwErr != ERROR_SUCCESS ? dwErr : ERROR_GEN_FAILURE;
    }
    const HANDLE waits[2] = { pShared->done.Get(), hAbort };
    const DWORD dwWait = ::WaitForMultipleObjects(hAbort != NULL ? 2 : 1, waits, FALSE, dwCeilingMs);
    DWORD dwRet = ERROR_TIMEOUT;
    if (dwWait == WAIT_OBJECT_0) {
        dwRet = pShared->dwResult;
        *pSource = pShared->source;
    } else if (dwWait == WAIT_OBJECT_0 + 1) {
        dwRet = ERROR_OPERATION_ABORTED;
    } else if (dwWait == WAIT_FAILED) {
        dwRet = ::GetLastError();
    }
    Release(pShared);
    return dwRet;
}

DWORD WINAPI CSourceReading::Work(LPVOID lpData)
{
    Shared* pShared = static_cast<Shared*>(lpData);
    pShared->dwResult = MirelGetWatchSource(&pShared->source);
    ::SetEvent(pShared->done.Get());
    Release(pShared);
    return 0;
}

void CSourceReading::Release(Shared* pShared)
{
    if (::InterlockedDecrement(&pShared->lRefs) == 0) {
        delete pShared;
    }
}
