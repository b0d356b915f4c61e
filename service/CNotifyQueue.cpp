#include "CNotifyQueue.h"

#include "CLog.h"
#include "Notify.h"

#include <algorithm>

namespace {

bool IsBatteryLevel(DWORD dwNotify)
{
    return dwNotify == NOTIFY_BATTERY_LOW || dwNotify == NOTIFY_BATTERY_OK;
}

void CloseMember(HANDLE& h)
{
    if (h != NULL && h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
    }
    h = NULL;
}

}  // namespace

CNotifyQueue::CNotifyQueue()
    : m_hWakeEvent(NULL), m_hIdleEvent(NULL), m_bRunning(false), m_lpSend(NULL), m_lpData(NULL)
{
    ::InitializeCriticalSection(&m_cs);
}

CNotifyQueue::~CNotifyQueue()
{
    Finalize(0, 0);
    ::DeleteCriticalSection(&m_cs);
}

DWORD CNotifyQueue::Initialize(LPSENDFUNC lpSend, LPVOID lpData)
{
    static const WCHAR FN[] = L"CNotifyQueue::Initialize";
    LOG_ENTER(LOG_DETAIL, FN);
    if (lpSend == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpSend");
    }
    m_lpSend = lpSend;
    m_lpData = lpData;
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

void CNotifyQueue::Push(DWORD dwNotify, DWORD dwValue)
{
    static const WCHAR FN[] = L"CNotifyQueue::Push";
    ::EnterCriticalSection(&m_cs);
    bool bQueue = m_bRunning && m_Queue.size() < kMaxQueued;
    if (bQueue && IsBatteryLevel(dwNotify)) {
        auto last = std::find_if(m_Queue.rbegin(), m_Queue.rend(),
                                 [](const Item& item) { return IsBatteryLevel(item.dwNotify); });
        bQueue = last == m_Queue.rend() || last->dwNotify != dwNotify;
    }
    if (bQueue) {
        m_Queue.push_back(Item{ dwNotify, dwValue });
        ::ResetEvent(m_hIdleEvent);
        ::SetEvent(m_hWakeEvent);
    } else if (m_bRunning && m_Queue.size() >= kMaxQueued) {
        LOG_TRACE(LOG_EVENT, FN, L"Queue full, dropped:%d", dwNotify);
    }
    ::LeaveCriticalSection(&m_cs);
}

void CNotifyQueue::Finalize(DWORD dwKeepNotify, DWORD dwDrainMs)
{
    static const WCHAR FN[] = L"CNotifyQueue::Finalize";
    LOG_ENTER(LOG_DETAIL, FN);
    ::EnterCriticalSection(&m_cs);
    const bool bWasRunning = m_bRunning;
    ::LeaveCriticalSection(&m_cs);
    Close(dwKeepNotify);
    if (bWasRunning && dwDrainMs != 0 &&
        ::WaitForSingleObject(m_hIdleEvent, dwDrainMs) != WAIT_OBJECT_0) {
        LOG_TRACE(LOG_EVENT, FN, L"Drain timeout.");
    }
    m_Thread.Finalize();
    m_Queue.clear();
    CloseMember(m_hWakeEvent);
    CloseMember(m_hIdleEvent);
    LOG_EXIT(LOG_DETAIL, FN);
}

void CNotifyQueue::Close(DWORD dwKeepNotify)
{
    ::EnterCriticalSection(&m_cs);
    m_bRunning = false;
    m_Queue.erase(std::remove_if(m_Queue.begin(), m_Queue.end(),
                                 [=](const Item& item) { return item.dwNotify != dwKeepNotify; }),
                  m_Queue.end());
    if (m_hWakeEvent != NULL) {
        ::SetEvent(m_hWakeEvent);
    }
    ::LeaveCriticalSection(&m_cs);
}

void CNotifyQueue::Abort()
{
    HANDLE hTerminate = m_Thread.GetTerminateEvent();
    if (hTerminate != NULL) {
        ::SetEvent(hTerminate);
    }
}

DWORD CNotifyQueue::ThreadProc(LPVOID lpData)
{
    CNotifyQueue* pThis = static_cast<CNotifyQueue*>(lpData);
    if (pThis == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    HANDLE hTerminate = pThis->m_Thread.GetTerminateEvent();
    HANDLE handles[2] = { hTerminate, pThis->m_hWakeEvent };
    while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        Item item;
        while (::WaitForSingleObject(hTerminate, 0) == WAIT_TIMEOUT && pThis->Pop(&item)) {
            pThis->Deliver(item);
        }
    }
    return 0;
}

// Takes the oldest item; with none left, marks the queue idle.
bool CNotifyQueue::Pop(Item* pItem)
{
    ::EnterCriticalSection(&m_cs);
    const bool bHave = !m_Queue.empty();
    if (bHave) {
        *pItem = m_Queue.front();
        m_Queue.pop_front();
    } else {
        ::SetEvent(m_hIdleEvent);
    }
    ::LeaveCriticalSection(&m_cs);
    return bHave;
}

void CNotifyQueue::Deliver(const Item& item)
{
    DWORD body[2] = { item.dwNotify, item.dwValue };
    const DWORD dwLen = (item.dwNotify == NOTIFY_S4_FAILED) ? sizeof(body) : sizeof(DWORD);
    m_lpSend(m_lpData, body, dwLen, m_Thread.GetTerminateEvent());
}
