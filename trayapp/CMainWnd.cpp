#include "CMainWnd.h"

#include "CBattery.h"
#include "CLog.h"
#include "CUpsConfig.h"
#include "Notify.h"
#include "resource.h"

#include <strsafe.h>
#include <wtsapi32.h>

namespace {

const DWORD kWindowStyle = WS_POPUPWINDOW;
// At the end of the session the unregistration may take this long: the system ends the process
// soon after WM_ENDSESSION returns, and the service notices a gone application by itself.
const DWORD kEndSessionUnregisterMs = 500;

// The one main window of the process: the window procedure reaches it through this pointer.
CMainWnd* g_pMainWnd = NULL;

}  // namespace

CMainWnd::CMainWnd()
    : m_View(m_State),
      m_uTaskbarCreated(0),
      m_bSessionNotifyRegistered(FALSE),
      m_bIsMirelType(FALSE),
      m_lShortTerm(0),
      m_lNetworkUps(0),
      m_hWnd(NULL),
      m_hInstance(NULL),
      m_bSessionEnding(FALSE)
{
    m_szTitle[0] = L'\0';
}

CMainWnd::~CMainWnd()
{
    m_View.Finalize();
    // The watch thread uses the service link: it ends before the members go.
    CThread::Finalize();
}

DWORD CMainWnd::Initialize(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName)
{
    LOG_FUNCTION(L"CMainWnd::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    m_hInstance = hInstance;
    m_State.SetTextModule(hInstance);
    ProbeBattery();
    m_View.ReadSettings();
    const HRESULT hr = ::StringCchCopyW(m_szTitle, ARRAYSIZE(m_szTitle),
                                        lpszWindowName != NULL ? lpszWindowName : L"");
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to StringCchCopy() hr: %d", hr);
        return LOG_RESULT(LOG_DETAIL, FN, static_cast<DWORD>(hr));
    }
    if (RegisterWndClass(hInstance, lpszClassName) == 0) {
        const DWORD dwRet = ::GetLastError();
        LOG_TRACE(LOG_EVENT, FN, L"Fail to RegisterWndClass() dwRet: %d", dwRet);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    if (::CreateWindowExW(0, lpszClassName, lpszWindowName, kWindowStyle, 0, 0, 0, 0, NULL, NULL,
                          hInstance, this) == NULL) {
        const DWORD dwRet = ::GetLastError();
        LOG_TRACE(LOG_EVENT, FN, L"Fail to CreateWindow() dwRet: %d", dwRet);
        ::UnregisterClassW(lpszClassName, hInstance);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    // Never in the taskbar: the window only receives messages.
    const LONG_PTR lExStyle = ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, (lExStyle & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    InitSessionLockCnt();
    DWORD dwRet = m_View.Initialize(hInstance, m_hWnd, WM_TRAY_CALLBACK, m_szTitle);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, Abandon(lpszClassName, dwRet));
    }
    m_View.LoadToastApi();
    dwRet = StartServiceLink();
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, Abandon(lpszClassName, dwRet));
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

// Registers with the service, or tells the user it does not run; then the watch thread runs for
// the whole life of the window: it notices a service that went away without a word, and it
// registers again once the service is back. A service that runs without serving its control
// pipe ends the start: nothing this program could do would help.
DWORD CMainWnd::StartServiceLink()
{
    LOG_FUNCTION(L"CMainWnd::StartServiceLink");
    m_ServiceLink.Attach(m_hWnd, WM_SERVICE_NOTIFY, OnRcvData, this);
    m_ServiceLink.SetWatchTask(ProbeBatteryKind, this);
    DWORD dwRet = m_ServiceLink.Connect(NULL);
    if (dwRet == ERROR_FILE_NOT_FOUND) {
        return dwRet;
    }
    // Any failure of a running service (refused a handle, our pipe name taken, a busy pipe, an
    // acknowledgement that did not come) is no "stopped" alert: the watch thread tries again
    // every second.
    if (dwRet == ERROR_SUCCESS) {
        RequestResumeCheck();
    } else if (CServiceLink::IsServiceDown(dwRet)) {
        m_ServiceLink.MarkStopTold();
        ::PostMessageW(m_hWnd, WM_SERVICE_NOTIFY, NOTIFY_SERVICE_STOPPED, 0);
    }
    dwRet = CThread::Initialize(ThreadProc, this);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to start the watch thread. dwRet: %d", dwRet);
    }
    return dwRet;
}

// A start that cannot go on: the window and its class go, and the caller ends the program.
DWORD CMainWnd::Abandon(LPCWSTR lpszClassName, DWORD dwRet)
{
    ::DestroyWindow(m_hWnd);
    ::UnregisterClassW(lpszClassName, m_hInstance);
    return dwRet;
}

