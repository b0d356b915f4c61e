// Receiver of framed messages on a receiving channel: header, verdict, acknowledgement, data.
#pragma once

#include "CBuffer.h"
#include "CPipe.h"
#include "PipeDefs.h"

#include <windows.h>

class CPipeRecv {
public:
    CPipeRecv();
    ~CPipeRecv();

    // Listens on lpszPipeName; lpFunc judges each header and receives the data (may be NULL:
    // every message is then rejected). An accepted message announcing more than dwMaxDataSize
    // bytes (at most PIPE_MAX_FRAME_DATA) is refused unread with PIPEACK_BADREQUEST.
    // nSecurity: who may connect (CPipe::Initialize).
    DWORD Initialize(LPCWSTR lpszPipeName, LPPIPEEVENTFUNC lpFunc, LPVOID lpData,
                     DWORD dwMaxDataSize = PIPE_MAX_FRAME_DATA, int nSecurity = OBJSEC_SERVICE_PIPE);
    void Finalize(HANDLE hAbortEvent);
    // Inside the handler's PIPEEVENT_DATA call only: copies up to nBufLen bytes of the data.
    DWORD GetReceivedData(LPVOID lpBuf, DWORD nBufLen);

protected:
    void InitializeMembers();

    LPPIPEEVENTFUNC m_lpFunc;
    LPVOID m_lpData;
    CPipe m_Pipe;

private:
    CPipeRecv(const CPipeRecv&) = delete;
    CPipeRecv& operator=(const CPipeRecv&) = delete;

    static DWORD OnDataRecv(LPVOID lpData);
    DWORD OnData(const DataHdr& hdr, DWORD dwVerdict, HANDLE hAbort);
    void FreeDataBuf();

    CBuffer m_lpDataBuf;
    DWORD m_dwDataLen;
    DWORD m_dwRecvThreadId;
    DWORD m_dwMaxDataSize;
};
