#include "CMainWnd.h"

#include "CBattery.h"
#include "CLog.h"
#include "CRegistry.h"
#include "Notify.h"
#include "SdkCompat.h"
#include "ScopedHandle.h"
#include "resource.h"

#include <psapi.h>
#include <shlobj.h>
#include <strsafe.h>
#include <wchar.h>
#include <wtsapi32.h>

#include <algorithm>

namespace {

const WCHAR kSettingsKey[] = L"Software\\Orvane\\OrvaneMirel";
const WCHAR kServiceName[] = L"MIRELSVC";
const WCHAR kRefreshToolSubPath[] = L"\\ORVANEBATT\\Pellwick.exe";
const WCHAR kRefreshToolDefaultPath[] = L"C:\\Program Files\\ORVANEBATT\\Pellwick.exe";
const UINT kTrayIconId = 128;
const UINT_PTR kBalloonTimerId = 1;
const DWORD kWindowStyle = WS_POPUPWINDOW;
// The watch thread looks at the service once a second.
const DWORD kWatchPeriodMs = 1000;

// The one main window of the process: the window procedure reaches it through this pointer.
CMainWnd* g_pMainWnd = NULL;

}  // namespace

CMainWnd::CMainWnd()
    : m_bBalloonShown(FALSE),
      m_uTaskbarCreated(0),
      m_bSessionNotifyRegistered(FALSE),
      m_bNoBattery(FALSE),
      m_bServiceStopped(FALSE),
      m_bS4Failed(FALSE),
      m_bS4Disabled(FALSE),
      m_bResumed(FALSE),
      m_bBatteryLow(FALSE),
      m_bGoingToHibernate(FALSE),
      m_nMessageKind(0),
      m_nBalloonKind(0),
      m_bIsMirelType(FALSE),
      m_nTimerId(0),
      m_nSessionLockCnt(0),
      m_hWnd(NULL),
      m_bIsWin8(FALSE),
      m_dwShowBalloonWait(500),
      m_dwDTSwitchCheck(10),
      m_hInstance(NULL),
      m_lLinkLost(0),
      m_dwWatchedPid(0)
{
    const LPWSTR texts[] = { m_szNoBatteryText, m_szServiceStoppedText, m_szS4FailedText,
                             m_szS4DisabledText, m_szResumedText, m_szBatteryLowText,
                             m_szGoingToHibernateText, m_szTitle };
    for (LPWSTR lpszText : texts) {
        lpszText[0] = L'\0';
    }
    WCHAR szFolder[MAX_PATH];
    if (!::SHGetSpecialFolderPathW(NULL, szFolder, CSIDL_PROGRAM_FILES, FALSE) ||
        FAILED(::StringCchPrintfW(m_szRefreshToolPath, ARRAYSIZE(m_szRefreshToolPath), L"%s%s",
                                  szFolder, kRefreshToolSubPath))) {
        ::StringCchCopyW(m_szRefreshToolPath, ARRAYSIZE(m_szRefreshToolPath), kRefreshToolDefaultPath);
    }
}

CMainWnd::~CMainWnd()
{
    m_NotifyIcon.Finalize();
    // The watch thread uses the pipe client: it ends before the members go.
    CThread::Finalize();
}

