// Settings and records of the stand-in power-management library that replaces powrprof.dll for
// the service under test (loaded through Wine's native-DLL override).
#pragma once

// Below HKEY_LOCAL_MACHINE; every value is re-read on each call.
//   "SystemS4", "HiberFilePresent"  DWORD, default 1: what GetPwrCapabilities reports
//   "HiberFileType"                 DWORD, default 0 (not reported, as before Windows 10): the
//                                   kind of hibernation file; 1 = reduced, 2 = full
//   "CapabilitiesError"             DWORD, default 0: non-zero makes GetPwrCapabilities fail
//   "SuspendError"                  DWORD, default 0: non-zero makes SetSuspendState fail with it
//   "SuspendBlockMs"                DWORD, default 0: how long SetSuspendState blocks
#define POWRPROF_SETTINGS_KEY L"Software\\Orvane\\MirelTest\\PowrProf"
// SetSuspendState fails with 1314 (ERROR_PRIVILEGE_NOT_HELD) unless the caller's token holds the
// shutdown privilege enabled.
// Each SetSuspendState call appends "<hibernate> <force> <wakeupEventsDisabled>\r\n" to this file
// in the common application-data folder and sets this event.
#define POWRPROF_CALLS_FILE L"powrprof_calls.txt"
#define POWRPROF_CALLED_EVENT L"Global\\mirel_test_suspend_called"
