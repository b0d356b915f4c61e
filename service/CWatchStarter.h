// Runs a slow start function on a thread of its own when asked, so that whoever asks (a
// registration on the control pipe, whose acknowledgement waits for it) returns at once. Requests
// that come while one is waiting or running are met by the next run: nothing is queued twice.
#pragma once

#include "CSrwLock.h"
#include "CThread.h"

#include <windows.h>

class CWatchStarter {
public:
    CWatchStarter();
    ~CWatchStarter();

    // The first request starts the thread; should that fail, lpFunc(lpData) runs on the caller.
    void Request(LPTHREADFUNC lpFunc, LPVOID lpData);
    // Drops a request that has not run yet and runs lpStop(lpData) here once no run is under way:
    // a stop asked for after a request is never undone by that request's late run.
    void Supersede(LPTHREADFUNC lpStop, LPVOID lpData);
    // Ends the thread (a run in progress is waited for); later requests start it again.
    void Finalize();

private:
    CWatchStarter(const CWatchStarter&) = delete;
    CWatchStarter& operator=(const CWatchStarter&) = delete;

    static DWORD ThreadProc(LPVOID lpParam);

    CSrwLock m_Lock;
    // Held across a run and across a superseding stop, so that the two never overlap.
    CSrwLock m_RunLock;
    // 1 while a request waits for its run.
    volatile LONG m_lPending;
    CThread m_Thread;
    HANDLE m_hRequest;
    LPTHREADFUNC m_lpFunc;
    LPVOID m_lpData;
};