DWORD CMainWnd::Initialize(HINSTANCE hInstance, LPCWSTR lpszClassName, LPCWSTR lpszWindowName)
{
    static const WCHAR FN[] = L"CMainWnd::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    m_hInstance = hInstance;
    ProbeBattery();
    ReadSettings();
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
    DWORD dwRet = InitNotifyIcon();
    if (dwRet != ERROR_SUCCESS) {
        ::DestroyWindow(m_hWnd);
        ::UnregisterClassW(lpszClassName, hInstance);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    OSVERSIONINFOW version = { sizeof(version) };
    ::GetVersionExW(&version);
    // Windows 8 and every later version, whatever the manifest lets the call report.
    m_bIsWin8 = (version.dwMajorVersion > 6 ||
                 (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)) ? TRUE : FALSE;
    if (m_bIsWin8) {
        LoadToastApi();
    }
    dwRet = ConnectService(NULL);
    // Refused a handle, or our pipe name taken: not linked, and the watch thread tries again
    // every second, as for a stopped service.
    const BOOL bRetry = (dwRet == PIPECL_ERROR_REFUSED || dwRet == PIPECL_ERROR_NAME_TAKEN);
    if (dwRet != ERROR_SUCCESS && !bRetry && GetServiceStatus() == NOTIFY_SERVICE_RUNNING) {
        // Running, yet out of reach: nothing this program could do would help.
        ::DestroyWindow(m_hWnd);
        ::UnregisterClassW(lpszClassName, hInstance);
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    SetLinkLost(dwRet != ERROR_SUCCESS);
    if (dwRet == ERROR_SUCCESS) {
        NotifyService(REQUEST_RESUME_CHECK);
    } else if (!bRetry) {
        ::PostMessageW(m_hWnd, WM_SERVICE_NOTIFY, NOTIFY_SERVICE_STOPPED, 0);
    }
    // The watch thread runs for the whole life of the window: it notices a service that went
    // away without a word, and it registers again once the service is back.
    CThread::Initialize(ThreadProc, this);
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CMainWnd::LoadToastApi()
{
    static const WCHAR FN[] = L"CMainWnd::Initialize";
    HRESULT hr = m_ToastApi.Load(L"QUENDA.dll");
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_Initialize(). hr: %08x", hr);
        return;
    }
    hr = m_ToastApi.InitToastCmnInf(L"ORVANEPC.HWUTIL.MIRELAPP", m_hWnd, 0, 0, 0, 0, 0);
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_InitToastCmnInf(). hr: %08x", hr);
    }
}

void CMainWnd::ProbeBattery()
{
    static const WCHAR FN[] = L"CMainWnd::Initialize";
    CBattery battery;
    if (battery.Initialize() == ERROR_SUCCESS) {
        battery.IsNotebookPC(&m_bIsMirelType);
        battery.Finalize();
    }
    LOG_TRACE(LOG_EVENT, FN, m_bIsMirelType ? L"m_bIsMirelType = TRUE" : L"m_bIsMirelType = FALSE");
}

void CMainWnd::ReadSettings()
{
    CRegistry reg;
    if (reg.OpenKey(kSettingsKey, KEY_READ) != ERROR_SUCCESS) {
        return;
    }
    reg.QueryDWORDValue(L"ShowBalloonWait", &m_dwShowBalloonWait);
    reg.QueryDWORDValue(L"DTSwitchCheck", &m_dwDTSwitchCheck);
    reg.CloseKey();
}

DWORD CMainWnd::InitNotifyIcon()
{
    const GUID guidNone = {};
    HICON hIcon = ::LoadIconW(m_hInstance, MAKEINTRESOURCEW(IDI_TRAY));
    return m_NotifyIcon.Initialize(0x0600, m_hWnd, kTrayIconId, NIF_MESSAGE | NIF_ICON | NIF_TIP,
                                   WM_TRAY_CALLBACK, hIcon, NULL, 0, NULL, NULL, 0, &guidNone, NULL);
}

ATOM CMainWnd::RegisterWndClass(HINSTANCE hInstance, LPCWSTR lpszClassName)
{
    static const WCHAR FN[] = L"CMainWnd::RegisterWndClass";
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
    wc.hIconSm = ::LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_TRAY));
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
    case WM_ENDSESSION:        ::DestroyWindow(m_hWnd); break;
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
    // The watch thread may be registering anew: it stops first.
    CThread::Finalize();
    m_PipeCl.Finalize(NULL);
    m_NotifyIcon.Finalize();
    ::PostQuitMessage(0);
    m_ToastApi.Unload();
    g_pMainWnd = NULL;
}

// The shell's notification area was recreated: a fresh icon, shown again if a condition holds.
void CMainWnd::OnTaskbarCreated()
{
    m_NotifyIcon.Reset();
    InitNotifyIcon();
    UpdateAlerts(FALSE, TRUE, TRUE);
}

