// The service program's single-instance mutex, "Global\mtx_<service name>". Any account can
// create a mutex, event, semaphore or timer of that name while the service is down; such a
// squatter must not be mistaken for a running copy of the service, or the service would never
// start again.
#pragma once

#include "ScopedHandle.h"

#include <windows.h>

class CInstanceMutex {
public:
    CInstanceMutex();

    // 0 when this process may run as the service: it holds the mutex, or it could not own the
    // name (whatever the reason) and the service does not run elsewhere. 183 when the service
    // manager reports the service running in another process.
    DWORD Acquire(LPCWSTR lpszServiceName);
    void Release();

private:
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    static bool IsRunningElsewhere(LPCWSTR lpszServiceName);

    ScopedKernelHandle m_Mutex;
};
