#include "CHibernation.h"

#include "Notify.h"

#include <powrprof.h>

namespace {

enum {
    HIBERNATION_NONE = 0,
    HIBERNATION_CALLING = 1,
    HIBERNATION_CHECKED = 2,  // a resume check came during the call
    HIBERNATION_RETURNED = 3,
};

}  // namespace

CHibernation::CHibernation(CClientNotifier& notifier) : m_Notifier(notifier), m_lState(HIBERNATION_NONE) {}

DWORD CHibernation::Call()
{
    ::InterlockedExchange(&m_lState, HIBERNATION_CALLING);
    if (!::SetSuspendState(TRUE, FALSE, FALSE)) {
        const DWORD dwErr = ::GetLastError();
        ::InterlockedExchange(&m_lState, HIBERNATION_NONE);
        return dwErr;
    }
    // The PC has resumed: a resume check that came during the call is answered now.
    if (::InterlockedCompareExchange(&m_lState, HIBERNATION_RETURNED, HIBERNATION_CALLING) ==
        HIBERNATION_CHECKED) {
        ::InterlockedExchange(&m_lState, HIBERNATION_NONE);
        NotifyResumed();
    }
    return ERROR_SUCCESS;
}

// During the call the check waits for the call's return; the first one after it tells everybody
// and lets registrations start new waits again.
void CHibernation::OnResumeCheck()
{
    if (::InterlockedCompareExchange(&m_lState, HIBERNATION_CHECKED, HIBERNATION_CALLING) ==
        HIBERNATION_CALLING) {
        return;
    }
    if (::InterlockedCompareExchange(&m_lState, HIBERNATION_NONE, HIBERNATION_RETURNED) ==
        HIBERNATION_RETURNED) {
        NotifyResumed();
    }
}

bool CHibernation::IsIdle()
{
    return ::InterlockedCompareExchange(&m_lState, 0, 0) == HIBERNATION_NONE;
}

void CHibernation::NotifyResumed()
{
    m_Notifier.Push(NotifyItem::Of(NOTIFY_RESUMED, 0));
}
