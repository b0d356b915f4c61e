#include "CWatchEvents.h"

#include "CSettings.h"
#include "ScopedHandle.h"

DWORD CWatchEvents::Create(WATCHDATA* pData)
{
    ReadSettings(pData);
    HANDLE* const events[] = {
        &pData->hBattHighEvent, &pData->hBattLowEvent, &pData->hACOnEvent,
        &pData->hACLossEvent, &pData->hS4Event,
    };
    for (HANDLE* pEvent : events) {
        *pEvent = ::CreateEventW(NULL, FALSE, FALSE, NULL);
        if (*pEvent == NULL) {
            const DWORD dwRet = ::GetLastError();
            Close(pData);
            return dwRet;
        }
    }
    return ERROR_SUCCESS;
}

void CWatchEvents::ReadSettings(WATCHDATA* pData)
{
    CSettings settings;
    settings.Initialize();
    pData->dwHibernateAfter = settings.Get(SETTING_HIBERNATE_AFTER);
    pData->dwPowerFlickerTime = settings.Get(SETTING_POWER_FLICKER_TIME);
    pData->dwBatteryLifePercent = settings.Get(SETTING_BATTERY_LIFE_PERCENT);
    pData->dwShowBalloonWait = settings.Get(SETTING_SHOW_BALLOON_WAIT);
    pData->dwAlarmTime = settings.AlarmTime();
}

void CWatchEvents::Close(WATCHDATA* pData)
{
    CloseAndClear(pData->hBattHighEvent);
    CloseAndClear(pData->hBattLowEvent);
    CloseAndClear(pData->hACOnEvent);
    CloseAndClear(pData->hACLossEvent);
    CloseAndClear(pData->hS4Event);
}

DRILLTIMES CWatchEvents::DrillTimes(const WATCHDATA& data)
{
    const DRILLTIMES times = {
        data.dwPowerFlickerTime * 1000,
        data.dwHibernateAfter * 1000 + data.dwAlarmTime + data.dwShowBalloonWait,
        data.dwBatteryLifePercent,
    };
    return times;
}