void CMainWnd::OnRcvData(LPVOID lpObj, PPIPEEVENT pPipeEvent)
{
    static const WCHAR FN[] = L"CMainWnd::OnRcvData";
    if (lpObj == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"lpObj");
        return;
    }
    if (pPipeEvent == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"pPipeEvent");
        return;
    }
    CMainWnd* pThis = static_cast<CMainWnd*>(lpObj);
    DWORD dwBuff[2] = { 0, 0 };
    if (pPipeEvent->dwDataSize == sizeof(DWORD)) {
        pThis->m_PipeCl.GetReceivedData(dwBuff, sizeof(DWORD));
        LOG_TRACE(LOG_EVENT, FN, L"dwNotify = %02X", dwBuff[0]);
        // While the maker's refresh tool runs, a low battery is its doing and no reason to warn.
        if (dwBuff[0] == NOTIFY_BATTERY_LOW && pThis->EnumProcess(pThis->m_szRefreshToolPath)) {
            dwBuff[0] = NOTIFY_BATTERY_OK;
        }
        if (dwBuff[0] == NOTIFY_SERVICE_STOPPED) {
            // Marked before the acknowledgement lets the service end: its process's end is no
            // second news for the watch thread.
            pThis->SetLinkLost(TRUE);
        }
        ::PostMessageW(pThis->m_hWnd, WM_SERVICE_NOTIFY, dwBuff[0], 0);
    } else if (pPipeEvent->dwDataSize == sizeof(dwBuff)) {
        pThis->m_PipeCl.GetReceivedData(dwBuff, sizeof(dwBuff));
        LOG_TRACE(LOG_EVENT, FN, L"dwBuff [0]: %02X, [1]: %02X", dwBuff[0], dwBuff[1]);
        ::PostMessageW(pThis->m_hWnd, WM_SERVICE_NOTIFY, dwBuff[0], dwBuff[1]);
    }
}

DWORD CMainWnd::ThreadProc(LPVOID lParam)
{
    static const WCHAR FN[] = L"CMainWnd::ThreadProc";
    if (lParam == NULL) {
        LOG_TRACE(LOG_EVENT, FN, L"%s is NULL.", L"lParam");
        return 0;
    }
    CMainWnd* pThis = static_cast<CMainWnd*>(lParam);
    HANDLE hTerminate = pThis->GetTerminateEvent();
    for (;;) {
        pThis->WatchServiceProcess();
        const HANDLE waits[2] = { hTerminate, pThis->m_ServiceProcess.Get() };
        const DWORD dwWait = ::WaitForMultipleObjects(pThis->m_ServiceProcess.IsValid() ? 2 : 1, waits,
                                                      FALSE, kWatchPeriodMs);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_FAILED) {
            break;
        }
        if (!pThis->IsLinkLost()) {
            // A service that died or was restarted sends no stop notice.
            if (pThis->IsServiceProcessGone(dwWait)) {
                LOG_TRACE(LOG_EVENT, FN, L"Service process gone.");
                pThis->SetLinkLost(TRUE);
                ::PostMessageW(pThis->m_hWnd, WM_SERVICE_NOTIFY, NOTIFY_SERVICE_STOPPED, 0);
            }
        } else if (pThis->GetServiceStatus() == NOTIFY_SERVICE_RUNNING &&
                   pThis->ConnectService(hTerminate) == ERROR_SUCCESS) {
            pThis->SetLinkLost(FALSE);
            ::PostMessageW(pThis->m_hWnd, WM_SERVICE_NOTIFY, NOTIFY_SERVICE_RUNNING, 0);
        }
    }
    return 0;
}

// Registers with the service; hAbortEvent ends the waits of a registration under way.
DWORD CMainWnd::ConnectService(HANDLE hAbortEvent)
{
    DWORD dwClientID = 0;
    return m_PipeCl.Initialize(PIPECL_MODE_FULL, MIREL_PIPE_SUFFIX, &dwClientID, OnRcvData, this,
                               hAbortEvent);
}

BOOL CMainWnd::IsLinkLost()
{
    return ::InterlockedCompareExchange(&m_lLinkLost, 0, 0) != 0;
}

void CMainWnd::SetLinkLost(BOOL bLost)
{
    ::InterlockedExchange(&m_lLinkLost, bLost ? 1 : 0);
}

