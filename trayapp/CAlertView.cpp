#include "CAlertView.h"

#include "CDpi.h"
#include "CLog.h"
#include "CSettings.h"
#include "Notify.h"
#include "resource.h"

namespace {

const UINT kTrayIconId = 128;
const UINT_PTR kBalloonTimerId = 1;
// The message text of a message box.
const int kBoxTextId = 0xFFFF;

// Calls fn for every message box (dialog) of the calling (GUI) thread.
template <typename Fn>
void ForEachBox(Fn fn)
{
    ::EnumThreadWindows(::GetCurrentThreadId(), [](HWND hWnd, LPARAM lParam) -> BOOL {
        WCHAR szClass[MAX_PATH] = L"";
        if (::GetClassNameW(hWnd, szClass, ARRAYSIZE(szClass)) > 0 && lstrcmpW(szClass, L"#32770") == 0) {
            (*reinterpret_cast<Fn*>(lParam))(hWnd);
        }
        return TRUE;
    }, reinterpret_cast<LPARAM>(&fn));
}

}  // namespace

CAlertView::CAlertView(CAlertState& state)
    : m_State(state),
      m_hInstance(NULL),
      m_hWnd(NULL),
      m_uCallbackMessage(0),
      m_lpszTitle(L""),
      m_nTimerId(0),
      m_bIsWin8(FALSE),
      m_dwDTSwitchCheck(10),
      m_dwShowBalloonWait(500)
{
}

CAlertView::~CAlertView()
{
    Finalize();
}

DWORD CAlertView::Initialize(HINSTANCE hInstance, HWND hWnd, UINT uCallbackMessage, LPCWSTR lpszTitle)
{
    m_hInstance = hInstance;
    m_hWnd = hWnd;
    m_uCallbackMessage = uCallbackMessage;
    m_lpszTitle = lpszTitle;
    return InitNotifyIcon();
}

// The small icon at the size the shell draws it on this display, not the large one scaled down.
DWORD CAlertView::InitNotifyIcon()
{
    const GUID guidNone = {};
    ScopedIcon icon(CDpi::LoadSmallIcon(m_hInstance, IDI_TRAY));
    const DWORD dwRet = m_NotifyIcon.Initialize(0x0600, m_hWnd, kTrayIconId, NIF_MESSAGE | NIF_ICON | NIF_TIP,
                                                m_uCallbackMessage, icon.Get(), NULL, 0, NULL, NULL, 0,
                                                &guidNone, NULL);
    m_Icon.Reset(icon.Detach());
    return dwRet;
}

DWORD CAlertView::RenewIcon()
{
    m_NotifyIcon.Reset();
    return InitNotifyIcon();
}

// The shell refuses an add of the icon it shows and takes it as a modify (see ShowIcon).
void CAlertView::OnDpiChanged()
{
    const BOOL bShown = m_NotifyIcon.IsShown();
    RenewIcon();
    if (bShown) {
        m_NotifyIcon.ShowIcon();
    }
}

void CAlertView::Finalize()
{
    KillBalloonTimer();
    m_NotifyIcon.Finalize();
    m_Notice.Destroy();
    m_ToastApi.Unload();
}

// Windows 8 and every later version, whatever the manifest lets the version call report.
BOOL CAlertView::LoadToastApi()
{
    LOG_FUNCTION(L"CAlertView::LoadToastApi");
    OSVERSIONINFOW version = { sizeof(version) };
    ::GetVersionExW(&version);
    m_bIsWin8 = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
    if (!m_bIsWin8) {
        return FALSE;
    }
    HRESULT hr = m_ToastApi.Load(L"QUENDA.dll");
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_Initialize(). hr: %08x", hr);
        return TRUE;
    }
    hr = m_ToastApi.InitToastCmnInf(L"ORVANEPC.HWUTIL.MIRELAPP", m_hWnd, 0, 0, 0, 0, 0);
    if (FAILED(hr)) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to TOASTAPI_InitToastCmnInf(). hr: %08x", hr);
    }
    return TRUE;
}

void CAlertView::ReadSettings()
{
    CSettings settings;
    settings.Initialize();
    m_dwShowBalloonWait = settings.Get(SETTING_SHOW_BALLOON_WAIT);
    m_dwDTSwitchCheck = settings.Get(SETTING_DT_SWITCH_CHECK);
}

void CAlertView::Carry(const CAlertState::Plan& plan)
{
    if (!plan.bDisplay) {
        return;
    }
    ShowInfoBalloon(plan);
    FollowNotice(plan.lpszNotice);
    ShowAlertMessage(plan);
}

