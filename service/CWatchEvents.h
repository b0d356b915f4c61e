// What the service hands to the power-watch library: the settings and the five events the
// library signals, and the drill's times derived from the same settings.
#pragma once

#include "CDrill.h"
#include "MIRELAPI.h"

#include <windows.h>

class CWatchEvents {
public:
    // Reads the settings into *pData and creates its five events; on a failure none stays open.
    static DWORD Create(WATCHDATA* pData);
    static void Close(WATCHDATA* pData);
    // A drill waits as a real loss would: the flicker, then until the hibernation is due.
    static DRILLTIMES DrillTimes(const WATCHDATA& data);

private:
    static void ReadSettings(WATCHDATA* pData);
};
