#include "CClientNotifier.h"

#include "CLog.h"

#include <algorithm>
#include <iterator>
#include <new>

CClientNotifier::CClientNotifier() : m_bRunning(false), m_Final(), m_pSender(NULL), m_pObserver(NULL) {}

CClientNotifier::~CClientNotifier()
{
    Finalize(0, 0);
}

DWORD CClientNotifier::Initialize(INotifySender* pSender, INotifyObserver* pObserver)
{
    static const WCHAR FN[] = L"CClientNotifier::Initialize";
    if (pSender == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pSender");
    }
    CSrwLock::CGuard guard(m_Lock);
    m_pSender = pSender;
    m_pObserver = pObserver;
    m_bRunning = true;
    m_Final = NotifyItem();
    return ERROR_SUCCESS;
}

template <typename Pred>
void CClientNotifier::TakeLocked(Pred pred, QueueList* pOut)
{
    auto first = std::stable_partition(m_Queues.begin(), m_Queues.end(),
                                       [&](const std::unique_ptr<CNotifyQueue>& q) { return !pred(*q); });
    std::move(first, m_Queues.end(), std::back_inserter(*pOut));
    m_Queues.erase(first, m_Queues.end());
}

// Queues that closed themselves when their application was found gone.
void CClientNotifier::TakeGoneLocked(QueueList* pOut)
{
    TakeLocked([](CNotifyQueue& q) { return q.IsClientGone(); }, pOut);
}

DWORD CClientNotifier::AddClient(DWORD dwClient)
{
    static const WCHAR FN[] = L"CClientNotifier::AddClient";
    std::unique_ptr<CNotifyQueue> pQueue(new (std::nothrow) CNotifyQueue);
    if (!pQueue) {
        return LOG_RESULT(LOG_EVENT, FN, ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD dwRet = pQueue->Initialize(m_pSender, dwClient, m_pObserver);
    QueueList stale;
    {
        CSrwLock::CGuard guard(m_Lock);
        TakeGoneLocked(&stale);
        TakeLocked([=](CNotifyQueue& q) { return q.GetClient() == dwClient; }, &stale);
        if (dwRet == ERROR_SUCCESS && (!m_bRunning || m_Queues.size() >= kMaxClients)) {
            dwRet = ERROR_NOT_READY;
        }
        if (dwRet == ERROR_SUCCESS) {
            if (m_Final.dwCode != 0) {
                // Registered while the service stops: it hears so, and nothing else.
                pQueue->Push(m_Final);
                pQueue->Close(m_Final.dwCode);
            }
            m_Queues.push_back(std::move(pQueue));
        }
    }
    // Threads stop outside the lock; a queue that was not taken stops here too.
    StopQueues(stale);
    return dwRet == ERROR_SUCCESS ? dwRet : LOG_RESULT(LOG_EVENT, FN, dwRet);
}

void CClientNotifier::RemoveClient(DWORD dwClient)
{
    QueueList removed;
    {
        CSrwLock::CGuard guard(m_Lock);
        TakeLocked([=](CNotifyQueue& q) { return q.GetClient() == dwClient; }, &removed);
    }
    StopQueues(removed);
}

void CClientNotifier::Push(const NotifyItem& item)
{
    Push(&item, 1);
}

void CClientNotifier::Push(const NotifyItem* pItems, size_t nItems)
{
    QueueList gone;
    {
        // One hold around the whole walk keeps the order of concurrent callers the same for all,
        // and a group of items together.
        CSrwLock::CGuard guard(m_Lock);
        TakeGoneLocked(&gone);
        for (const std::unique_ptr<CNotifyQueue>& pQueue : m_Queues) {
            for (size_t i = 0; i < nItems; ++i) {
                pQueue->Push(pItems[i]);
            }
        }
    }
    StopQueues(gone);
}

size_t CClientNotifier::GetClientCount()
{
    CSrwLock::CGuard guard(m_Lock);
    size_t count = 0;
    for (const std::unique_ptr<CNotifyQueue>& pQueue : m_Queues) {
        count += pQueue->IsClientGone() ? 0 : 1;
    }
    return count;
}

void CClientNotifier::Stop(const NotifyItem& final)
{
    CSrwLock::CGuard guard(m_Lock);
    m_Final = final;
    for (const std::unique_ptr<CNotifyQueue>& pQueue : m_Queues) {
        pQueue->Push(final);
        pQueue->Close(final.dwCode);
    }
}

void CClientNotifier::Finalize(DWORD dwKeepCode, DWORD dwDrainMs)
{
    static const WCHAR FN[] = L"CClientNotifier::Finalize";
    QueueList queues;
    {
        CSrwLock::CGuard guard(m_Lock);
        m_bRunning = false;
        queues.swap(m_Queues);
    }
    for (const std::unique_ptr<CNotifyQueue>& pQueue : queues) {
        pQueue->Close(dwKeepCode);
    }
    // One drain time for all: the queues go out side by side.
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwDrainMs;
    for (size_t i = 0; dwDrainMs != 0 && i < queues.size(); ++i) {
        const ULONGLONG ullNow = ::GetTickCount64();
        const DWORD dwLeft = ullNow < ullDeadline ? static_cast<DWORD>(ullDeadline - ullNow) : 0;
        if (::WaitForSingleObject(queues[i]->GetIdleEvent(), dwLeft) != WAIT_OBJECT_0) {
            LOG_TRACE(LOG_EVENT, FN, L"Drain timeout. Client:%d", queues[i]->GetClient());
        }
    }
    StopQueues(queues);
}

// Every thread is told first and joined after, so hung applications cost their waits side by
// side, not one after another.
void CClientNotifier::StopQueues(QueueList& queues)
{
    for (const std::unique_ptr<CNotifyQueue>& pQueue : queues) {
        pQueue->Abort();
    }
    queues.clear();
}