namespace {

// The service's status from the service manager; FALSE (logged under lpszCaller) when it
// cannot be had.
BOOL QueryService(LPCWSTR lpszCaller, SERVICE_STATUS_PROCESS* pStatus)
{
    ScopedScHandle scm(::OpenSCManagerW(NULL, NULL, 0));
    if (!scm.IsValid()) {
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to OpenSCManager() dwRet: %d", ::GetLastError());
        return FALSE;
    }
    ScopedScHandle service(::OpenServiceW(scm.Get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service.IsValid()) {
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to OpenService() dwRet: %d", ::GetLastError());
        return FALSE;
    }
    DWORD cbNeeded = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(pStatus),
                                sizeof(*pStatus), &cbNeeded)) {
        g_Log.Trace(LOG_EVENT, lpszCaller, __LINE__, L"Fail to QueryServiceStatus() dwRet: %d",
                    ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

}  // namespace

DWORD CMainWnd::GetServiceStatus()
{
    SERVICE_STATUS_PROCESS status = {};
    return (QueryService(L"CMainWnd::GetServiceStatus", &status) &&
            status.dwCurrentState == SERVICE_RUNNING)
               ? NOTIFY_SERVICE_RUNNING
               : NOTIFY_SERVICE_STOPPED;
}

// The service we registered with is gone: its control pipe vanished (a killed process takes it
// along), or the service manager knows another process or none.
BOOL CMainWnd::IsServiceGone()
{
    if (!::WaitNamedPipeW(PIPE_CTRL_PREFIX MIREL_PIPE_SUFFIX, 1) &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        return TRUE;
    }
    return GetServiceProcessId() != m_PipeCl.GetServiceProcessId();
}

// While linked, the process that served the registration is opened once for waiting; while not,
// none is held (a stopped service's process would end every wait at once).
void CMainWnd::WatchServiceProcess()
{
    const DWORD dwPid = IsLinkLost() ? 0 : m_PipeCl.GetServiceProcessId();
    if (dwPid != m_dwWatchedPid) {
        m_dwWatchedPid = dwPid;
        m_ServiceProcess.Reset(dwPid != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, dwPid) : NULL);
    }
}

BOOL CMainWnd::IsServiceProcessGone(DWORD dwWait)
{
    if (m_ServiceProcess.IsValid()) {
        return dwWait == WAIT_OBJECT_0 + 1;
    }
    return IsServiceGone();
}

// The process of the running service, 0 when it does not run.
DWORD CMainWnd::GetServiceProcessId()
{
    SERVICE_STATUS_PROCESS status = {};
    return (QueryService(L"CMainWnd::GetServiceProcessId", &status) &&
            status.dwCurrentState == SERVICE_RUNNING)
               ? status.dwProcessId
               : 0;
}

void CMainWnd::NotifyService(DWORD dwRequest)
{
    DWORD dwRetCode = 0;
    m_PipeCl.Send(&dwRequest, sizeof(dwRequest), &dwRetCode, NULL);
}

LRESULT CMainWnd::OnMirelNotify(WPARAM wParam, LPARAM lParam)
{
    static const WCHAR FN[] = L"CMainWnd::OnMirelNotify";
    LOG_TRACE(LOG_EVENT, FN, L"WPARAM %02X, LPARAM %08X", static_cast<DWORD>(wParam),
              static_cast<DWORD>(lParam));
    const DWORD dwCode = static_cast<DWORD>(wParam);
    // What to show is decided from the conditions as they were before this code.
    BOOL bShowMessage = FALSE, bRefreshIcon = FALSE, bPopBalloon = FALSE;
    GetAlertRequest(dwCode, &bShowMessage, &bRefreshIcon, &bPopBalloon);
    ApplyNotify(dwCode, static_cast<DWORD>(lParam));
    UpdateAlerts(bShowMessage, bRefreshIcon, bPopBalloon);
    return 0;
}

void CMainWnd::ApplyNotify(DWORD dwCode, DWORD dwValue)
{
    switch (dwCode) {
    case NOTIFY_AC_LOST:
        RingAlarm();
        break;
    case NOTIFY_RESUMED:
        LoadText(IDS_RESUMED, m_szResumedText);
        m_bGoingToHibernate = FALSE;
        m_bResumed = IsSessionUnlocked();
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
    case NOTIFY_S4_ENABLED:
        m_bS4Disabled = FALSE;
        break;
    case NOTIFY_BATTERY_LOW:
        LoadText(IDS_BATTERY_LOW, m_szBatteryLowText);
        m_bBatteryLow = TRUE;
        break;
    case NOTIFY_BATTERY_OK:
        m_bBatteryLow = FALSE;
        break;
    case NOTIFY_SERVICE_STOPPED:
        LoadText(IDS_SERVICE_STOPPED, m_szServiceStoppedText);
        // The watch thread, which runs throughout, registers again once the service is back.
        m_bServiceStopped = TRUE;
        SetLinkLost(TRUE);
        m_bResumed = FALSE;
        break;
    case NOTIFY_SERVICE_RUNNING:
        m_bServiceStopped = FALSE;
        break;
    case NOTIFY_NO_BATTERY:
        LoadText(IDS_NO_BATTERY, m_szNoBatteryText);
        m_bNoBattery = TRUE;
        break;
    case NOTIFY_BATTERY_PRESENT:
        m_bNoBattery = FALSE;
        break;
    }
}

// The display requests of a code: a request holds when none of the conditions it names is set.
void CMainWnd::GetAlertRequest(DWORD dwCode, LPBOOL lpbShowMessage, LPBOOL lpbRefreshIcon,
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

// Everything shows only on a PC with a battery and in a session the user is looking at.
void CMainWnd::UpdateAlerts(BOOL bShowMessage, BOOL bRefreshIcon, BOOL bPopBalloon)
{
    if (!m_bIsMirelType || !IsSessionUnlocked()) {
        return;
    }
    ShowInfoBalloon(bRefreshIcon, bPopBalloon);
    ShowAlertMessage(bShowMessage);
}

// The conditions in balloon priority order: flag, code, text, info flag, seconds on screen.
const CMainWnd::BalloonCondition CMainWnd::kBalloons[] = {
    { &CMainWnd::m_bNoBattery, NOTIFY_NO_BATTERY, &CMainWnd::m_szNoBatteryText, NIIF_INFO, 30 },
    { &CMainWnd::m_bGoingToHibernate, NOTIFY_HIBERNATING, &CMainWnd::m_szGoingToHibernateText, NIIF_INFO, 30 },
    { &CMainWnd::m_bS4Disabled, NOTIFY_S4_DISABLED, &CMainWnd::m_szS4DisabledText, NIIF_INFO, 10 },
    { &CMainWnd::m_bServiceStopped, NOTIFY_SERVICE_STOPPED, &CMainWnd::m_szServiceStoppedText, NIIF_ERROR, 10 },
    { &CMainWnd::m_bS4Failed, NOTIFY_S4_FAILED, &CMainWnd::m_szS4FailedText, NIIF_ERROR, 10 },
    { &CMainWnd::m_bBatteryLow, NOTIFY_BATTERY_LOW, &CMainWnd::m_szBatteryLowText, NIIF_WARNING, 30 },
};

// The conditions in message priority order: flag, code, text, icon.
const CMainWnd::MessageCondition CMainWnd::kMessages[] = {
    { &CMainWnd::m_bS4Disabled, NOTIFY_S4_DISABLED, &CMainWnd::m_szS4DisabledText, MB_ICONINFORMATION },
    { &CMainWnd::m_bServiceStopped, NOTIFY_SERVICE_STOPPED, &CMainWnd::m_szServiceStoppedText, MB_ICONERROR },
    { &CMainWnd::m_bS4Failed, NOTIFY_S4_FAILED, &CMainWnd::m_szS4FailedText, MB_ICONERROR },
    { &CMainWnd::m_bResumed, NOTIFY_RESUMED, &CMainWnd::m_szResumedText, MB_ICONINFORMATION },
};

void CMainWnd::ShowInfoBalloon(BOOL bRefreshIcon, BOOL bPopBalloon)
{
    const BalloonCondition* pTop = TopCondition(kBalloons);
    if (pTop == NULL) {
        m_NotifyIcon.HideIcon();
        m_nBalloonKind = 0;
    } else if (bPopBalloon) {
        if (pTop->dwCode == NOTIFY_HIBERNATING) {
            SwitchToDesktop();
        }
        m_nBalloonKind = static_cast<int>(pTop->dwCode);
        PopInfoBalloon(this->*pTop->pszText, pTop->dwInfoFlags, pTop->nSeconds);
    } else if (bRefreshIcon) {
        HideInfoBalloon();
        m_NotifyIcon.ShowIcon();
    } else if (m_nBalloonKind != static_cast<int>(pTop->dwCode) &&
               (m_bBalloonShown || !m_NotifyIcon.IsShown())) {
        // (An icon already standing without a balloon would only be modified to what it is: the
        // battery level comes twice a second, and the shell is not asked each time.)
        HideInfoBalloon();
        m_NotifyIcon.ShowIcon();
        m_nBalloonKind = 0;
    }
}

// The hibernation balloon must be seen: when another view is in front, switch to the desktop
// first and give it a moment to come up.
void CMainWnd::SwitchToDesktop()
{
    static const WCHAR FN[] = L"CMainWnd::SwitchToDesktop";
    DWORD dwMode = 0;
    HRESULT hr = m_ToastApi.GetDisplayMode(&dwMode);
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_GetDisplayMode(). hr: %08x", hr);
        return;
    }
    if (!m_bIsWin8 || (dwMode != 2 && dwMode != 3)) {
        return;
    }
    ::ShowWindow(m_hWnd, SW_SHOWNOACTIVATE);
    hr = m_ToastApi.SwitchToDT(m_hWnd);
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_SwitchToDT(). hr: %08x", hr);
    }
    for (DWORD i = 0; i < m_dwDTSwitchCheck && dwMode != 1; ++i) {
        ::Sleep(10);
        hr = m_ToastApi.GetDisplayMode(&dwMode);
        if (FAILED(hr)) {
            LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_GetDisplayMode(). hr: %08x", hr);
        }
    }
    if (m_dwShowBalloonWait != 0) {
        ::Sleep(m_dwShowBalloonWait);
    }
}

