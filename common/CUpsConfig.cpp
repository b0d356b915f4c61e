#include "CUpsConfig.h"

#include "CSettings.h"
#include "ScopedHandle.h"

#include <sddl.h>

namespace {

// Full control for SYSTEM and the Administrators, inherited by any subkey; nothing for anybody
// else. Protected (P): the settings key's read access for users does not flow in.
const WCHAR kCredentialsSddl[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

const WCHAR kMonitor[] = L"UpsMonitor";
const WCHAR kUser[] = L"UpsUser";
const WCHAR kPassword[] = L"UpsPassword";

// A missing key or value is no error: the setting is just not made.
bool IsMissing(LONG lRet)
{
    return lRet == ERROR_FILE_NOT_FOUND || lRet == ERROR_PATH_NOT_FOUND;
}

HKEY OpenForQuery(LPCWSTR lpszKey)
{
    HKEY hKey = NULL;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpszKey, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS
               ? hKey
               : NULL;
}

}  // namespace

CUpsConfig::CUpsConfig() : m_lpszBadValue(L"")
{
    ZeroMemory(&m_Config, sizeof(m_Config));
}

CUpsConfig::~CUpsConfig()
{
    Wipe();
}

void CUpsConfig::Wipe()
{
    ::SecureZeroMemory(&m_Config, sizeof(m_Config));
}

bool CUpsConfig::IsMonitorSet()
{
    CUpsConfig config;
    ScopedRegKey policy(OpenForQuery(MIREL_POLICY_KEY));
    ScopedRegKey product(OpenForQuery(MIREL_SETTINGS_KEY));
    WCHAR* const lpszMonitor = config.m_Config.szMonitor;
    if (config.ReadOne(policy.Get(), kMonitor, lpszMonitor, UPSCONFIG_MONITOR_CHARS) != ERROR_SUCCESS ||
        lpszMonitor[0] == L'\0') {
        config.ReadOne(product.Get(), kMonitor, lpszMonitor, UPSCONFIG_MONITOR_CHARS);
    }
    return lpszMonitor[0] != L'\0';
}

// One value into its buffer, whole and terminated, or the error and the value's name; a missing
// key (NULL) or value leaves the buffer empty.
DWORD CUpsConfig::ReadOne(HKEY hKey, LPCWSTR lpszName, LPWSTR lpszValue, DWORD cchValue)
{
    lpszValue[0] = L'\0';
    if (hKey == NULL) {
        return ERROR_SUCCESS;
    }
    DWORD cbValue = cchValue * sizeof(WCHAR);
    const LONG lRet = ::RegGetValueW(hKey, NULL, lpszName, RRF_RT_REG_SZ, NULL, lpszValue, &cbValue);
    if (lRet == ERROR_SUCCESS || IsMissing(lRet)) {
        if (lRet != ERROR_SUCCESS) {
            lpszValue[0] = L'\0';
        }
        return ERROR_SUCCESS;
    }
    lpszValue[0] = L'\0';
    m_lpszBadValue = lpszName;
    return (lRet == ERROR_UNSUPPORTED_TYPE) ? ERROR_INVALID_DATA : static_cast<DWORD>(lRet);
}

DWORD CUpsConfig::Read()
{
    Wipe();
    m_lpszBadValue = L"";
    ScopedRegKey policy(OpenForQuery(MIREL_POLICY_KEY));
    ScopedRegKey product(OpenForQuery(MIREL_SETTINGS_KEY));
    DWORD dwRet = ReadOne(policy.Get(), kMonitor, m_Config.szMonitor, UPSCONFIG_MONITOR_CHARS);
    if (dwRet == ERROR_SUCCESS && m_Config.szMonitor[0] == L'\0') {
        dwRet = ReadOne(product.Get(), kMonitor, m_Config.szMonitor, UPSCONFIG_MONITOR_CHARS);
    }
    if (dwRet != ERROR_SUCCESS || m_Config.szMonitor[0] == L'\0') {
        return dwRet;
    }
    dwRet = SecureCredentialsKey();
    ScopedRegKey credentials(OpenForQuery(MIREL_UPS_CREDENTIALS_KEY));
    if (dwRet == ERROR_SUCCESS) {
        dwRet = ReadOne(policy.Get(), kUser, m_Config.szUser, UPSCONFIG_CREDENTIAL_CHARS);
    }
    if (dwRet == ERROR_SUCCESS && m_Config.szUser[0] == L'\0') {
        dwRet = ReadOne(credentials.Get(), kUser, m_Config.szUser, UPSCONFIG_CREDENTIAL_CHARS);
    }
    if (dwRet == ERROR_SUCCESS) {
        dwRet = ReadOne(credentials.Get(), kPassword, m_Config.szPassword, UPSCONFIG_CREDENTIAL_CHARS);
    }
    return dwRet;
}

DWORD CUpsConfig::SecureCredentialsKey()
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kCredentialsSddl, SDDL_REVISION_1,
                                                                &pSd, NULL)) {
        return ::GetLastError();
    }
    ScopedLocalMem sd(pSd);
    SECURITY_ATTRIBUTES sa = { sizeof(sa), pSd, FALSE };
    ScopedRegKey key;
    LONG lRet = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, MIREL_UPS_CREDENTIALS_KEY, 0, NULL, 0,
                                  WRITE_DAC, &sa, key.Put(), NULL);
    if (lRet == ERROR_SUCCESS) {
        // A key that was there already keeps whatever DACL it had unless it is set again.
        lRet = ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, pSd);
    }
    return static_cast<DWORD>(lRet);
}

LPCWSTR CUpsConfig::CredentialsSddl()
{
    return kCredentialsSddl;
}
