// The application object: the single-instance guard and the main window, for the whole run.
#pragma once

#include "CMainWnd.h"
#include "CMultiInstApp.h"

#include <windows.h>

#include <memory>

class CTrayApp {
public:
    CTrayApp();
    ~CTrayApp();

    // Start-up, the message pump and the shutdown; the result is the process exit code.
    int Run(HINSTANCE hInstance);

private:
    CTrayApp(const CTrayApp&) = delete;
    CTrayApp& operator=(const CTrayApp&) = delete;

    DWORD Start(HINSTANCE hInstance);

    std::unique_ptr<CMainWnd> m_pMainWnd;
    CMultiInstApp m_MultiInstApp;
};
