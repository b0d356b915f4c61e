// The rules of the link to the UPS server, fed with the time and each round's outcome; no I/O,
// so every path can be driven by a table. Decides the snapshot readers see and when the next
// round is due: a reading every 2 s while the link holds, an attempt every 5 s after a failure.
// A failure while the UPS was last seen on battery holds its values (the UPS may be about to
// die) and turns critical after the dead time; any other failure gives the link up, so the
// readers fall back to the local probes. Repeated failures of one kind change nothing.
#pragma once

#include "NetUpsTypes.h"

class CUpsLinkRules {
public:
    // dwDeadTime: seconds, clamped to 5-300.
    explicit CUpsLinkRules(DWORD dwDeadTime);

    // Whether the next round (a reading, or a connection attempt) is due at ullNow.
    bool IsDue(ULONGLONG ullNow) const { return ullNow >= m_ullNextDue; }
    // Milliseconds from ullNow until the next round or the end of the dead time.
    DWORD GetWaitMs(ULONGLONG ullNow) const;

    // Each returns true when the link state changed.
    bool OnReading(ULONGLONG ullNow, const UpsReading& reading);
    bool OnFailure(ULONGLONG ullNow, UpsFailure failure, const char* lpszWord);
    // Turns a held on-battery reading critical once the dead time has passed.
    void OnTick(ULONGLONG ullNow);

    const NetUpsSnapshot& GetSnapshot() const { return m_Snapshot; }
    DWORD GetDeadTimeMs() const { return m_dwDeadTimeMs; }

private:
    UpsLink LinkAfter(UpsFailure failure) const;
    void ClearValues();
    void SetError(const char* lpszWord);

    DWORD m_dwDeadTimeMs;
    ULONGLONG m_ullNextDue;
    ULONGLONG m_ullHoldSince;  // when the link was lost while on battery
    bool m_bWasOnline;         // a reading came since the start
    UpsLine m_LastLine;        // the line of the last reading
    bool m_bLastCritical;
    NetUpsSnapshot m_Snapshot;
};
