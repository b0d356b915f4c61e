// The library object: the caller's record, the two watchers and the snapshot between them.
#pragma once

#include "CBattWatch.h"
#include "CNetSource.h"
#include "CSourceSnapshot.h"
#include "CUPSWatch.h"
#include "MIRELAPI.h"

class CDllClass {
public:
    // net: the network UPS, which outlives the object (its options may come before it).
    explicit CDllClass(CNetSource& net);
    ~CDllClass();

    // Copies the record, starts the battery-level watcher, then judges the AC line.
    DWORD Initialize(LPWATCHDATA lpData);
    // Stops the battery-level watcher, then the AC-line watcher.
    void Finalize();
    void StartUPSWatch();
    void StopUPSWatch();
    // The network UPS's link and, while it is in force, its values (snapshot only); else a
    // reading of the battery in use through the AC-line watcher's battery object.
    DWORD GetWatchSource(LPWATCHSOURCE lpSource);

private:
    CDllClass(const CDllClass&) = delete;
    CDllClass& operator=(const CDllClass&) = delete;

    WATCHDATA m_Data;
    CNetSource& m_Net;
    // Before the watchers, which hold references to it.
    CSourceSnapshot m_Snapshot;
    CBattWatch m_BattWatch;
    CUPSWatch m_UPSWatch;
};

// The one library object; NULL while the library is not initialised.
extern CDllClass* g_pDllObj;
