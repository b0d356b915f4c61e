#include "CUpsLink.h"

#include "MIRELMSG.h"

CUpsLink::CUpsLink() : m_lLink(WATCHLINK_NONE) {}

void CUpsLink::Reset(bool bMonitorSet)
{
    ::InterlockedExchange(&m_lLink, bMonitorSet ? WATCHLINK_STARTING : WATCHLINK_NONE);
}

DWORD CUpsLink::Update(DWORD dwLink)
{
    const DWORD dwPrevious = static_cast<DWORD>(::InterlockedExchange(&m_lLink, static_cast<LONG>(dwLink)));
    return Message(dwPrevious, dwLink);
}

bool CUpsLink::IsPowering(DWORD dwLink)
{
    return dwLink == WATCHLINK_ONLINE || dwLink == WATCHLINK_HOLDING;
}

// A link being set up or not set at all says nothing; "connected" only after a fault.
DWORD CUpsLink::MessageOf(DWORD dwLink)
{
    switch (dwLink) {
    case WATCHLINK_UNREACHABLE:
    case WATCHLINK_LOST: return MSG_UPS_UNREACHABLE;
    case WATCHLINK_DENIED: return MSG_UPS_DENIED;
    case WATCHLINK_UNKNOWN_UPS:
    case WATCHLINK_BAD_SETTING: return MSG_UPS_UNKNOWN;
    case WATCHLINK_HOLDING: return MSG_UPS_HOLDING;
    case WATCHLINK_ONLINE: return MSG_UPS_CONNECTED;
    default: return 0;
    }
}

DWORD CUpsLink::Message(DWORD dwPrevious, DWORD dwNext)
{
    const DWORD dwMessage = MessageOf(dwNext);
    if (dwMessage == MessageOf(dwPrevious)) {
        return 0;
    }
    // The first connection after the start is the normal case, not news.
    if (dwNext == WATCHLINK_ONLINE && MessageOf(dwPrevious) == 0) {
        return 0;
    }
    return dwMessage;
}
