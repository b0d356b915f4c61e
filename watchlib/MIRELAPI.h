// Interface of the power-watch library MIRELAPI.dll. The exports are bound by ordinal only.
#pragma once

#include <windows.h>

#include <stddef.h>

// What the caller hands to MirelInitialize: five events it owns (auto-reset, kept open until
// MirelFinalize has returned) and the watch settings. The library keeps a copy.
typedef struct _WATCHDATA {
    HANDLE hBattLowEvent;        // battery level below the threshold
    HANDLE hBattHighEvent;       // battery level at or above the threshold, or refresh state
    HANDLE hACLossEvent;         // AC line still off after the flicker wait
    HANDLE hS4Event;             // the wait after the AC loss has run out: time to hibernate
    HANDLE hACOnEvent;           // AC line found on
    DWORD dwPowerFlickerTime;    // flicker wait, seconds
    DWORD dwHibernateAfter;      // hibernate delay, seconds
    DWORD dwBatteryLifePercent;  // battery threshold, percent
    DWORD dwAlarmTime;           // playing time of the tray application's alarm, milliseconds
    DWORD dwShowBalloonWait;     // time the tray application's balloon needs, milliseconds
    DWORD dwReserved;            // filler to the 8-byte boundary, zero
} WATCHDATA, *LPWATCHDATA;

#if defined(_WIN64) && defined(__cplusplus)
// The record crosses module boundaries: its layout is fixed.
static_assert(sizeof(WATCHDATA) == 64, "WATCHDATA size");
static_assert(offsetof(WATCHDATA, hBattLowEvent) == 0, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, hBattHighEvent) == 8, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, hACLossEvent) == 16, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, hS4Event) == 24, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, hACOnEvent) == 32, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, dwPowerFlickerTime) == 40, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, dwHibernateAfter) == 44, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, dwBatteryLifePercent) == 48, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, dwAlarmTime) == 52, "WATCHDATA layout");
static_assert(offsetof(WATCHDATA, dwShowBalloonWait) == 56, "WATCHDATA layout");
#endif

// Export ordinals.
#define MIRELAPI_ORD_INITIALIZE     1
#define MIRELAPI_ORD_FINALIZE       2
#define MIRELAPI_ORD_STARTUPSWATCH  3
#define MIRELAPI_ORD_STOPUPSWATCH   4
#define MIRELAPI_ORD_SETWATCHOPTIONS 5
#define MIRELAPI_ORD_GETWATCHSOURCE  6
#define MIRELAPI_ORD_GETS4CAUSE      7

#define WATCH_UPS_MONITOR_CHARS 256
#define WATCH_UPS_CREDENTIAL_CHARS 128

// Options beyond the record, for a PC on a UPS. A caller that never sets them gets the library's
// behaviour without them (no runtime reserve, no network UPS).
typedef struct _WATCHOPTIONS {
    DWORD cbSize;                // sizeof(WATCHOPTIONS)
    DWORD dwHibernateAtRuntime;  // runtime reserve, seconds: once the line is lost, hibernate when
                                 // the runtime left falls to it; 0: off
    // A UPS that another machine serves over the network. Empty: none, the local probes only.
    WCHAR szUpsMonitor[WATCH_UPS_MONITOR_CHARS];       // upsname@host[:port]
    WCHAR szUpsUser[WATCH_UPS_CREDENTIAL_CHARS];       // empty: no login
    WCHAR szUpsPassword[WATCH_UPS_CREDENTIAL_CHARS];
    DWORD dwUpsDeadTime;         // seconds (5-300) a lost server on battery counts as alive
    HANDLE hSourceEvent;         // the caller's auto-reset event, signalled when the network UPS's
                                 // link, line or critical state changes; NULL: none. Kept open by
                                 // the caller until MirelFinalize has returned.
} WATCHOPTIONS, *LPWATCHOPTIONS;

// A runtime that nobody knows (the battery class's BATTERY_UNKNOWN_TIME).
#define WATCH_UNKNOWN_RUNTIME 0xFFFFFFFF

// What powers the PC when the line is off.
#define WATCHSOURCE_NONE     0  // no battery
#define WATCHSOURCE_BATTERY  1  // a system battery that is not short-term (the maker's internal one)
#define WATCHSOURCE_UPS      2  // a short-term system battery: a UPS on USB
#define WATCHSOURCE_NETWORK_UPS 3  // a UPS served over the network, while its server answers