void CAlertView::ShowInfoBalloon(const CAlertState::Plan& plan)
{
    switch (plan.balloon) {
    case CAlertState::BALLOON_REMOVE_ICON:
        RemoveIcon();
        break;
    case CAlertState::BALLOON_POP:
        if (plan.top.dwCode == NOTIFY_HIBERNATING) {
            SwitchToDesktop();
        }
        PopInfoBalloon(plan.top.lpszText, plan.top.dwInfoFlags, plan.top.nSeconds);
        break;
    case CAlertState::BALLOON_REFRESH:
    case CAlertState::BALLOON_REPLACE:
        KillBalloonTimer();
        HideBalloon(plan.bBalloonWasShown);
        m_NotifyIcon.ShowIcon();
        break;
    case CAlertState::BALLOON_KEEP:
        break;
    }
}

// With no condition left the icon goes, and with it the balloon and its timer: a timer left
// running would bring the icon back when it fires.
void CAlertView::RemoveIcon()
{
    KillBalloonTimer();
    m_NotifyIcon.HideIcon();
}

// The hibernation balloon must be seen: when another view is in front, switch to the desktop
// first and give it a moment to come up.
void CAlertView::SwitchToDesktop()
{
    LOG_FUNCTION(L"CAlertView::SwitchToDesktop");
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

// Topmost (system-modal boxes are, as documented): a process without recent input may not take
// the foreground, and a box behind a full-screen program would go unseen until the battery is
// flat.
void CAlertView::ShowAlertMessage(const CAlertState::Plan& plan)
{
    switch (plan.message) {
    case CAlertState::MESSAGE_CLOSE:
    case CAlertState::MESSAGE_CLOSE_OTHER:
        CloseMessageBoxes();
        break;
    case CAlertState::MESSAGE_SHOW: {
        // A copy: the modal loop below dispatches further notifications, which move the top.
        const CAlertState::Message top = plan.topMessage;
        if (plan.bBoxWasOpen) {
            CloseMessageBoxes();
        }
        ::MessageBoxW(m_hWnd, top.lpszText, m_lpszTitle,
                      MB_OK | MB_SETFOREGROUND | MB_SYSTEMMODAL | MB_TOPMOST | top.uIcon);
        m_State.MessageClosed(top.dwCode);
        break;
    }
    case CAlertState::MESSAGE_KEEP:
        // The same condition again (a second failed hibernation): its box tells the news.
        UpdateOpenBoxText(plan.topMessage.lpszText);
        break;
    }
}

void CAlertView::UpdateOpenBoxText(LPCWSTR lpszText)
{
    ForEachBox([lpszText](HWND hBox) {
        WCHAR szShown[512] = L"";
        ::GetDlgItemTextW(hBox, kBoxTextId, szShown, ARRAYSIZE(szShown));
        if (lstrcmpW(szShown, lpszText) != 0) {
            ::SetDlgItemTextW(hBox, kBoxTextId, lpszText);
        }
    });
}

// Message boxes are ended, not destroyed: a modal loop whose dialog is destroyed under it may
// take one more queued message with it, and that message can be the next notification.
void CAlertView::CloseMessageBoxes()
{
    ForEachBox([](HWND hBox) { ::EndDialog(hBox, IDCANCEL); });
}

void CAlertView::PopInfoBalloon(LPCWSTR lpszText, DWORD dwInfoFlags, UINT nSeconds)
{
    m_NotifyIcon.SetBaloon(lpszText, m_lpszTitle, dwInfoFlags, nSeconds * 1000, NULL);
    m_NotifyIcon.ShowBaloon();
    KillBalloonTimer();
    m_nTimerId = ::SetTimer(m_hWnd, kBalloonTimerId, nSeconds * 1000, NULL);
}

void CAlertView::HideInfoBalloon()
{
    KillBalloonTimer();
    HideBalloon(m_State.BalloonTimedOut());
}

void CAlertView::HideBalloon(BOOL bShown)
{
    if (bShown) {
        // An empty balloon replaces the one on screen.
        m_NotifyIcon.SetBaloon(L"", L"", NIIF_INFO, 30, NULL);
        m_NotifyIcon.ShowBaloon();
    }
    m_NotifyIcon.HideBaloon();
}

void CAlertView::FollowNotice(LPCWSTR lpszNotice)
{
    if (lpszNotice == NULL) {
        m_Notice.Close();
        return;
    }
    if (!m_Notice.IsOpen()) {
        m_Notice.Show(m_hInstance, m_hWnd, m_lpszTitle, lpszNotice);
    }
}

void CAlertView::OnTimer(WPARAM wParam)
{
    if (m_nTimerId != 0 && wParam == m_nTimerId) {
        HideInfoBalloon();
    }
}

void CAlertView::OnBalloonGone()
{
    m_State.BalloonGone();
    KillBalloonTimer();
}

void CAlertView::Withdraw()
{
    Carry(m_State.Withdraw());
}

void CAlertView::KillBalloonTimer()
{
    if (m_nTimerId != 0) {
        ::KillTimer(m_hWnd, m_nTimerId);
        m_nTimerId = 0;
    }
}
