// Writing the settings the programs under test read from HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// The product's settings key and the key of the test stand-ins' own settings.
extern const wchar_t kSettingsKey[];
extern const wchar_t kTestKey[];

bool SetRegDword(const std::wstring& key, const std::wstring& name, DWORD value);
bool SetRegString(const std::wstring& key, const std::wstring& name, const std::wstring& value);
bool DeleteRegValue(const std::wstring& key, const std::wstring& name);
bool DeleteRegTree(const std::wstring& key);

}  // namespace testsupport
