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

typedef struct _BATTINFO {
    WCHAR szDeviceName[MAX_PATH];
    BATTERY_INFORMATION Information;
    BATTERY_STATUS Status;
} BATTINFO, *LPBATTINFO;

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
    BOOL IsShortTerm() const { return FALSE; }

private:
    CBattery(const CBattery&) = delete;
    CBattery& operator=(const CBattery&) = delete;

    // The system's estimate of the charge; FALSE when it knows none (or no battery).
    static BOOL GetSystemLifePercent(LPDWORD lpdwLifePercent);
    static DWORD QueryDevice(HANDLE hDevice, LPBATTINFO pBatteryInfo, DWORD dwFlags);
    BOOL IsStatusAccepted(const SYSTEM_POWER_STATUS& status) const;
    void TraceStatus(const SYSTEM_POWER_STATUS& status) const;

    DWORD m_dwBatteryCount;
    BOOL m_bInitialized;
    CBatteryPaths m_DevicePaths;
};
