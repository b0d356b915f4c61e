#include "CEarlyS4Rules.h"

namespace {

// One poll alone may be a glitch of the firmware; two in a row are believed.
const DWORD kCriticalPollsNeeded = 2;

}  // namespace

CEarlyS4Rules::CEarlyS4Rules()
{
    Begin(0, FALSE);
}

void CEarlyS4Rules::Begin(DWORD dwGraceMs, BOOL bWatchVanish)
{
    m_dwGraceMs = dwGraceMs;
    m_bWatchVanish = bWatchVanish;
    // A UPS chosen as the battery in use was there when the loss began.
    m_bSeen = bWatchVanish;
    m_bLost = FALSE;
    m_dwCriticalPolls = 0;
    m_dwRuntime = WATCH_UNKNOWN_RUNTIME;
    for (ULONGLONG& ullAt : m_ullAt) {
        ullAt = kNoDeadline;
    }
}

CEarlyS4Rules::Verdict CEarlyS4Rules::Feed(const S4POLL& poll, DWORD dwReserveSec)
{
    if (!poll.bBatteryPresent) {
        m_dwRuntime = WATCH_UNKNOWN_RUNTIME;
        m_dwCriticalPolls = 0;
        // Windows now says "line on, no battery", which is the UPS gone, not the mains back.
        if (m_bWatchVanish && m_bSeen && !m_bLost) {
            m_bLost = TRUE;
            m_ullAt[WATCHCAUSE_UPS_LOST] = poll.ullElapsedMs + kVanishedMs;
        }
        return VERDICT_WAIT;
    }
    m_bSeen = TRUE;
    m_dwRuntime = poll.dwRuntime;
    if (m_bLost) {
        m_bLost = FALSE;
        m_ullAt[WATCHCAUSE_UPS_LOST] = kNoDeadline;
        if (!poll.bLineOff) {
            return VERDICT_AC_ON;
        }
    }
    FeedPresent(poll, dwReserveSec);
    return VERDICT_WAIT;
}

void CEarlyS4Rules::FeedPresent(const S4POLL& poll, DWORD dwReserveSec)
{
    // Once named, an early deadline stays: a later reading never pushes it back.
    const ULONGLONG ullEarly = poll.ullElapsedMs + m_dwGraceMs;
    if (poll.bLineOff && dwReserveSec != 0 && poll.dwRuntime != WATCH_UNKNOWN_RUNTIME &&
        poll.dwRuntime <= dwReserveSec && m_ullAt[WATCHCAUSE_RUNTIME] == kNoDeadline) {
        m_ullAt[WATCHCAUSE_RUNTIME] = ullEarly;
    }
    m_dwCriticalPolls = (poll.bLineOff && poll.bCritical) ? m_dwCriticalPolls + 1 : 0;
    const DWORD dwNeeded = poll.bCriticalFirm ? 1 : kCriticalPollsNeeded;
    if (m_dwCriticalPolls >= dwNeeded && m_ullAt[WATCHCAUSE_CRITICAL] == kNoDeadline) {
        m_ullAt[WATCHCAUSE_CRITICAL] = ullEarly;
    }
}

ULONGLONG CEarlyS4Rules::Deadline() const
{
    return m_ullAt[Cause()];
}

DWORD CEarlyS4Rules::Cause() const
{
    DWORD dwCause = WATCHCAUSE_TIMER;
    for (DWORD i = WATCHCAUSE_RUNTIME; i <= WATCHCAUSE_UPS_LOST; ++i) {
        if (m_ullAt[i] < m_ullAt[dwCause]) {
            dwCause = i;
        }
    }
    return dwCause;
}
