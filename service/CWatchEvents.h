// What the service hands to the power-watch library: the settings and the five events the
// library signals, the options beyond that record (the UPS's runtime reserve, the network UPS and
// the event its link's changes set), and the drill's times derived from the same settings.
#pragma once

#include "CDrill.h"
#include "MIRELAPI.h"

#include <windows.h>

class CWatchEvents {
public:
    // Reads the settings into *pData and *pOptions and creates the record's five events and the
    // options' source event; on a failure none stays open.
    static DWORD Create(WATCHDATA* pData, WATCHOPTIONS* pOptions);
    static void Close(WATCHDATA* pData, WATCHOPTIONS* pOptions);
    // The network UPS's monitor and credentials into *pOptions. A value that cannot be read
    // leaves all three empty (the local probes protect) and is named in *ppBadValue.
    static DWORD ReadUps(WATCHOPTIONS* pOptions, LPCWSTR* ppBadValue);
    // A drill waits as a real loss would: the flicker, then until the hibernation is due; at the
    // deadline the runtime left must cover the reserve and the alarm and balloon before it.
    static DRILLTIMES DrillTimes(const WATCHDATA& data, const WATCHOPTIONS& options);

private:
    static void ReadSettings(WATCHDATA* pData, WATCHOPTIONS* pOptions);
};
