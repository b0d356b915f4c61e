// The simulated power supply: files in the tmpfs that scripts/test.sh mounts over
// /sys/class/power_supply, which Wine reads for GetSystemPowerStatus.
#include "SimBattery.h"

#include "ScopedHandle.h"

#include <string>

namespace testsupport {

const wchar_t kPowerSupplyDir[] = L"Z:\\sys\\class\\power_supply";

namespace {

// Capacities of the simulated system battery in µAh, and its voltage and current.
const DWORD kChargeFull = 5000000;
const wchar_t kVoltage[] = L"12000000";
const wchar_t kCurrent[] = L"1000000";

std::wstring EntryPath(const wchar_t* entry, const wchar_t* file = nullptr)
{
    std::wstring path = std::wstring(kPowerSupplyDir) + L"\\" + entry;
    return file ? path + L"\\" + file : path;
}

// Writes the file whole under a temporary name and renames it over the old one, so that Wine
// never reads a half-written value.
bool WriteValue(const std::wstring& path, const std::wstring& text)
{
    const std::wstring temp = path + L".new";
    const std::string bytes(text.begin(), text.end());
    {
        ScopedKernelHandle h(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, NULL));
        DWORD written = 0;
        const std::string line = bytes + "\n";
        if (!h.IsValid() || !::WriteFile(h.Get(), line.data(), static_cast<DWORD>(line.size()), &written, NULL)) {
            return false;
        }
    }
    return ::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

bool PowerSupplyAvailable()
{
    return ::GetFileAttributesW(EntryPath(L"AC", L"online").c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SetAcOnline(bool online)
{
    ::CreateDirectoryW(EntryPath(L"AC").c_str(), NULL);
    return WriteValue(EntryPath(L"AC", L"type"), L"Mains") &&
           WriteValue(EntryPath(L"AC", L"online"), online ? L"1" : L"0");
}

bool SetBatteryPresent(DWORD percent, bool charging)
{
    if (percent > 100) {
        return false;
    }
    ::CreateDirectoryW(EntryPath(L"BAT0").c_str(), NULL);
    // The type comes last: until then Wine does not take the entry for a battery.
    return WriteValue(EntryPath(L"BAT0", L"status"), charging ? L"Charging" : L"Discharging") &&
           WriteValue(EntryPath(L"BAT0", L"charge_full"), std::to_wstring(kChargeFull)) &&
           WriteValue(EntryPath(L"BAT0", L"charge_now"), std::to_wstring(kChargeFull / 100 * percent)) &&
           WriteValue(EntryPath(L"BAT0", L"voltage_now"), kVoltage) &&
           WriteValue(EntryPath(L"BAT0", L"current_now"), kCurrent) &&
           WriteValue(EntryPath(L"BAT0", L"type"), L"Battery");
}

bool SetBatteryAbsent()
{
    // The type goes first: from then on the entry is no battery.
    static const wchar_t* const kFiles[] = { L"type", L"status", L"charge_full", L"charge_now",
                                             L"voltage_now", L"current_now" };
    for (const wchar_t* file : kFiles) {
        ::DeleteFileW(EntryPath(L"BAT0", file).c_str());
    }
    ::RemoveDirectoryW(EntryPath(L"BAT0").c_str());
    return ::GetFileAttributesW(EntryPath(L"BAT0").c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool RestorePowerSupply()
{
    const bool battery = SetBatteryAbsent();
    return SetAcOnline(true) && battery;
}

}  // namespace testsupport
