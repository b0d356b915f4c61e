// The tray application MIRELAPP: one copy per logon session, a hidden main window, no console.
#include "CTrayApp.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    CTrayApp app;
    return app.Run(hInstance);
}
