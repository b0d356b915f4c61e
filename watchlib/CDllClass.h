// The library object: the caller's record and the two watchers.
#pragma once

#include "CBattWatch.h"
#include "CUPSWatch.h"
#include "MIRELAPI.h"

class CDllClass {
public:
    CDllClass();
    ~CDllClass();

    // Copies the record, starts the battery-level watcher, then judges the AC line.
    DWORD Initialize(LPWATCHDATA lpData);
    // Stops the battery-level watcher, then the AC-line watcher.
    void Finalize();
    void StartUPSWatch();
    void StopUPSWatch();
    // A reading of the battery in use, through the AC-line watcher's battery object.
    DWORD GetWatchSource(LPWATCHSOURCE lpSource);

private:
    CDllClass(const CDllClass&) = delete;
    CDllClass& operator=(const CDllClass&) = delete;

    WATCHDATA m_Data;
    CBattWatch m_BattWatch;
    CUPSWatch m_UPSWatch;
};

// The one library object; NULL while the library is not initialised.
extern CDllClass* g_pDllObj;
