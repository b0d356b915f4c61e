// Who may do what with the installed service. By default interactive users may send a service
// its user-defined controls; here only the system and administrators may, because such a control
// starts a drill that warns every logged-on user.
#pragma once

#include <windows.h>

// The service's access rules as SDDL: the system and administrators as by default; interactive
// and service logons may still query and interrogate the service (the tray application asks
// for its state), but send it no user-defined control.
extern const WCHAR kServiceSddl[];

// Applies kServiceSddl's DACL to the service (opened with WRITE_DAC); 0 or the error.
DWORD RestrictServiceControl(SC_HANDLE hService);
