#include "CDpi.h"

#include "CLog.h"

namespace {

const UINT kDefaultDpi = 96;
const int kLimSmall = 0;  // LIM_SMALL of LoadIconMetric

typedef UINT(WINAPI* GetDpiForWindowFn)(HWND);
typedef BOOL(WINAPI* SystemParametersInfoForDpiFn)(UINT, UINT, PVOID, UINT, UINT);
typedef BOOL(WINAPI* AdjustWindowRectExForDpiFn)(LPRECT, DWORD, BOOL, DWORD, UINT);
typedef HRESULT(WINAPI* LoadIconMetricFn)(HINSTANCE, PCWSTR, int, HICON*);

// A function of user32 (always loaded in a GUI process), or NULL before the version that has it.
template <typename Fn>
Fn User32Function(LPCSTR lpszName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), lpszName)));
}

}  // namespace

UINT CDpi::SystemDpi()
{
    HDC hdc = ::GetDC(NULL);
    const int nDpi = hdc != NULL ? ::GetDeviceCaps(hdc, LOGPIXELSY) : 0;
    if (hdc != NULL) {
        ::ReleaseDC(NULL, hdc);
    }
    return nDpi > 0 ? static_cast<UINT>(nDpi) : kDefaultDpi;
}

UINT CDpi::ForWindow(HWND hWnd)
{
    static const GetDpiForWindowFn pfn = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    const UINT nDpi = (pfn != NULL && hWnd != NULL) ? pfn(hWnd) : 0;
    return nDpi != 0 ? nDpi : SystemDpi();
}

// Without the per-DPI call the font is the system's, scaled from the system's DPI.
BOOL CDpi::GetMessageFont(UINT nDpi, LOGFONTW* pFont)
{
    static const SystemParametersInfoForDpiFn pfn =
        User32Function<SystemParametersInfoForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics = { sizeof(metrics) };
    if (pfn != NULL && pfn(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, nDpi)) {
        *pFont = metrics.lfMessageFont;
        return TRUE;
    }
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        return FALSE;
    }
    *pFont = metrics.lfMessageFont;
    pFont->lfHeight = ::MulDiv(pFont->lfHeight, static_cast<int>(nDpi), static_cast<int>(SystemDpi()));
    return TRUE;
}

BOOL CDpi::AdjustWindowRect(RECT* pRect, DWORD dwStyle, DWORD dwExStyle, UINT nDpi)
{
    static const AdjustWindowRectExForDpiFn pfn =
        User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    if (pfn != NULL) {
        return pfn(pRect, dwStyle, FALSE, dwExStyle, nDpi);
    }
    return ::AdjustWindowRectEx(pRect, dwStyle, FALSE, dwExStyle);
}

// LoadIconMetric picks the size the shell draws small icons at, and scales down a larger image
// of the icon rather than up a smaller one. It lives in common controls 6, which the manifest
// asks for; without it the icon is loaded at the small-icon metric.
HICON CDpi::LoadSmallIcon(HINSTANCE hInstance, UINT nId)
{
    LOG_FUNCTION(L"CDpi::LoadSmallIcon");
    HICON hIcon = NULL;
    HMODULE hComCtl = ::LoadLibraryW(L"comctl32.dll");
    const LoadIconMetricFn pfn = hComCtl != NULL
                                     ? reinterpret_cast<LoadIconMetricFn>(reinterpret_cast<void*>(
                                           ::GetProcAddress(hComCtl, "LoadIconMetric")))
                                     : NULL;
    if (pfn == NULL || FAILED(pfn(hInstance, MAKEINTRESOURCEW(nId), kLimSmall, &hIcon))) {
        LOG_TRACE(LOG_DETAIL, FN, L"LoadIconMetric unavailable or failed.");
        hIcon = static_cast<HICON>(::LoadImageW(hInstance, MAKEINTRESOURCEW(nId), IMAGE_ICON,
                                                ::GetSystemMetrics(SM_CXSMICON),
                                                ::GetSystemMetrics(SM_CYSMICON), 0));
    }
    if (hComCtl != NULL) {
        ::FreeLibrary(hComCtl);
    }
    return hIcon;
}
