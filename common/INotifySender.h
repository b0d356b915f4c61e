// Where the service's notifications leave it: one body to one tray application. The pipe server
// is the one that sends; the delivery queues know it by this interface alone.
#pragma once

#include <windows.h>

class INotifySender {
public:
    // Sends dwLen bytes of lpBuf to application dwClient; hAbortEvent ends every wait of the send.
    // ERROR_NOT_FOUND, ERROR_FILE_NOT_FOUND or ERROR_INVALID_HANDLE: the application is gone
    // for good (see IsClientGone).
    virtual DWORD SendTo(DWORD dwClient, LPCVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent) = 0;

    static bool IsClientGone(DWORD dwResult)
    {
        return dwResult == ERROR_NOT_FOUND || dwResult == ERROR_FILE_NOT_FOUND ||
               dwResult == ERROR_INVALID_HANDLE;
    }

protected:
    ~INotifySender() {}
};
