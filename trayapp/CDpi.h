// Measures for the display a window is on. The application is per-monitor DPI aware, so every
// size follows the monitor's scale, not the system's. The per-monitor functions of Windows 10
// (1607 and later) and LoadIconMetric (common controls 6) are looked up at run time: on Windows 7
// and 8 the system's DPI, the only one these versions scale to, is used instead.
#pragma once

#include <windows.h>

class CDpi {
public:
    // The DPI of the monitor hWnd is on; the system's where the system cannot tell.
    static UINT ForWindow(HWND hWnd);
    // The message font (as in message boxes) at nDpi.
    static BOOL GetMessageFont(UINT nDpi, LOGFONTW* pFont);
    // The window rectangle for the client rectangle *pRect at nDpi.
    static BOOL AdjustWindowRect(RECT* pRect, DWORD dwStyle, DWORD dwExStyle, UINT nDpi);
    // Icon nId at the small-icon size the shell uses on this display; the caller destroys it.
    static HICON LoadSmallIcon(HINSTANCE hInstance, UINT nId);

private:
    static UINT SystemDpi();
};
