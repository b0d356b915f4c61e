// AC-line watcher: waits out the flicker time, signals AC loss, then after the hibernate wait
// signals S4; or signals AC-on when the line is back.
#pragma once

#include "CWatch.h"
#include "MIRELAPI.h"

class CUPSWatch : public CWatch {
public:
    CUPSWatch();
    virtual ~CUPSWatch();

    // Stops a running watch, judges the line, then signals AC-on or starts a new watch.
    DWORD Initialize(LPWATCHDATA lpUPSData);
    static DWORD ThreadProc(LPVOID lParam);

private:
    // Handles one timer message; returns false when the watch is over.
    bool OnTimer(UINT_PTR uId, UINT_PTR& uFlickerTimer, UINT_PTR& uHibernateTimer);
    // Drains the queued timer messages; returns false when the watch is over.
    bool DrainTimers(UINT_PTR& uFlickerTimer, UINT_PTR& uHibernateTimer);

    HANDLE m_hACLossEvent;
    HANDLE m_hS4Event;
    HANDLE m_hACOnEvent;
    DWORD m_dwPowerFlickerTime;
    DWORD m_dwHibernateAfter;
    DWORD m_dwAlarmTime;
    DWORD m_dwShowBalloonWait;
};
