// The tray application's link to the service: the registration through the pipe client, the
// check that the control pipe is served by the service's own process, the service manager's
// view of the service, and the watch that notices a service gone without a word and registers
// again once it is back. The watch also confirms the registration at a steady interval: the
// service drops a registration without telling its application (deliveries that keep timing
// out, a notification pipe served by another process, a full table, a restart the application
// missed), and an application not registered would stay deaf. Every exchange with the service
// after the start runs on the watch thread, never on the GUI thread. Changes of the link are
// posted to the main window as notifications.
#pragma once

#include "CPipeCl.h"
#include "ScopedHandle.h"

#include <windows.h>

// A notification as it reached the application: its code, its value (0 without one) and the size
// of its body.
struct SERVICENOTIFY {
    DWORD dwCode;
    DWORD dwValue;
    DWORD dwLen;
};
typedef void (*LPSERVICENOTIFYFUNC)(LPVOID lpData, const SERVICENOTIFY* pNotify);
typedef void (*LPWATCHTASKFUNC)(LPVOID lpData);

class CServiceLink {
public:
    CServiceLink();
    ~CServiceLink();

    // hWnd receives uMessage with NOTIFY_SERVICE_STOPPED and NOTIFY_SERVICE_RUNNING;
    // lpFunc(lpData, notify) receives the service's notifications, decoded, on the pipe client's
    // receive thread.
    void Attach(HWND hWnd, UINT uMessage, LPSERVICENOTIFYFUNC lpFunc, LPVOID lpData);
    // Registers with the service; hAbortEvent ends the waits of a registration under way.
    // ERROR_SERVICE_NOT_ACTIVE when the service does not run or another process serves its
    // control pipe; ERROR_FILE_NOT_FOUND when it runs without serving it; otherwise the pipe
    // client's failure.
    DWORD Connect(HANDLE hAbortEvent);
    void Disconnect();
    // Unregisters within about dwBoundMs; the watch must have ended.
    void DisconnectWithin(DWORD dwBoundMs);
    // Asks the service whether the PC was hibernated; sent by the watch thread soon after.
    void RequestResumeCheck();
    // The owner's task, run on the watch thread after each request (RequestWatchTask): work
    // that may wait on a device, kept off the GUI thread. Set before the watch starts.
    void SetWatchTask(LPWATCHTASKFUNC lpFunc, LPVOID lpData);
    void RequestWatchTask();
    // TRUE for a result of Connect that means the service is not there for us (not running, its
    // control pipe served by another process or by nobody): worth telling the user. Any other
    // failure came from a running service (busy pipe, acknowledgement timeout, refusal) and is
    // retried quietly.
    static BOOL IsServiceDown(DWORD dwRet)
    {
        return dwRet == ERROR_SERVICE_NOT_ACTIVE || dwRet == ERROR_FILE_NOT_FOUND;
    }
    // The user has been told that the service stopped (a stop notice, or the start's failure).
    void MarkStopTold() { ::InterlockedExchange(&m_lStopTold, 1); }
    // The code and value of a body of dwLen bytes: FALSE unless the notification table has a code
    // of that size; the value is 0 for a body of the code alone.
    static BOOL Decode(const DWORD* lpBody, DWORD dwLen, LPDWORD lpdwCode, LPDWORD lpdwValue);
    // The largest body of a notification.
    static const DWORD kMaxBodyLen = 2 * sizeof(DWORD);
    // The link is lost (a stop notice came); the watch registers again.
    void MarkLost();
    BOOL IsLinked();
    // The watch: until hTerminate is set, notices a service gone and registers anew.
    void Watch(HANDLE hTerminate);

private:
    CServiceLink(const CServiceLink&) = delete;
    CServiceLink& operator=(const CServiceLink&) = delete;

    // What the service manager says of the service.
    enum State { STATE_UNKNOWN, STATE_STOPPED, STATE_RUNNING };
    static BOOL IsBodyLen(DWORD dwLen);
    // The pipe client's receive callback: the body decoded goes on to the attached function; a
    // body of another length goes nowhere.
    static void Receive(LPVOID lpData, PPIPEEVENT pPipeEvent);
    State QueryService(LPCWSTR lpszCaller, LPDWORD lpdwProcessId);
    DWORD CheckPipeServer(DWORD dwServicePid, HANDLE hAbortEvent);
    BOOL IsServiceGone(BOOL bProcessEnded);
    void WatchServiceProcess();
    void WatchOnce(HANDLE hTerminate, BOOL bProcessEnded);
    void Relink(HANDLE hTerminate);
    BOOL IsRegistrationDropped(HANDLE hTerminate);
    void SendPendingRequest(HANDLE hTerminate);
    void RunPendingTask();
    DWORD Send(DWORD dwRequest, HANDLE hAbortEvent, LPDWORD lpdwAck);
    void PostToWindow(DWORD dwCode);

    CPipeCl m_PipeCl;
    HWND m_hWnd;
    UINT m_uMessage;
    LPSERVICENOTIFYFUNC m_lpFunc;
    LPVOID m_lpData;
    // 1 while the service we registered with serves us, 0 while we must register anew. Set by
    // a successful registration; cleared by whoever notices the loss first (the stop notice on
    // the receive thread, the watch thread): a late notice on the window cannot undo a newer
    // registration, as the window never writes it.
    volatile LONG m_lLinked;
    // The watch thread's own: the process of the service we are linked to, waited on so that its
    // end is noticed at once (none when it cannot be opened: then the service is polled).
    ScopedKernelHandle m_ServiceProcess;
    DWORD m_dwWatchedPid;
    // The watch thread's own: when the registration is next confirmed.
    ULONGLONG m_ullConfirmAt;
    // Wakes the watch for a request of the window (m_lResumeCheck) or of the owner's task.
    ScopedKernelHandle m_Wake;
    volatile LONG m_lResumeCheck;
    LPWATCHTASKFUNC m_lpTask;
    LPVOID m_lpTaskData;
    volatile LONG m_lTask;
    // 1 once the window has heard NOTIFY_SERVICE_STOPPED for the current loss; a registration
    // clears it. The stopped alert is so posted once per loss, whoever notices it.
    volatile LONG m_lStopTold;
};
