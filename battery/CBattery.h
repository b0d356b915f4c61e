// The battery devices of the battery class driver: enumeration, charge level, system power status.
#pragma once

#include <windows.h>
#include <setupapi.h>
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

// At most this many battery interfaces are recorded.
#define BATTERY_MAX_DEVICES 2

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

    // Reads the path of battery interface dwIndex of the list into lpszPath (cut to cchPath - 1).
    // ERROR_NO_MORE_ITEMS when there is no such interface; any other error ends an enumeration.
    // A detail that cannot be read is logged under the caller's name and trace level.
    static DWORD ReadDevicePath(DWORD dwLevel, LPCWSTR lpszCaller, HDEVINFO hDevInfo,
                                DWORD dwIndex, LPWSTR lpszPath, size_t cchPath);

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
    WCHAR m_szDevicePath[BATTERY_MAX_DEVICES][MAX_PATH];
};
