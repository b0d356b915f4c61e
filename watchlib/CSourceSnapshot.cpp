#include "CSourceSnapshot.h"

CSourceSnapshot::CSourceSnapshot() : m_lWanted(0), m_State(), m_ullSeq(0), m_ullTakenMs(0)
{
}

void CSourceSnapshot::Publish(const SOURCESTATE& state, ULONGLONG ullNowMs)
{
    CSrwLock::CGuard guard(m_Lock);
    m_State = state;
    m_ullTakenMs = ullNowMs;
    ++m_ullSeq;
}

BOOL CSourceSnapshot::ReadNew(ULONGLONG ullNowMs, ULONGLONG* pullSeq, SOURCESTATE* pState,
                              ULONGLONG* pullTakenMs) const
{
    CSrwLock::CGuard guard(m_Lock);
    // Fed twice, one reading would count as two polls (the critical flag needs two in a row).
    if (m_ullSeq == 0 || m_ullSeq == *pullSeq) {
        return FALSE;
    }
    // An old reading must never pass for the current one: not as a vanished UPS, not as the line
    // back. The rules keep their state until the level watcher reads the device again.
    if (ullNowMs > m_ullTakenMs + kStaleMs) {
        return FALSE;
    }
    *pullSeq = m_ullSeq;
    *pState = m_State;
    *pullTakenMs = m_ullTakenMs;
    return TRUE;
}
