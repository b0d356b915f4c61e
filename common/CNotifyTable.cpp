#include "CNotifyTable.h"

#include "NotifyTexts.h"

#include <shellapi.h>

namespace {

const DWORD kCode = sizeof(DWORD);
const DWORD kCodeAndValue = 2 * sizeof(DWORD);

// Repeat groups: the battery level comes at every poll; the battery's presence, hibernation being
// impossible and a line that is on come at every registration. Hibernation being possible is never
// collapsed: it leads the loss's alerts, which must follow it directly.
enum { GROUP_NONE, GROUP_LEVEL, GROUP_PRESENCE, GROUP_S4_DISABLED, GROUP_LINE_ON };

const DWORD kEndsFailure = ALERT_S4_FAILED | ALERT_S4_DISABLED;

// A failed hibernation carries its error code; a repeat of it is news (its box and balloon show
// the new code). The resume message gives way to the failures and to the stop.
const NOTIFYROW kRows[] = {
    // code, name, state, repeat group, wire size,
    //   raises, clears, if held, then clears, only seen, alarm, text, text on a UPS,
    //   balloon rank, info flags, seconds, message rank, icon
    { NOTIFY_AC_LOST, L"NOTIFY_AC_LOST", false, GROUP_NONE, kCode,
      0, 0, 0, 0, false, true, 0, 0, 0, 0, 0, 0, 0 },
    { NOTIFY_RESUMED, L"NOTIFY_RESUMED", false, GROUP_NONE, kCode,
      ALERT_RESUMED, ALERT_HIBERNATING, 0, 0, true, false, IDS_RESUMED, 0, 0, 0, 0, 4, MB_ICONINFORMATION },
    { NOTIFY_S4_DISABLED, L"NOTIFY_S4_DISABLED", false, GROUP_S4_DISABLED, kCode,
      ALERT_S4_DISABLED, ALERT_HIBERNATING | ALERT_RESUMED, 0, 0, false, false, IDS_S4_DISABLED, 0,
      3, NIIF_INFO, 10, 1, MB_ICONINFORMATION },
    { NOTIFY_S4_FAILED, L"NOTIFY_S4_FAILED", false, GROUP_NONE, kCodeAndValue,
      ALERT_S4_FAILED, ALERT_HIBERNATING | ALERT_RESUMED, 0, 0, false, false, IDS_S4_FAILED, 0,
      5, NIIF_ERROR, 10, 3, MB_ICONERROR },
    // The line's return ends a failure and what it stood for; a resume message only with one.
    { NOTIFY_AC_RESTORED, L"NOTIFY_AC_RESTORED", true, GROUP_LINE_ON, kCode,
      0, kEndsFailure | ALERT_HIBERNATING, kEndsFailure, ALERT_RESUMED, false, false, 0, 0, 0, 0, 0, 0, 0 },
    { NOTIFY_HIBERNATING, L"NOTIFY_HIBERNATING", false, GROUP_NONE, kCode,
      ALERT_HIBERNATING, 0, 0, 0, false, false, IDS_GOING_TO_HIBERNATE, 0, 2, NIIF_INFO, 30, 0, 0 },
    { NOTIFY_S4_ENABLED, L"NOTIFY_S4_ENABLED", true, GROUP_NONE, kCode,
      0, ALERT_S4_DISABLED, 0, 0, false, false, 0, 0, 0, 0, 0, 0, 0 },
    { NOTIFY_BATTERY_LOW, L"NOTIFY_BATTERY_LOW", true, GROUP_LEVEL, kCode,
      ALERT_BATTERY_LOW, 0, 0, 0, false, false, IDS_BATTERY_LOW, IDS_UPS_LOW, 6, NIIF_WARNING, 30, 0, 0 },
    { NOTIFY_BATTERY_OK, L"NOTIFY_BATTERY_OK", true, GROUP_LEVEL, kCode,
      0, ALERT_BATTERY_LOW, 0, 0, false, false, 0, 0, 0, 0, 0, 0, 0 },
    { NOTIFY_SERVICE_STOPPED, L"NOTIFY_SERVICE_STOPPED", false, GROUP_NONE, kCode,
      ALERT_SERVICE_STOPPED, ALERT_RESUMED, 0, 0, false, false, IDS_SERVICE_STOPPED, 0,
      4, NIIF_ERROR, 10, 2, MB_ICONERROR },
    // Made by the application itself when the service can be reached again.
    { NOTIFY_SERVICE_RUNNING, L"NOTIFY_SERVICE_RUNNING", false, GROUP_NONE, kCode,
      0, ALERT_SERVICE_STOPPED, 0, 0, false, false, 0, 0, 0, 0, 0, 0, 0 },
    { NOTIFY_NO_BATTERY, L"NOTIFY_NO_BATTERY", false, GROUP_PRESENCE, kCode,
      ALERT_NO_BATTERY, 0, 0, 0, false, false, IDS_NO_BATTERY, IDS_UPS_REMOVED, 1, NIIF_INFO, 30, 0, 0 },
    { NOTIFY_BATTERY_PRESENT, L"NOTIFY_BATTERY_PRESENT", true, GROUP_PRESENCE, kCode,
      0, ALERT_NO_BATTERY, 0, 0, false, false, 0, 0, 0, 0, 0, 0, 0 },
};

}  // namespace

const NOTIFYROW* CNotifyTable::Find(DWORD dwCode)
{
    for (const NOTIFYROW& row : kRows) {
        if (row.dwCode == dwCode) {
            return &row;
        }
    }
    return NULL;
}

const NOTIFYROW* CNotifyTable::FindCondition(DWORD dwCondition)
{
    for (const NOTIFYROW& row : kRows) {
        if (dwCondition != 0 && row.dwRaises == dwCondition) {
            return &row;
        }
    }
    return NULL;
}

bool CNotifyTable::IsWireLen(DWORD dwLen)
{
    for (const NOTIFYROW& row : kRows) {
        if (row.dwWireLen == dwLen) {
            return true;
        }
    }
    return false;
}

size_t CNotifyTable::Count()
{
    return ARRAYSIZE(kRows);
}

const NOTIFYROW& CNotifyTable::Row(size_t nIndex)
{
    return kRows[nIndex];
}
