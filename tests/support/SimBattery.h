// The simulated battery device and the simulated power supply, for every test that needs a
// battery or a mains failure under Wine. Both live only in the tests.
//
// Battery devices: the kernel driver mirelsimbatt.sys (tests/battery/simbatt) installed as the
// driver service "MirelSimBatt". It creates 1 to 3 battery interfaces ROOT\SIMBATT\000n that the
// device-setup API enumerates in that order, answers the battery class controls and the maker's
// refresh-state control, and re-reads its settings on every request, so a Set... call takes
// effect at once, also in other processes (the service, the tray application).
//
// Power supply: scripts/test.sh mounts a tmpfs over /sys/class/power_supply (seen from Wine as
// Z:\sys\class\power_supply) inside a private mount namespace, with the AC line online and no
// battery.
// Wine's GetSystemPowerStatus re-reads it on every call: ACLineStatus follows AC\online, and a
// BAT0 entry makes the system report a battery (BatteryFlag without 0x80).
//
//   testsupport::SimBattery batt(2);            // installs two batteries, removed at scope end
//   ASSERT_EQ(0u, batt.Result());
//   batt.SetCapacity(0, 41230, 47520);          // 87 %
//   testsupport::ScopedPowerSupply power;       // restores "AC online, no battery" at scope end
//   power.SetAcOnline(false);
//   power.SetBatteryPresent(40);
//
// The harness program simbatt_ctl.exe offers the same from a command line.
#pragma once

#include <windows.h>

#include <string>

// PowerState bits of the battery class.
#ifndef BATTERY_DISCHARGING_STATE
#define BATTERY_DISCHARGING_STATE 0x2
#endif

namespace testsupport {

// ---- simulated battery devices ----

extern const wchar_t kSimBattService[];     // "MirelSimBatt"
extern const wchar_t kSimBattDriverFile[];  // "mirelsimbatt.sys", built next to the tests

// Installs and starts the driver with count batteries (1 to 3), each with default settings
// (40000 of 50000, name "MIREL SIMBATT <n>", refresh status word 1, tag 1, no failing control).
// Removes an earlier installation first. 0 or a Windows error code.
DWORD InstallSimBattery(DWORD count = 1);
// Stops and deletes the driver service and its interface registration; 0 when nothing is left.
DWORD RemoveSimBattery();
// True while the driver's first battery interface can be opened.
bool SimBatteryRunning();

// Settings of battery index (0 to 2); each takes effect with the driver's next request. Values:
// Remaining, Full (0xFFFFFFFF: capacity unknown), Psts, PstsBytes (bytes the refresh-state
// control returns, 0 to 4), Tag, FailControl, FailStatus, Capabilities, Chemistry, PowerState,
// Rate, EstimatedTime (absent: the driver refuses that query).
bool SetSimBatteryValue(DWORD index, const wchar_t* valueName, DWORD value);
bool SetSimBatteryCapacity(DWORD index, DWORD remaining, DWORD fullCharged);
bool SetSimBatteryName(DWORD index, const std::wstring& name);
// The status word of the maker's refresh-state control (0 or 2: refresh in progress).
bool SetSimBatteryPsts(DWORD index, DWORD statusWord);
// 0 means "no battery in the slot": every control that names the tag fails.
bool SetSimBatteryTag(DWORD index, DWORD tag);
// Makes one control code fail with the given NTSTATUS (Wine passes the caller the matching
// Windows error); control 0 clears it.
bool SetSimBatteryFailure(DWORD index, DWORD controlCode, DWORD ntStatus);
// Back to the defaults.
bool ResetSimBattery(DWORD index);
// A USB UPS as Windows presents one: a short-term system battery, "PbAc", relative capacity
// (percent of 100), on battery power (discharging, PowerState as given) with the given
// BatteryEstimatedTime answer in seconds.
bool SetSimBatteryUps(DWORD index, DWORD percent, DWORD estimatedSec,
                      DWORD powerState = BATTERY_DISCHARGING_STATE);
// BATTERY_STATUS.PowerState and Rate (negative while discharging).
bool SetSimBatteryState(DWORD index, DWORD powerState, LONG rate);

// Installs on construction, removes on destruction.
class SimBattery {
public:
    explicit SimBattery(DWORD count = 1) : m_result(InstallSimBattery(count)) {}
    ~SimBattery() { RemoveSimBattery(); }
    SimBattery(const SimBattery&) = delete;
    SimBattery& operator=(const SimBattery&) = delete;

    DWORD Result() const { return m_result; }
    bool SetCapacity(DWORD index, DWORD remaining, DWORD full) { return SetSimBatteryCapacity(index, remaining, full); }
    bool SetName(DWORD index, const std::wstring& name) { return SetSimBatteryName(index, name); }
    bool SetPsts(DWORD index, DWORD word) { return SetSimBatteryPsts(index, word); }
    bool SetTag(DWORD index, DWORD tag) { return SetSimBatteryTag(index, tag); }
    bool SetFailure(DWORD index, DWORD code, DWORD status) { return SetSimBatteryFailure(index, code, status); }
    bool SetUps(DWORD index, DWORD percent, DWORD estimatedSec, DWORD powerState = BATTERY_DISCHARGING_STATE)
    {
        return SetSimBatteryUps(index, percent, estimatedSec, powerState);
    }

private:
    DWORD m_result;
};

// ---- simulated power supply ----

extern const wchar_t kPowerSupplyDir[];  // L"Z:\\sys\\class\\power_supply"

// True when the writable power-supply folder is there (the tests run under scripts/test.sh).
bool PowerSupplyAvailable();
bool SetAcOnline(bool online);
// A battery entry BAT0 at percent (0 to 100), discharging unless charging is set.
bool SetBatteryPresent(DWORD percent, bool charging = false);
bool SetBatteryAbsent();
// AC online, no battery: the state scripts/test.sh starts with.
bool RestorePowerSupply();

// Restores the power supply on destruction.
class ScopedPowerSupply {
public:
    ScopedPowerSupply() = default;
    ~ScopedPowerSupply() { RestorePowerSupply(); }
    ScopedPowerSupply(const ScopedPowerSupply&) = delete;
    ScopedPowerSupply& operator=(const ScopedPowerSupply&) = delete;

    bool Available() const { return PowerSupplyAvailable(); }
    bool SetAcOnline(bool online) { return testsupport::SetAcOnline(online); }
    bool SetBatteryPresent(DWORD percent, bool charging = false) { return testsupport::SetBatteryPresent(percent, charging); }
    bool SetBatteryAbsent() { return testsupport::SetBatteryAbsent(); }
};

}  // namespace testsupport
