// The network UPS's link as the service last read it, and which changes of it are worth an entry
// in the Application log. The link is read on the watch starter's thread (the library's reading
// may wait on the network); the main loop and the pipe threads only look at the value kept here.
#pragma once

#include "MIRELAPI.h"

#include <windows.h>

class CUpsLink {
public:
    CUpsLink();

    // WATCHLINK_STARTING when a network UPS is set, WATCHLINK_NONE otherwise.
    void Reset(bool bMonitorSet);
    // Keeps the new link; returns the message of the change (0: none worth logging).
    DWORD Update(DWORD dwLink);
    DWORD Get() const { return static_cast<DWORD>(m_lLink); }
    // The network UPS powers the PC through a loss: its server answers, or held it while on battery.
    bool IsPowering() const { return IsPowering(Get()); }

    static bool IsPowering(DWORD dwLink);
    // The entry for a change from dwPrevious to dwNext; 0: none. Only a change of what an
    // administrator must do is logged: a server that comes and goes does not fill the log.
    static DWORD Message(DWORD dwPrevious, DWORD dwNext);

private:
    static DWORD MessageOf(DWORD dwLink);

    volatile LONG m_lLink;
};
