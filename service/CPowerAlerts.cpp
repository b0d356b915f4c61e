#include "CPowerAlerts.h"

#include "MIRELMSG.h"
#include "Notify.h"
#include "resource.h"

#include <strsafe.h>

CPowerAlerts::CPowerAlerts(CClientNotifier& notifier, CEventLog& eventLog)
    : m_Notifier(notifier), m_EventLog(eventLog), m_bAcLost(false)
{
}

void CPowerAlerts::Notify(DWORD dwCode, DWORD dwValue)
{
    m_Notifier.Push(NotifyItem::Of(dwCode, dwValue));
}

void CPowerAlerts::SendAcLoss(bool bS4)
{
    const NotifyItem items[] = {
        NotifyItem::Of(bS4 ? NOTIFY_S4_ENABLED : NOTIFY_S4_DISABLED, 0),
        NotifyItem::Of(bS4 ? NOTIFY_HIBERNATING : NOTIFY_AC_LOST, 0),
        NotifyItem::Of(NOTIFY_AC_LOST, 0),
    };
    m_Notifier.Push(items, bS4 ? 3 : 2);
}

void CPowerAlerts::ReportAcLoss(bool bS4, bool bNoBattery)
{
    m_bAcLost = true;
    m_EventLog.Report(MSG_AC_LOST);
    if (!bS4) {
        m_EventLog.Report(MSG_HIBERNATION_DISABLED);
    } else if (bNoBattery) {
        m_EventLog.Report(MSG_NO_BATTERY);
    }
}

void CPowerAlerts::AcRestored()
{
    Notify(NOTIFY_AC_RESTORED, 0);
    if (m_bAcLost) {
        m_bAcLost = false;
        m_EventLog.Report(MSG_AC_RESTORED);
    }
}

void CPowerAlerts::HibernationDisabled()
{
    Notify(NOTIFY_S4_DISABLED, 0);
    m_EventLog.Report(MSG_HIBERNATION_DISABLED);
}

DWORD CPowerAlerts::CauseMessage(DWORD dwCause)
{
    switch (dwCause) {
    case WATCHCAUSE_RUNTIME: return MSG_S4_RUNTIME_RESERVE;
    case WATCHCAUSE_CRITICAL: return MSG_S4_UPS_CRITICAL;
    case WATCHCAUSE_UPS_LOST: return MSG_S4_UPS_LOST;
    default: return 0;
    }
}

// The runtime goes in as text, so that one the library does not know reads as unknown.
void CPowerAlerts::HibernationCause(const WATCHCAUSE& cause)
{
    const DWORD dwMessageId = CauseMessage(cause.dwCause);
    if (dwMessageId == 0) {
        return;
    }
    const bool bKnown = cause.dwRuntime != WATCH_UNKNOWN_RUNTIME;
    WCHAR szFormat[64] = L"";
    WCHAR szRuntime[64] = L"";
    ::LoadStringW(::GetModuleHandleW(NULL), bKnown ? IDS_RUNTIME_SECONDS : IDS_RUNTIME_UNKNOWN,
                  szFormat, ARRAYSIZE(szFormat));
    ::StringCchPrintfW(szRuntime, ARRAYSIZE(szRuntime), szFormat, cause.dwRuntime);
    m_EventLog.Report(dwMessageId, szRuntime);
}

void CPowerAlerts::HibernationStarted()
{
    m_EventLog.Report(MSG_HIBERNATION_STARTED);
}

void CPowerAlerts::HibernationEnded(DWORD dwErr)
{
    if (dwErr != ERROR_SUCCESS) {
        Notify(NOTIFY_S4_FAILED, dwErr);
        m_EventLog.Report(MSG_HIBERNATION_FAILED, dwErr);
        return;
    }
    m_EventLog.Report(MSG_RESUMED);
}
