// One notification-area icon of the shell and its balloon, described in the record layout of the
// shell version the caller names.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>

#ifdef _WIN64
static_assert(offsetof(NOTIFYICONDATAW, guidItem) == 952, "layout of Windows 2000");
static_assert(offsetof(NOTIFYICONDATAW, hBalloonIcon) == 968, "layout of Windows XP");
static_assert(sizeof(NOTIFYICONDATAW) == 976, "layout of Windows Vista and later");
#endif

class CNotifyIcon {
public:
    CNotifyIcon();
    ~CNotifyIcon();

    // Fills the record of dwVersion (0x0500, 0x0501..0x05FF, 0x0600 and later); talks to nobody.
    // 1247 when already initialised, 1150 for a version below 0x0500.
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

    // The record that m_dwVersion selects, or NULL below 0x0500.
    NOTIFYICONDATAW* Record();
    DWORD ShowWithBalloon(BOOL bBalloon);

    NOTIFYICONDATAW m_nidV2;
    NOTIFYICONDATAW m_nidV3;
    NOTIFYICONDATAW m_nid;
    BOOL m_bInitialized;
    BOOL m_bShown;
    DWORD m_dwVersion;
};
