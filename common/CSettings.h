// The settings contract shared by the service and the tray application: where the settings live,
// the name of the service, and every setting with its default and range. A policy value (the
// policy key below HKEY_LOCAL_MACHINE) wins over the product's own value, so removing a policy
// makes the product's value apply again.
#pragma once

#include "CRegistry.h"

#include <windows.h>

#define MIREL_SETTINGS_KEY L"Software\\Orvane\\OrvaneMirel"
#define MIREL_POLICY_KEY L"Software\\Policies\\Orvane\\OrvaneMirel"
#define MIREL_SERVICE_NAME L"MIRELSVC"

enum {
    SETTING_POWER_FLICKER_TIME,
    SETTING_HIBERNATE_AFTER,
    SETTING_BATTERY_LIFE_PERCENT,
    SETTING_BEEP_COUNT,
    SETTING_BEEP_DURATION,
    SETTING_BEEP_INTERVAL,
    SETTING_BEEP_FREQUENCY,
    SETTING_SHOW_BALLOON_WAIT,
    SETTING_DT_SWITCH_CHECK,
    SETTING_HIBERNATE_AT_RUNTIME,
    SETTING_UPS_DEAD_TIME,
    SETTING_COUNT
};

struct SETTINGDEF {
    LPCWSTR lpszName;
    DWORD dwDefault;
    DWORD dwMin;
    DWORD dwMax;
};

class CSettings {
public:
    CSettings();
    ~CSettings();

    // Opens the policy key and the product's key, each where it exists. Returns the result of
    // opening the product's key; a missing key only leaves the defaults.
    LONG Initialize();
    // The setting's value in *lpdwValue: the policy's, else the product's, clamped to the range;
    // else the default. Returns the result of reading the product's value (0 when the policy's was
    // read). A value of another type than REG_DWORD counts as missing (13).
    LONG Query(DWORD dwSetting, LPDWORD lpdwValue);
    // The same without the result.
    DWORD Get(DWORD dwSetting);
    // The alarm's playing time in milliseconds: (interval + duration) x count.
    DWORD AlarmTime();
    void Finalize();

    // The setting's name, default and range; NULL for an index out of range.
    static const SETTINGDEF* Definition(DWORD dwSetting);

private:
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    CRegistry m_Policy;
    CRegistry m_Product;
    BOOL m_bPolicy;
    BOOL m_bProduct;
};
