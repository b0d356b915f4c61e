// One copy of the program per logon session: a session-local mutex named after the main window's
// class, and bringing the running copy's window forward.
#pragma once

#include <windows.h>

class CMultiInstApp {
public:
    CMultiInstApp();
    ~CMultiInstApp();

    // 0 for the first instance; 183 when another holds the mutex (its window brought forward
    // first when bActivate is set).
    DWORD Initialize(LPCWSTR lpszWndClassName, BOOL bActivate);
    // The running instance's main window, found by its class name.
    DWORD CheckRunning(HWND* lphWnd);
    DWORD SetForegroundWindow();
    // Gives the mutex up; the handle stays open until the process ends.
    void Finalize();

private:
    CMultiInstApp(const CMultiInstApp&) = delete;
    CMultiInstApp& operator=(const CMultiInstApp&) = delete;

    HANDLE m_hMutex;
    WCHAR m_szWndClassName[MAX_PATH];
};
