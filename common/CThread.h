// Runs one function on a worker thread that can be asked to end, and is killed if it does not.
#pragma once

#include <windows.h>

typedef DWORD (*LPTHREADFUNC)(LPVOID lpData);

class CThread {
public:
    CThread();
    ~CThread();

    // Returns once the new thread runs, or with an error code; lpFunc and lpData are required.
    DWORD Initialize(LPTHREADFUNC lpFunc, LPVOID lpData);
    // The event the thread function waits on together with its own work.
    HANDLE GetTerminateEvent() const { return m_hTerminateEvent; }
    // Signals the terminate event, waits up to 5000 ms for the thread, then kills it.
    void Terminate();
    void Finalize();

private:
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    static unsigned __stdcall ThreadProc(void* lpParam);

    HANDLE m_hThread;
    DWORD m_dwThreadId;
    HANDLE m_hStartEvent;
    HANDLE m_hTerminateEvent;
    LPTHREADFUNC m_lpFunc;
    LPVOID m_lpData;
};
