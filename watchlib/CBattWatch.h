// Battery-level watcher: every 500 ms, signals whether the first battery holds enough charge.
#pragma once

#include "CWatch.h"
#include "MIRELAPI.h"

class CBattWatch : public CWatch {
public:
    CBattWatch();
    virtual ~CBattWatch();

    // Takes the events and threshold from the library's record and (re)starts the poll thread.
    DWORD Initialize(LPWATCHDATA lpData);
    static DWORD ThreadProc(LPVOID lParam);

private:
    // One poll: the high event at or above the threshold (or during a refresh), else the low one.
    void Poll();
    // After a failed poll: reads the list of batteries again, at most every 2 s.
    void EnumerateAgain(DWORD dwError);
    static bool OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId);

    HANDLE m_hBattLowEvent;
    HANDLE m_hBattHighEvent;
    DWORD m_dwBatteryLifePercent;
    UINT_PTR m_uPollTimer;  // the thread's timer id, 0 when none runs
    ULONGLONG m_ullEnumeratedMs;  // tick count of the last enumeration (poll thread only)
};
