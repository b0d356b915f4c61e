#include "CNetSource.h"

#include "CLog.h"

#include <new>
#include <strsafe.h>

namespace {

// The option arrays as terminated text of at most cch characters.
void CopyText(LPWSTR lpszTo, size_t cch, LPCWSTR lpszFrom)
{
    ::StringCchCopyNW(lpszTo, cch, lpszFrom, cch - 1);
}

bool SameText(LPCWSTR lpszHeld, LPCWSTR lpszOption, size_t cch)
{
    return ::wcsncmp(lpszHeld, lpszOption, cch - 1) == 0;
}

}  // namespace

CNetSource::CNetSource() : m_bBadSetting(FALSE), m_bRunning(FALSE), m_dwDeadTime(0), m_hSourceEvent(NULL)
{
    WipeSettings();
}

CNetSource::~CNetSource()
{
    WipeSettings();
}

void CNetSource::WipeSettings()
{
    ::SecureZeroMemory(m_szPassword, sizeof(m_szPassword));
    ::SecureZeroMemory(m_szUser, sizeof(m_szUser));
    m_szMonitor[0] = L'\0';
}

BOOL CNetSource::Differs(const WATCHOPTIONS& options) const
{
    return !SameText(m_szMonitor, options.szUpsMonitor, WATCH_UPS_MONITOR_CHARS) ||
           !SameText(m_szUser, options.szUpsUser, WATCH_UPS_CREDENTIAL_CHARS) ||
           !SameText(m_szPassword, options.szUpsPassword, WATCH_UPS_CREDENTIAL_CHARS) ||
           m_dwDeadTime != options.dwUpsDeadTime || m_hSourceEvent != options.hSourceEvent;
}

void CNetSource::SetOptions(const WATCHOPTIONS& options)
{
    LOG_FUNCTION(L"CNetSource::SetOptions");
    CSrwLock::CGuard guard(m_ControlLock);
    if (!Differs(options)) {
        return;
    }
    // The monitor in use keeps the old settings until it is gone; the new ones start afresh.
    if (m_bRunning) {
        StopLocked();
    }
    WipeSettings();
    CopyText(m_szMonitor, WATCH_UPS_MONITOR_CHARS, options.szUpsMonitor);
    CopyText(m_szUser, WATCH_UPS_CREDENTIAL_CHARS, options.szUpsUser);
    CopyText(m_szPassword, WATCH_UPS_CREDENTIAL_CHARS, options.szUpsPassword);
    m_dwDeadTime = options.dwUpsDeadTime;
    m_hSourceEvent = options.hSourceEvent;
    LOG_TRACE(LOG_API, FN, L"Network UPS: \"%s\", dead time %u s", m_szMonitor, m_dwDeadTime);
    if (m_bRunning) {
        StartLocked();
    }
}

void CNetSource::Start()
{
    CSrwLock::CGuard guard(m_ControlLock);
    m_bRunning = TRUE;
    StartLocked();
}

void CNetSource::Stop()
{
    CSrwLock::CGuard guard(m_ControlLock);
    m_bRunning = FALSE;
    StopLocked();
}

void CNetSource::StartLocked()
{
    LOG_FUNCTION(L"CNetSource::StartLocked");
    if (m_szMonitor[0] == L'\0') {
        return;
    }
    std::unique_ptr<CNetUpsMonitor> pMonitor(new (std::nothrow) CNetUpsMonitor);
    if (!pMonitor) {
        LOG_TRACE(LOG_EVENT, FN, L"out of memory");
        return;
    }
    const NetUpsSettings settings = {m_szMonitor, m_szUser, m_szPassword, m_dwDeadTime};
    const DWORD dwRet = pMonitor->Initialize(settings, m_hSourceEvent);
    CSrwLock::CGuard guard(m_ReadLock);
    m_bBadSetting = (dwRet == ERROR_INVALID_PARAMETER) ? TRUE : FALSE;
    if (dwRet == ERROR_SUCCESS) {
        m_pMonitor = std::move(pMonitor);
    }
}

void CNetSource::StopLocked()
{
    std::unique_ptr<CNetUpsMonitor> pMonitor;
    {
        CSrwLock::CGuard guard(m_ReadLock);
        pMonitor = std::move(m_pMonitor);
        m_bBadSetting = FALSE;
    }
    // Outside the read lock: the watchers keep reading (the local probes) while it logs out.
    if (pMonitor) {
        pMonitor->Finalize();
    }
}

BOOL CNetSource::Read(NetUpsSnapshot& snapshot) const
{
    CSrwLock::CGuard guard(m_ReadLock);
    if (!m_pMonitor) {
        return FALSE;
    }
    m_pMonitor->GetSnapshot(snapshot);
    return TRUE;
}

BOOL CNetSource::ReadActive(NetUpsSnapshot& snapshot) const
{
    return Read(snapshot) && IsActive(snapshot);
}

BOOL CNetSource::Fill(WATCHSOURCE& source) const
{
    NetUpsSnapshot snapshot;
    BOOL bMonitor = FALSE;
    BOOL bBad = FALSE;
    {
        CSrwLock::CGuard guard(m_ReadLock);
        bBad = m_bBadSetting;
    }
    bMonitor = Read(snapshot);
    source.dwLink = bBad ? WATCHLINK_BAD_SETTING : bMonitor ? LinkOf(snapshot.link) : WATCHLINK_NONE;
    source.szStatus[0] = L'\0';
    source.szError[0] = L'\0';
    if (!bMonitor) {
        return FALSE;
    }
    CopyText(source.szStatus, ARRAYSIZE(source.szStatus), snapshot.szStatus);
    CopyText(source.szError, ARRAYSIZE(source.szError), snapshot.szError);
    if (!IsActive(snapshot)) {
        return FALSE;
    }
    source.dwKind = WATCHSOURCE_NETWORK_UPS;
    source.dwPercent = PercentOf(snapshot);
    source.dwRuntime = RuntimeOf(snapshot);
    source.bCritical = snapshot.bCritical ? TRUE : FALSE;
    source.bLineOff = snapshot.bLineOff ? TRUE : FALSE;
    return TRUE;
}

BOOL CNetSource::IsActive(const NetUpsSnapshot& snapshot)
{
    return (snapshot.link == UpsLinkOnline || snapshot.link == UpsLinkHolding) ? TRUE : FALSE;
}

DWORD CNetSource::LinkOf(UpsLink link)
{
    switch (link) {
    case UpsLinkStarting:
        return WATCHLINK_STARTING;
    case UpsLinkOnline:
        return WATCHLINK_ONLINE;
    case UpsLinkHolding:
        return WATCHLINK_HOLDING;
    case UpsLinkLost:
        return WATCHLINK_LOST;
    case UpsLinkUnreachable:
        return WATCHLINK_UNREACHABLE;
    case UpsLinkDenied:
        return WATCHLINK_DENIED;
    case UpsLinkUnknownUps:
        return WATCHLINK_UNKNOWN_UPS;
    }
    return WATCHLINK_NONE;
}

DWORD CNetSource::PercentOf(const NetUpsSnapshot& snapshot)
{
    // BATTERY_PERCENTAGE_UNKNOWN, as the battery class says it.
    return (snapshot.nPercent < 0) ? 255 : static_cast<DWORD>(snapshot.nPercent);
}

DWORD CNetSource::RuntimeOf(const NetUpsSnapshot& snapshot)
{
    return (snapshot.nRuntime < 0) ? WATCH_UNKNOWN_RUNTIME : static_cast<DWORD>(snapshot.nRuntime);
}
