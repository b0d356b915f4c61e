#include "CAlarm.h"

#include "CLog.h"
#include "CSettings.h"

DWORD CAlarm::Ring()
{
    LOG_FUNCTION(L"CAlarm::Ring");
    CSettings settings;
    const LONG lOpen = settings.Initialize();
    if (lOpen != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"OpenKey Failed. Key: %s, Error: %d", MIREL_SETTINGS_KEY, lOpen);
    }
    static const DWORD kAlarm[] = { SETTING_BEEP_FREQUENCY, SETTING_BEEP_DURATION,
                                    SETTING_BEEP_INTERVAL, SETTING_BEEP_COUNT };
    DWORD adwValue[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        const LONG lRet = settings.Query(kAlarm[i], &adwValue[i]);
        if (lOpen == ERROR_SUCCESS && lRet != ERROR_SUCCESS) {
            LOG_TRACE(LOG_EVENT, FN, L"QueryDWORDValue Failed. ValueName: %s, Error: %d",
                      CSettings::Definition(kAlarm[i])->lpszName, lRet);
        }
    }
    const DWORD dwFrequency = adwValue[0], dwDuration = adwValue[1];
    const DWORD dwInterval = adwValue[2], dwCount = adwValue[3];
    LOG_TRACE(LOG_EVENT, FN, L"Beep %u Hz, %u ms, every %u ms, %u times", dwFrequency, dwDuration,
              dwInterval, dwCount);
    DWORD dwRung = 0;
    for (DWORD i = 0; i < dwCount; ++i) {
        dwRung += ::Beep(dwFrequency, dwDuration) ? 1 : 0;
        ::Sleep(dwInterval);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Rung %u of %u", dwRung, dwCount);
    return dwRung;
}
