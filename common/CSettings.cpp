#include "CSettings.h"

#include <algorithm>

namespace {

// HibernateAtRuntime is the runtime, in seconds, that a UPS must still have when the PC begins to
// hibernate (0: off); an hour is more than any UPS meant for one desktop holds.
// UpsDeadTime is how long a network UPS whose server went silent while on battery still counts
// as alive: shorter than a server's own restart would cry wolf, longer than five minutes outlasts
// most UPSes meant for one desktop.
// ShowBalloonWait and DTSwitchCheck are bounded too: the tray application sleeps on its GUI thread
// for them, and the service adds ShowBalloonWait to its wait before hibernating.
const SETTINGDEF kSettings[SETTING_COUNT] = {
    {L"PowerFlickerTime", 5, 0, 60},
    {L"HibernateAfter", 0, 0, 600},
    {L"BatteryLifePercent", 8, 5, 20},
    {L"BeepCount", 3, 0, 10},
    {L"BeepDuration", 500, 100, 2000},
    {L"BeepInterval", 200, 100, 1000},
    {L"BeepFrequency", 500, 37, 32767},
    {L"ShowBalloonWait", 500, 0, 10000},
    {L"DTSwitchCheck", 10, 0, 500},
    {L"HibernateAtRuntime", 180, 0, 3600},
    {L"UpsDeadTime", 15, 5, 300},
};

}  // namespace

CSettings::CSettings() : m_bPolicy(FALSE), m_bProduct(FALSE) {}

CSettings::~CSettings()
{
    Finalize();
}

LONG CSettings::Initialize()
{
    Finalize();
    m_bPolicy = (m_Policy.OpenKey(MIREL_POLICY_KEY, KEY_QUERY_VALUE) == ERROR_SUCCESS);
    const LONG lRet = m_Product.OpenKey(MIREL_SETTINGS_KEY, KEY_QUERY_VALUE);
    m_bProduct = (lRet == ERROR_SUCCESS);
    return lRet;
}

LONG CSettings::Query(DWORD dwSetting, LPDWORD lpdwValue)
{
    const SETTINGDEF* pDef = Definition(dwSetting);
    if (pDef == NULL || lpdwValue == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dwValue = pDef->dwDefault;
    LONG lRet = ERROR_FILE_NOT_FOUND;
    if (m_bPolicy && m_Policy.QueryDWORDValue(pDef->lpszName, &dwValue) == ERROR_SUCCESS) {
        lRet = ERROR_SUCCESS;
    } else if (m_bProduct) {
        lRet = m_Product.QueryDWORDValue(pDef->lpszName, &dwValue);
    }
    *lpdwValue = (lRet == ERROR_SUCCESS)
                     ? std::min(std::max(dwValue, pDef->dwMin), pDef->dwMax)
                     : pDef->dwDefault;
    return lRet;
}

DWORD CSettings::Get(DWORD dwSetting)
{
    DWORD dwValue = 0;
    Query(dwSetting, &dwValue);
    return dwValue;
}

DWORD CSettings::AlarmTime()
{
    return (Get(SETTING_BEEP_INTERVAL) + Get(SETTING_BEEP_DURATION)) * Get(SETTING_BEEP_COUNT);
}

void CSettings::Finalize()
{
    m_Policy.CloseKey();
    m_Product.CloseKey();
    m_bPolicy = FALSE;
    m_bProduct = FALSE;
}

const SETTINGDEF* CSettings::Definition(DWORD dwSetting)
{
    return (dwSetting < SETTING_COUNT) ? &kSettings[dwSetting] : NULL;
}
