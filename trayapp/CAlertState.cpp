#include "CAlertState.h"

#include <strsafe.h>

CAlertState::CAlertState(HINSTANCE hTexts)
    : m_hTexts(hTexts),
      m_bShortTerm(FALSE),
      m_bNetworkUps(FALSE),
      m_bBalloonShown(FALSE),
      m_dwHeld(0),
      m_nMessageKind(0),
      m_nBalloonKind(0)
{
    for (WCHAR (&szText)[512] : m_szTexts) {
        szText[0] = L'\0';
    }
}

size_t CAlertState::Slot(DWORD dwCondition)
{
    size_t nSlot = 0;
    while (nSlot < kConditions && (dwCondition & (1u << nSlot)) == 0) {
        ++nSlot;
    }
    return nSlot;
}

// A code asks for what its condition has when nothing of the same or a higher rank holds already:
// a box opens at once; a balloon comes at once when its condition has no box, else only the icon
// comes and the balloon waits for the user. A repeat that carries a value is news for the balloon
// (the icon comes again), never a second box.
void CAlertState::GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
                                  LPBOOL lpbPopBalloon) const
{
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    BOOL bShowMessage = FALSE, bRefreshIcon = FALSE;
    if (pRow != NULL && pRow->dwRaises != 0) {
        const bool bNews = pRow->dwWireLen > sizeof(DWORD);
        bShowMessage = pRow->nMessageRank != 0;
        bRefreshIcon = pRow->nBalloonRank != 0;
        for (size_t i = 0; i < CNotifyTable::Count(); ++i) {
            const NOTIFYROW& held = CNotifyTable::Row(i);
            if ((held.dwRaises & m_dwHeld) == 0) {
                continue;
            }
            const bool bSelf = &held == pRow;
            bShowMessage &= !(held.nMessageRank != 0 && held.nMessageRank <= pRow->nMessageRank);
            bRefreshIcon &= !(held.nBalloonRank != 0 && held.nBalloonRank < pRow->nBalloonRank) &&
                            !(bSelf && !bNews);
        }
    }
    *lpbShowMessage = bShowMessage;
    *lpbRefreshIcon = bRefreshIcon;
    *lpbPopBalloon = bRefreshIcon && pRow->nMessageRank == 0;
}

void CAlertState::Apply(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked)
{
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    if (pRow == NULL) {
        return;
    }
    LoadText(*pRow, dwValue);
    if ((m_dwHeld & pRow->dwIfHeld) != 0) {
        m_dwHeld &= ~pRow->dwThenClears;
    }
    m_dwHeld &= ~pRow->dwClears;
    // Unseen while locked, and not kept for later; one already waiting stays.
    if (!pRow->bOnlySeen || bSessionUnlocked) {
        m_dwHeld |= pRow->dwRaises;
    }
}

const NOTIFYROW* CAlertState::TopRow(UINT NOTIFYROW::*pRank) const
{
    const NOTIFYROW* pTop = NULL;
    for (size_t i = 0; i < CNotifyTable::Count(); ++i) {
        const NOTIFYROW& row = CNotifyTable::Row(i);
        if ((row.dwRaises & m_dwHeld) != 0 && row.*pRank != 0 && (pTop == NULL || row.*pRank < pTop->*pRank)) {
            pTop = &row;
        }
    }
    return pTop;
}

CAlertState::Plan CAlertState::OnCode(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked,
                                      const Screen& screen)
{
    BOOL bShowMessage = FALSE, bRefreshIcon = FALSE, bPopBalloon = FALSE;
    GetAlertRequest(dwCode, &bShowMessage, &bRefreshIcon, &bPopBalloon);
    Apply(dwCode, dwValue, bSessionUnlocked);
    Plan plan = Redisplay(bShowMessage, bRefreshIcon, bPopBalloon, screen);
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    plan.bAlarm = pRow != NULL && pRow->bAlarm;
    return plan;
}

CAlertState::Plan CAlertState::Redisplay(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon,
                                         const Screen& screen)
{
    Plan plan = {};
    plan.bDisplay = screen.bDisplay;
    if (!plan.bDisplay) {
        return plan;
    }
    PlanBalloon(bRefreshIcon, bPopBalloon, screen.bIconShown, &plan);
    plan.lpszNotice = Holds(NOTIFY_HIBERNATING) ? Text(NOTIFY_HIBERNATING) : NULL;
    PlanMessage(bShowMessage, &plan);
    return plan;
}

CAlertState::Plan CAlertState::Withdraw()
{
    Plan plan = {};
    plan.bDisplay = TRUE;
    plan.balloon = BALLOON_REMOVE_ICON;
    plan.bBalloonWasShown = m_bBalloonShown;
    plan.message = MESSAGE_CLOSE;
    BalloonGone();
    return plan;
}