void CMainWnd::ProbeBattery()
{
    LOG_FUNCTION(L"CMainWnd::ProbeBattery");
    CBattery battery;
    if (battery.Initialize() == ERROR_SUCCESS) {
        battery.IsNotebookPC(&m_bIsMirelType);
        ReadBatteryKind(battery);
        battery.Finalize();
    }
    LOG_TRACE(LOG_EVENT, FN, m_bIsMirelType ? L"m_bIsMirelType = TRUE" : L"m_bIsMirelType = FALSE");
}

void CMainWnd::ProbeBatteryKind(LPVOID lpData)
{
    CMainWnd* pThis = static_cast<CMainWnd*>(lpData);
    ::InterlockedExchange(&pThis->m_lNetworkUps, CUpsConfig::IsMonitorSet() ? 1 : 0);
    CBattery battery;
    if (battery.Initialize() == ERROR_SUCCESS) {
        pThis->ReadBatteryKind(battery);
        battery.Finalize();
    }
}

void CMainWnd::ReadBatteryKind(CBattery& battery)
{
    LOG_FUNCTION(L"CMainWnd::ReadBatteryKind");
    DWORD dwCount = 0;
    if (battery.GetAttachableBatteryCount(&dwCount) != ERROR_SUCCESS || dwCount == 0) {
        return;
    }
    const LONG lShortTerm = battery.IsShortTerm() ? 1 : 0;
    if (::InterlockedExchange(&m_lShortTerm, lShortTerm) != lShortTerm) {
        LOG_TRACE(LOG_EVENT, FN, L"Battery in use: %s", lShortTerm != 0 ? L"UPS" : L"internal");
    }
}

ATOM CMainWnd::RegisterWndClass(HINSTANCE hInstance, LPCWSTR lpszClassName)
{
    LOG_FUNCTION(L"CMainWnd::RegisterWndClass");
    if (hInstance == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"hInstance");
        return 0;
    }
    if (lpszClassName == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"lpszClassName");
        return 0;
    }
    WNDCLASSEXW wc = { sizeof(wc) };
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hIcon = ::LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_MAIN));
    // No small icon of its own: the system takes the one of the main icon's images that suits
    // the display (the window is never shown anyway).
    wc.hIconSm = NULL;
    wc.hCursor = ::LoadCursorW(NULL, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = lpszClassName;
    return ::RegisterClassExW(&wc);
}

LRESULT CALLBACK CMainWnd::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (g_pMainWnd != NULL) {
        return g_pMainWnd->Route(uMsg, wParam, lParam);
    }
    if (uMsg == WM_CREATE && lParam != 0) {
        g_pMainWnd = static_cast<CMainWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        g_pMainWnd->m_hWnd = hWnd;
        return g_pMainWnd->Route(uMsg, wParam, lParam);
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

// The window's messages and their handlers, one line each.
LRESULT CMainWnd::Route(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CREATE:            if (OnCreate() < 0) return -1; break;
    case WM_DESTROY:           OnDestroy(); break;
    case WM_ENDSESSION:        OnEndSession(wParam); break;
    case WM_DPICHANGED:        OnDpiChanged(); break;
    case WM_TIMER:             OnTimer(wParam); break;
    case WM_POWERBROADCAST:    OnPowerBroadcast(wParam); break;
    case WM_WTSSESSION_CHANGE: OnSessionChange(wParam, lParam); break;
    case WM_SERVICE_NOTIFY:    return OnMirelNotify(wParam, lParam);
    case WM_TRAY_CALLBACK:     OnTrayNotify(lParam); return 0;
    default:                   if (uMsg != 0 && uMsg == m_uTaskbarCreated) OnTaskbarCreated(); break;
    }
    return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CMainWnd::OnCreate()
{
    if (m_hWnd == NULL) {
        return -1;
    }
    m_bSessionNotifyRegistered = ::WTSRegisterSessionNotification(m_hWnd, NOTIFY_FOR_ALL_SESSIONS);
    m_uTaskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    return 0;
}

void CMainWnd::OnDestroy()
{
    if (m_bSessionNotifyRegistered) {
        ::WTSUnRegisterSessionNotification(m_hWnd);
        m_bSessionNotifyRegistered = FALSE;
    }
    // The watch thread may be registering anew: it stops first (its waits end at its terminate
    // event).
    CThread::Finalize();
    if (m_bSessionEnding) {
        m_ServiceLink.DisconnectWithin(kEndSessionUnregisterMs);
        m_View.ForgetIcon();
    } else {
        m_ServiceLink.Disconnect();
    }
    m_View.Finalize();
    ::PostQuitMessage(0);
    g_pMainWnd = NULL;
}

// FALSE: the shutdown or log-off was cancelled, the session goes on and so do we. TRUE: the
// system may end the process any moment after this returns, so we go at once: the unregistration
// gets a short bound, and the shell, ending too, is not asked to remove the icon.
void CMainWnd::OnEndSession(WPARAM wParam)
{
    if (wParam) {
        m_bSessionEnding = TRUE;
        ::DestroyWindow(m_hWnd);
    }
}

// The shell's notification area was recreated: a fresh icon, shown again if a condition holds.
void CMainWnd::OnTaskbarCreated()
{
    m_View.RenewIcon();
    UpdateAlerts(FALSE, TRUE, TRUE);
}

void CMainWnd::OnRcvData(LPVOID lpObj, const SERVICENOTIFY* pNotify)
{
    LOG_FUNCTION(L"CMainWnd::OnRcvData");
    if (lpObj == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"lpObj");
        return;
    }
    if (pNotify == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"pNotify");
        return;
    }
    CMainWnd* pThis = static_cast<CMainWnd*>(lpObj);
    DWORD dwCode = pNotify->dwCode;
    // While the maker's refresh tool runs, a low battery is its doing and no reason to warn.
    if (dwCode == NOTIFY_BATTERY_LOW && pNotify->dwLen == sizeof(DWORD) &&
        pThis->EnumProcess(pThis->m_RefreshTool.ToolPath())) {
        dwCode = NOTIFY_BATTERY_OK;
    }
    // The service tells of the battery's presence at each registration and each change of the
    // power status: the moments a UPS comes or goes, so its kind is read again then.
    if (dwCode == NOTIFY_BATTERY_PRESENT || dwCode == NOTIFY_NO_BATTERY) {
        pThis->m_ServiceLink.RequestWatchTask();
    }
    ::PostMessageW(pThis->m_hWnd, WM_SERVICE_NOTIFY, dwCode, pNotify->dwValue);
}