void CMainWnd::ShowAlertMessage(BOOL bShowMessage)
{
    const MessageCondition* pTop = TopCondition(kMessages);
    if (pTop == NULL) {
        CloseMessageBoxes();
    } else if (bShowMessage) {
        if (m_nMessageKind != 0) {
            CloseMessageBoxes();
        }
        // Modal: further messages, this handler's own included, are dispatched meanwhile.
        m_nMessageKind = static_cast<int>(pTop->dwCode);
        ::MessageBoxW(m_hWnd, this->*pTop->pszText, m_szTitle, MB_OK | MB_SETFOREGROUND | pTop->uIcon);
        m_nMessageKind = 0;
        if (pTop->dwCode == NOTIFY_RESUMED) {
            m_bResumed = FALSE;
        }
    } else if (m_nMessageKind != static_cast<int>(pTop->dwCode)) {
        CloseMessageBoxes();
    }
}

// Message boxes are dialogs of this (the GUI) thread. They are ended, not destroyed: a modal loop
// whose dialog is destroyed under it may take one more queued message with it, and that message
// can be the next notification.
void CMainWnd::CloseMessageBoxes()
{
    ::EnumThreadWindows(::GetCurrentThreadId(), [](HWND hWnd, LPARAM) -> BOOL {
        WCHAR szClass[MAX_PATH] = L"";
        if (::GetClassNameW(hWnd, szClass, ARRAYSIZE(szClass)) > 0 && lstrcmpW(szClass, L"#32770") == 0) {
            ::EndDialog(hWnd, IDCANCEL);
        }
        return TRUE;
    }, 0);
}

