// The outcome of a drill: what the service measured and checked, the text an administrator reads,
// and where the service leaves both for the command that asked for the drill.
#pragma once

#include "MIRELAPI.h"

#include <windows.h>

// The user-defined service control that asks the running service for a drill.
#define MIREL_CONTROL_DRILL 128

// Below HKEY_LOCAL_MACHINE, so that only the system and administrators can write it: "Answer"
// (REG_BINARY, a DRILLANSWER), "Result" (REG_BINARY, a DRILLRESULT) and "Report" (REG_SZ, the
// text). The service manager does not pass a control handler's result back to every caller, so
// the service answers each request here too.

#define MIREL_DRILL_KEY L"Software\\Orvane\\OrvaneMirel\\Drill"

// The service's answer to the latest drill request.
struct DRILLANSWER {
    DWORD dwRequests;  // counts the requests, so that a command tells its answer from an older one
    DWORD dwAnswer;    // 0: the drill runs; otherwise why not (ERROR_BUSY)
    DWORD dwDrill;     // the serial that the drill's result will carry
};

// Whether the system reports a battery. Unknown is neither: a hibernation that relies on the
// battery cannot be vouched for.
#define DRILL_BATTERY_NONE 0
#define DRILL_BATTERY_PRESENT 1
#define DRILL_BATTERY_UNKNOWN 2

// Times are milliseconds from the drill's start.
struct DRILLRESULT {
    DWORD dwSerial;  // counts the drills, so that a command tells its drill's result from an older one
    DWORD dwResult;  // 0: a real hibernation would have worked; otherwise the first reason why not
    DWORD dwRegistered;  // applications registered when the loss was announced
    DWORD dwWarned;      // of them, those that took the loss notification
    DWORD dwAcLostMs;
    DWORD dwAcLostDeadlineMs;
    DWORD dwHibernateMs;
    DWORD dwHibernateDeadlineMs;
    DWORD dwPrivilegeError;  // enabling the shutdown privilege: 0 or its error
    DWORD bS4Available;
    DWORD dwBattery;         // DRILL_BATTERY_...: whether the system reports a battery
    DWORD dwBatteryPercent;  // 255: unknown
    DWORD dwBatteryThreshold;
    DWORD dwSourceError;    // reading the power source: 0 or why it could not be read
    DWORD dwSourceKind;     // WATCHSOURCE_...: the maker's battery or a UPS
    DWORD dwRuntime;        // seconds left on the source; WATCH_UNKNOWN_RUNTIME: unknown
    DWORD dwRuntimeNeeded;  // seconds: the reserve and the alarm and balloon before it
    DWORD dwSourcePercent;  // the source's charge; 255: unknown
    DWORD dwLink;           // WATCHLINK_...: the network UPS's link; WATCHLINK_NONE: none set
    WCHAR szUpsStatus[64];  // the network UPS's status words, as its server sent them
};

class CDrillReport {
public:
    // Judges the checks of a completed drill: the first that fails gives dwResult.
    static DWORD Verdict(const DRILLRESULT& result);
    // The report in this program's language, lines separated by CR LF.
    static void Format(const DRILLRESULT& result, LPWSTR lpszText, size_t cchText);
    // The event-log message that carries the report.
    static DWORD EventId(const DRILLRESULT& result);

    static DWORD SaveAnswer(const DRILLANSWER& answer);
    // The latest answer; zeros when there is none yet.
    static DWORD LoadAnswer(DRILLANSWER* pAnswer);
    static DWORD Save(const DRILLRESULT& result, LPCWSTR lpszText);
    // The last drill's result and, when lpszText is not NULL, its report; a result of zeros
    // when no drill has run yet.
    static DWORD Load(DRILLRESULT* pResult, LPWSTR lpszText, DWORD cchText);
};
