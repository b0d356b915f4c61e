// AC-line watcher: waits out the flicker time, signals AC loss, then after the hibernate wait
// signals S4; or signals AC-on when the line is back.
#pragma once

#include "CSrwLock.h"
#include "CWatch.h"
#include "MIRELAPI.h"

class CUPSWatch : public CWatch {
public:
    CUPSWatch();
    virtual ~CUPSWatch();

    // Judges the line: on, it stops a running watch and signals AC-on; off, it keeps a running
    // watch with its deadline, or starts a new one when none runs.
    DWORD Initialize(LPWATCHDATA lpUPSData);
    // Stops the watch without a signal; the next Initialize with the line off begins anew.
    void Finalize();
    static DWORD ThreadProc(LPVOID lParam);

private:
    static bool OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId);
    // Handles one timer message; returns false when the watch is over.
    bool OnTimer(UINT_PTR uId);
    void CopySettings(const WATCHDATA& data);
    void SetWatching(BOOL bWatching);
    BOOL IsLineStillOff();

    HANDLE m_hACLossEvent;
    HANDLE m_hS4Event;
    HANDLE m_hACOnEvent;
    DWORD m_dwPowerFlickerTime;
    DWORD m_dwHibernateAfter;
    DWORD m_dwAlarmTime;
    DWORD m_dwShowBalloonWait;
    // TRUE from the start of a watch thread until it has decided to end. Guarded by m_StateLock,
    // which also makes the line judgements of a start request and of the flicker end one at a time.
    BOOL m_bWatching;
    CSrwLock m_StateLock;
    // The thread's timer ids, 0 when not running; touched by the watch thread only.
    UINT_PTR m_uFlickerTimer;
    UINT_PTR m_uHibernateTimer;
};
