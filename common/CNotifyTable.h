// Every notification code, once: its name for the log, how the service queues it, its size on the
// wire, and what the tray application does with it. The service's queue rules, the application's
// decoding and its alert state read their rules from here, so a new code is a new row.
#pragma once

#include "Notify.h"

#include <windows.h>

// The tray application's alert conditions, one bit each, raised by the code of the same name.
enum : DWORD {
    ALERT_NO_BATTERY = 0x01,
    ALERT_HIBERNATING = 0x02,
    ALERT_S4_DISABLED = 0x04,
    ALERT_SERVICE_STOPPED = 0x08,
    ALERT_S4_FAILED = 0x10,
    ALERT_BATTERY_LOW = 0x20,
    ALERT_RESUMED = 0x40,
};

struct NOTIFYROW {
    DWORD dwCode;
    LPCWSTR lpszName;
    // The service's queue: a report of the current state (a full queue may shed it) or an alert
    // (never shed); a non-zero repeat group drops a repeat that waits behind an equal one.
    bool bState;
    DWORD dwRepeatGroup;
    // On the wire: 4 bytes (the code) or 8 (the code and a 32-bit value).
    DWORD dwWireLen;
    // The application: the condition it raises (an ALERT_ bit or 0), the ones it ends, and the
    // ones it ends only when one of dwIfHeld held before it.
    DWORD dwRaises;
    DWORD dwClears;
    DWORD dwIfHeld;
    DWORD dwThenClears;
    // Raised only in a session the user looks at: unseen, it is not kept for later.
    bool bOnlySeen;
    bool bAlarm;
    UINT uTextId;
    // The text where the battery in use is a UPS (a short-term battery); 0: uTextId there too.
    UINT uUpsTextId;
    // The condition's balloon and message box: rank 1 is on top, 0 has none.
    UINT nBalloonRank;
    DWORD dwInfoFlags;
    UINT nSeconds;
    UINT nMessageRank;
    UINT uIcon;
};

class CNotifyTable {
public:
    // The row of a code; NULL for a code nobody sends.
    static const NOTIFYROW* Find(DWORD dwCode);
    // The row that raises an ALERT_ condition.
    static const NOTIFYROW* FindCondition(DWORD dwCondition);
    // Whether a body of dwLen bytes has the size of some row.
    static bool IsWireLen(DWORD dwLen);
    static size_t Count();
    static const NOTIFYROW& Row(size_t nIndex);
};
