#include "CWatchEvents.h"

#include "CSettings.h"
#include "CUpsConfig.h"
#include "ScopedHandle.h"

#include <strsafe.h>

DWORD CWatchEvents::Create(WATCHDATA* pData, WATCHOPTIONS* pOptions)
{
    ReadSettings(pData, pOptions);
    HANDLE* const events[] = {
        &pData->hBattHighEvent, &pData->hBattLowEvent, &pData->hACOnEvent,
        &pData->hACLossEvent, &pData->hS4Event, &pOptions->hSourceEvent,
    };
    for (HANDLE* pEvent : events) {
        *pEvent = ::CreateEventW(NULL, FALSE, FALSE, NULL);
        if (*pEvent == NULL) {
            const DWORD dwRet = ::GetLastError();
            Close(pData, pOptions);
            return dwRet;
        }
    }
    return ERROR_SUCCESS;
}

void CWatchEvents::ReadSettings(WATCHDATA* pData, WATCHOPTIONS* pOptions)
{
    CSettings settings;
    settings.Initialize();
    pData->dwHibernateAfter = settings.Get(SETTING_HIBERNATE_AFTER);
    pData->dwPowerFlickerTime = settings.Get(SETTING_POWER_FLICKER_TIME);
    pData->dwBatteryLifePercent = settings.Get(SETTING_BATTERY_LIFE_PERCENT);
    pData->dwShowBalloonWait = settings.Get(SETTING_SHOW_BALLOON_WAIT);
    pData->dwAlarmTime = settings.AlarmTime();
    pOptions->cbSize = sizeof(WATCHOPTIONS);
    pOptions->dwHibernateAtRuntime = settings.Get(SETTING_HIBERNATE_AT_RUNTIME);
    pOptions->dwUpsDeadTime = settings.Get(SETTING_UPS_DEAD_TIME);
}

DWORD CWatchEvents::ReadUps(WATCHOPTIONS* pOptions, LPCWSTR* ppBadValue)
{
    CUpsConfig config;
    DWORD dwRet = config.Read();
    *ppBadValue = config.BadValue();
    if (dwRet == ERROR_SUCCESS) {
        const UPSCONFIG& ups = config.Get();
        ::StringCchCopyW(pOptions->szUpsMonitor, ARRAYSIZE(pOptions->szUpsMonitor), ups.szMonitor);
        ::StringCchCopyW(pOptions->szUpsUser, ARRAYSIZE(pOptions->szUpsUser), ups.szUser);
        ::StringCchCopyW(pOptions->szUpsPassword, ARRAYSIZE(pOptions->szUpsPassword), ups.szPassword);
    } else {
        ::SecureZeroMemory(pOptions->szUpsMonitor, sizeof(pOptions->szUpsMonitor));
        ::SecureZeroMemory(pOptions->szUpsUser, sizeof(pOptions->szUpsUser));
        ::SecureZeroMemory(pOptions->szUpsPassword, sizeof(pOptions->szUpsPassword));
    }
    return dwRet;
}

void CWatchEvents::Close(WATCHDATA* pData, WATCHOPTIONS* pOptions)
{
    CloseAndClear(pOptions->hSourceEvent);
    CloseAndClear(pData->hBattHighEvent);
    CloseAndClear(pData->hBattLowEvent);
    CloseAndClear(pData->hACOnEvent);
    CloseAndClear(pData->hACLossEvent);
    CloseAndClear(pData->hS4Event);
}

// The library signals an early hibernation only after the alarm and the balloon, so a UPS must
// hold out for them on top of the reserve; whole seconds, rounded up, as the runtime comes.
DRILLTIMES CWatchEvents::DrillTimes(const WATCHDATA& data, const WATCHOPTIONS& options)
{
    const DWORD dwAlertMs = data.dwAlarmTime + data.dwShowBalloonWait;
    const DRILLTIMES times = {
        data.dwPowerFlickerTime * 1000,
        data.dwHibernateAfter * 1000 + dwAlertMs,
        data.dwBatteryLifePercent,
        options.dwHibernateAtRuntime + (dwAlertMs + 999) / 1000,
    };
    return times;
}
