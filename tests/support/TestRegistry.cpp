#include "TestRegistry.h"

#include "CSettings.h"
#include "ScopedHandle.h"

namespace testsupport {

const wchar_t kSettingsKey[] = MIREL_SETTINGS_KEY;
const wchar_t kTestKey[] = L"Software\\Orvane\\MirelTest";

namespace {

bool SetValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data,
              DWORD size)
{
    ScopedRegKey hKey;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL,
                          hKey.Put(), NULL) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegSetValueExW(hKey.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                            size) == ERROR_SUCCESS;
}

}  // namespace

bool SetRegDword(const std::wstring& key, const std::wstring& name, DWORD value)
{
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

bool SetRegString(const std::wstring& key, const std::wstring& name, const std::wstring& value)
{
    return SetValue(key, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool DeleteRegValue(const std::wstring& key, const std::wstring& name)
{
    ScopedRegKey hKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, hKey.Put()) !=
        ERROR_SUCCESS) {
        return true;
    }
    const LONG r = ::RegDeleteValueW(hKey.Get(), name.c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

bool DeleteRegTree(const std::wstring& key)
{
    const LONG r = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    if (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND) {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        return true;
    }
    return false;
}

}  // namespace testsupport
