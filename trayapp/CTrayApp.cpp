#include "CTrayApp.h"

#include "CLog.h"
#include "resource.h"

#include <new>

namespace {

const int kNameChars = 100;

}  // namespace

CTrayApp::CTrayApp() {}

// The main window object goes first (its destructor stops the icon, the pipe client and the
// watch thread), then the guard.
CTrayApp::~CTrayApp()
{
    m_pMainWnd.reset();
}

int CTrayApp::Run(HINSTANCE hInstance)
{
    g_Log.Initialize(MIREL_DBGLOG_KEY);
    int nExitCode = 0;
    if (Start(hInstance) == ERROR_SUCCESS) {
        MSG msg;
        BOOL bRet;
        while ((bRet = ::GetMessageW(&msg, NULL, 0, 0)) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        // The final WM_QUIT carries the exit code (the main window posts it with 0); a failed
        // GetMessageW (-1) leaves msg undefined and ends the run as a failure.
        nExitCode = bRet == 0 ? static_cast<int>(msg.wParam) : static_cast<int>(::GetLastError());
        if (nExitCode == 0 && bRet != 0) {
            nExitCode = 1;
        }
    }
    m_MultiInstApp.Finalize();
    g_Log.Finalize();
    return nExitCode;
}

// The guard, then the main window; a second instance or a window that cannot be set up ends the
// run quietly.
DWORD CTrayApp::Start(HINSTANCE hInstance)
{
    WCHAR szWindowName[kNameChars] = L"";
    WCHAR szClassName[kNameChars] = L"";
    ::LoadStringW(hInstance, IDS_WINDOW_NAME, szWindowName, kNameChars);
    ::LoadStringW(hInstance, IDS_WINDOW_CLASS, szClassName, kNameChars);
    DWORD dwRet = m_MultiInstApp.Initialize(szClassName, TRUE);
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    std::unique_ptr<CMainWnd> pMainWnd(new (std::nothrow) CMainWnd);
    if (!pMainWnd) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    dwRet = pMainWnd->Initialize(hInstance, szClassName, szWindowName);
    if (dwRet == ERROR_SUCCESS) {
        m_pMainWnd = std::move(pMainWnd);
    }
    return dwRet;
}
