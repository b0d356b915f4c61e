// The pipe server's table of registered applications: handles 1 to 100, oldest first, and the
// choice of the slot that gives way when the table is full. Not locked itself: the server holds
// its session lock around every call.
#pragma once

#include "CPipe.h"

#include <windows.h>

// One registered application, owned by the list.
struct CLIENT_SESSION {
    CPipe* pPipe;            // sending end on the application's notification pipe
    DWORD dwClientHandle;    // 1 to 100; 0 once the session has left the list
    DWORD dwProcessId;       // the verified process that registered it
    DWORD dwSessionId;       // that process's logon session
    DWORD dwFailedSends;     // deliveries in a row that timed out
    CLIENT_SESSION* pPrev;
    CLIENT_SESSION* pNext;
    LONG nRefs;              // the list's reference plus one per send that is using it
};

class CSessionList {
public:
    CSessionList();

    // Appends the node with the lowest free handle; 231 when all are taken.
    DWORD Insert(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle);
    // Takes the node out unless it already left; *lpdwClientHandle receives its former handle.
    BOOL Unlink(CLIENT_SESSION* pNode, LPDWORD lpdwClientHandle);
    // Empties the list and hands back its former head; every node's handle is cleared.
    CLIENT_SESSION* TakeAll();
    CLIENT_SESSION* Lookup(DWORD dwClientHandle) const;
    CLIENT_SESSION* LookupName(LPCWSTR lpszPipeName) const;
    // Up to nMax sessions, oldest first, each with a reference taken; returns how many.
    DWORD Snapshot(CLIENT_SESSION** ppNodes, DWORD nMax);
    BOOL IsFull() const;

    // With the table full, the session whose registration gives way to one from logon session
    // dwSessionId: the newest registration of the logon session holding the most slots, when
    // dwSessionId holds fewer than that; NULL when the newcomer is refused. Every logon session
    // so keeps a share, while within one session the 101st registration is refused.
    CLIENT_SESSION* ChooseEvictee(DWORD dwSessionId) const;

    // Only the form our applications register is accepted: the data pipe's name followed by 8
    // hexadecimal digits. Anything else (a file, another process's pipe) would be opened and
    // written with the service's rights.
    static BOOL IsNotifyPipeName(LPCWSTR lpszPipeName, LPCWSTR lpszDataPipe);
    // The process id in the last 8 characters of a notification pipe name (already validated).
    static DWORD PipeNameProcessId(LPCWSTR lpszPipeName);

private:
    CSessionList(const CSessionList&) = delete;
    CSessionList& operator=(const CSessionList&) = delete;

    int CountOfSession(DWORD dwSessionId) const;

    CLIENT_SESSION* m_pHead;
    int m_nCount;
};
