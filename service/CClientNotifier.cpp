#include "CClientNotifier.h"

#include "CLog.h"

#include <algorithm>
#include <new>

// The client whose notification this thread is sending, if it is a delivery thread.
thread_local const CClientNotifier::Client* CClientNotifier::t_pSending = NULL;

CClientNotifier::CClientNotifier()
    : m_bRunning(false), m_dwFinalNotify(0), m_lpSendTo(NULL), m_lpData(NULL)
{
    ::InitializeCriticalSection(&m_cs);
}

CClientNotifier::~CClientNotifier()
{
    Finalize(0, 0);
    ::DeleteCriticalSection(&m_cs);
}

DWORD CClientNotifier::Initialize(LPSENDTOFUNC lpSendTo, LPVOID lpData)
{
    static const WCHAR FN[] = L"CClientNotifier::Initialize";
    if (lpSendTo == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpSendTo");
    }
    ::EnterCriticalSection(&m_cs);
    m_lpSendTo = lpSendTo;
    m_lpData = lpData;
    m_bRunning = true;
    m_dwFinalNotify = 0;
    ::LeaveCriticalSection(&m_cs);
    return ERROR_SUCCESS;
}

DWORD CClientNotifier::AddClient(DWORD dwClient)
{
    static const WCHAR FN[] = L"CClientNotifier::AddClient";
    ReleaseRetired();
    std::unique_ptr<Client> pClient(new (std::nothrow) Client);
    if (!pClient) {
        return LOG_RESULT(LOG_EVENT, FN, ERROR_NOT_ENOUGH_MEMORY);
    }
    pClient->pOwner = this;
    pClient->dwClient = dwClient;
    DWORD dwRet = pClient->queue.Initialize(SendToClient, pClient.get());
    ::EnterCriticalSection(&m_cs);
    if (dwRet == ERROR_SUCCESS) {
        // The server gives a handle to one application at a time: an older holder of it is gone,
        // even when the report of its end is still on the way.
        RetireLocked(FindLocked(dwClient));
        if (!m_bRunning || m_Clients.size() >= kMaxClients) {
            dwRet = ERROR_NOT_READY;
        }
    }
    if (dwRet == ERROR_SUCCESS) {
        if (m_dwFinalNotify != 0) {
            // Registered while the service stops: it hears so, and nothing else.
            pClient->queue.Push(m_dwFinalNotify, 0);
            pClient->queue.Close(m_dwFinalNotify);
        }
        m_Clients.push_back(std::move(pClient));
    }
    ::LeaveCriticalSection(&m_cs);
    // A queue that was not taken stops here, outside the lock.
    return dwRet == ERROR_SUCCESS ? dwRet : LOG_RESULT(LOG_EVENT, FN, dwRet);
}

void CClientNotifier::RemoveClient(DWORD dwClient)
{
    ::EnterCriticalSection(&m_cs);
    // Reported from a delivery thread (its send found the pipe gone), the report is about that
    // thread's own client; the handle may already belong to a newer application.
    if (t_pSending != NULL && t_pSending->pOwner == this && t_pSending->dwClient == dwClient) {
        auto it = std::find_if(m_Clients.begin(), m_Clients.end(),
                               [](const std::unique_ptr<Client>& p) { return p.get() == t_pSending; });
        RetireLocked(it);
    } else {
        RetireLocked(FindLocked(dwClient));
    }
    ::LeaveCriticalSection(&m_cs);
}

CClientNotifier::ClientList::iterator CClientNotifier::FindLocked(DWORD dwClient)
{
    return std::find_if(m_Clients.begin(), m_Clients.end(),
                        [=](const std::unique_ptr<Client>& p) { return p->dwClient == dwClient; });
}

// This may be the client's own delivery thread: the queue stops taking work here, and another
// thread stops its thread later.
void CClientNotifier::RetireLocked(ClientList::iterator it)
{
    if (it != m_Clients.end()) {
        (*it)->queue.Close(0);
        m_Retired.push_back(std::move(*it));
        m_Clients.erase(it);
    }
}

void CClientNotifier::Push(DWORD dwNotify, DWORD dwValue)
{
    // One lock around the whole walk keeps the order of concurrent callers the same for all.
    ::EnterCriticalSection(&m_cs);
    for (const std::unique_ptr<Client>& pClient : m_Clients) {
        pClient->queue.Push(dwNotify, dwValue);
    }
    ::LeaveCriticalSection(&m_cs);
}

void CClientNotifier::Stop(DWORD dwFinalNotify)
{
    ::EnterCriticalSection(&m_cs);
    m_dwFinalNotify = dwFinalNotify;
    for (const std::unique_ptr<Client>& pClient : m_Clients) {
        pClient->queue.Push(dwFinalNotify, 0);
        pClient->queue.Close(dwFinalNotify);
    }
    ::LeaveCriticalSection(&m_cs);
}

void CClientNotifier::Finalize(DWORD dwKeepNotify, DWORD dwDrainMs)
{
    static const WCHAR FN[] = L"CClientNotifier::Finalize";
    ClientList clients;
    ::EnterCriticalSection(&m_cs);
    m_bRunning = false;
    clients.swap(m_Clients);
    for (std::unique_ptr<Client>& pClient : m_Retired) {
        clients.push_back(std::move(pClient));
    }
    m_Retired.clear();
    ::LeaveCriticalSection(&m_cs);

    for (const std::unique_ptr<Client>& pClient : clients) {
        pClient->queue.Close(dwKeepNotify);
    }
    // One drain time for all: the queues go out side by side.
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwDrainMs;
    for (size_t i = 0; dwDrainMs != 0 && i < clients.size(); ++i) {
        const ULONGLONG ullNow = ::GetTickCount64();
        const DWORD dwLeft = ullNow < ullDeadline ? static_cast<DWORD>(ullDeadline - ullNow) : 0;
        if (::WaitForSingleObject(clients[i]->queue.GetIdleEvent(), dwLeft) != WAIT_OBJECT_0) {
            LOG_TRACE(LOG_EVENT, FN, L"Drain timeout. Client:%d", clients[i]->dwClient);
        }
    }
    StopQueues(clients);
}

// Every thread is told first and joined after, so hung applications cost their waits side by
// side, not one after another.
void CClientNotifier::StopQueues(ClientList& clients)
{
    for (const std::unique_ptr<Client>& pClient : clients) {
        pClient->queue.Abort();
    }
    clients.clear();
}

void CClientNotifier::ReleaseRetired()
{
    ClientList retired;
    ::EnterCriticalSection(&m_cs);
    retired.swap(m_Retired);
    ::LeaveCriticalSection(&m_cs);
    // A send of theirs still in progress is aborted.
    StopQueues(retired);
}

DWORD CClientNotifier::SendToClient(LPVOID lpData, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent)
{
    Client* pClient = static_cast<Client*>(lpData);
    CClientNotifier* pOwner = pClient->pOwner;
    t_pSending = pClient;
    const DWORD dwRet =
        pOwner->m_lpSendTo(pOwner->m_lpData, pClient->dwClient, lpBuf, dwLen, hAbortEvent);
    t_pSending = NULL;
    return dwRet;
}
