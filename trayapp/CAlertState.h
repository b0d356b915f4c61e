// The tray application's alert conditions and what they ask to be shown: a notification code (or
// a redisplay) goes in, and the state returns the plan of what to show or remove, having taken
// the plan's outcome (the balloon popped, the box opened) into its conditions. The view carries
// out the plan and reports back only what the user or the shell did. Pure logic, no window:
// every rule here can be tried without a desktop.
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
    // What the balloon does: the icon goes; the top balloon pops; the bare icon comes (a balloon
    // on screen is replaced by an empty one); the balloon stays; a lower balloon gives way to
    // the bare icon.
    enum BalloonStep { BALLOON_REMOVE_ICON, BALLOON_POP, BALLOON_REFRESH, BALLOON_KEEP, BALLOON_REPLACE };
    // What the message box does: boxes close; the top box opens (closing an open one first);
    // boxes of another condition close; the open box stays, with the top's text.
    enum MessageStep { MESSAGE_CLOSE, MESSAGE_SHOW, MESSAGE_CLOSE_OTHER, MESSAGE_KEEP };
    // What the screen shows at the time of a plan: whether anything is shown at all (a PC with a
    // battery, a session the user looks at), and whether the tray icon stands.
    struct Screen {
        BOOL bDisplay;
        BOOL bIconShown;
    };
    struct Plan {
        BOOL bAlarm;
        BOOL bDisplay;  // FALSE: nothing below is carried out
        BalloonStep balloon;
        BOOL bBalloonWasShown;  // a balloon stood before the step
        Balloon top;            // the top balloon, unless the icon goes
        MessageStep message;
        BOOL bBoxWasOpen;  // MESSAGE_SHOW: a box is open and closes first
        Message topMessage;
        LPCWSTR lpszNotice;  // the hibernation notice's text while it holds, else NULL
    };

    explicit CAlertState(HINSTANCE hTexts = NULL);

    // Texts are loaded from this module's string resources when a condition is raised.
    void SetTextModule(HINSTANCE hTexts) { m_hTexts = hTexts; }
    // Whether the battery in use is a UPS: the texts loaded from here on name it so.
    void SetShortTerm(BOOL bShortTerm) { m_bShortTerm = bShortTerm; }
    // Whether a network UPS is set: the texts name a UPS as for a UPS on USB.
    void SetNetworkUps(BOOL bNetworkUps) { m_bNetworkUps = bNetworkUps; }
    // The text of a row for the kind of battery in use.
    static UINT TextId(const NOTIFYROW& row, BOOL bShortTerm, BOOL bNetworkUps = FALSE);
    // A notification: its requests judged from the conditions before it, its conditions raised
    // and cleared (bSessionUnlocked decides whether a resume is kept for the user), and the plan.
    Plan OnCode(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked, const Screen& screen);
    // The top box and balloon shown again, as far as requested.
    Plan Redisplay(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon, const Screen& screen);
    // The user cannot see us: icon, balloon and boxes go, the conditions stay.
    Plan Withdraw();

    // What the user or the shell did.
    // A resume or an unlock: the PC is no longer going to hibernate.
    void ClearHibernating() { m_dwHeld &= ~static_cast<DWORD>(ALERT_HIBERNATING); }
    void BalloonShown() { m_bBalloonShown = TRUE; }
    void BalloonGone();
    // The balloon's time is up: TRUE when one stood (the view replaces it by an empty one).
    BOOL BalloonTimedOut();
    // The box of dwCode has closed.
    void MessageClosed(DWORD dwCode);

    BOOL IsBalloonShown() const { return m_bBalloonShown; }
    int BalloonKind() const { return m_nBalloonKind; }
    int MessageKind() const { return m_nMessageKind; }
    // Whether the condition of a code holds.
    BOOL Holds(DWORD dwCode) const;
    // The text of a condition, empty until it was raised.
    LPCWSTR Text(DWORD dwCode) const;

private:
    void GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
                         LPBOOL lpbPopBalloon) const;
    void Apply(DWORD dwCode, DWORD dwValue, BOOL bSessionUnlocked);
    BalloonStep NextBalloonStep(const NOTIFYROW* pTop, BOOL bRefreshIcon, BOOL bPopBalloon,
                                BOOL bIconShown) const;
    MessageStep NextMessageStep(const NOTIFYROW* pTop, BOOL bShowMessage) const;
    void PlanBalloon(BOOL bRefreshIcon, BOOL bPopBalloon, BOOL bIconShown, Plan* pPlan);
    void PlanMessage(BOOL bShowMessage, Plan* pPlan);
    // The condition's slot in m_szTexts: its bit's position.
    static size_t Slot(DWORD dwCondition);
    // The held condition of lowest non-zero rank in a column of the notification table.
    const NOTIFYROW* TopRow(UINT NOTIFYROW::*pRank) const;
    void LoadText(const NOTIFYROW& row, DWORD dwValue);

    static const size_t kConditions = 7;

    HINSTANCE m_hTexts;
    BOOL m_bShortTerm;
    BOOL m_bNetworkUps;
    BOOL m_bBalloonShown;
    DWORD m_dwHeld;  // ALERT_ bits
    int m_nMessageKind;
    int m_nBalloonKind;
    WCHAR m_szTexts[kConditions][512];
};
