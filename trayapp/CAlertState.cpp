#include "CAlertState.h"

#include "Notify.h"
#include "resource.h"

#include <shellapi.h>
#include <strsafe.h>

// The conditions in balloon priority order: flag, code, text, info flag, seconds on screen.
const CAlertState::BalloonCondition CAlertState::kBalloons[] = {
    { &CAlertState::m_bNoBattery, NOTIFY_NO_BATTERY, &CAlertState::m_szNoBatteryText, NIIF_INFO, 30 },
    { &CAlertState::m_bGoingToHibernate, NOTIFY_HIBERNATING, &CAlertState::m_szGoingToHibernateText, NIIF_INFO, 30 },
    { &CAlertState::m_bS4Disabled, NOTIFY_S4_DISABLED, &CAlertState::m_szS4DisabledText, NIIF_INFO, 10 },
    { &CAlertState::m_bServiceStopped, NOTIFY_SERVICE_STOPPED, &CAlertState::m_szServiceStoppedText, NIIF_ERROR, 10 },
    { &CAlertState::m_bS4Failed, NOTIFY_S4_FAILED, &CAlertState::m_szS4FailedText, NIIF_ERROR, 10 },
    { &CAlertState::m_bBatteryLow, NOTIFY_BATTERY_LOW, &CAlertState::m_szBatteryLowText, NIIF_WARNING, 30 },
};

// The conditions in message priority order: flag, code, text, icon.
const CAlertState::MessageCondition CAlertState::kMessages[] = {
    { &CAlertState::m_bS4Disabled, NOTIFY_S4_DISABLED, &CAlertState::m_szS4DisabledText, MB_ICONINFORMATION },
    { &CAlertState::m_bServiceStopped, NOTIFY_SERVICE_STOPPED, &CAlertState::m_szServiceStoppedText, MB_ICONERROR },
    { &CAlertState::m_bS4Failed, NOTIFY_S4_FAILED, &CAlertState::m_szS4FailedText, MB_ICONERROR },
    { &CAlertState::m_bResumed, NOTIFY_RESUMED, &CAlertState::m_szResumedText, MB_ICONINFORMATION },
};

CAlertState::CAlertState(HINSTANCE hTexts)
    : m_hTexts(hTexts),
      m_bBalloonShown(FALSE),
      m_bNoBattery(FALSE),
      m_bServiceStopped(FALSE),
      m_bS4Failed(FALSE),
      m_bS4Disabled(FALSE),
      m_bResumed(FALSE),
      m_bBatteryLow(FALSE),
      m_bGoingToHibernate(FALSE),
      m_nMessageKind(0),
      m_nBalloonKind(0),
      m_TopBalloon(),
      m_TopMessage()
{
    const LPWSTR texts[] = { m_szNoBatteryText, m_szServiceStoppedText, m_szS4FailedText,
                             m_szS4DisabledText, m_szResumedText, m_szBatteryLowText,
                             m_szGoingToHibernateText };
    for (LPWSTR lpszText : texts) {
        lpszText[0] = L'\0';
    }
}

// A request holds when none of the conditions it names is set.
void CAlertState::GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
                                  LPBOOL lpbPopBalloon) const
{
    const BOOL bMessageShown = m_bS4Disabled || m_bServiceStopped || m_bS4Failed;
    const BOOL bTopBalloons = m_bNoBattery || m_bGoingToHibernate;
    BOOL bShowMessage = FALSE, bRefreshIcon = FALSE, bPopBalloon = FALSE;
    switch (dwCode) {
    case NOTIFY_RESUMED:
        bShowMessage = !(bMessageShown || m_bResumed);
        break;
    case NOTIFY_S4_DISABLED:
        bShowMessage = !m_bS4Disabled;
        bRefreshIcon = !(bTopBalloons || m_bS4Disabled);
        break;
    case NOTIFY_S4_FAILED:
        bShowMessage = !bMessageShown;
        bRefreshIcon = !(bTopBalloons || m_bS4Disabled || m_bServiceStopped);
        break;
    case NOTIFY_HIBERNATING:
        bRefreshIcon = bPopBalloon = !bTopBalloons;
        break;
    case NOTIFY_BATTERY_LOW:
        bRefreshIcon = bPopBalloon = !(bTopBalloons || bMessageShown || m_bBatteryLow);
        break;
    case NOTIFY_SERVICE_STOPPED:
        bShowMessage = !(m_bS4Disabled || m_bServiceStopped);
        bRefreshIcon = !(bTopBalloons || m_bS4Disabled || m_bServiceStopped);
        break;
    case NOTIFY_NO_BATTERY:
        bRefreshIcon = bPopBalloon = !m_bNoBattery;
        break;
    }
    *lpbShowMessage = bShowMessage;
    *lpbRefreshIcon = bRefreshIcon;
    *lpbPopBalloon = bPopBalloon;
}

