// A small topmost window of the application's own that shows one alert text near the
// notification area. Windows 10 and 11 turn balloons into toasts, which are dropped or queued
// while notifications are off or Focus Assist is on (full-screen programs, presentations); this
// window is seen regardless. It never takes the focus.
#pragma once

#include "ScopedHandle.h"

#include <windows.h>

class CNoticeWnd {
public:
    CNoticeWnd();
    ~CNoticeWnd();

    // Opens the window with lpszText under lpszTitle; TRUE when it is open. Closed by the user it
    // only hides, and stays so until Destroy.
    BOOL Show(HINSTANCE hInstance, HWND hOwner, LPCWSTR lpszTitle, LPCWSTR lpszText);
    // Closes the window from the message loop: what the caller shows next (a modal box) is not
    // held up by the window's going (which takes seconds on some X servers).
    void Close();
    void Destroy();
    BOOL IsOpen() const { return m_hWnd != NULL; }
    HWND Handle() const { return m_hWnd; }

    // The window class, for finding the window.
    static const WCHAR kClassName[];

private:
    CNoticeWnd(const CNoticeWnd&) = delete;
    CNoticeWnd& operator=(const CNoticeWnd&) = delete;

    BOOL Create(HINSTANCE hInstance, HWND hOwner, LPCWSTR lpszTitle);
    void ApplyFont(UINT nDpi);
    void Place(LPCWSTR lpszText);
    void OnDpiChanged(UINT nDpi);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    HWND m_hText;
    ScopedGdiObject m_Font;
};
