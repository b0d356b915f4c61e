// Delivers the service's notifications to every registered tray application through a queue and a
// thread of the application's own (CNotifyQueue), so that one slow, hung or dead application
// delays nobody else: neither the main loop nor the other applications. Each application receives
// the notifications in the order each caller queued them.
#pragma once

#include "CNotifyQueue.h"
#include "CSrwLock.h"
#include "INotifySender.h"

#include <windows.h>

#include <memory>
#include <vector>

class CClientNotifier {
public:
    CClientNotifier();
    ~CClientNotifier();

    // pObserver (may be NULL) hears of each notification delivered to any application.
    DWORD Initialize(INotifySender* pSender, INotifyObserver* pObserver = NULL);
    // A newly registered application; it receives what is queued from now on. A former holder of
    // its handle is gone, even if its end has not been noticed yet: its queue stops here.
    DWORD AddClient(DWORD dwClient);
    // An application that has unregistered; what still waits for it is dropped.
    void RemoveClient(DWORD dwClient);
    // Queues a notification for every application.
    void Push(const NotifyItem& item);
    // The applications registered and not known to be gone.
    size_t GetClientCount();
    // Queues nItems notifications for every application, one after another with nothing between.
    void Push(const NotifyItem* pItems, size_t nItems);
    // The service is stopping: every application, and every one added from now on, gets final
    // as its last notification; whatever else waits or comes is dropped.
    void Stop(const NotifyItem& final);
    // Drops what waits except dwKeepCode, gives the rest up to dwDrainMs in all to go out, then
    // stops every delivery thread.
    void Finalize(DWORD dwKeepCode, DWORD dwDrainMs);

    // Most applications served at once (the pipe server's table has as many handles).
    static const size_t kMaxClients = 100;

private:
    CClientNotifier(const CClientNotifier&) = delete;
    CClientNotifier& operator=(const CClientNotifier&) = delete;

    typedef std::vector<std::unique_ptr<CNotifyQueue>> QueueList;

    // Moves the queues that match out of m_Queues into *pOut; the caller holds m_Lock.
    template <typename Pred>
    void TakeLocked(Pred pred, QueueList* pOut);
    void TakeGoneLocked(QueueList* pOut);
    static void StopQueues(QueueList& queues);

    CSrwLock m_Lock;  // guards the list and the two fields below; never held across a send
    QueueList m_Queues;
    bool m_bRunning;
    NotifyItem m_Final;  // dwCode 0 until the service stops
    INotifySender* m_pSender;
    INotifyObserver* m_pObserver;
};
