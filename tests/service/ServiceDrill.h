// Shared by the tests and the benchmark that drive the installed service through AC-loss drills.
#pragma once

#include <windows.h>

#include <string>

namespace servicetest {

// Alarm 200 ms and balloon 300 ms: the hibernation call comes this long after the AC loss.
const DWORD kBeforeHibernateMs = 500;

// Settings for quick drills: the given flicker wait, no further delay, kBeforeHibernateMs.
void SetDrillSettings(DWORD flickerSeconds);
// Removes the values SetDrillSettings wrote (the debug log's settings below the key stay).
void ClearDrillSettings();
// Makes MIRELSVC.exe load the stand-in power library next to it, or the system's again.
bool UseStandInPowerLibrary(bool use);
// Runs MIRELSVC.exe with the arguments to its end; its exit code.
DWORD RunServiceCommand(const std::wstring& args);
// The process of the running service, 0 while it does not run.
DWORD ServiceProcessId();

}  // namespace servicetest
