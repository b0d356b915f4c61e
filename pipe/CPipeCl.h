// The tray application's side of the pipe messaging: its own notification pipe, on which only the
// service is heard, and the registration with and the data channel to the service.
#pragma once

#include "CPipe.h"
#include "CPipeRecv.h"
#include "PipeDefs.h"

#include <windows.h>

class CPipeCl : public CPipeRecv {
public:
    CPipeCl();
    ~CPipeCl();

    // dwMode 1: full client with a notification pipe, lpFunc(lpData, event) receives the service's
    // PIPEEVENT_DATA; dwMode 0: sending only. *lpdwClientID receives the service's answer.
    DWORD Initialize(DWORD dwMode, LPCWSTR lpszSuffix, LPDWORD lpdwClientID, LPPIPEEVENTFUNC lpFunc,
                     LPVOID lpData, HANDLE hAbortEvent);
    // Sends dwLen bytes to the service's data pipe; *lpdwRetCode receives the acknowledgement.
    DWORD Send(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent);
    void Finalize(HANDLE hAbortEvent);

    // The notification pipe name of process dwProcessId: "%s%s%08x" of prefix, suffix and id.
    static DWORD FormatNotifyPipeName(LPCWSTR lpszSuffix, DWORD dwProcessId, LPWSTR lpszName,
                                      size_t cchName);

private:
    CPipeCl(const CPipeCl&) = delete;
    CPipeCl& operator=(const CPipeCl&) = delete;

    static void OnDataRecv(LPVOID lpData, PPIPEEVENT pPipeEvent);
    BOOL IsFromService(DWORD dwCode) const;
    DWORD SetUp(DWORD dwMode, LPCWSTR lpszSuffix, LPWSTR lpszOwnName, size_t cchOwnName,
                LPWSTR lpszName, size_t cchName, LPPIPEEVENTFUNC lpFunc, LPVOID lpData,
                HANDLE hAbortEvent);
    void InitializeMembers();

    CPipe m_CtrlPipe;
    CPipe m_DataPipe;
    DWORD m_dwClientID;
    LPPIPEEVENTFUNC m_lpRecvFunc;
    LPVOID m_lpRecvData;
};
