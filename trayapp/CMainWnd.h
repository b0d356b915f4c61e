// The tray application's hidden main window: it routes its messages to small parts that it owns
// (the alert state and its view, the link to the service, the session lock count, the refresh
// tool probe). Notifications arrive on the pipe client's thread and become window messages, so
// that every state change happens on the GUI thread in message order.
#pragma once

#include "CAlarm.h"
#include "CAlertState.h"
#include "CAlertView.h"
#include "CBattery.h"
#include "CPipeCl.h"
#include "CRefreshToolProbe.h"
#include "CServiceLink.h"
#include "CSessionLock.h"
#include "CThread.h"

#include <windows.h>

// Messages of the application's window.
const UINT WM_SERVICE_NOTIFY = WM_USER + 1;  // wParam: notification code, lParam: its value word
const UINT WM_TRAY_CALLBACK = 0x0BC2;        // the tray icon's callback

// The thread of the base is the service-watch thread.
class CMainWnd : public CThread {
public:
    CMainWnd();
    ~CMainWnd();

    DWORD Initialize(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName);
    ATOM RegisterWndClass(HINSTANCE hInstance, LPCWSTR lpszClassName);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // A notification from the service, decoded by the service link (on its receive thread).
    static void OnRcvData(LPVOID lpObj, const SERVICENOTIFY* pNotify);
    static DWORD ThreadProc(LPVOID lParam);
    // Sent by the watch thread: the GUI thread never waits on the service.
    void RequestResumeCheck() { m_ServiceLink.RequestResumeCheck(); }

private:
    CMainWnd(const CMainWnd&) = delete;
    CMainWnd& operator=(const CMainWnd&) = delete;

    LRESULT Route(UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate();
    void OnDestroy();
    void OnEndSession(WPARAM wParam);
    void OnDpiChanged() { m_View.OnDpiChanged(); }
    void OnTaskbarCreated();
    LRESULT OnMirelNotify(WPARAM wParam, LPARAM lParam);
    void OnTimer(WPARAM wParam) { m_View.OnTimer(wParam); }
    void OnTrayNotify(LPARAM lParam);
    void OnPowerBroadcast(WPARAM wParam);
    void OnSessionChange(WPARAM wParam, LPARAM lParam);

    CAlertState::Screen GetScreen();
    void UpdateAlerts(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon);
    void RingAlarm() { CAlarm::Ring(); }
    void InitSessionLockCnt() { m_SessionLock.Initialize(); }
    // The user cannot see us: the icon, its balloon timer and the boxes go; the conditions stay.
    void LockSession() { m_View.Withdraw(); }
    void UnlockSession();
    BOOL IsSessionUnlocked() const { return m_SessionLock.IsUnlocked(); }
    BOOL EnumProcess(LPCWSTR lpszModuleName) { return m_RefreshTool.IsRunning(lpszModuleName); }

    void ProbeBattery();
    // The kind of the battery in use, read again on the watch thread: a device may hang.
    static void ProbeBatteryKind(LPVOID lpData);
    void ReadBatteryKind(CBattery& battery);
    DWORD StartServiceLink();
    DWORD Abandon(LPCWSTR lpszClassName, DWORD dwRet);

    CAlertState m_State;
    CAlertView m_View;
    CServiceLink m_ServiceLink;
    CSessionLock m_SessionLock;
    CRefreshToolProbe m_RefreshTool;
    UINT m_uTaskbarCreated;
    BOOL m_bSessionNotifyRegistered;
    WCHAR m_szTitle[256];
    BOOL m_bIsMirelType;
    // 1 while the battery in use is a UPS. Written by the watch thread, read by the GUI thread;
    // kept while no battery is found, so that a UPS gone away is still named as one.
    volatile LONG m_lShortTerm;
    // 1 while a network UPS is set (any user may read the setting); read with the battery's kind.
    volatile LONG m_lNetworkUps;
    HWND m_hWnd;
    HINSTANCE m_hInstance;
    // The session ends: the window goes without waiting on the service or the shell.
    BOOL m_bSessionEnding;
};