// The balloon's outcome is taken in here: a popped balloon is the top one, and every other step
// but a kept balloon leaves none standing.
void CAlertState::PlanBalloon(BOOL bRefreshIcon, BOOL bPopBalloon, BOOL bIconShown, Plan* pPlan)
{
    const NOTIFYROW* pTop = TopRow(&NOTIFYROW::nBalloonRank);
    pPlan->balloon = NextBalloonStep(pTop, bRefreshIcon, bPopBalloon, bIconShown);
    pPlan->bBalloonWasShown = m_bBalloonShown;
    if (pTop != NULL) {
        pPlan->top = { pTop->dwCode, m_szTexts[Slot(pTop->dwRaises)], pTop->dwInfoFlags, pTop->nSeconds };
    }
    if (pPlan->balloon == BALLOON_POP) {
        m_nBalloonKind = static_cast<int>(pTop->dwCode);
        m_bBalloonShown = TRUE;
    } else if (pPlan->balloon != BALLOON_KEEP) {
        BalloonGone();
    }
}

// A box shown is open from here until the view reports it closed.
void CAlertState::PlanMessage(BOOL bShowMessage, Plan* pPlan)
{
    const NOTIFYROW* pTop = TopRow(&NOTIFYROW::nMessageRank);
    pPlan->message = NextMessageStep(pTop, bShowMessage);
    if (pTop != NULL) {
        pPlan->topMessage = { pTop->dwCode, m_szTexts[Slot(pTop->dwRaises)], pTop->uIcon };
    }
    if (pPlan->message == MESSAGE_SHOW) {
        pPlan->bBoxWasOpen = m_nMessageKind != 0;
        m_nMessageKind = static_cast<int>(pTop->dwCode);
    }
}

// No condition: the icon goes. A pop request pops the top balloon; a refresh request brings the
// bare icon. Otherwise the top condition's balloon stays, and a balloon of another condition (or
// a missing icon) is replaced by the bare icon: an icon already standing without a balloon would
// only be modified to what it is, and the battery level comes twice a second.
CAlertState::BalloonStep CAlertState::NextBalloonStep(const NOTIFYROW* pTop, BOOL bRefreshIcon,
                                                      BOOL bPopBalloon, BOOL bIconShown) const
{
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

CAlertState::MessageStep CAlertState::NextMessageStep(const NOTIFYROW* pTop, BOOL bShowMessage) const
{
    if (pTop == NULL) {
        return MESSAGE_CLOSE;
    }
    if (bShowMessage) {
        return MESSAGE_SHOW;
    }
    return m_nMessageKind != static_cast<int>(pTop->dwCode) ? MESSAGE_CLOSE_OTHER : MESSAGE_KEEP;
}

void CAlertState::BalloonGone()
{
    m_nBalloonKind = 0;
    m_bBalloonShown = FALSE;
}

BOOL CAlertState::BalloonTimedOut()
{
    const BOOL bShown = m_bBalloonShown;
    BalloonGone();
    return bShown;
}

// A message without a balloon (the resume) is told once: closing its box ends the condition.
void CAlertState::MessageClosed(DWORD dwCode)
{
    m_nMessageKind = 0;
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    if (pRow != NULL && pRow->nBalloonRank == 0) {
        m_dwHeld &= ~pRow->dwRaises;
    }
}

BOOL CAlertState::Holds(DWORD dwCode) const
{
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    return pRow != NULL && (pRow->dwRaises & m_dwHeld) != 0;
}

LPCWSTR CAlertState::Text(DWORD dwCode) const
{
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    return pRow != NULL && pRow->dwRaises != 0 ? m_szTexts[Slot(pRow->dwRaises)] : L"";
}

// A UPS user knows no "battery": the texts that name it name the UPS instead, where they have one.
// A PC protected by a network UPS has no battery of its own worth naming either.
UINT CAlertState::TextId(const NOTIFYROW& row, BOOL bShortTerm, BOOL bNetworkUps)
{
    return (bShortTerm || bNetworkUps) && row.uUpsTextId != 0 ? row.uUpsTextId : row.uTextId;
}

// The text is loaded whenever its code comes, raised or not; a code with a value formats it in.
void CAlertState::LoadText(const NOTIFYROW& row, DWORD dwValue)
{
    const UINT uTextId = TextId(row, m_bShortTerm, m_bNetworkUps);
    if (uTextId == 0 || row.dwRaises == 0) {
        return;
    }
    LPWSTR lpszText = m_szTexts[Slot(row.dwRaises)];
    WCHAR szFormat[512];
    if (m_hTexts == NULL || ::LoadStringW(m_hTexts, uTextId, szFormat, ARRAYSIZE(szFormat)) <= 0) {
        szFormat[0] = L'\0';
    }
    if (row.dwWireLen > sizeof(DWORD)) {
        ::StringCchPrintfW(lpszText, 512, szFormat, dwValue);
    } else {
        ::StringCchCopyW(lpszText, 512, szFormat);
    }
}
