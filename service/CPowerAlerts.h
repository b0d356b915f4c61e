// What the power events tell the tray applications and the administrator: the notifications of a
// loss of the line, its return and the hibernation, and the Application log's entries for them.
// The entries follow the notifications, so that writing them never delays a warning.
#pragma once

#include "CClientNotifier.h"
#include "CEventLog.h"
#include "MIRELAPI.h"

#include <windows.h>

class CPowerAlerts {
public:
    CPowerAlerts(CClientNotifier& notifier, CEventLog& eventLog);

    // The notifications of a loss, as one group: no registration's reports come between them.
    void SendAcLoss(bool bS4);
    // The loss's entries; bNoBattery: hibernation is possible yet no battery is seen.
    void ReportAcLoss(bool bS4, bool bNoBattery);
    // The library reports the line on at every start of a watch; only a return after a loss is an
    // event worth a log entry.
    void AcRestored();
    void HibernationDisabled();
    // The entry of a hibernation that comes before the wait ran out, with its reason and the
    // runtime the library saw; nothing for the wait's own end.
    void HibernationCause(const WATCHCAUSE& cause);
    void HibernationStarted();
    // dwErr: the hibernation call's result, after the resume or its failure.
    void HibernationEnded(DWORD dwErr);

    // The event-log message of an early hibernation's cause (WATCHCAUSE_...); 0: none.
    static DWORD CauseMessage(DWORD dwCause);

private:
    CPowerAlerts(const CPowerAlerts&) = delete;
    CPowerAlerts& operator=(const CPowerAlerts&) = delete;

    void Notify(DWORD dwCode, DWORD dwValue);

    CClientNotifier& m_Notifier;
    CEventLog& m_EventLog;
    bool m_bAcLost;  // the main loop's only
};
