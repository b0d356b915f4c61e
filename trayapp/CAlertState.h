// The tray application's alert conditions and what they ask to be shown: notification codes in,
// display requests, the top balloon and the top message box out. Pure logic, no window: the view
// carries out the steps it is given, and every rule here can be tried without a desktop.
#pragma once

#include "CNotifyTable.h"

#include <windows.h>

class CAlertState {
public:
    // The condition shown in a balloon or a message box, with its text.
    struct Balloon {
        DWORD dwCode;
        LPCWSTR lpszText;
        DWORD dwInfoFlags;
        UINT nSeconds;
    };
    struct Message {
        DWORD dwCode;
        LPCWSTR lpszText;
        UINT uIcon;
    };
    // What the balloon does next (see NextBalloonStep).
    enum BalloonStep { BALLOON_REMOVE_ICON, BALLOON_POP, BALLOON_REFRESH, BALLOON_KEEP, BALLOON_REPLACE };
    // What the message box does next (see NextMessageStep).
    enum MessageStep { MESSAGE_CLOSE, MESSAGE_SHOW, MESSAGE_CLOSE_OTHER, MESSAGE_KEEP };

    explicit CAlertState(HINSTANCE hTexts = NULL);

    // Texts are loaded from this module's string resources when a condition is raised.
    void SetTextModule(HINSTANCE hTexts) { m_hTexts = hTexts; }
    // The display requests of a code, judged from the conditions before the code is applied.
    void GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
                         LPBOOL lpbPopBalloon) const;
    // Raises and clears the conditions a code names; bSessionUnlocked decides whether a resume
    // is kept for the user.
    void Apply(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked);
    // A resume or an unlock: the PC is no longer going to hibernate.
    void ClearHibernating() { m_dwHeld &= ~static_cast<DWORD>(ALERT_HIBERNATING); }

    // The condition of highest priority, NULL when none holds.
    const Balloon* TopBalloon() const;
    const Message* TopMessage() const;
    BalloonStep NextBalloonStep(BOOL bRefreshIcon, BOOL bPopBalloon, BOOL bIconShown) const;
    MessageStep NextMessageStep(BOOL bShowMessage) const;

    // The balloon and the box on screen, as the view reports them.
    void BalloonPopped(DWORD dwCode);
    void BalloonGone();
    void BalloonShown() { m_bBalloonShown = TRUE; }
    BOOL IsBalloonShown() const { return m_bBalloonShown; }
    int BalloonKind() const { return m_nBalloonKind; }
    void MessageOpened(DWORD dwCode) { m_nMessageKind = static_cast<int>(dwCode); }
    void MessageClosed(DWORD dwCode);
    int MessageKind() const { return m_nMessageKind; }
    // Whether the condition of a code holds (NOTIFY_NO_BATTERY ... NOTIFY_RESUMED).
    BOOL Holds(DWORD dwCode) const;
    // The text of a balloon condition, empty until it was raised.
    LPCWSTR Text(DWORD dwCode) const;

private:
    // The condition's slot in m_szTexts: its bit's position.
    static size_t Slot(DWORD dwCondition);
    // The held condition of lowest non-zero rank in a column of the notification table.
    const NOTIFYROW* TopRow(UINT NOTIFYROW::*pRank) const;
    void LoadText(const NOTIFYROW& row, DWORD dwValue);

    static const size_t kConditions = 7;

    HINSTANCE m_hTexts;
    BOOL m_bBalloonShown;
    DWORD m_dwHeld;  // ALERT_ bits
    int m_nMessageKind;
    int m_nBalloonKind;
    WCHAR m_szTexts[kConditions][512];
    // The row handed out by TopBalloon and TopMessage.
    mutable Balloon m_TopBalloon;
    mutable Message m_TopMessage;
};
