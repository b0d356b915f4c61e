// When to hibernate before the wait after an AC loss runs out, judged one poll of the battery in
// use at a time (every 500 ms from the flicker wait's end on). No device, no clock of its own:
// the AC-line watcher feeds it and sets the timer for the deadline it names.
#pragma once

#include "MIRELAPI.h"

#include <windows.h>

// One poll of the battery in use.
typedef struct _S4POLL {
    BOOL bLineOff;            // the line is off (and no refresh of the maker's battery runs)
    BOOL bBatteryPresent;     // the battery in use is there
    DWORD dwRuntime;          // seconds; WATCH_UNKNOWN_RUNTIME when unknown
    BOOL bCritical;           // the device reports itself critical
    ULONGLONG ullElapsedMs;   // since the flicker wait ended
    BOOL bCriticalFirm;       // the critical flag was weighed at its source: one poll is believed
} S4POLL;

class CEarlyS4Rules {
public:
    // No early hibernation named.
    static constexpr ULONGLONG kNoDeadline = ~0ULL;
    // A UPS that vanished during the loss: hibernate this long after it was found gone.
    static constexpr ULONGLONG kVanishedMs = 15000;

    enum Verdict {
        VERDICT_WAIT,   // keep waiting for Deadline() or the normal one
        VERDICT_AC_ON,  // the vanished battery is back with the line on: the loss is over
    };

    CEarlyS4Rules();
    // A new loss. dwGraceMs: the alarm and balloon time granted before an early hibernation;
    // bWatchVanish: the battery in use is a UPS, whose vanishing reads as the line's return.
    void Begin(DWORD dwGraceMs, BOOL bWatchVanish);
    // Takes one poll; dwReserveSec is the runtime reserve in force (0: off).
    Verdict Feed(const S4POLL& poll, DWORD dwReserveSec);
    // Elapsed ms at which to hibernate early, kNoDeadline for none.
    ULONGLONG Deadline() const;
    // WATCHCAUSE_ of Deadline(); WATCHCAUSE_TIMER when none is named.
    DWORD Cause() const;
    // The runtime of the latest poll.
    DWORD Runtime() const { return m_dwRuntime; }
    // The battery in use vanished and has not come back.
    BOOL IsSourceLost() const { return m_bLost; }

private:
    void FeedPresent(const S4POLL& poll, DWORD dwReserveSec);

    DWORD m_dwGraceMs;
    BOOL m_bWatchVanish;
    BOOL m_bSeen;              // the battery in use was there at some poll of this loss
    BOOL m_bLost;
    DWORD m_dwCriticalPolls;   // critical polls in a row with the line off
    DWORD m_dwRuntime;
    ULONGLONG m_ullAt[4];      // deadline per WATCHCAUSE_ (the timer's slot stays unused)
};
