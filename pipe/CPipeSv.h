// The service's side of the pipe messaging: a control pipe on which applications register and
// unregister, a data pipe on which they send data, and one session per registered application.
// One class over three files, as its callbacks and traces are the server's own: the set-up and the
// requests in CPipeSv.cpp, the sessions in CPipeSvSession.cpp, the delivery in CPipeSvDelivery.cpp.
#pragma once

#include "CPipe.h"
#include "CPipeRecv.h"
#include "CSessionList.h"
#include "CSrwLock.h"
#include "INotifySender.h"
#include "PipeDefs.h"

#include <windows.h>

class CPipeSv : public CPipeRecv, public INotifySender {
public:
    CPipeSv();
    ~CPipeSv();

    // Listens on the control and data pipes named after lpszSuffix; lpFunc(lpData, event) receives
    // PIPEEVENT_CONNECTED, PIPEEVENT_DISCONNECTED and PIPEEVENT_DATA.
    DWORD Initialize(LPCWSTR lpszSuffix, LPPIPEEVENTFUNC lpFunc, LPVOID lpData);
    void Finalize(HANDLE hAbortEvent);
    // Closes the control pipe: from its return on nobody registers or unregisters (a client finds
    // no pipe), while the sessions and the data pipe go on until Finalize.
    void StopRegistration(HANDLE hAbortEvent);
    // Sends dwLen bytes to every session; sessions whose pipe is gone are removed on the way.
    // May be called from several threads at once, and from inside the owner callback.
    DWORD SendAll(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent);
    // Sends dwLen bytes to the one session dwClientHandle (ERROR_NOT_FOUND when there is none);
    // a session whose pipe is gone is removed, and the result (ERROR_FILE_NOT_FOUND or
    // ERROR_INVALID_HANDLE) is the only report of it: the caller is the one to act on it.
    DWORD SendTo(DWORD dwClientHandle, LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode,
                 HANDLE hAbortEvent);
    DWORD SendTo(DWORD dwClient, LPCVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent) override
    {
        DWORD dwRetCode = 0;
        return SendTo(dwClient, lpBuf, dwLen, &dwRetCode, hAbortEvent);
    }

private:
    CPipeSv(const CPipeSv&) = delete;
    CPipeSv& operator=(const CPipeSv&) = delete;

    // Control requests, the data pipe and the owner's events (CPipeSv.cpp).
    static DWORD OnCtrlRecv(LPVOID lpData);
    static void OnDataRecv(LPVOID lpData, PPIPEEVENT pPipeEvent);
    void OnConnectRequest(const BYTE* lpBuf, DWORD dwRead, HANDLE hAbortEvent);
    void OnCloseRequest(const BYTE* lpBuf, DWORD dwRead, HANDLE hAbortEvent);
    DWORD Register(LPCWSTR lpszPipeName, ULONG ulSender, LPDWORD lpdwHandle, HANDLE hAbortEvent);
    void Notify_Connected(DWORD dwClientHandle);
    void Notify_Disconnected(DWORD dwClientHandle);
    void Notify(DWORD dwEvent, DWORD dwClientHandle);
    void InitializeMembers();

    // Sessions (CPipeSvSession.cpp).
    BOOL IsRegistrant(DWORD dwClientHandle, ULONG ulProcessId);
    DWORD CreateSession(LPCWSTR lpszPipeName, DWORD dwProcessId, DWORD dwSessionId,
                        LPDWORD lpdwClientHandle, HANDLE hAbortEvent);
    DWORD OpenSessionPipe(CPipe* pPipe, LPCWSTR lpszPipeName, DWORD dwProcessId);
    DWORD InsertSession(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle, HANDLE hAbortEvent);
    BOOL RemoveSession(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle);
    DWORD CloseSessionOfName(LPCWSTR lpszPipeName, HANDLE hAbortEvent);
    void ReleaseSession(CLIENT_SESSION* pNode, HANDLE hAbortEvent);
    DWORD CloseSession(DWORD dwClientHandle, HANDLE hAbortEvent);
    void CloseAllSession(HANDLE hAbortEvent);

    // Delivery to the sessions (CPipeSvDelivery.cpp).
    DWORD send_hdr_data(CPipe* pPipe, LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode,
                        HANDLE hAbortEvent);
    DWORD SendToSession(CLIENT_SESSION* pNode, LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode,
                        BOOL bReport, HANDLE hAbortEvent);
    BOOL CountSendOutcome(CLIENT_SESSION* pNode, DWORD dwOutcome);

    CPipe m_CtrlPipe;
    LPPIPEEVENTFUNC m_lpNotifyFunc;
    LPVOID m_lpNotifyData;
    LPPIPEEVENTFUNC m_lpRecvFunc;
    LPVOID m_lpRecvData;
    CSessionList m_Sessions;
    // Guards the session list and the callback fields. Held only for list work, never across a
    // send or a callback, so an owner callback may call SendAll from any thread.
    CSrwLock m_SessionLock;
    // The control pipe's instances serve requests at the same time: a registration or removal,
    // with the owner's event about it, is made one at a time, so that two registrations of one
    // name cannot both create a session and the owner hears of each handle in order.
    CSrwLock m_RegisterLock;
};
