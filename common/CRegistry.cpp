#include "CRegistry.h"

CRegistry::CRegistry() : m_hRootKey(HKEY_LOCAL_MACHINE), m_hKey(NULL) {}

CRegistry::~CRegistry()
{
    CloseKey();
}

LONG CRegistry::OpenKey(LPCWSTR lpszSubKey, REGSAM samDesired)
{
    if (lpszSubKey == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY hKey = NULL;
    const LONG lRet = ::RegOpenKeyExW(CurrentKey(), lpszSubKey, 0, samDesired, &hKey);
    if (lRet == ERROR_SUCCESS) {
        CloseKey();
        m_hKey = hKey;
    }
    return lRet;
}

LONG CRegistry::QueryDWORDValue(LPCWSTR lpszValueName, LPDWORD lpdwValue)
{
    if (lpszValueName == NULL || lpdwValue == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dwType = 0;
    LONG lRet = ::RegQueryValueExW(CurrentKey(), lpszValueName, NULL, &dwType, NULL, NULL);
    if (lRet != ERROR_SUCCESS) {
        return lRet;
    }
    if (dwType != REG_DWORD) {
        return ERROR_INVALID_DATA;
    }
    DWORD dwValue = 0;
    DWORD cbData = sizeof(dwValue);
    lRet = ::RegQueryValueExW(CurrentKey(), lpszValueName, NULL, NULL,
                              reinterpret_cast<LPBYTE>(&dwValue), &cbData);
    if (lRet == ERROR_SUCCESS) {
        *lpdwValue = dwValue;
    }
    return lRet;
}

LONG CRegistry::QueryStringValue(LPCWSTR lpszValueName, LPWSTR lpszValue, LPDWORD lpdwChars)
{
    if (lpszValueName == NULL || lpdwChars == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dwType = 0;
    DWORD cbData = 0;
    LONG lRet = ::RegQueryValueExW(CurrentKey(), lpszValueName, NULL, &dwType, NULL, &cbData);
    if (lRet != ERROR_SUCCESS || dwType != REG_SZ || lpszValue == NULL) {
        *lpdwChars = cbData / sizeof(WCHAR);
        if (lRet == ERROR_SUCCESS && dwType != REG_SZ) {
            lRet = ERROR_INVALID_DATA;
        }
        return lRet;
    }
    cbData = *lpdwChars * sizeof(WCHAR);
    lRet = ::RegQueryValueExW(CurrentKey(), lpszValueName, NULL, NULL,
                              reinterpret_cast<LPBYTE>(lpszValue), &cbData);
    if (lRet == ERROR_SUCCESS) {
        *lpdwChars = cbData / sizeof(WCHAR);
    }
    return lRet;
}

LONG CRegistry::CloseKey()
{
    if (m_hKey == NULL) {
        return ERROR_SUCCESS;
    }
    const LONG lRet = ::RegCloseKey(m_hKey);
    if (lRet == ERROR_SUCCESS) {
        m_hKey = NULL;
    }
    return lRet;
}
