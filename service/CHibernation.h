// Where the service's hibernation call is, and the applications' resume checks around it: the
// first check after a hibernation this service made tells every application that the PC resumed.
// A check that comes during the call may have been sent before the PC went down: it is kept and
// answered once the call returned.
#pragma once

#include "CClientNotifier.h"

#include <windows.h>

class CHibernation {
public:
    explicit CHibernation(CClientNotifier& notifier);

    // The hibernation call, with the shutdown privilege enabled on the calling thread; blocks
    // while the PC hibernates and returns after the resume.
    DWORD Call();
    // An application's question after a resume (from the pipe's receiving thread).
    void OnResumeCheck();
    // TRUE outside the time from the call to the first resume check after it.
    bool IsIdle();

private:
    CHibernation(const CHibernation&) = delete;
    CHibernation& operator=(const CHibernation&) = delete;

    void NotifyResumed();

    CClientNotifier& m_Notifier;
    volatile LONG m_lState;  // a HIBERNATION_ state
};
