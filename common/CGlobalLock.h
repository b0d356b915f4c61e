// A mutex in the Global\ namespace shared by all processes and logon desktops, or an unnamed one
// that only the threads of this process can reach (no other process can open or hold it).
#pragma once

#include <windows.h>

class CGlobalLock {
public:
    CGlobalLock();
    ~CGlobalLock();

    // Creates or opens Global\<name>, with '\' and '.' in the name turned into '$'.
    // dwTimeout is the wait limit of Lock in milliseconds; 0 means no limit.
    DWORD Initialize(LPCWSTR lpszName, DWORD dwTimeout);
    // An unnamed mutex of this process; dwTimeout as for Initialize.
    DWORD InitializeLocal(DWORD dwTimeout);
    // 0 when the mutex is held; 995 when hAbortEvent ended the wait, 170 on timeout.
    DWORD Lock(HANDLE hAbortEvent);
    DWORD Unlock();
    void Finalize();

private:
    CGlobalLock(const CGlobalLock&) = delete;
    CGlobalLock& operator=(const CGlobalLock&) = delete;

    DWORD Adopt(HANDLE hMutex, DWORD dwTimeout);

    HANDLE m_hMutex;
    DWORD m_dwTimeout;
};