void CMainWnd::PopInfoBalloon(LPCWSTR lpszText, DWORD dwInfoFlags, UINT nSeconds)
{
    m_bBalloonShown = TRUE;
    m_NotifyIcon.SetBaloon(lpszText, m_szTitle, dwInfoFlags, nSeconds * 1000, NULL);
    m_NotifyIcon.ShowBaloon();
    if (m_nTimerId != 0) {
        ::KillTimer(m_hWnd, m_nTimerId);
    }
    m_nTimerId = ::SetTimer(m_hWnd, kBalloonTimerId, nSeconds * 1000, NULL);
}

void CMainWnd::HideInfoBalloon()
{
    if (m_nTimerId != 0) {
        ::KillTimer(m_hWnd, m_nTimerId);
        m_nTimerId = 0;
    }
    if (m_bBalloonShown) {
        m_bBalloonShown = FALSE;
        m_nBalloonKind = 0;
        // An empty balloon replaces the one on screen.
        m_NotifyIcon.SetBaloon(L"", L"", NIIF_INFO, 30, NULL);
        m_NotifyIcon.ShowBaloon();
    }
    m_NotifyIcon.HideBaloon();
}

namespace {

// An alarm setting: read and clamped, or its default when it cannot be read.
DWORD ReadAlarmSetting(CRegistry& reg, bool bOpen, LPCWSTR lpszName, DWORD dwDefault, DWORD dwMin,
                       DWORD dwMax)
{
    DWORD dwValue = dwDefault;
    if (!bOpen) {
        return dwDefault;
    }
    const LONG lRet = reg.QueryDWORDValue(lpszName, &dwValue);
    if (lRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, L"CMainWnd::RingAlarm", L"QueryDWORDValue Failed. ValueName: %s, Error: %d",
                  lpszName, lRet);
        return dwDefault;
    }
    return std::min(std::max(dwValue, dwMin), dwMax);
}

}  // namespace

