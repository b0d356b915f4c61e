// The battery in use as the battery-level watcher last read it. The AC-line watcher's poll in the
// hibernate wait copies this instead of asking the device, so that a hung battery driver holds
// back the level watcher only, never the S4 timer on the AC-line watcher's thread.
#pragma once

#include "CSrwLock.h"

#include <windows.h>

// One reading of the battery in use and of the line.
typedef struct _SOURCESTATE {
    BOOL bLineOff;    // the line is off (and no refresh of the maker's battery runs)
    BOOL bPresent;    // the battery in use is there
    DWORD dwPercent;  // BATTERY_PERCENTAGE_UNKNOWN when unknown
    DWORD dwRuntime;  // seconds; WATCH_UNKNOWN_RUNTIME when unknown
    BOOL bCritical;   // the device reports itself critical
} SOURCESTATE;

class CSourceSnapshot {
public:
    // A reading older than this tells nothing new: the level watcher may be stuck in the driver.
    static constexpr ULONGLONG kStaleMs = 3000;

    CSourceSnapshot();
    // Whether anyone reads the snapshot now: the AC-line watcher while its watch runs. The level
    // watcher reads the device for it only then, so an idle PC pays for the level alone.
    void SetWanted(BOOL bWanted) { ::InterlockedExchange(&m_lWanted, bWanted ? 1 : 0); }
    BOOL IsWanted() const { return ::InterlockedCompareExchange(&m_lWanted, 0, 0) != 0 ? TRUE : FALSE; }
    void Publish(const SOURCESTATE& state, ULONGLONG ullNowMs);
    // Copies the latest reading when it is newer than the one numbered *pullSeq and was taken
    // at most kStaleMs before ullNowMs; moves *pullSeq on. FALSE: nothing new to judge.
    BOOL ReadNew(ULONGLONG ullNowMs, ULONGLONG* pullSeq, SOURCESTATE* pState, ULONGLONG* pullTakenMs) const;

private:
    CSourceSnapshot(const CSourceSnapshot&) = delete;
    CSourceSnapshot& operator=(const CSourceSnapshot&) = delete;

    mutable volatile LONG m_lWanted;
    mutable CSrwLock m_Lock;  // held only to copy the fields below
    SOURCESTATE m_State;
    ULONGLONG m_ullSeq;       // 0: nothing published yet
    ULONGLONG m_ullTakenMs;
};
