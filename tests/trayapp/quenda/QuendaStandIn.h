// Settings and records of the stand-in toast library "QUENDA.dll" that the tray application loads
// from its own folder on Windows 8 and later.
#pragma once

// Below HKEY_LOCAL_MACHINE; re-read on each call.
//   "DisplayMode"      DWORD, default 1: what GetDisplayMode reports until SwitchToDT
//   "ModeAfterSwitch"  DWORD, default 1: what it reports once SwitchToDT was called
//   "Result"           DWORD, default 0: the result of every entry (0x80004005 makes them fail)
#define QUENDA_SETTINGS_KEY L"Software\\Orvane\\MirelTest\\Quenda"
// Each call appends one line to this file in the common application-data folder:
//   "Initialize", "InitToastCmnInf <app id> <window non-zero 0/1> <five values> <filler>",
//   "SwitchToDT <window non-zero 0/1>", "GetDisplayMode <mode>", "Finalize"
#define QUENDA_CALLS_FILE L"quenda_calls.txt"