// The alarm on AC loss: beeps on the GUI thread, at most 10 x (2 + 1) s.
void CMainWnd::RingAlarm()
{
    static const WCHAR FN[] = L"CMainWnd::RingAlarm";
    CRegistry reg;
    const LONG lOpen = reg.OpenKey(kSettingsKey, KEY_READ);
    if (lOpen != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"OpenKey Failed. Key: %s, Error: %d", kSettingsKey, lOpen);
    }
    const bool bOpen = (lOpen == ERROR_SUCCESS);
    const DWORD dwFrequency = ReadAlarmSetting(reg, bOpen, L"BeepFrequency", 500, 37, 32767);
    const DWORD dwDuration = ReadAlarmSetting(reg, bOpen, L"BeepDuration", 500, 100, 2000);
    const DWORD dwInterval = ReadAlarmSetting(reg, bOpen, L"BeepInterval", 200, 100, 1000);
    const DWORD dwCount = ReadAlarmSetting(reg, bOpen, L"BeepCount", 3, 0, 10);
    LOG_TRACE(LOG_EVENT, FN, L"Beep %u Hz, %u ms, every %u ms, %u times", dwFrequency, dwDuration,
              dwInterval, dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        ::Beep(dwFrequency, dwDuration);
        ::Sleep(dwInterval);
    }
}

void CMainWnd::LoadText(UINT uId, LPWSTR lpszText)
{
    if (::LoadStringW(m_hInstance, uId, lpszText, 512) <= 0) {
        lpszText[0] = L'\0';
    }
}

void CMainWnd::OnTimer(WPARAM wParam)
{
    if (m_nTimerId != 0 && wParam == m_nTimerId) {
        ::KillTimer(m_hWnd, m_nTimerId);
        m_nTimerId = 0;
        HideInfoBalloon();
    }
}

void CMainWnd::OnTrayNotify(LPARAM lParam)
{
    switch (LOWORD(lParam)) {
    case WM_MOUSEMOVE:
        if (!m_bBalloonShown) {
            UpdateAlerts(FALSE, TRUE, TRUE);
        }
        break;
    case NIN_BALLOONSHOW:
        m_bBalloonShown = TRUE;
        break;
    case NIN_BALLOONHIDE:
    case NIN_BALLOONTIMEOUT:
    case NIN_BALLOONUSERCLICK:
        m_nBalloonKind = 0;
        m_bBalloonShown = FALSE;
        if (m_nTimerId != 0) {
            ::KillTimer(m_hWnd, m_nTimerId);
            m_nTimerId = 0;
        }
        break;
    }
}

void CMainWnd::OnPowerBroadcast(WPARAM wParam)
{
    if (wParam != PBT_APMRESUMESUSPEND) {
        return;
    }
    m_bGoingToHibernate = FALSE;
    UpdateAlerts(FALSE, FALSE, FALSE);
    if (IsSessionUnlocked()) {
        NotifyService(REQUEST_RESUME_CHECK);
    }
}

