#include "CNoticeWnd.h"

#include "CLog.h"

const WCHAR CNoticeWnd::kClassName[] = L"ParvexNotice";

namespace {

const DWORD kExStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;
const DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
// Text width and margins in pixels at 96 DPI.
const int kTextWidth = 360;
const int kMargin = 12;
// Posted to the window by Close.
const UINT kCloseMessage = WM_APP + 1;

}  // namespace

CNoticeWnd::CNoticeWnd() : m_hWnd(NULL), m_hText(NULL) {}

CNoticeWnd::~CNoticeWnd()
{
    Destroy();
}

BOOL CNoticeWnd::Show(HINSTANCE hInstance, HWND hOwner, LPCWSTR lpszTitle, LPCWSTR lpszText)
{
    if (m_hWnd == NULL && !Create(hInstance, hOwner, lpszTitle)) {
        return FALSE;
    }
    ::SetWindowTextW(m_hText, lpszText);
    Place(lpszText);
    ::ShowWindow(m_hWnd, SW_SHOWNOACTIVATE);
    return TRUE;
}

void CNoticeWnd::Close()
{
    if (m_hWnd != NULL) {
        ::PostMessageW(m_hWnd, kCloseMessage, 0, 0);
        m_hWnd = m_hText = NULL;
    }
}

void CNoticeWnd::Destroy()
{
    if (m_hWnd != NULL) {
        ::DestroyWindow(m_hWnd);
        m_hWnd = m_hText = NULL;
    }
}

BOOL CNoticeWnd::Create(HINSTANCE hInstance, HWND hOwner, LPCWSTR lpszTitle)
{
    LOG_FUNCTION(L"CNoticeWnd::Create");
    WNDCLASSEXW wc = { sizeof(wc) };
    if (!::GetClassInfoExW(hInstance, kClassName, &wc)) {
        wc.lpfnWndProc = WndProc;
        wc.hInstance = hInstance;
        wc.hCursor = ::LoadCursorW(NULL, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = kClassName;
        ::RegisterClassExW(&wc);
    }
    // Owned by the main window: it goes with it.
    m_hWnd = ::CreateWindowExW(kExStyle, kClassName, lpszTitle, kStyle, 0, 0, 0, 0, hOwner, NULL,
                               hInstance, NULL);
    if (m_hWnd == NULL) {
        LOG_TRACE(LOG_EVENT, FN, L"Fail to CreateWindow() dwRet: %d", ::GetLastError());
        return FALSE;
    }
    m_hText = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 0, 0,
                                m_hWnd, NULL, hInstance, NULL);
    NONCLIENTMETRICSW metrics = { sizeof(metrics) };
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        m_Font.Reset(::CreateFontIndirectW(&metrics.lfMessageFont));
    }
    if (m_hText != NULL && m_Font.IsValid()) {
        ::SendMessageW(m_hText, WM_SETFONT, reinterpret_cast<WPARAM>(m_Font.Get()), FALSE);
    }
    return TRUE;
}

// Sized to its text at the display's scale, at the bottom right of the work area, where the
// notification area usually is.
void CNoticeWnd::Place(LPCWSTR lpszText)
{
    HDC hdc = ::GetDC(m_hText);
    const int nDpi = hdc != NULL ? ::GetDeviceCaps(hdc, LOGPIXELSX) : 96;
    RECT text = { 0, 0, ::MulDiv(kTextWidth, nDpi, 96), 0 };
    if (hdc != NULL) {
        HGDIOBJ hOld = m_Font.IsValid() ? ::SelectObject(hdc, m_Font.Get()) : NULL;
        ::DrawTextW(hdc, lpszText, -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        if (hOld != NULL) {
            ::SelectObject(hdc, hOld);
        }
        ::ReleaseDC(m_hText, hdc);
    }
    const int nMargin = ::MulDiv(kMargin, nDpi, 96);
    RECT frame = { 0, 0, text.right + 2 * nMargin, text.bottom + 2 * nMargin };
    ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    RECT work = { 0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN) };
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int cx = frame.right - frame.left, cy = frame.bottom - frame.top;
    ::SetWindowPos(m_hWnd, HWND_TOPMOST, work.right - cx - nMargin, work.bottom - cy - nMargin, cx, cy,
                   SWP_NOACTIVATE);
    ::MoveWindow(m_hText, nMargin, nMargin, text.right, text.bottom, TRUE);
}

// Closed by the user it only hides: it comes back with the next warning.
LRESULT CALLBACK CNoticeWnd::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CLOSE:         ::ShowWindow(hWnd, SW_HIDE); return 0;
    case kCloseMessage:    ::DestroyWindow(hWnd); return 0;
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
    case WM_CTLCOLORSTATIC:
        ::SetBkColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    default:               return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}
