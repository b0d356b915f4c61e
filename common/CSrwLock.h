// An exclusive lock for the threads of one process, and the guard that holds it for one scope.
// Not re-entrant: a thread that holds it must not take it again.
#pragma once

#include <windows.h>

class CSrwLock {
public:
    CSrwLock() { ::InitializeSRWLock(&m_Lock); }

    void Lock() { ::AcquireSRWLockExclusive(&m_Lock); }
    void Unlock() { ::ReleaseSRWLockExclusive(&m_Lock); }

    class CGuard {
    public:
        explicit CGuard(CSrwLock& lock) : m_Lock(lock) { m_Lock.Lock(); }
        ~CGuard() { m_Lock.Unlock(); }

    private:
        CGuard(const CGuard&) = delete;
        CGuard& operator=(const CGuard&) = delete;
        CSrwLock& m_Lock;
    };

private:
    CSrwLock(const CSrwLock&) = delete;
    CSrwLock& operator=(const CSrwLock&) = delete;
    SRWLOCK m_Lock;
};
