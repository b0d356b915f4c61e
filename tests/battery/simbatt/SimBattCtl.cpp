// Command-line harness of the simulated battery and power supply, for scripts and manual runs:
//   simbatt_ctl install [count]          install and start the driver with 1 to 3 batteries
//   simbatt_ctl remove                   stop and delete it
//   simbatt_ctl set <n> <value> <dword>  Remaining, Full, Psts, Tag, FailControl, FailStatus
//   simbatt_ctl name <n> <text>          device name of battery n
//   simbatt_ctl reset <n>                battery n back to its defaults
//   simbatt_ctl ac on|off                AC line of the simulated power supply
//   simbatt_ctl battery <percent>|absent system battery of the simulated power supply
// Exits with 0 or a Windows error code.
#include "SimBattery.h"

#include <stdio.h>
#include <wchar.h>

using namespace testsupport;

namespace {

DWORD Ok(bool done)
{
    return done ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

DWORD Number(const wchar_t* text)
{
    return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

DWORD Run(int argc, wchar_t** argv)
{
    const std::wstring cmd = (argc > 1) ? argv[1] : L"";
    if (cmd == L"install") {
        return InstallSimBattery(argc > 2 ? Number(argv[2]) : 1);
    }
    if (cmd == L"remove") {
        return RemoveSimBattery();
    }
    if (cmd == L"set" && argc == 5) {
        return Ok(SetSimBatteryValue(Number(argv[2]), argv[3], Number(argv[4])));
    }
    if (cmd == L"name" && argc == 4) {
        return Ok(SetSimBatteryName(Number(argv[2]), argv[3]));
    }
    if (cmd == L"reset" && argc == 3) {
        return Ok(ResetSimBattery(Number(argv[2])));
    }
    if (cmd == L"ac" && argc == 3) {
        return Ok(SetAcOnline(wcscmp(argv[2], L"on") == 0));
    }
    if (cmd == L"battery" && argc == 3) {
        return Ok(wcscmp(argv[2], L"absent") == 0 ? SetBatteryAbsent() : SetBatteryPresent(Number(argv[2])));
    }
    fwprintf(stderr, L"usage: simbatt_ctl install [count] | remove | set <n> <value> <dword> | "
                     L"name <n> <text> | reset <n> | ac on|off | battery <percent>|absent\n");
    return ERROR_INVALID_PARAMETER;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const DWORD result = Run(argc, argv);
    if (result != ERROR_SUCCESS) {
        fwprintf(stderr, L"simbatt_ctl: error %lu\n", result);
    }
    return static_cast<int>(result);
}