void CAlertState::Apply(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked)
{
    switch (dwCode) {
    case NOTIFY_RESUMED:
        LoadText(IDS_RESUMED, m_szResumedText);
        m_bGoingToHibernate = FALSE;
        // Unseen while locked, and not kept for later; a resume already waiting stays.
        if (bSessionUnlocked) {
            m_bResumed = TRUE;
        }
        break;
    case NOTIFY_S4_DISABLED:
        LoadText(IDS_S4_DISABLED, m_szS4DisabledText);
        m_bS4Disabled = TRUE;
        m_bGoingToHibernate = m_bResumed = FALSE;
        break;
    case NOTIFY_S4_FAILED: {
        WCHAR szFormat[512];
        LoadText(IDS_S4_FAILED, szFormat);
        ::StringCchPrintfW(m_szS4FailedText, ARRAYSIZE(m_szS4FailedText), szFormat, dwValue);
        m_bS4Failed = TRUE;
        m_bGoingToHibernate = m_bResumed = FALSE;
        break;
    }
    case NOTIFY_AC_RESTORED:
        if (m_bS4Failed || m_bS4Disabled) {
            m_bS4Failed = m_bS4Disabled = m_bResumed = FALSE;
        }
        m_bGoingToHibernate = FALSE;
        break;
    case NOTIFY_HIBERNATING:
        LoadText(IDS_GOING_TO_HIBERNATE, m_szGoingToHibernateText);
        m_bGoingToHibernate = TRUE;
        break;
    case NOTIFY_S4_ENABLED:      m_bS4Disabled = FALSE; break;
    case NOTIFY_BATTERY_LOW:
        LoadText(IDS_BATTERY_LOW, m_szBatteryLowText);
        m_bBatteryLow = TRUE;
        break;
    case NOTIFY_BATTERY_OK:      m_bBatteryLow = FALSE; break;
    case NOTIFY_SERVICE_STOPPED:
        LoadText(IDS_SERVICE_STOPPED, m_szServiceStoppedText);
        m_bServiceStopped = TRUE;
        m_bResumed = FALSE;
        break;
    case NOTIFY_SERVICE_RUNNING: m_bServiceStopped = FALSE; break;
    case NOTIFY_NO_BATTERY:
        LoadText(IDS_NO_BATTERY, m_szNoBatteryText);
        m_bNoBattery = TRUE;
        break;
    case NOTIFY_BATTERY_PRESENT: m_bNoBattery = FALSE; break;
    }
}

const CAlertState::Balloon* CAlertState::TopBalloon() const
{
    for (const BalloonCondition& c : kBalloons) {
        if (this->*c.pbFlag) {
            m_TopBalloon = { c.dwCode, this->*c.pszText, c.dwInfoFlags, c.nSeconds };
            return &m_TopBalloon;
        }
    }
    return NULL;
}

const CAlertState::Message* CAlertState::TopMessage() const
{
    for (const MessageCondition& c : kMessages) {
        if (this->*c.pbFlag) {
            m_TopMessage = { c.dwCode, this->*c.pszText, c.uIcon };
            return &m_TopMessage;
        }
    }
    return NULL;
}

// No condition: the icon goes. A pop request pops the top balloon; a refresh request brings the
// bare icon. Otherwise the top condition's balloon stays, and a balloon of another condition (or
// a missing icon) is replaced by the bare icon: an icon already standing without a balloon would
// only be modified to what it is, and the battery level comes twice a second.
CAlertState::BalloonStep CAlertState::NextBalloonStep(BOOL bRefreshIcon, BOOL bPopBalloon,
                                                      BOOL bIconShown) const
{
    const Balloon* pTop = TopBalloon();
    if (pTop == NULL) {
        return BALLOON_REMOVE_ICON;
    }
    if (bPopBalloon) {
        return BALLOON_POP;
    }
    if (bRefreshIcon) {
        return BALLOON_REFRESH;
    }
    if (m_nBalloonKind != static_cast<int>(pTop->dwCode) && (m_bBalloonShown || !bIconShown)) {
        return BALLOON_REPLACE;
    }
    return BALLOON_KEEP;
}

CAlertState::MessageStep CAlertState::NextMessageStep(BOOL bShowMessage) const
{
    const Message* pTop = TopMessage();
    if (pTop == NULL) {
        return MESSAGE_CLOSE;
    }
    if (bShowMessage) {
        return MESSAGE_SHOW;
    }
    return m_nMessageKind != static_cast<int>(pTop->dwCode) ? MESSAGE_CLOSE_OTHER : MESSAGE_KEEP;
}

void CAlertState::BalloonPopped(DWORD dwCode)
{
    m_nBalloonKind = static_cast<int>(dwCode);
    m_bBalloonShown = TRUE;
}

void CAlertState::BalloonGone()
{
    m_nBalloonKind = 0;
    m_bBalloonShown = FALSE;
}

// The resume message is told once: closing its box ends the condition.
void CAlertState::MessageClosed(DWORD dwCode)
{
    m_nMessageKind = 0;
    if (dwCode == NOTIFY_RESUMED) {
        m_bResumed = FALSE;
    }
}

BOOL CAlertState::Holds(DWORD dwCode) const
{
    for (const BalloonCondition& c : kBalloons) {
        if (c.dwCode == dwCode) {
            return this->*c.pbFlag;
        }
    }
    return dwCode == NOTIFY_RESUMED ? m_bResumed : FALSE;
}

LPCWSTR CAlertState::Text(DWORD dwCode) const
{
    for (const BalloonCondition& c : kBalloons) {
        if (c.dwCode == dwCode) {
            return this->*c.pszText;
        }
    }
    return L"";
}

void CAlertState::LoadText(UINT uId, LPWSTR lpszText)
{
    if (m_hTexts == NULL || ::LoadStringW(m_hTexts, uId, lpszText, 512) <= 0) {
        lpszText[0] = L'\0';
    }
}
