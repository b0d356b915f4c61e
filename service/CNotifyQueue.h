// Delivers the notifications for one tray application from a thread of its own, in the order
// they were queued, so that no caller (the main loop above all) ever waits for a slow or hung
// application, and one application waits for no other.
#pragma once

#include "CSrwLock.h"
#include "CThread.h"
#include "INotifyObserver.h"
#include "INotifySender.h"

#include <windows.h>

#include <deque>

// One notification as it goes on the wire: dwLen (4 or 8) bytes of { dwCode, dwValue }.
// A non-zero dwRepeatGroup marks a report whose repeat means no change: it is dropped when the
// newest waiting item of its group is the same. bState marks a report of the current state (not
// an alert): a full queue sheds such items, oldest first, and never an alert.
struct NotifyItem {
    DWORD dwCode;
    DWORD dwValue;
    DWORD dwLen;
    DWORD dwRepeatGroup;
    bool bState;

    // The item of a code as its row in the notification table describes it; dwValue goes out
    // only with a code whose body carries one.
    static NotifyItem Of(DWORD dwCode, DWORD dwValue);
};

class CNotifyQueue {
public:
    CNotifyQueue();
    ~CNotifyQueue();

    // Starts the thread that sends to application dwClient through pSender; pObserver (may be
    // NULL) hears of each notification delivered.
    DWORD Initialize(INotifySender* pSender, DWORD dwClient, INotifyObserver* pObserver = NULL);
    DWORD GetClient() const { return m_dwClient; }
    void Push(const NotifyItem& item);
    // Drops what still waits except items of dwKeepCode, gives the rest up to dwDrainMs to go
    // out, then stops the thread (a send still waiting is aborted).
    void Finalize(DWORD dwKeepCode, DWORD dwDrainMs);

    // The first half of Finalize, for stopping several queues together: takes nothing new and
    // drops what waits except dwKeepCode. The idle event is set once the rest has gone out.
    void Close(DWORD dwKeepCode);
    HANDLE GetIdleEvent() const { return m_hIdleEvent; }
    // Tells the thread to end now (a send in progress gives up) without waiting for it, so that
    // several queues stop side by side; Finalize then joins the thread.
    void Abort();
    // TRUE once a send found the application gone: the queue has closed itself.
    bool IsClientGone();

    // Most notifications that may wait at once; beyond it the oldest state report is shed. Alerts
    // are never shed: only the service's own events make them, and repeats of one collapse.
    static const size_t kMaxQueued = 64;

private:
    CNotifyQueue(const CNotifyQueue&) = delete;
    CNotifyQueue& operator=(const CNotifyQueue&) = delete;

    static DWORD ThreadProc(LPVOID lpData);
    bool Pop(NotifyItem* pItem);
    bool Deliver(const NotifyItem& item);
    bool IsRepeatLocked(const NotifyItem& item) const;
    bool MakeRoomLocked(const NotifyItem& item);

    CSrwLock m_Lock;  // guards the items, the flags and the idle event's state
    std::deque<NotifyItem> m_Queue;
    HANDLE m_hWakeEvent;  // auto-reset: something was queued
    HANDLE m_hIdleEvent;  // manual-reset: nothing waits and nothing is being sent
    bool m_bRunning;
    bool m_bClientGone;
    INotifySender* m_pSender;
    INotifyObserver* m_pObserver;
    DWORD m_dwClient;
    CThread m_Thread;
};
