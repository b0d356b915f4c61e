// Battery-level watcher: every 500 ms, reads the battery in use and the line into the snapshot
// the AC-line watcher polls, and signals whether the source holds enough charge: the network
// UPS's while its link is in force, else the first battery's.
#pragma once

#include "CNetSource.h"
#include "CSourceSnapshot.h"
#include "CWatch.h"
#include "MIRELAPI.h"

class CBattWatch : public CWatch {
public:
    CBattWatch(CSourceSnapshot& snapshot, const CNetSource& net);
    virtual ~CBattWatch();

    // Takes the events and threshold from the library's record and (re)starts the poll thread.
    DWORD Initialize(LPWATCHDATA lpData);
    static DWORD ThreadProc(LPVOID lParam);

private:
    // One poll: the level events, then the snapshot.
    void Poll();
    // The high event at or above the threshold (or during a refresh), else the low one.
    void PollLocalLevel();
    // Reads the battery in use and the local line into m_Snapshot.
    void PublishSource();
    // The level events for a network UPS's charge; FALSE when its link is not in force.
    BOOL PollNetLevel();
    void SignalLevel(BOOL bHigh);
    // After a failed poll: reads the list of batteries again, at most every 2 s.
    void EnumerateAgain(DWORD dwError);
    static bool OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId);

    CSourceSnapshot& m_Snapshot;
    const CNetSource& m_Net;
    HANDLE m_hBattLowEvent;
    HANDLE m_hBattHighEvent;
    DWORD m_dwBatteryLifePercent;
    UINT_PTR m_uPollTimer;  // the thread's timer id, 0 when none runs
    ULONGLONG m_ullEnumeratedMs;  // tick count of the last enumeration (poll thread only)
};
