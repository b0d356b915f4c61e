// The hibernation service: settings, the events shared with the power-watch library, the main
// loop that turns library events into hibernation and client notifications, and the pipe server
// for the tray applications.
#pragma once

#include "CClientNotifier.h"
#include "CDrill.h"
#include "CEventLog.h"
#include "CHibernation.h"
#include "CPipeSv.h"
#include "CPowerAlerts.h"
#include "CService.h"
#include "CThread.h"
#include "CUpsLink.h"
#include "CWatchStarter.h"
#include "MIRELAPI.h"

// Indexes of the main loop's wait array.
enum {
    EVTINDEX_TERMINATE = 0,
    EVTINDEX_BATTLO = 1,
    EVTINDEX_BATTHI = 2,
    EVTINDEX_ACON = 3,
    EVTINDEX_ACLOSS = 4,
    EVTINDEX_S4 = 5,
    EVTINDEX_SOURCE = 6,
    EVTINDEX_COUNT = 7,
};

class CServiceCtrl : public CService, private IDrillHost {
public:
    CServiceCtrl();
    ~CServiceCtrl() override;

    DWORD OnStop() override;
    DWORD OnPowerEvent(DWORD dwEventType, LPVOID lpEventData) override;
    // The drill's control; any other user-defined control is not implemented.
    DWORD OnUnknownEvent(DWORD dwControl, DWORD dwEventType) override;
    void MainLoop(DWORD dwArgc, LPWSTR* lpszArgv) override;
    DWORD BeforeMainLoop(SERVICE_STATUS_HANDLE hServiceStatus) override;
    void AfterMainLoop(SERVICE_STATUS_HANDLE hServiceStatus) override;

    // The program's command line: a lone "/Install" installs this very program; a lone "/DRILL"
    // asks the running service for a drill.
    BOOL ArgCheck(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet);

    // Reads the settings and creates the five events handed to the library.
    DWORD InitializeWatchData();
    DWORD FinalizeWatchData();

    BOOL IsS4Supported();
    bool IsBatteryMissing();
    void CheckBattery();
    // Reports whether hibernation is possible and has the line's watch restarted off the
    // caller's thread (the library looks at the battery and may wait for it).
    void StartWatch();
    void NotifyClients(DWORD dwNotify, DWORD dwValue);

    static void OnRcv(LPVOID lpObj, PPIPEEVENT pPipeEvt);

protected:
    static DWORD RestartWatch(LPVOID lpData);
    static DWORD StopWatch(LPVOID lpData);
    // The network UPS's settings into the options, a setting that cannot be read logged.
    void ApplyUpsSettings();
    // The library tells of a change of the network UPS: handled on the watch starter's thread.
    void OnSourceChanged();
    void ReadLink();
    void OnAcLoss();
    bool SendAcLoss();
    void OnAcRestored();
    void OnHibernate();
    DWORD Hibernate();
    void ServePipes();
    static DWORD PipeRetryProc(LPVOID lpData);
    // The drill's way to the service's own rules and channels.
    void DrillAcLoss() override { SendAcLoss(); }
    void DrillNotify(DWORD dwNotify) override { NotifyClients(dwNotify, 0); }
    BOOL DrillS4Available() override { return IsS4Supported(); }
    DWORD DrillReadSource(HANDLE hAbort, LPWATCHSOURCE pSource) override;
    DWORD DrillRegisteredCount() override { return static_cast<DWORD>(m_Notifier.GetClientCount()); }
    void DrillReportEvent(DWORD dwMessageId, LPCWSTR lpszText) override
    {
        m_EventLog.Report(dwMessageId, lpszText);
    }

    CPipeSv m_PipeSv;
    // Tries to serve the pipes again while their names are held at the start.
    CThread m_PipeRetry;
    WATCHDATA m_WatchData;
    // The password in it lives only until the library has its copy.
    WATCHOPTIONS m_WatchOptions;
    CUpsLink m_UpsLink;
    // 1 while a change of the network UPS waits for the watch starter's next run.
    volatile LONG m_lSourceChanged;
    CClientNotifier m_Notifier;
    // The registrations start no new wait from the hibernation call to the first resume check.
    CHibernation m_Hibernation;
    // The Application log, for what an administrator must find later; m_Alerts writes the power
    // events' entries in it.
    CEventLog m_EventLog;
    CPowerAlerts m_Alerts;
    CWatchStarter m_WatchStarter;
    // Declared last: it ends before the rest, since its thread calls on them.
    CDrill m_Drill;
};
