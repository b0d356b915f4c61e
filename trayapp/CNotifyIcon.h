// One notification-area icon of the shell and its balloon, described in the record layout of
// Windows Vista and later, which every Windows the application runs on (7 and later) takes.
#pragma once

#include <windows.h>
#include <shellapi.h>

#ifdef _WIN64
static_assert(sizeof(NOTIFYICONDATAW) == 976, "layout of Windows Vista and later");
#endif

class CNotifyIcon {
public:
    CNotifyIcon();
    ~CNotifyIcon();

    // Fills the record for shell version dwVersion (0x0600 and later); talks to nobody.
    // 1247 when already initialised, 1150 for an older version, whose layout is not kept.
    DWORD Initialize(DWORD dwVersion, HWND hWnd, UINT uID, UINT uFlags, UINT uCallbackMessage,
                     HICON hIcon, LPCWSTR lpszTip, UINT uTimeout, LPCWSTR lpszInfo,
                     LPCWSTR lpszInfoTitle, DWORD dwInfoFlags, const GUID* guidItem,
                     HICON hBalloonIcon);
    void Finalize();
    // Forgets the icon without asking the shell: after the notification area was recreated the
    // old icon is gone anyway. Initialize may follow.
    void Reset();
    // Adds the icon, or modifies it when it is shown; the shell's verdict shows in IsShown.
    DWORD ShowIcon();
    DWORD HideIcon();
    DWORD SetBaloon(LPCWSTR lpszInfo, LPCWSTR lpszInfoTitle, DWORD dwInfoFlags, UINT uTimeout,
                    HICON hBalloonIcon);
    DWORD ShowBaloon();
    DWORD HideBaloon();
    // One shell request, retried while the shell times out (at most kTimeoutRetries times).
    BOOL NotifyIcon(DWORD dwMessage);

    BOOL IsShown() const { return m_bShown; }

    // A shell that keeps timing out is given this many further attempts, a second apart.
    static const int kTimeoutRetries = 3;

private:
    CNotifyIcon(const CNotifyIcon&) = delete;
    CNotifyIcon& operator=(const CNotifyIcon&) = delete;

    // The record, or NULL while no version of 0x0600 or later was given.
    NOTIFYICONDATAW* Record();
    DWORD ShowWithBalloon(BOOL bBalloon);

    NOTIFYICONDATAW m_nid;
    BOOL m_bInitialized;
    BOOL m_bShown;
    DWORD m_dwVersion;
};
