// The network UPS as a source of the line, charge, runtime and critical flag: the settings from
// MirelSetWatchOptions and the monitor that runs with them while the library is initialised.
// Readers only copy the monitor's snapshot under short locks: nothing here waits on the network
// for them. The monitor is started, restarted and stopped under a lock of its own.
#pragma once

#include "CNetUpsMonitor.h"
#include "CSrwLock.h"
#include "MIRELAPI.h"

#include <memory>

class CNetSource {
public:
    CNetSource();
    ~CNetSource();

    // Takes the network part of the options; restarts the monitor when they changed while it runs.
    void SetOptions(const WATCHOPTIONS& options);
    // Starts the monitor for the settings held (none for an empty monitor text).
    void Start();
    // Stops the monitor; returns within a few seconds whatever the server does.
    void Stop();

    // The monitor's snapshot; FALSE when no monitor runs.
    BOOL Read(NetUpsSnapshot& snapshot) const;
    // The network UPS's values are in force: its link is online or holding.
    BOOL ReadActive(NetUpsSnapshot& snapshot) const;
    // The link, status and error fields; the kind, values and line too while the link is in force.
    // TRUE when the network UPS filled the values, FALSE when the local probes must.
    BOOL Fill(WATCHSOURCE& source) const;

    static BOOL IsActive(const NetUpsSnapshot& snapshot);
    static DWORD LinkOf(UpsLink link);
    static DWORD PercentOf(const NetUpsSnapshot& snapshot);
    static DWORD RuntimeOf(const NetUpsSnapshot& snapshot);

private:
    CNetSource(const CNetSource&) = delete;
    CNetSource& operator=(const CNetSource&) = delete;

    void StartLocked();
    void StopLocked();
    BOOL Differs(const WATCHOPTIONS& options) const;
    void WipeSettings();

    CSrwLock m_ControlLock;     // one start, stop or option change at a time
    mutable CSrwLock m_ReadLock;  // held only to take or swap m_pMonitor and m_bBadSetting
    std::unique_ptr<CNetUpsMonitor> m_pMonitor;
    BOOL m_bBadSetting;         // the monitor text was refused
    BOOL m_bRunning;            // between Start and Stop
    // The settings; the password is kept only to start the monitor again and wiped when replaced.
    WCHAR m_szMonitor[WATCH_UPS_MONITOR_CHARS];
    WCHAR m_szUser[WATCH_UPS_CREDENTIAL_CHARS];
    WCHAR m_szPassword[WATCH_UPS_CREDENTIAL_CHARS];
    DWORD m_dwDeadTime;
    HANDLE m_hSourceEvent;      // the caller's; not owned
};
