// The reasons why the user cannot see this session (not active, locked, disconnected), counted:
// alerts are displayed only while the count is 0. Set once from the session's state, then
// following the session notifications of this application's own session.
#pragma once

#include <windows.h>

class CSessionLock {
public:
    // What a session notification means for the application.
    enum Change { CHANGE_NONE, CHANGE_LOCKED, CHANGE_UNLOCKED, CHANGE_LOGOFF };

    CSessionLock() : m_nCount(0) {}

    // Queries the current session; a failed query leaves the count at 0.
    void Initialize();
    // Applies the event and session (wParam and lParam of WM_WTSSESSION_CHANGE). Only the
    // application's own session counts: notifications come for every session on the machine,
    // and another user's lock must not change what this user is shown. The count is not clamped
    // and may go negative (an unlock without a lock).
    Change Apply(WPARAM wEvent, LPARAM lSession);
    BOOL IsUnlocked() const { return m_nCount == 0; }
    int Count() const { return m_nCount; }

    // The count of a session state, where the value of lSessionFlags that means unlocked is 0 on
    // Windows 6.1 and 1 on every other version.
    static int CountOf(int nConnectState, LONG lSessionFlags, BOOL bWin61);

private:
    int m_nCount;
};
