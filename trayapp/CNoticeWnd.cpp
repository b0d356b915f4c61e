#include "CNoticeWnd.h"

#include "CBuffer.h"
#include "CDpi.h"
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
    // The window procedure finds this object for a change of scale.
    ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_hText = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 0, 0,
                                m_hWnd, NULL, hInstance, NULL);
    ApplyFont(CDpi::ForWindow(m_hWnd));
    return TRUE;
}

// The message font at nDpi; the one before stays until the text has the new one.
void CNoticeWnd::ApplyFont(UINT nDpi)
{
    LOGFONTW font = {};
    ScopedGdiObject newFont(CDpi::GetMessageFont(nDpi, &font) ? ::CreateFontIndirectW(&font) : NULL);
    if (m_hText != NULL && newFont.IsValid()) {
        ::SendMessageW(m_hText, WM_SETFONT, reinterpret_cast<WPARAM>(newFont.Get()), FALSE);
        m_Font.Reset(newFont.Detach());
    }
}

// The monitor's scale changed (or the window moved to another monitor): the same text, measured
// and placed again at the new scale.
void CNoticeWnd::OnDpiChanged(UINT nDpi)
{
    LOG_FUNCTION(L"CNoticeWnd::OnDpiChanged");
    LOG_TRACE(LOG_EVENT, FN, L"DPI: %u", nDpi);
    ApplyFont(nDpi);
    const int cch = ::GetWindowTextLengthW(m_hText) + 1;
    CBuffer text;
    if (text.Allocate(cch * sizeof(WCHAR)) == ERROR_SUCCESS) {
        ::GetWindowTextW(m_hText, text.As<WCHAR>(), cch);
        Place(text.As<WCHAR>());
    }
}

// Sized to its text at the display's scale, at the bottom right of the work area, where the
// notification area usually is.
void CNoticeWnd::Place(LPCWSTR lpszText)
{
    const int nDpi = static_cast<int>(CDpi::ForWindow(m_hWnd));
    HDC hdc = ::GetDC(m_hText);
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
    CDpi::AdjustWindowRect(&frame, kStyle, kExStyle, static_cast<UINT>(nDpi));
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
    CNoticeWnd* pThis = reinterpret_cast<CNoticeWnd*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (uMsg) {
    case WM_DPICHANGED:
        // A window that Close has let go of is no longer the object's: it only goes.
        if (pThis != NULL && pThis->m_hWnd == hWnd) pThis->OnDpiChanged(HIWORD(wParam));
        return 0;
    case WM_CLOSE:         ::ShowWindow(hWnd, SW_HIDE); return 0;
    case kCloseMessage:    ::DestroyWindow(hWnd); return 0;
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
    case WM_CTLCOLORSTATIC:
        ::SetBkColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    default:               return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}
