// The tray application's hidden main window: the owner of the tray icon, of the link to the
// service and of the alert state. Notifications arrive on the pipe client's thread and become
// window messages, so that every state change happens on the GUI thread in message order.
#pragma once

#include "CNotifyIcon.h"
#include "CPipeCl.h"
#include "CThread.h"
#include "CToastApi.h"
#include "ScopedHandle.h"

#include <windows.h>

// Messages of the application's window.
const UINT WM_SERVICE_NOTIFY = WM_USER + 1;  // wParam: notification code, lParam: its value word
const UINT WM_TRAY_CALLBACK = 0x0BC2;        // the tray icon's callback

class CMainWnd : public CThread {
public:
    CMainWnd();
    ~CMainWnd();

    DWORD Initialize(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName);
    ATOM RegisterWndClass(HINSTANCE hInstance, LPCWSTR lpszClassName);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static void OnRcvData(LPVOID lpObj, PPIPEEVENT pPipeEvent);
    static DWORD ThreadProc(LPVOID lParam);
    DWORD GetServiceStatus();
    void NotifyService(DWORD dwRequest);
    // The reasons why the session is not in use: not active, and not unlocked, where the value
    // of lSessionFlags that means unlocked is 0 on Windows 6.1 and 1 on every other version.
    static int SessionLockCount(int nConnectState, LONG lSessionFlags, BOOL bWin61);

private:
    CMainWnd(const CMainWnd&) = delete;
    CMainWnd& operator=(const CMainWnd&) = delete;

    LRESULT Route(UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate();
    void OnDestroy();
    void OnTaskbarCreated();
    LRESULT OnMirelNotify(WPARAM wParam, LPARAM lParam);
    void OnTimer(WPARAM wParam);
    void OnTrayNotify(LPARAM lParam);
    void OnPowerBroadcast(WPARAM wParam);
    void OnSessionChange(WPARAM wParam, LPARAM lParam);

    void ApplyNotify(DWORD dwCode, DWORD dwValue);
    void GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
                         LPBOOL lpbPopBalloon) const;
    void UpdateAlerts(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon);
    void ShowInfoBalloon(BOOL bRefreshIcon, BOOL bPopBalloon);
    void ShowAlertMessage(BOOL bShowMessage);
    void SwitchToDesktop();
    void PopInfoBalloon(LPCWSTR lpszText, DWORD dwInfoFlags, UINT nSeconds);
    void HideInfoBalloon();
    void CloseMessageBoxes();
    void RingAlarm();
    void LoadText(UINT uId, LPWSTR lpszText);
    void InitSessionLockCnt();
    void LockSession();
    void UnlockSession();
    BOOL IsSessionUnlocked() const { return m_nSessionLockCnt == 0; }
    BOOL EnumProcess(LPCWSTR lpszModuleName);

    void ProbeBattery();
    void LoadToastApi();
    void ReadSettings();
    DWORD InitNotifyIcon();
    DWORD ConnectService(HANDLE hAbortEvent);
    DWORD GetServiceProcessId();
    BOOL IsServiceGone();
    BOOL IsServiceProcessGone(DWORD dwWait);
    void WatchServiceProcess();
    BOOL IsLinkLost();
    void SetLinkLost(BOOL bLost);

    // An alert condition and how it is shown, in priority order (kBalloons, kMessages).
    struct BalloonCondition {
        BOOL CMainWnd::*pbFlag;
        DWORD dwCode;
        WCHAR (CMainWnd::*pszText)[512];
        DWORD dwInfoFlags;
        UINT nSeconds;
    };
    struct MessageCondition {
        BOOL CMainWnd::*pbFlag;
        DWORD dwCode;
        WCHAR (CMainWnd::*pszText)[512];
        UINT uIcon;
    };
    static const BalloonCondition kBalloons[];
    static const MessageCondition kMessages[];

    // The first condition of the table whose flag is set, or NULL.
    template <typename Condition, size_t N>
    const Condition* TopCondition(const Condition (&table)[N]) const
    {
        for (const Condition& c : table) {
            if (this->*c.pbFlag) {
                return &c;
            }
        }
        return NULL;
    }

    CNotifyIcon m_NotifyIcon;
    BOOL m_bBalloonShown;
    CPipeCl m_PipeCl;
    UINT m_uTaskbarCreated;
    BOOL m_bSessionNotifyRegistered;
    BOOL m_bNoBattery;
    BOOL m_bServiceStopped;
    BOOL m_bS4Failed;
    BOOL m_bS4Disabled;
    BOOL m_bResumed;
    BOOL m_bBatteryLow;
    BOOL m_bGoingToHibernate;
    int m_nMessageKind;
    int m_nBalloonKind;
    WCHAR m_szNoBatteryText[512];
    WCHAR m_szServiceStoppedText[512];
    WCHAR m_szS4FailedText[512];
    WCHAR m_szS4DisabledText[512];
    WCHAR m_szResumedText[512];
    WCHAR m_szBatteryLowText[512];
    WCHAR m_szGoingToHibernateText[512];
    WCHAR m_szTitle[256];
    BOOL m_bIsMirelType;
    UINT_PTR m_nTimerId;
    int m_nSessionLockCnt;
    HWND m_hWnd;
    BOOL m_bIsWin8;
    CToastApi m_ToastApi;
    DWORD m_dwShowBalloonWait;
    DWORD m_dwDTSwitchCheck;
    WCHAR m_szRefreshToolPath[MAX_PATH];
    HINSTANCE m_hInstance;
    // The link to the service as the watch thread sees it: 1 while the service process we
    // registered with is gone or stopped and we must register anew, 0 while it serves us.
    volatile LONG m_lLinkLost;
    // The watch thread's own: the process of the service we are linked to, waited on so that its
    // end is noticed at once and a running service costs no polling (none when it cannot be
    // opened: then the thread polls the service once a second).
    ScopedKernelHandle m_ServiceProcess;
    DWORD m_dwWatchedPid;
};
