// The tray application's side of the pipe messaging: its own notification pipe, on which only the
// service is heard, and the registration with and the data channel to the service.
#pragma once

#include "CPipe.h"
#include "CPipeRecv.h"
#include "PipeDefs.h"

#include <windows.h>

// Modes of CPipeCl::Initialize.
const DWORD PIPECL_MODE_SENDONLY = 0;  // sending only, no notification pipe
const DWORD PIPECL_MODE_FULL = 1;      // with a notification pipe on which the service is heard

// Results of CPipeCl::Initialize after which trying again later may succeed.
const DWORD PIPECL_ERROR_REFUSED = ERROR_CONNECTION_REFUSED;  // the service gave no handle
const DWORD PIPECL_ERROR_NAME_TAKEN = ERROR_ALREADY_EXISTS;   // another process serves our name

class CPipeCl : public CPipeRecv {
public:
    CPipeCl();
    ~CPipeCl();

    // PIPECL_MODE_FULL: lpFunc(lpData, event) receives the service's PIPEEVENT_DATA;
    // PIPECL_MODE_SENDONLY: lpFunc and lpData are not used. *lpdwClientID receives the service's
    // handle; a refused registration fails with PIPECL_ERROR_REFUSED, a notification pipe name
    // that another process serves with PIPECL_ERROR_NAME_TAKEN.
    DWORD Initialize(DWORD dwMode, LPCWSTR lpszSuffix, LPDWORD lpdwClientID, LPPIPEEVENTFUNC lpFunc,
                     LPVOID lpData, HANDLE hAbortEvent);
    // Sends dwLen bytes to the service's data pipe; *lpdwRetCode receives the acknowledgement.
    DWORD Send(LPCVOID lpBuf, DWORD dwLen, LPDWORD lpdwRetCode, HANDLE hAbortEvent);
    void Finalize(HANDLE hAbortEvent);
    // The process that answered the registration (the only one heard); 0 when not registered.
    DWORD GetServiceProcessId() const { return m_CtrlPipe.GetServerProcessId(); }

    // The notification pipe name of process dwProcessId: "%s%s%08x" of prefix, suffix and id.
    static DWORD FormatNotifyPipeName(LPCWSTR lpszSuffix, DWORD dwProcessId, LPWSTR lpszName,
                                      size_t cchName);

private:
    CPipeCl(const CPipeCl&) = delete;
    CPipeCl& operator=(const CPipeCl&) = delete;

    static void OnDataRecv(LPVOID lpData, PPIPEEVENT pPipeEvent);
    BOOL IsFromService(DWORD dwCode) const;
    DWORD SetUp(DWORD dwMode, LPCWSTR lpszSuffix, LPCWSTR lpszOwnName, LPWSTR lpszName,
                size_t cchName, LPPIPEEVENTFUNC lpFunc, LPVOID lpData, HANDLE hAbortEvent);
    void InitializeMembers();

    CPipe m_CtrlPipe;
    CPipe m_DataPipe;
    DWORD m_dwClientID;
    LPPIPEEVENTFUNC m_lpRecvFunc;
    LPVOID m_lpRecvData;
};
