// A console program that runs as a Windows service of its own process: installation, start and
// stop from the command line, the service main function, status reports and control dispatch.
#pragma once

#include "CThread.h"
#include "ScopedHandle.h"

#include <windows.h>
#include <winsvc.h>

class CService {
public:
    CService();
    virtual ~CService();

    virtual DWORD OnStop();
    virtual DWORD OnPause();
    virtual DWORD OnContinue();
    virtual DWORD OnInterrogate();
    virtual DWORD OnShutdown();
    virtual DWORD OnParamChange();
    virtual DWORD OnNetbindAdd();
    virtual DWORD OnNetbindRemove();
    virtual DWORD OnNetbindEnable();
    virtual DWORD OnNetbindDisable();
    virtual DWORD OnDeviceEvent(DWORD dwEventType, LPVOID lpEventData);
    virtual DWORD OnHardwareProfileChange(DWORD dwEventType, LPVOID lpEventData);
    virtual DWORD OnPowerEvent(DWORD dwEventType, LPVOID lpEventData);
    virtual DWORD OnSessionChange(DWORD dwEventType, LPVOID lpEventData);
    virtual DWORD OnUnknownEvent(DWORD dwControl, DWORD dwEventType);
    virtual DWORD OnPreShutdown();
    virtual DWORD OnTimeChange();
    virtual DWORD OnTriggerEvent();
    virtual void MainLoop(DWORD dwArgc, LPWSTR* lpszArgv);
    virtual DWORD BeforeMainLoop(SERVICE_STATUS_HANDLE hServiceStatus);
    virtual void AfterMainLoop(SERVICE_STATUS_HANDLE hServiceStatus);

    DWORD Initialize(LPCWSTR lpszServiceName, LPCWSTR lpszDisplayName, LPCWSTR lpszDescription,
                     const BYTE* lpDependencies, DWORD dwDependenciesLen);
    void Finalize();

    // TRUE when the command line held a command (its result in *lpdwRet); FALSE to run as a service.
    BOOL ArgCheck(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet);
    DWORD Register(LPCWSTR lpszPath, BOOL bDelayedAutoStart);
    DWORD Unregister();
    DWORD Start();
    DWORD Stop();
    // Runs the process as the service until it has stopped.
    DWORD ServiceEntry();

    // Limit of the waits in Start and Stop for the service to leave its pending state.
    void SetPendingTimeout(DWORD dwMilliseconds) { m_dwPendingTimeoutMs = dwMilliseconds; }

    DWORD SetServiceStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint);
    void RefreshServiceStatus();
    // Ends the main loop; a running service reports STOP_PENDING at once.
    static void TerminateMainLoop();
    static HANDLE GetTerminateEvent() { return m_hTerminateEvent; }
    // The exit code the run ends with in SERVICE_STOPPED: 0, or the error that ended it.
    DWORD GetExitCode() const { return m_dwExitCode; }

protected:
    // A main loop that ends for a failure says so; a start-up that fails sets its result itself.
    void SetExitCode(DWORD dwExitCode) { m_dwExitCode = dwExitCode; }
    static void WINAPI ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv);
    static DWORD WINAPI ServiceHandler(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                       LPVOID lpContext);

    WCHAR m_szDisplayName[256];
    WCHAR m_szDescription[1024];
    BYTE m_byDependencies[2048];
    BOOL m_bInitialized;

    static WCHAR m_szServiceName[256];
    static CService* m_lpObj;
    static SERVICE_STATUS m_ServiceStatus;
    static SERVICE_STATUS_HANDLE m_hServiceStatus;
    static HANDLE m_hTerminateEvent;

private:
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    BOOL RunCommand(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet);
    DWORD Configure(SC_HANDLE hService, BOOL bDelayedAutoStart);
    DWORD Dispatch(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData);
    void RunService(DWORD dwArgc, LPWSTR* lpszArgv);
    void ReportStopPending();
    static DWORD PendingTickProc(LPVOID lpData);
    DWORD WaitWhilePending(SC_HANDLE hService, DWORD dwPendingState, LPCWSTR lpszFunction);
    DWORD OpenOwnService(ScopedScHandle* pScm, ScopedScHandle* pService);
    static void UpdateStatusLocked(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint);
    static DWORD ReportStatus(LPSERVICE_STATUS lpStatus);

    DWORD m_dwPendingTimeoutMs;
    DWORD m_dwExitCode;
    // Advances the check point while the service stops.
    CThread m_PendingTicker;
};