DWORD CMainWnd::ThreadProc(LPVOID lParam)
{
    LOG_FUNCTION(L"CMainWnd::ThreadProc");
    if (lParam == NULL) {
        LOG_TRACE(LOG_EVENT, FN, L"%s is NULL.", L"lParam");
        return 0;
    }
    CMainWnd* pThis = static_cast<CMainWnd*>(lParam);
    pThis->m_ServiceLink.Watch(pThis->GetTerminateEvent());
    return 0;
}

LRESULT CMainWnd::OnMirelNotify(WPARAM wParam, LPARAM lParam)
{
    LOG_FUNCTION(L"CMainWnd::OnMirelNotify");
    LOG_TRACE(LOG_EVENT, FN, L"WPARAM %02X, LPARAM %08X", static_cast<DWORD>(wParam),
              static_cast<DWORD>(lParam));
    m_State.SetShortTerm(m_lShortTerm != 0);
    m_State.SetNetworkUps(m_lNetworkUps != 0);
    // What to show is decided from the conditions as they were before this code.
    const CAlertState::Plan plan = m_State.OnCode(static_cast<DWORD>(wParam), static_cast<DWORD>(lParam),
                                                  IsSessionUnlocked(), GetScreen());
    if (plan.bAlarm) {
        RingAlarm();
    }
    m_View.Carry(plan);
    return 0;
}

// Everything shows only on a PC with a battery and in a session the user is looking at. The link
// itself is no business of the window: the threads that notice its loss and its return keep it,
// so a late stop notice cannot undo a newer registration.
CAlertState::Screen CMainWnd::GetScreen()
{
    const CAlertState::Screen screen = { m_bIsMirelType && IsSessionUnlocked(), m_View.IsIconShown() };
    return screen;
}

void CMainWnd::UpdateAlerts(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon)
{
    m_View.Carry(m_State.Redisplay(bShowMessage, bRefreshIcon, bPopBalloon, GetScreen()));
}

void CMainWnd::OnTrayNotify(LPARAM lParam)
{
    switch (LOWORD(lParam)) {
    case WM_MOUSEMOVE:
        if (!m_State.IsBalloonShown()) {
            UpdateAlerts(FALSE, TRUE, TRUE);
        }
        break;
    case NIN_BALLOONSHOW:
        m_State.BalloonShown();
        break;
    case NIN_BALLOONHIDE:
    case NIN_BALLOONTIMEOUT:
    case NIN_BALLOONUSERCLICK:
        m_View.OnBalloonGone();
        break;
    }
}

void CMainWnd::OnPowerBroadcast(WPARAM wParam)
{
    if (wParam != PBT_APMRESUMESUSPEND) {
        return;
    }
    m_State.ClearHibernating();
    UpdateAlerts(FALSE, FALSE, FALSE);
    if (IsSessionUnlocked()) {
        RequestResumeCheck();
    }
}

void CMainWnd::OnSessionChange(WPARAM wParam, LPARAM lParam)
{
    switch (m_SessionLock.Apply(wParam, lParam)) {
    case CSessionLock::CHANGE_LOCKED:   LockSession(); break;
    case CSessionLock::CHANGE_UNLOCKED: UnlockSession(); break;
    case CSessionLock::CHANGE_LOGOFF:   ::DestroyWindow(m_hWnd); break;
    case CSessionLock::CHANGE_NONE:     break;
    }
}

// The user is back: the top box and balloon again, and the question whether the PC slept.
void CMainWnd::UnlockSession()
{
    m_State.ClearHibernating();
    UpdateAlerts(TRUE, TRUE, TRUE);
    if (IsSessionUnlocked()) {
        RequestResumeCheck();
    }
}

