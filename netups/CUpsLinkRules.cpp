#include "CUpsLinkRules.h"

#include <string.h>

CUpsLinkRules::CUpsLinkRules(DWORD dwDeadTime)
    : m_dwDeadTimeMs(0),
      m_ullNextDue(0),
      m_ullHoldSince(0),
      m_bWasOnline(false),
      m_LastLine(UpsLineUnknown),
      m_bLastCritical(false),
      m_Snapshot()
{
    if (dwDeadTime < NETUPS_DEADTIME_MIN) {
        dwDeadTime = NETUPS_DEADTIME_MIN;
    } else if (dwDeadTime > NETUPS_DEADTIME_MAX) {
        dwDeadTime = NETUPS_DEADTIME_MAX;
    }
    m_dwDeadTimeMs = dwDeadTime * 1000;
    m_Snapshot.link = UpsLinkStarting;
    ClearValues();
}

void CUpsLinkRules::ClearValues()
{
    m_Snapshot.bLineOff = false;
    m_Snapshot.bCritical = false;
    m_Snapshot.nPercent = NETUPS_UNKNOWN;
    m_Snapshot.nRuntime = NETUPS_UNKNOWN;
    m_Snapshot.szStatus[0] = L'\0';
}

void CUpsLinkRules::SetError(const char* lpszWord)
{
    size_t i = 0;
    for (; lpszWord != NULL && lpszWord[i] != '\0' && i + 1 < NETUPS_MAX_ERROR; ++i) {
        m_Snapshot.szError[i] = static_cast<WCHAR>(static_cast<unsigned char>(lpszWord[i]));
    }
    m_Snapshot.szError[i] = L'\0';
}

DWORD CUpsLinkRules::GetWaitMs(ULONGLONG ullNow) const
{
    ULONGLONG ullNext = m_ullNextDue;
    if (m_Snapshot.link == UpsLinkHolding && !m_Snapshot.bCritical) {
        const ULONGLONG ullCritical = m_ullHoldSince + m_dwDeadTimeMs;
        ullNext = (ullCritical < ullNext) ? ullCritical : ullNext;
    }
    return (ullNext > ullNow) ? static_cast<DWORD>(ullNext - ullNow) : 0;
}

bool CUpsLinkRules::OnReading(ULONGLONG ullNow, const UpsReading& reading)
{
    const bool bChanged = (m_Snapshot.link != UpsLinkOnline);
    m_Snapshot.link = UpsLinkOnline;
    m_Snapshot.bLineOff = (reading.line == UpsLineOff);
    m_Snapshot.bCritical = reading.bCritical;
    m_Snapshot.nPercent = reading.nPercent;
    m_Snapshot.nRuntime = reading.nRuntime;
    memcpy(m_Snapshot.szStatus, reading.szStatus, sizeof(m_Snapshot.szStatus));
    m_bWasOnline = true;
    m_LastLine = reading.line;
    m_bLastCritical = reading.bCritical;
    m_ullNextDue = ullNow + NETUPS_POLL_MS;
    return bChanged;
}

// Where a failure leads. Held on battery stays held whatever comes: only a reading ends it.
UpsLink CUpsLinkRules::LinkAfter(UpsFailure failure) const
{
    const UpsLink current = m_Snapshot.link;
    if (current == UpsLinkHolding || (current == UpsLinkOnline && m_LastLine == UpsLineOff)) {
        return UpsLinkHolding;
    }
    switch (failure) {
    case UpsFailDenied:
        return UpsLinkDenied;
    case UpsFailUnknownUps:
        return UpsLinkUnknownUps;
    case UpsFailUnreachable:
        // Not reached since the start; once it was, the link stays "lost" until it answers.
        if (!m_bWasOnline) {
            return UpsLinkUnreachable;
        }
        return (current == UpsLinkOnline) ? UpsLinkLost : current;
    default:
        return UpsLinkLost;
    }
}

bool CUpsLinkRules::OnFailure(ULONGLONG ullNow, UpsFailure failure, const char* lpszWord)
{
    const UpsLink next = LinkAfter(failure);
    const bool bChanged = (next != m_Snapshot.link);
    if (next == UpsLinkHolding && m_Snapshot.link != UpsLinkHolding) {
        m_ullHoldSince = ullNow;
    }
    if (next != UpsLinkHolding) {
        ClearValues();
    }
    m_Snapshot.link = next;
    SetError(lpszWord);
    m_ullNextDue = ullNow + NETUPS_RETRY_MS;
    OnTick(ullNow);
    return bChanged;
}

void CUpsLinkRules::OnTick(ULONGLONG ullNow)
{
    if (m_Snapshot.link == UpsLinkHolding) {
        m_Snapshot.bCritical = m_bLastCritical || ullNow - m_ullHoldSince >= m_dwDeadTimeMs;
    }
}
