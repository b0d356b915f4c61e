// Delivers the service's notifications to every registered tray application through a queue and a
// thread of the application's own, so that one slow, hung or dead application delays nobody
// else: neither the main loop nor the other applications. Each application receives the
// notifications in the order each caller queued them.
#pragma once

#include "CNotifyQueue.h"

#include <windows.h>

#include <memory>
#include <vector>

class CClientNotifier {
public:
    // Sends one notification body to one application; hAbortEvent ends every wait in the send.
    typedef DWORD (*LPSENDTOFUNC)(LPVOID lpData, DWORD dwClient, LPVOID lpBuf, DWORD dwLen,
                                  HANDLE hAbortEvent);

    CClientNotifier();
    ~CClientNotifier();

    DWORD Initialize(LPSENDTOFUNC lpSendTo, LPVOID lpData);
    // A newly registered application; it receives what is queued from now on.
    DWORD AddClient(DWORD dwClient);
    // An application that has gone; what still waits for it is dropped. May be called from that
    // application's own delivery thread (a send that found its pipe gone).
    void RemoveClient(DWORD dwClient);
    // Queues a notification for every application (see CNotifyQueue::Push).
    void Push(DWORD dwNotify, DWORD dwValue);
    // The service is stopping: every application, and every one added from now on, gets
    // dwFinalNotify as its last notification; whatever else waits or comes is dropped.
    void Stop(DWORD dwFinalNotify);
    // Drops what waits except dwKeepNotify, gives the rest up to dwDrainMs in all to go out, then
    // stops every delivery thread.
    void Finalize(DWORD dwKeepNotify, DWORD dwDrainMs);

    // Most applications served at once (the pipe server's table has as many handles).
    static const size_t kMaxClients = 100;

private:
    CClientNotifier(const CClientNotifier&) = delete;
    CClientNotifier& operator=(const CClientNotifier&) = delete;

    struct Client {
        CClientNotifier* pOwner;
        DWORD dwClient;
        CNotifyQueue queue;
    };
    typedef std::vector<std::unique_ptr<Client>> ClientList;

    static DWORD SendToClient(LPVOID lpData, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent);
    ClientList::iterator FindLocked(DWORD dwClient);
    void RetireLocked(ClientList::iterator it);
    void ReleaseRetired();
    static void StopQueues(ClientList& clients);

    static thread_local const Client* t_pSending;

    CRITICAL_SECTION m_cs;  // guards the two lists and m_bRunning, never held across a send
    ClientList m_Clients;
    ClientList m_Retired;   // removed, their threads still to be stopped by another thread
    bool m_bRunning;
    DWORD m_dwFinalNotify;  // 0, or the last notification once the service stops
    LPSENDTOFUNC m_lpSendTo;
    LPVOID m_lpData;
};
