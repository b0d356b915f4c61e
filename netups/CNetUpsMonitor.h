// Watches a UPS served over the network on a thread of its own, so that no wait on the network
// ever reaches the caller: readers copy a snapshot under a short lock, and an optional event is
// signalled at each change of the link state, the line or the critical flag (for one event-log
// entry per change, and for a reader that acts on the line).
#pragma once

#include "CSrwLock.h"
#include "CThread.h"
#include "CUpsLinkRules.h"
#include "CUpsSession.h"
#include "CUpsTarget.h"
#include "IUpsSocket.h"
#include "NetUpsTypes.h"

#include <string>

struct NetUpsSettings {
    LPCWSTR lpszMonitor;   // "upsname@host[:port]"
    LPCWSTR lpszUser;      // NULL or empty: no login
    LPCWSTR lpszPassword;  // NULL or empty: none
    DWORD dwDeadTime;      // seconds, clamped to 5-300
};

class CNetUpsMonitor {
public:
    CNetUpsMonitor();
    ~CNetUpsMonitor();

    // Starts the thread; ERROR_INVALID_PARAMETER for a monitor text that names no UPS and host.
    // hChanged: an event to signal at each change of the link, line or critical state, or NULL; the caller keeps it
    // open until Finalize returns. pSocket: NULL for the network, or a stand-in the caller owns.
    DWORD Initialize(const NetUpsSettings& settings, HANDLE hChanged, IUpsSocket* pSocket = NULL);
    // Logs out, stops the thread and wipes the password; returns within a few seconds whatever
    // the server does.
    void Finalize();
    void GetSnapshot(NetUpsSnapshot& snapshot) const;

private:
    CNetUpsMonitor(const CNetUpsMonitor&) = delete;
    CNetUpsMonitor& operator=(const CNetUpsMonitor&) = delete;

    static DWORD ThreadFunc(LPVOID lpData);
    void Run(IUpsSocket& socket);
    // One round: a connection attempt when none is open, then a reading.
    void Round(CUpsSession& session, CUpsLinkRules& rules);
    void Publish(const CUpsLinkRules& rules, bool bChanged);

    CUpsTarget m_Target;
    std::string m_User;
    std::string m_Password;
    DWORD m_dwDeadTime;
    HANDLE m_hChanged;      // not owned
    IUpsSocket* m_pSocket;  // not owned; NULL: the thread makes its own
    CThread m_Thread;
    mutable CSrwLock m_Lock;  // held only to copy m_Snapshot
    NetUpsSnapshot m_Snapshot;
};
