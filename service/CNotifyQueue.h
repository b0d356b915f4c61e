// Delivers the service's notifications from a thread of its own, in the order they were queued,
// so that no caller (the main loop above all) ever waits for a slow or hung tray application.
#pragma once

#include "CThread.h"

#include <windows.h>

#include <deque>

class CNotifyQueue {
public:
    // Sends one notification body to every client; hAbortEvent ends a wait for a pipe's lock.
    typedef DWORD (*LPSENDFUNC)(LPVOID lpData, LPVOID lpBuf, DWORD dwLen, HANDLE hAbortEvent);

    CNotifyQueue();
    ~CNotifyQueue();

    DWORD Initialize(LPSENDFUNC lpSend, LPVOID lpData);
    // Queues a notification; the body carries dwValue only for NOTIFY_S4_FAILED. A battery-level
    // code equal to the last one still waiting is dropped: clients take a repeat as no change.
    void Push(DWORD dwNotify, DWORD dwValue);
    // Drops what still waits except dwKeepNotify, gives the rest up to dwDrainMs to go out, then
    // stops the thread (a send still waiting for a lock is aborted).
    void Finalize(DWORD dwKeepNotify, DWORD dwDrainMs);

    // The first half of Finalize, for stopping several queues together: takes nothing new and
    // drops what waits except dwKeepNotify. The idle event is set once the rest has gone out.
    void Close(DWORD dwKeepNotify);
    HANDLE GetIdleEvent() const { return m_hIdleEvent; }
    // Tells the thread to end now (a send in progress gives up) without waiting for it, so that
    // several queues stop side by side; Finalize then joins the thread.
    void Abort();

    // Most notifications that may wait at once; beyond it new ones are dropped.
    static const size_t kMaxQueued = 64;

private:
    CNotifyQueue(const CNotifyQueue&) = delete;
    CNotifyQueue& operator=(const CNotifyQueue&) = delete;

    struct Item {
        DWORD dwNotify;
        DWORD dwValue;
    };

    static DWORD ThreadProc(LPVOID lpData);
    bool Pop(Item* pItem);
    void Deliver(const Item& item);

    CRITICAL_SECTION m_cs;
    std::deque<Item> m_Queue;
    HANDLE m_hWakeEvent;  // auto-reset: something was queued
    HANDLE m_hIdleEvent;  // manual-reset: nothing waits and nothing is being sent
    bool m_bRunning;
    LPSENDFUNC m_lpSend;
    LPVOID m_lpData;
    CThread m_Thread;
};