// The network UPS's link (WATCHSOURCE.dwLink).
#define WATCHLINK_NONE         0  // no network UPS is set
#define WATCHLINK_STARTING     1  // no answer yet since the start
#define WATCHLINK_ONLINE       2  // the readings are current
#define WATCHLINK_HOLDING      3  // lost while on battery: the last readings held, critical after
                                  // the dead time
#define WATCHLINK_LOST         4  // lost, or stale, while on line: the local probes
#define WATCHLINK_UNREACHABLE  5  // not reached since the start: the local probes
#define WATCHLINK_DENIED       6  // the server refused the user, the password or the login
#define WATCHLINK_UNKNOWN_UPS  7  // the server serves no UPS of that name
#define WATCHLINK_BAD_SETTING  8  // the monitor text names no UPS and host

// Why the latest S4 signal came.
#define WATCHCAUSE_TIMER     0  // the wait after the AC loss ran out
#define WATCHCAUSE_RUNTIME   1  // the runtime left fell to the reserve
#define WATCHCAUSE_CRITICAL  2  // the device reported itself critical
#define WATCHCAUSE_UPS_LOST  3  // the UPS in use vanished during the loss

// A reading of the power source in use, taken when asked.
typedef struct _WATCHSOURCE {
    DWORD cbSize;     // sizeof(WATCHSOURCE)
    DWORD dwKind;     // WATCHSOURCE_...
    DWORD dwPercent;  // charge in percent; BATTERY_PERCENTAGE_UNKNOWN (255) when unknown
    DWORD dwRuntime;  // seconds left on battery; WATCH_UNKNOWN_RUNTIME when unknown
    DWORD bCritical;  // the device reports itself critical
    DWORD dwLink;     // WATCHLINK_...: the network UPS's, whatever dwKind is
    DWORD bLineOff;   // the line as the source in use reports it
    WCHAR szStatus[64];  // the network UPS's status words, as its server sent them
    WCHAR szError[48];   // the network UPS's last error word
} WATCHSOURCE, *LPWATCHSOURCE;

// Why the latest S4 signal came, and the runtime seen then.
typedef struct _WATCHCAUSE {
    DWORD cbSize;     // sizeof(WATCHCAUSE)
    DWORD dwCause;    // WATCHCAUSE_...
    DWORD dwRuntime;  // seconds; WATCH_UNKNOWN_RUNTIME when unknown
} WATCHCAUSE, *LPWATCHCAUSE;

typedef DWORD (WINAPI* LPFNMIRELINITIALIZE)(LPWATCHDATA lpData);
typedef void (WINAPI* LPFNMIRELFINALIZE)(void);
typedef void (WINAPI* LPFNMIRELSTARTUPSWATCH)(void);
typedef void (WINAPI* LPFNMIRELSTOPUPSWATCH)(void);
typedef DWORD (WINAPI* LPFNMIRELSETWATCHOPTIONS)(const WATCHOPTIONS* lpOptions);
typedef DWORD (WINAPI* LPFNMIRELGETWATCHSOURCE)(LPWATCHSOURCE lpSource);
typedef DWORD (WINAPI* LPFNMIRELGETS4CAUSE)(LPWATCHCAUSE lpCause);

#ifdef __cplusplus
extern "C" {
#endif

// Copies the record, starts the battery-level watcher and judges the AC line at once.
// 0, 87 for a NULL record, 8 when out of memory, 183 when already initialised.
DWORD WINAPI MirelInitialize(LPWATCHDATA lpData);
// Stops both watchers; afterwards no event is set any more.
void WINAPI MirelFinalize(void);
// Stops a running AC-line watch, then signals AC-on (line on) or starts a new watch (line off).
void WINAPI MirelStartUPSWatch(void);
// Stops a running AC-line watch without signalling anything.
void WINAPI MirelStopUPSWatch(void);
// Takes the options; before MirelInitialize or at any time after (they apply from the next poll).
// 0, 87 for a NULL pointer or a wrong cbSize.
DWORD WINAPI MirelSetWatchOptions(const WATCHOPTIONS* lpOptions);
// Reads the power source in use now: the network UPS's part from its monitor's last reading, the
// local battery's by device I/O (not for a caller that must not wait).
// 0, 87 for a NULL pointer or a wrong cbSize, 21 when not initialised.
DWORD WINAPI MirelGetWatchSource(LPWATCHSOURCE lpSource);
// Why the latest S4 signal came. Never waits: for the hibernation path. 0, 87 as above.
DWORD WINAPI MirelGetS4Cause(LPWATCHCAUSE lpCause);

#ifdef __cplusplus
}
#endif
