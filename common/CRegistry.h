// Reads typed values below HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

class CRegistry {
public:
    CRegistry();
    ~CRegistry();

    // Opens lpszSubKey below the open key, or below HKEY_LOCAL_MACHINE when none is open.
    LONG OpenKey(LPCWSTR lpszSubKey, REGSAM samDesired);
    // 13 when the value is not REG_DWORD; *lpdwValue is untouched on every failure.
    LONG QueryDWORDValue(LPCWSTR lpszValueName, LPDWORD lpdwValue);
    // *lpdwChars: capacity of lpszValue in, characters read (terminator included) out.
    // With lpszValue NULL, returns the capacity the value needs.
    LONG QueryStringValue(LPCWSTR lpszValueName, LPWSTR lpszValue, LPDWORD lpdwChars);
    LONG CloseKey();

private:
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    HKEY CurrentKey() const { return (m_hKey != NULL) ? m_hKey : m_hRootKey; }

    HKEY m_hRootKey;
    HKEY m_hKey;
};
