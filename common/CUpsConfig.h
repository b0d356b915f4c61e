// The network UPS that may protect this PC, as the settings name it. "UpsMonitor" (REG_SZ,
// upsname@host[:port]) lives in the settings key, which every user may read: the tray application
// words its alerts for a UPS when one is set. The account the service logs in with, "UpsUser" and
// "UpsPassword" (REG_SZ), lives in a subkey that only SYSTEM and the Administrators may open. A
// policy value of "UpsMonitor" or "UpsUser" wins over the product's; the password is never a
// policy, as the policy key is readable by every user.
#pragma once

#include <windows.h>

#define MIREL_UPS_CREDENTIALS_KEY L"Software\\Orvane\\OrvaneMirel\\UpsCredentials"

#define UPSCONFIG_MONITOR_CHARS 256
#define UPSCONFIG_CREDENTIAL_CHARS 128

struct UPSCONFIG {
    WCHAR szMonitor[UPSCONFIG_MONITOR_CHARS];      // empty: no network UPS
    WCHAR szUser[UPSCONFIG_CREDENTIAL_CHARS];      // empty: no login
    WCHAR szPassword[UPSCONFIG_CREDENTIAL_CHARS];
};

class CUpsConfig {
public:
    CUpsConfig();
    // The password does not outlive the object.
    ~CUpsConfig();

    // Whether a network UPS is set, for a reader that needs no more (any user may ask).
    static bool IsMonitorSet();
    // Everything, for the service: the credentials key is created or secured again first, so
    // that a key an administrator made by hand (inheriting the settings key's DACL, which lets
    // every user read) does not stay readable. A value of another type than REG_SZ, or longer
    // than its buffer, is an error (13 or 234) and BadValue names it; nothing is cut: a cut host
    // or password would only fail later in a way nobody can trace.
    DWORD Read();
    const UPSCONFIG& Get() const { return m_Config; }
    // The name of the value that made Read fail; empty otherwise.
    LPCWSTR BadValue() const { return m_lpszBadValue; }

    static DWORD SecureCredentialsKey();
    // The credentials key's DACL in SDDL form.
    static LPCWSTR CredentialsSddl();

private:
    CUpsConfig(const CUpsConfig&) = delete;
    CUpsConfig& operator=(const CUpsConfig&) = delete;

    DWORD ReadOne(HKEY hKey, LPCWSTR lpszName, LPWSTR lpszValue, DWORD cchValue);
    void Wipe();

    UPSCONFIG m_Config;
    LPCWSTR m_lpszBadValue;
};
