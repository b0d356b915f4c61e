// Receiver of framed messages on a receiving channel: header, verdict, acknowledgement, data.
#pragma once

#include "CBuffer.h"
#include "CPipe.h"
#include "CSrwLock.h"
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
    // The channel's instances serve senders at the same time; headers are judged as they come,
    // but the data reaches the handler one message at a time, in the order acknowledged.
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
    void Deliver(const DataHdr& hdr, DWORD dwVerdict, const CBuffer& data, DWORD dwRead, HANDLE hAbort);

    // The data being handed to the handler, and the thread that hands it: m_DeliverLock.
    const CBuffer* m_pDelivered;
    DWORD m_dwDataLen;
    DWORD m_dwRecvThreadId;
    DWORD m_dwMaxDataSize;
    // Held from a message's acknowledgement to the end of its handling: a sender sends its next
    // message only once it holds the acknowledgement, so the handler sees them in order.
    CSrwLock m_DeliverLock;
};
