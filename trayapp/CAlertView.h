// What the user sees of the alert state: the tray icon and its balloon with their timer, the
// message boxes, the desktop switch before the hibernation balloon, and the topmost hibernation
// notice. Runs on the GUI thread only; the state plans, this class carries the plan out and
// reports back only what the user and the shell did.
#pragma once

#include "CAlertState.h"
#include "CNoticeWnd.h"
#include "CNotifyIcon.h"
#include "CToastApi.h"
#include "ScopedHandle.h"

#include <windows.h>

class CAlertView {
public:
    explicit CAlertView(CAlertState& state);
    ~CAlertView();

    // hWnd receives the icon's callbacks (uCallbackMessage) and the balloon timer; lpszTitle
    // captions everything.
    DWORD Initialize(HINSTANCE hInstance, HWND hWnd, UINT uCallbackMessage, LPCWSTR lpszTitle);
    // The notification area was recreated: a fresh icon object, not yet shown.
    DWORD RenewIcon();
    // The display's scale changed: the icon is loaded again at the new size, shown if it was.
    void OnDpiChanged();
    // The session ends: the icon is forgotten without asking the shell, which is ending too and
    // may keep a caller waiting for seconds.
    void ForgetIcon() { m_NotifyIcon.Reset(); }
    void Finalize();
    // The bounds of the desktop switch, from the settings.
    void ReadSettings();
    // The toast library, loaded on Windows 8 and later; TRUE on those versions.
    BOOL LoadToastApi();

    // Carries out a plan of the alert state: the balloon, the hibernation notice, the box.
    void Carry(const CAlertState::Plan& plan);
    BOOL IsIconShown() { return m_NotifyIcon.IsShown(); }
    void PopInfoBalloon(LPCWSTR lpszText, DWORD dwInfoFlags, UINT nSeconds);
    // The balloon's time is up (or the owner takes it down): it gives way to the bare icon.
    void HideInfoBalloon();
    void CloseMessageBoxes();
    void OnTimer(WPARAM wParam);
    // The shell took the balloon down (hidden, timed out, clicked).
    void OnBalloonGone();
    // The user cannot see us: icon, balloon timer, boxes and notice go; nothing comes back
    // until the display runs again.
    void Withdraw();

private:
    CAlertView(const CAlertView&) = delete;
    CAlertView& operator=(const CAlertView&) = delete;

    DWORD InitNotifyIcon();
    void ShowInfoBalloon(const CAlertState::Plan& plan);
    void ShowAlertMessage(const CAlertState::Plan& plan);
    // The hibernation notice follows its condition (lpszNotice NULL: it does not hold).
    void FollowNotice(LPCWSTR lpszNotice);
    // bShown: a balloon stands and is replaced by an empty one first.
    void HideBalloon(BOOL bShown);
    void SwitchToDesktop();
    void KillBalloonTimer();
    void RemoveIcon();
    void UpdateOpenBoxText(LPCWSTR lpszText);

    CAlertState& m_State;
    CNotifyIcon m_NotifyIcon;
    CToastApi m_ToastApi;
    CNoticeWnd m_Notice;
    ScopedIcon m_Icon;  // the tray icon's image; the shell keeps a copy of its own
    HINSTANCE m_hInstance;
    HWND m_hWnd;
    UINT m_uCallbackMessage;
    LPCWSTR m_lpszTitle;
    UINT_PTR m_nTimerId;
    BOOL m_bIsWin8;
    DWORD m_dwDTSwitchCheck;
    DWORD m_dwShowBalloonWait;
};
