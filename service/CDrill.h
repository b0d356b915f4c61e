// A drill of the AC-loss path with the line still on: the flicker wait, the loss announced to
// every application as a real loss is, the wait before hibernation, and at its deadline the checks
// a hibernation needs instead of the hibernation itself; then the line-on notification. It runs
// on a thread of its own and gives way at once to a real loss (or a stop of the service), without
// another notification.
#pragma once

#include "CDrillReport.h"
#include "CSrwLock.h"
#include "CThread.h"
#include "INotifyObserver.h"
#include "MIRELAPI.h"

#include <windows.h>

// What the drill asks of the service that runs it.
class IDrillHost {
public:
    // The notifications of an AC loss, exactly as a real loss sends them.
    virtual void DrillAcLoss() = 0;
    virtual void DrillNotify(DWORD dwNotify) = 0;
    // The service's own judgement whether hibernation is available.
    virtual BOOL DrillS4Available() = 0;
    // The power source in use and its runtime; ERROR_OPERATION_ABORTED once hAbort is set.
    virtual DWORD DrillReadSource(HANDLE hAbort, LPWATCHSOURCE pSource) = 0;
    virtual DWORD DrillRegisteredCount() = 0;
    virtual void DrillReportEvent(DWORD dwMessageId, LPCWSTR lpszText) = 0;

protected:
    ~IDrillHost() {}
};

struct DRILLTIMES {
    DWORD dwFlickerMs;           // the flicker wait
    DWORD dwBeforeHibernateMs;   // from the loss to the hibernation
    DWORD dwBatteryLifePercent;  // the threshold below which the battery counts as low
    DWORD dwRuntimeNeeded;       // seconds of runtime a hibernation needs at the deadline
};

class CDrill : public INotifyObserver {
public:
    CDrill();
    ~CDrill();

    // Starts a drill; ERROR_BUSY while one runs, while the line is off, or once closed. The answer is also left for
    // the command that asked (CDrillReport).
    DWORD Start(IDrillHost* pHost, const DRILLTIMES& times);
    // A real loss (or the stop) takes over: the drill ends at once and sends nothing more.
    void Cancel();
    // The service stops: the drill ends as by Cancel and no other starts.
    void Close();
    bool IsRunning() const { return m_lRunning != 0; }
    // One application took a notification: the loss's count while the drill announces it.
    void OnDelivered(DWORD dwCode) override;

private:
    CDrill(const CDrill&) = delete;
    CDrill& operator=(const CDrill&) = delete;

    DWORD StartLocked(IDrillHost* pHost, const DRILLTIMES& times, DWORD dwSerial);
    static DWORD ThreadProc(LPVOID lpData);
    void Run();
    bool WaitUntil(ULONGLONG ullDeadline);
    bool ReadSource(DRILLRESULT* pResult);
    void CheckHibernation(DRILLRESULT* pResult);
    void Finish(DRILLRESULT* pResult);

    CSrwLock m_Lock;  // serialises Start and Cancel (never taken by the drill's thread)
    CThread m_Thread;
    IDrillHost* m_pHost;
    DRILLTIMES m_Times;
    DWORD m_dwSerial;  // the running drill's
    bool m_bClosed;
    volatile LONG m_lRunning;
    volatile LONG m_lCounting;  // loss deliveries count from the announcement to the deadline
    volatile LONG m_lWarned;
};
