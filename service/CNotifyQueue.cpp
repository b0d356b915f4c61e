#include "CNotifyQueue.h"

#include "CLog.h"
#include "CNotifyTable.h"
#include "ScopedHandle.h"

#include <algorithm>

NotifyItem NotifyItem::Of(DWORD dwCode, DWORD dwValue)
{
    const NOTIFYROW* pRow = CNotifyTable::Find(dwCode);
    const DWORD dwLen = pRow != NULL ? pRow->dwWireLen : static_cast<DWORD>(sizeof(DWORD));
    NotifyItem item = { dwCode, dwLen > sizeof(DWORD) ? dwValue : 0, dwLen,
                        pRow != NULL ? pRow->dwRepeatGroup : 0, pRow != NULL && pRow->bState };
    return item;
}

CNotifyQueue::CNotifyQueue()
    : m_hWakeEvent(NULL),
      m_hIdleEvent(NULL),
      m_bRunning(false),
      m_bClientGone(false),
      m_pSender(NULL),
      m_pObserver(NULL),
      m_dwClient(0)
{
}

CNotifyQueue::~CNotifyQueue()
{
    Finalize(0, 0);
}

DWORD CNotifyQueue::Initialize(INotifySender* pSender, DWORD dwClient, INotifyObserver* pObserver)
{
    static const WCHAR FN[] = L"CNotifyQueue::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    if (pSender == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"pSender");
    }
    m_pSender = pSender;
    m_pObserver = pObserver;
    m_dwClient = dwClient;
    m_hWakeEvent = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    m_hIdleEvent = ::CreateEventW(NULL, TRUE, TRUE, NULL);
    DWORD dwRet = (m_hWakeEvent != NULL && m_hIdleEvent != NULL) ? ERROR_SUCCESS : ::GetLastError();
    if (dwRet == ERROR_SUCCESS) {
        m_bRunning = true;
        dwRet = m_Thread.Initialize(ThreadProc, this);
    }
    if (dwRet != ERROR_SUCCESS) {
        Finalize(0, 0);
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

// The caller holds m_Lock.
bool CNotifyQueue::IsRepeatLocked(const NotifyItem& item) const
{
    if (item.dwRepeatGroup == 0) {
        return false;
    }
    auto last = std::find_if(m_Queue.rbegin(), m_Queue.rend(), [&](const NotifyItem& queued) {
        return queued.dwRepeatGroup == item.dwRepeatGroup;
    });
    return last != m_Queue.rend() && last->dwCode == item.dwCode && last->dwValue == item.dwValue;
}

// With the queue full, the oldest waiting state report is shed; false when the item itself is
// to be dropped (a state report with nothing older to shed). The caller holds m_Lock.
bool CNotifyQueue::MakeRoomLocked(const NotifyItem& item)
{
    static const WCHAR FN[] = L"CNotifyQueue::Push";
    if (m_Queue.size() < kMaxQueued) {
        return true;
    }
    auto oldest = std::find_if(m_Queue.begin(), m_Queue.end(),
                               [](const NotifyItem& queued) { return queued.bState; });
    if (oldest == m_Queue.end()) {
        return !item.bState;
    }
    LOG_TRACE(LOG_EVENT, FN, L"Queue full, shed:%d", oldest->dwCode);
    m_Queue.erase(oldest);
    return true;
}

void CNotifyQueue::Push(const NotifyItem& item)
{
    static const WCHAR FN[] = L"CNotifyQueue::Push";
    CSrwLock::CGuard guard(m_Lock);
    if (!m_bRunning || IsRepeatLocked(item)) {
        return;
    }
    if (!MakeRoomLocked(item)) {
        LOG_TRACE(LOG_EVENT, FN, L"Queue full, dropped:%d", item.dwCode);
        return;
    }
    m_Queue.push_back(item);
    ::ResetEvent(m_hIdleEvent);
    ::SetEvent(m_hWakeEvent);
}

void CNotifyQueue::Finalize(DWORD dwKeepCode, DWORD dwDrainMs)
{
    static const WCHAR FN[] = L"CNotifyQueue::Finalize";
    LOG_ENTER(LOG_DETAIL, FN);
    bool bWasRunning = false;
    {
        CSrwLock::CGuard guard(m_Lock);
        bWasRunning = m_bRunning;
    }
    Close(dwKeepCode);
    if (bWasRunning && dwDrainMs != 0 &&
        ::WaitForSingleObject(m_hIdleEvent, dwDrainMs) != WAIT_OBJECT_0) {
        LOG_TRACE(LOG_EVENT, FN, L"Drain timeout.");
    }
    m_Thread.Finalize();
    m_Queue.clear();
    CloseAndClear(m_hWakeEvent);
    CloseAndClear(m_hIdleEvent);
    LOG_EXIT(LOG_DETAIL, FN);
}

void CNotifyQueue::Close(DWORD dwKeepCode)
{
    CSrwLock::CGuard guard(m_Lock);
    m_bRunning = false;
    m_Queue.erase(std::remove_if(m_Queue.begin(), m_Queue.end(),
                                 [=](const NotifyItem& item) { return item.dwCode != dwKeepCode; }),
                  m_Queue.end());
    if (m_hWakeEvent != NULL) {
        ::SetEvent(m_hWakeEvent);
    }
}

void CNotifyQueue::Abort()
{
    HANDLE hTerminate = m_Thread.GetTerminateEvent();
    if (hTerminate != NULL) {
        ::SetEvent(hTerminate);
    }
}

bool CNotifyQueue::IsClientGone()
{
    CSrwLock::CGuard guard(m_Lock);
    return m_bClientGone;
}

DWORD CNotifyQueue::ThreadProc(LPVOID lpData)
{
    CNotifyQueue* pThis = static_cast<CNotifyQueue*>(lpData);
    if (pThis == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    HANDLE hTerminate = pThis->m_Thread.GetTerminateEvent();
    HANDLE handles[2] = { hTerminate, pThis->m_hWakeEvent };
    bool bRun = true;
    while (bRun && ::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        NotifyItem item;
        while (bRun && ::WaitForSingleObject(hTerminate, 0) == WAIT_TIMEOUT && pThis->Pop(&item)) {
            bRun = pThis->Deliver(item);
        }
    }
    return 0;
}

// Takes the oldest item; with none left, marks the queue idle.
bool CNotifyQueue::Pop(NotifyItem* pItem)
{
    CSrwLock::CGuard guard(m_Lock);
    const bool bHave = !m_Queue.empty();
    if (bHave) {
        *pItem = m_Queue.front();
        m_Queue.pop_front();
    } else {
        ::SetEvent(m_hIdleEvent);
    }
    return bHave;
}

// Sends one item; false when the application has gone, and the queue with it.
bool CNotifyQueue::Deliver(const NotifyItem& item)
{
    const DWORD body[2] = { item.dwCode, item.dwValue };
    const DWORD dwRet = m_pSender->SendTo(m_dwClient, body, item.dwLen, m_Thread.GetTerminateEvent());
    if (dwRet == ERROR_SUCCESS && m_pObserver != NULL) {
        m_pObserver->OnDelivered(item.dwCode);
    }
    if (!INotifySender::IsClientGone(dwRet)) {
        return true;
    }
    CSrwLock::CGuard guard(m_Lock);
    m_bClientGone = true;
    m_bRunning = false;
    m_Queue.clear();
    ::SetEvent(m_hIdleEvent);
    return false;
}
