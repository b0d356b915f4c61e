// The battery devices of the battery class driver: enumeration, charge level, system power status.
#pragma once

#include "CBatteryPaths.h"

#include <windows.h>
#if defined(__MINGW32__)
#include <batclass.h>  // brings poclass.h; a second inclusion would define its GUIDs twice
#else
#include <poclass.h>
#include <batclass.h>
#endif

// Parts of a BATTINFO that CBattery::GetSelectBatteryInfo fills.
#define BATTINFO_NAME        0x1
#define BATTINFO_INFORMATION 0x2
#define BATTINFO_STATUS      0x4
#define BATTINFO_RUNTIME     0x8

typedef struct _BATTINFO {
    WCHAR szDeviceName[MAX_PATH];
    BATTERY_INFORMATION Information;
    BATTERY_STATUS Status;
    ULONG ulEstimatedTime;  // seconds; BATTERY_UNKNOWN_TIME when the driver gives none
} BATTINFO, *LPBATTINFO;

// Why the battery in slot 0 is the one in use.
#define BATTCHOICE_NONE       0  // no battery
#define BATTCHOICE_INTERNAL   1  // a system battery that is not short-term: the maker's own
#define BATTCHOICE_SHORT_TERM 2  // a short-term system battery: a UPS
#define BATTCHOICE_FIRST      3  // neither could be told: the first enumerated

// A reading of one battery for the watchers: charge, runtime left and the device's alarm.
typedef struct _BATTREADING {
    DWORD dwPercent;  // BATTERY_PERCENTAGE_UNKNOWN when unknown
    DWORD dwRuntime;  // seconds; BATTERY_UNKNOWN_TIME when unknown (see JudgeRuntime)
    BOOL bCritical;   // BATTERY_CRITICAL in the status's power state
} BATTREADING, *LPBATTREADING;

class CBattery {
public:
    CBattery();
    virtual ~CBattery();

    // Enumerates the batteries; succeeds also when none is found. May be called again.
    DWORD Initialize();
    void Finalize();
    void EnumBatteries();

    DWORD GetSelectBatteryInfo(DWORD dwIndex, LPBATTINFO pBatteryInfo, DWORD dwFlags);
    // Charge of battery dwIndex in percent, rounded half up; not capped at 100. When the driver
    // reports the capacity as unknown (or does not support its queries), the system's BatteryLifePercent if it
    // knows one; otherwise the error (ERROR_INVALID_DATA for an unknown capacity).
    DWORD GetLifePercent(DWORD dwIndex, LPDWORD lpdwLifePercent);
    // The system's power status, read again (dwRetry times, 500 ms apart) while it contradicts
    // the enumerated batteries or does not know the AC line.
    DWORD GetSystemPowerStatus(LPSYSTEM_POWER_STATUS pStatus, DWORD dwRetry);
    DWORD GetAttachableBatteryCount(LPDWORD lpdwCount);
    DWORD IsNotebookPC(LPBOOL lpbFlag);
    // TRUE when the battery in use (index 0) is a short-term one: a UPS. As of the last enumeration.
    BOOL IsShortTerm() const { return m_dwChoice == BATTCHOICE_SHORT_TERM ? TRUE : FALSE; }
    // Charge, runtime and critical flag of battery dwIndex in one pass over the device.
    DWORD ReadSource(DWORD dwIndex, LPBATTREADING pReading);

    // Which of dwCount batteries is the one in use, from their capabilities (0 when unreadable):
    // a system battery that is not short-term first, else a short-term one, else index 0.
    static DWORD ChooseIndex(const ULONG* pulCapabilities, DWORD dwCount, LPDWORD lpdwChoice);
    // Reads the capabilities of the listed batteries and moves the one in use to slot 0; the
    // BATTCHOICE_ reason.
    static DWORD ChooseInUse(CBatteryPaths& paths);
    // The runtime in seconds worth acting on, or BATTERY_UNKNOWN_TIME: the driver's estimate,
    // else the remaining capacity over the discharge rate. Firmware answers that mean "don't
    // know" (unknown time or rate, 65535 s or more, 0 with the charge at 20 % or more) are unknown.
    static DWORD JudgeRuntime(ULONG ulEstimated, ULONG ulCapacity, LONG lRate, DWORD dwPercent);
    // TRUE for the errors of a battery that is not there any more (rather than one that fails).
    static BOOL IsGone(DWORD dwError);

private:
    CBattery(const CBattery&) = delete;
    CBattery& operator=(const CBattery&) = delete;

    // The system's estimate of the charge; FALSE when it knows none (or no battery).
    static BOOL GetSystemLifePercent(LPDWORD lpdwLifePercent);
    static DWORD QueryDevice(HANDLE hDevice, LPBATTINFO pBatteryInfo, DWORD dwFlags);
    BOOL IsStatusAccepted(const SYSTEM_POWER_STATUS& status) const;
    void TraceStatus(const SYSTEM_POWER_STATUS& status) const;
    // One line whenever the battery in use or the reason changes.
    void TraceChoice(LPCWSTR lpszCaller);

    DWORD m_dwBatteryCount;
    BOOL m_bInitialized;
    CBatteryPaths m_DevicePaths;
    DWORD m_dwChoice;            // BATTCHOICE_ of the last enumeration
    DWORD m_dwTracedChoice;      // the choice the last trace line named
    WCHAR m_szTracedPath[MAX_PATH];
};