void CMainWnd::InitSessionLockCnt()
{
    static const WCHAR FN[] = L"CMainWnd::InitSessionLockCnt";
    LPWSTR pState = NULL;
    LPWSTR pInfoEx = NULL;
    DWORD cb = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState,
                                       &pState, &cb)) {
        LOG_TRACE(LOG_EVENT, FN, L"Error In WTSQuerySessionInformation: %d", ::GetLastError());
        return;
    }
    if (pState == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"pState");
        return;
    }
    const int nConnectState = *reinterpret_cast<WTS_CONNECTSTATE_CLASS*>(pState);
    ::WTSFreeMemory(pState);
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionInfoEx,
                                       &pInfoEx, &cb)) {
        LOG_TRACE(LOG_EVENT, FN, L"Error In WTSQuerySessionInformation: %d", ::GetLastError());
        return;
    }
    if (pInfoEx == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"pInfoEx");
        return;
    }
    const LONG lSessionFlags = reinterpret_cast<WTSINFOEXW*>(pInfoEx)->Data.WTSInfoExLevel1.SessionFlags;
    ::WTSFreeMemory(pInfoEx);
    OSVERSIONINFOEXW version = { sizeof(version) };
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    const DWORDLONG ullMask = ::VerSetConditionMask(::VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL),
                                                    VER_MINORVERSION, VER_EQUAL);
    const BOOL bWin61 = ::VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, ullMask);
    m_nSessionLockCnt = SessionLockCount(nConnectState, lSessionFlags, bWin61);
    LOG_TRACE(LOG_EVENT, FN, L"m_nSessionLockCnt = %d", m_nSessionLockCnt);
}

int CMainWnd::SessionLockCount(int nConnectState, LONG lSessionFlags, BOOL bWin61)
{
    static const WCHAR FN[] = L"CMainWnd::InitSessionLockCnt";
    int nCount = 0;
    if (nConnectState != WTSActive) {
        LOG_TRACE(LOG_EVENT, FN, L"NOT WTSActive");
        ++nCount;
    }
    const LONG lUnlocked = bWin61 ? 0 : WTS_SESSIONSTATE_UNLOCK;
    if (lSessionFlags != lUnlocked) {
        LOG_TRACE(LOG_EVENT, FN, L"NOT UNLOCK");
        ++nCount;
    }
    return nCount;
}

// Only this application's own session counts: notifications come for every session on the
// machine, and another user's lock or unlock must not change what this user is shown.
void CMainWnd::OnSessionChange(WPARAM wParam, LPARAM lParam)
{
    DWORD dwOwnSession = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &dwOwnSession) ||
        static_cast<DWORD>(lParam) != dwOwnSession) {
        return;
    }
    switch (wParam) {
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
    case WTS_SESSION_UNLOCK:
        UnlockSession();
        break;
    case WTS_CONSOLE_DISCONNECT:
    case WTS_REMOTE_DISCONNECT:
    case WTS_SESSION_LOCK:
        LockSession();
        break;
    case WTS_SESSION_LOGOFF:
        ::DestroyWindow(m_hWnd);
        break;
    }
}

// The user cannot see us: the icon goes and the boxes close; the conditions stay.
void CMainWnd::LockSession()
{
    ++m_nSessionLockCnt;
    m_NotifyIcon.HideIcon();
    CloseMessageBoxes();
}

// The user is back: the top box and balloon again, and the question whether the PC slept.
void CMainWnd::UnlockSession()
{
    --m_nSessionLockCnt;
    m_bGoingToHibernate = FALSE;
    UpdateAlerts(TRUE, TRUE, TRUE);
    if (IsSessionUnlocked()) {
        NotifyService(REQUEST_RESUME_CHECK);
    }
}

BOOL CMainWnd::EnumProcess(LPCWSTR lpszModuleName)
{
    static const WCHAR FN[] = L"CMainWnd::EnumProcess";
    if (lpszModuleName == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"lpszModuleName");
        return FALSE;
    }
    DWORD dwIds[1024];
    DWORD cbReturned = 0;
    if (lpszModuleName[0] == L'\0' || !::EnumProcesses(dwIds, sizeof(dwIds), &cbReturned)) {
        return FALSE;
    }
    // The limited query right and the image name: the maker's tool may run elevated, and a
    // standard user's process may not read its memory (which reading the module list needs).
    for (DWORD i = 0; i < cbReturned / sizeof(DWORD); ++i) {
        ScopedKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwIds[i]));
        WCHAR szPath[MAX_PATH];
        DWORD cchPath = ARRAYSIZE(szPath);
        if (process.IsValid() && ::QueryFullProcessImageNameW(process.Get(), 0, szPath, &cchPath) &&
            _wcsicmp(szPath, lpszModuleName) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}
