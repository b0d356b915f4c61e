#include "CPipeRecv.h"

#include "CLog.h"

#include <algorithm>

CPipeRecv::CPipeRecv()
{
    InitializeMembers();
}

CPipeRecv::~CPipeRecv()
{
    // The channel is finalised by its own destructor; its thread still owns the receiver until then.
    m_Pipe.Finalize(NULL);
    InitializeMembers();
}

void CPipeRecv::InitializeMembers()
{
    m_lpFunc = NULL;
    m_lpData = NULL;
    CSrwLock::CGuard guard(m_DeliverLock);
    m_pDelivered = NULL;
    m_dwDataLen = 0;
    m_dwRecvThreadId = 0;
    m_dwMaxDataSize = PIPE_MAX_FRAME_DATA;
}

DWORD CPipeRecv::Initialize(LPCWSTR lpszPipeName, LPPIPEEVENTFUNC lpFunc, LPVOID lpData,
                            DWORD dwMaxDataSize, int nSecurity)
{
    LOG_FUNCTION(L"CPipeRecv::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpszPipeName == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszPipeName");
    }
    // A sender may be waiting already: its message is served as soon as the channel starts.
    const LPPIPEEVENTFUNC lpOldFunc = m_lpFunc;
    const LPVOID lpOldData = m_lpData;
    const DWORD dwOldMaxDataSize = m_dwMaxDataSize;
    m_lpFunc = lpFunc;
    m_lpData = lpData;
    m_dwMaxDataSize = std::min(dwMaxDataSize, PIPE_MAX_FRAME_DATA);
    const DWORD dwRet = m_Pipe.Initialize(PIPETYPE_SERVER, lpszPipeName, OnDataRecv, this, nSecurity);
    if (dwRet != ERROR_SUCCESS) {
        m_lpFunc = lpOldFunc;
        m_lpData = lpOldData;
        m_dwMaxDataSize = dwOldMaxDataSize;
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CPipeRecv::Finalize(HANDLE hAbortEvent)
{
    LOG_FUNCTION(L"CPipeRecv::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    m_Pipe.Finalize(hAbortEvent);
    InitializeMembers();
    LOG_EXIT(LOG_DETAIL, FN);
}

DWORD CPipeRecv::OnDataRecv(LPVOID lpData)
{
    LOG_FUNCTION(L"CPipeRecv::OnDataRecv");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpData");
    }
    CPipeRecv* pThis = static_cast<CPipeRecv*>(lpData);
    const HANDLE hAbort = pThis->m_Pipe.GetTerminateEvent();

    // A short header read leaves the missing bytes zero.
    DataHdr hdr = {};
    DWORD dwRead = 0;
    DWORD dwRet = pThis->m_Pipe.Receive(&hdr, sizeof(hdr), &dwRead, hAbort);
    if (dwRet != ERROR_SUCCESS) {
        return LOG_RESULT(LOG_DETAIL, FN, dwRet);
    }
    PIPEEVENT evt = { PIPEEVENT_HEADER, hdr.dwCode, hdr.dwDataSize, PIPEACK_REJECTED };
    if (pThis->m_lpFunc != NULL) {
        pThis->m_lpFunc(pThis->m_lpData, &evt);
    }
    if (evt.dwResult == PIPEACK_REJECTED) {
        LOG_TRACE(LOG_DETAIL, FN, L"Invalid Client!");
    }
    if (hdr.dwDataSize == 0) {
        pThis->m_Pipe.SendAck(evt.dwResult, hAbort);
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
    }
    return LOG_RESULT(LOG_DETAIL, FN, pThis->OnData(hdr, evt.dwResult, hAbort));
}

// The data part of a message whose header has been judged (dwVerdict): refused, drained or
// read, acknowledged, and delivered to the handler while it is held in m_lpDataBuf. Every sender
// gets an answer it can read; nothing beyond m_dwMaxDataSize is ever allocated.
DWORD CPipeRecv::OnData(const DataHdr& hdr, DWORD dwVerdict, HANDLE hAbort)
{
    LOG_FUNCTION(L"CPipeRecv::OnData");
    if (dwVerdict != PIPEACK_OK) {
        // Nothing is allocated for data that will not be delivered, whatever its announced size:
        // the acknowledgement's hand-over reads the sender's bytes off and drops them.
        LOG_TRACE(LOG_DETAIL, FN, L"Callback function is not ready!!");
        m_Pipe.SendAck(dwVerdict, hAbort);
        return ERROR_SUCCESS;
    }
    if (hdr.dwDataSize > m_dwMaxDataSize) {
        if (hdr.dwDataSize > PIPE_MAX_DATA_SIZE) {
            LOG_TRACE(LOG_DETAIL, FN, L" Data size is integer overflow. DataHdr.dwDataSize=%lu",
                      hdr.dwDataSize);
        } else {
            LOG_TRACE(LOG_DETAIL, FN, L"Data size over the limit. DataHdr.dwDataSize=%lu",
                      hdr.dwDataSize);
        }
        // Refused unread, with an answer: the sender need not wait out its own time limit.
        m_Pipe.SendAck(PIPEACK_BADREQUEST, hAbort);
        return ERROR_BUFFER_OVERFLOW;
    }
    CBuffer data;
    DWORD dwRet = data.Allocate(hdr.dwDataSize);
    DWORD dwRead = 0;
    if (dwRet == ERROR_SUCCESS) {
        dwRet = m_Pipe.Receive(data.Get(), hdr.dwDataSize, &dwRead, hAbort);
    }
    if (dwRet != ERROR_SUCCESS) {
        return dwRet;
    }
    Deliver(hdr, dwVerdict, data, dwRead, hAbort);
    return ERROR_SUCCESS;
}

// The sender is released before the data is handled, but the next message (which it sends only
// after this acknowledgement) waits for the handler to be done with this one.
void CPipeRecv::Deliver(const DataHdr& hdr, DWORD dwVerdict, const CBuffer& data, DWORD dwRead,
                        HANDLE hAbort)
{
    LOG_FUNCTION(L"CPipeRecv::Deliver");
    CSrwLock::CGuard guard(m_DeliverLock);
    m_Pipe.SendAck(dwVerdict, hAbort);
    m_pDelivered = &data;
    m_dwDataLen = dwRead;
    m_dwRecvThreadId = ::GetCurrentThreadId();
    LOG_TRACE(LOG_DETAIL, FN, L"Call callback-function.");
    PIPEEVENT dataEvt = { PIPEEVENT_DATA, hdr.dwCode, hdr.dwDataSize, 0 };
    m_lpFunc(m_lpData, &dataEvt);
    m_pDelivered = NULL;
    m_dwDataLen = 0;
    m_dwRecvThreadId = 0;
}

DWORD CPipeRecv::GetReceivedData(LPVOID lpBuf, DWORD nBufLen)
{
    LOG_FUNCTION(L"CPipeRecv::GetReceivedData");
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpBuf == NULL) {
        LOG_NULL_ARG(LOG_DETAIL, FN, L"lpBuf");
        return 0;
    }
    // Only the delivering thread, which holds m_DeliverLock, finds its own id here.
    if (::GetCurrentThreadId() != m_dwRecvThreadId) {
        LOG_TRACE(LOG_DETAIL, FN, L"Different Thread!!");
        return 0;
    }
    if (m_pDelivered == NULL || m_pDelivered->Get() == NULL || m_dwDataLen == 0) {
        LOG_TRACE(LOG_DETAIL, FN, L"No Data!");
        return 0;
    }
    DWORD dwCopy = m_dwDataLen;
    if (nBufLen < m_dwDataLen) {
        LOG_TRACE(LOG_DETAIL, FN, L"nBufLen is too few!");
        dwCopy = nBufLen;
    }
    ::CopyMemory(lpBuf, m_pDelivered->Get(), dwCopy);
    LOG_EXIT(LOG_DETAIL, FN);
    return dwCopy;
}
