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

typedef DWORD (WINAPI* LPFNMIRELINITIALIZE)(LPWATCHDATA lpData);
typedef void (WINAPI* LPFNMIRELFINALIZE)(void);
typedef void (WINAPI* LPFNMIRELSTARTUPSWATCH)(void);
typedef void (WINAPI* LPFNMIRELSTOPUPSWATCH)(void);

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

#ifdef __cplusplus
}
#endif
