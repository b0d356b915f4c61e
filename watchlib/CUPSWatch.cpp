#include "CUPSWatch.h"

#include "CLog.h"

namespace {

const UINT_PTR kFlickerTimerId = 1;
const UINT_PTR kHibernateTimerId = 2;
const UINT_PTR kPollTimerId = 4;
const UINT_PTR kEarlyTimerId = 5;
const UINT kPollPeriodMs = 500;

LONG64 PackCause(DWORD dwCause, DWORD dwRuntime)
{
    return static_cast<LONG64>((static_cast<ULONGLONG>(dwCause) << 32) | dwRuntime);
}

bool IsTimer(UINT_PTR uTimer, UINT_PTR uId)
{
    return uTimer != 0 && uId == uTimer;
}

void StopTimer(UINT_PTR& uTimer)
{
    if (uTimer != 0) {
        ::KillTimer(NULL, uTimer);
    }
    uTimer = 0;
}

}  // namespace

volatile LONG CUPSWatch::s_lReserveSec = 0;
volatile LONG64 CUPSWatch::s_llS4Cause = PackCause(WATCHCAUSE_TIMER, WATCH_UNKNOWN_RUNTIME);

CUPSWatch::CUPSWatch(CSourceSnapshot& snapshot, const CNetSource& net)
    : m_Snapshot(snapshot),
      m_Net(net),
      m_ullSnapshotSeq(0),
      m_hACLossEvent(NULL),
      m_hS4Event(NULL),
      m_hACOnEvent(NULL),
      m_dwPowerFlickerTime(0),
      m_dwHibernateAfter(0),
      m_dwAlarmTime(0),
      m_dwShowBalloonWait(0),
      m_bWatching(FALSE),
      m_bHibernateStage(FALSE),
      m_bStageUps(FALSE),
      m_uFlickerTimer(0),
      m_uHibernateTimer(0),
      m_uPollTimer(0),
      m_uEarlyTimer(0),
      m_ullStageStartMs(0),
      m_ullEarlyAtMs(CEarlyS4Rules::kNoDeadline)
{
}

CUPSWatch::~CUPSWatch()
{
    // The thread reads this object's members: it ends before they go.
    m_Thread.Finalize();
}

DWORD CUPSWatch::Initialize(LPWATCHDATA lpUPSData)
{
    static const WCHAR FN[] = L"CUPSWatch::Initialize";
    LOG_ENTER(LOG_API, FN);
    if (lpUPSData == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lpData");
    }
    BOOL bDC = FALSE;
    {
        CSrwLock::CGuard guard(m_StateLock);
        m_Battery.Initialize();
        CopySettings(*lpUPSData);
        bDC = GetACDCState();
        // A start request (a registration, any power-status change such as a battery step) must
        // not push the hibernation back: while the line stays off, the running wait keeps its
        // deadline. Only a line that came back (which ends the watch) or no watch at all lets a
        // new wait begin.
        if (bDC && m_bWatching) {
            LOG_TRACE(LOG_API, FN, L"Watch kept.");
            return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
        }
        // A UPS that drops off USB during the loss makes Windows report the line on with no
        // battery: that is no return of the mains, and the watch goes on towards its S4.
        if (!bDC && IsUpsGoneDuringLoss()) {
            LOG_TRACE(LOG_EVENT, FN, L"Watch kept: the UPS in use is gone, the line reads on.");
            return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
        }
    }
    m_Thread.Finalize();
    if (bDC) {
        // Marked before the start: a short watch may already be over when StartThread returns.
        SetWatching(TRUE);
        if (!StartThread(ThreadProc, this)) {
            SetWatching(FALSE);
        }
    } else {
        ::SetEvent(m_hACOnEvent);
    }
    return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
}

void CUPSWatch::Finalize()
{
    CWatch::Finalize();
    // The thread is gone, even one that had to be killed: the next start begins a fresh wait,
    // and the level watcher stops reading the device for a snapshot nobody reads.
    SetWatching(FALSE);
    m_Snapshot.SetWanted(FALSE);
}

BOOL CUPSWatch::ReadOtherLine(LPBOOL pbLineOff)
{
    NetUpsSnapshot net;
    if (!m_Net.ReadActive(net)) {
        return FALSE;
    }
    *pbLineOff = net.bLineOff ? TRUE : FALSE;
    return TRUE;
}

BOOL CUPSWatch::IsNetCritical() const
{
    NetUpsSnapshot net;
    return (m_Net.ReadActive(net) && net.bCritical) ? TRUE : FALSE;
}

BOOL CUPSWatch::IsUpsGoneDuringLoss()
{
    if (!m_bWatching || !m_bHibernateStage || !m_bStageUps) {
        return FALSE;
    }
    BATTREADING reading;
    return CBattery::IsGone(m_Battery.ReadSource(0, &reading));
}

DWORD CUPSWatch::ReadSource(LPWATCHSOURCE lpSource)
{
    CSrwLock::CGuard guard(m_StateLock);
    BATTREADING reading;
    const DWORD dwRet = m_Battery.ReadSource(0, &reading);
    lpSource->dwKind = WATCHSOURCE_NONE;
    if (dwRet == ERROR_SUCCESS) {
        lpSource->dwKind = m_Battery.IsShortTerm() ? WATCHSOURCE_UPS : WATCHSOURCE_BATTERY;
    }
    lpSource->dwPercent = reading.dwPercent;
    lpSource->dwRuntime = reading.dwRuntime;
    lpSource->bCritical = reading.bCritical;
    lpSource->bLineOff = CWatch::GetACDCState();
    // No battery is a reading too; a battery that is there but fails to answer is an error.
    return (dwRet == ERROR_SUCCESS || CBattery::IsGone(dwRet)) ? ERROR_SUCCESS : dwRet;
}

void CUPSWatch::SetRuntimeReserve(DWORD dwSeconds)
{
    ::InterlockedExchange(&s_lReserveSec, static_cast<LONG>(dwSeconds));
}

void CUPSWatch::GetS4Cause(LPDWORD lpdwCause, LPDWORD lpdwRuntime)
{
    const ULONGLONG ullValue = static_cast<ULONGLONG>(::InterlockedCompareExchange64(&s_llS4Cause, 0, 0));
    *lpdwCause = static_cast<DWORD>(ullValue >> 32);
    *lpdwRuntime = static_cast<DWORD>(ullValue & 0xFFFFFFFFu);
}

void CUPSWatch::CopySettings(const WATCHDATA& data)
{
    m_hACLossEvent = data.hACLossEvent;
    m_hS4Event = data.hS4Event;
    m_hACOnEvent = data.hACOnEvent;
    m_dwPowerFlickerTime = data.dwPowerFlickerTime;
    m_dwHibernateAfter = data.dwHibernateAfter;
    m_dwAlarmTime = data.dwAlarmTime;
    m_dwShowBalloonWait = data.dwShowBalloonWait;
}

void CUPSWatch::SetWatching(BOOL bWatching)
{
    CSrwLock::CGuard guard(m_StateLock);
    m_bWatching = bWatching;
    if (!bWatching) {
        m_bHibernateStage = FALSE;
    }
}

// The line as the flicker wait ends. Judged under the same lock as a start request's judgement,
// so that a line found back here ends the watch before any later request can count on it.
BOOL CUPSWatch::IsLineStillOff()
{
    CSrwLock::CGuard guard(m_StateLock);
    const BOOL bDC = GetACDCState();
    if (!bDC) {
        m_bWatching = FALSE;
    } else {
        m_bHibernateStage = TRUE;
        // The vanishing rule is for a UPS on USB: with the network UPS in force it stays off.
        NetUpsSnapshot net;
        m_bStageUps = (m_Battery.IsShortTerm() && !m_Net.ReadActive(net)) ? TRUE : FALSE;
    }
    return bDC;
}

DWORD CUPSWatch::ThreadProc(LPVOID lParam)
{
    static const WCHAR FN[] = L"CUPSWatch::ThreadProc";
    LOG_ENTER(LOG_API, FN);
    if (lParam == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lParam");
    }
    CUPSWatch* pThis = static_cast<CUPSWatch*>(lParam);
    // Thread timers: the system picks the ids, the requested ones are ignored. A network UPS that
    // is critical already leaves no time for a flicker wait; the poll runs from the start so that
    // one turning critical during the wait ends it too.
    const UINT uFlickerMs = pThis->IsNetCritical() ? 0 : pThis->m_dwPowerFlickerTime * 1000;
    pThis->m_uFlickerTimer = ::SetTimer(NULL, kFlickerTimerId, uFlickerMs, NULL);
    pThis->m_uHibernateTimer = 0;
    pThis->m_Snapshot.SetWanted(TRUE);
    pThis->m_uPollTimer = ::SetTimer(NULL, kPollTimerId, kPollPeriodMs, NULL);
    pThis->RunTimerLoop(FN, OnThreadTimer, pThis);
    pThis->m_Snapshot.SetWanted(FALSE);
    // Stopped from outside: the timers still pending die here, nothing is signalled.
    StopTimer(pThis->m_uFlickerTimer);
    StopTimer(pThis->m_uHibernateTimer);
    StopTimer(pThis->m_uPollTimer);
    StopTimer(pThis->m_uEarlyTimer);
    pThis->SetWatching(FALSE);
    return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
}

bool CUPSWatch::OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId)
{
    return static_cast<CUPSWatch*>(lpData)->OnTimer(uTimerId);
}

bool CUPSWatch::OnTimer(UINT_PTR uId)
{
    if (IsTimer(m_uFlickerTimer, uId)) {
        return OnFlickerEnd();
    }
    if (IsTimer(m_uPollTimer, uId)) {
        return OnPoll();
    }
    if (IsTimer(m_uHibernateTimer, uId)) {
        SignalS4(WATCHCAUSE_TIMER);
        return false;
    }
    if (IsTimer(m_uEarlyTimer, uId)) {
        SignalS4(m_Rules.Cause());
        return false;
    }
    // Any other timer message is dropped.
    return true;
}

bool CUPSWatch::OnFlickerEnd()
{
    StopTimer(m_uFlickerTimer);
    if (!IsLineStillOff()) {
        ::SetEvent(m_hACOnEvent);
        return false;
    }
    if (m_hACLossEvent != NULL) {
        ::SetEvent(m_hACLossEvent);
    }
    const DWORD dwWaitMs = m_dwHibernateAfter * 1000 + m_dwAlarmTime + m_dwShowBalloonWait;
    m_uHibernateTimer = ::SetTimer(NULL, kHibernateTimerId, dwWaitMs, NULL);
    // m_bStageUps was set with the line's judgement; only this thread changes it while it runs.
    m_Rules.Begin(m_dwAlarmTime + m_dwShowBalloonWait, m_bStageUps);
    m_ullStageStartMs = ::GetTickCount64();
    m_ullEarlyAtMs = CEarlyS4Rules::kNoDeadline;
    if (m_uPollTimer == 0) {
        m_uPollTimer = ::SetTimer(NULL, kPollTimerId, kPollPeriodMs, NULL);
    }
    // The source is judged at once: a critical one hibernates after alarm and balloon from here.
    return OnPoll();
}

bool CUPSWatch::OnFlickerPoll()
{
    LOG_FUNCTION(L"CUPSWatch::OnFlickerPoll");
    if (!IsNetCritical()) {
        return true;
    }
    LOG_TRACE(LOG_EVENT, FN, L"The network UPS is critical: the flicker wait ends now.");
    return OnFlickerEnd();
}

bool CUPSWatch::OnPoll()
{
    LOG_FUNCTION(L"CUPSWatch::OnPoll");
    if (m_uFlickerTimer != 0) {
        return OnFlickerPoll();
    }
    const ULONGLONG ullNow = ::GetTickCount64();
    S4POLL poll = {};
    if (!ReadPoll(poll, ullNow)) {
        // Nothing new: the rules keep their state and their deadline.
        return true;
    }
    const DWORD dwReserve = static_cast<DWORD>(::InterlockedCompareExchange(&s_lReserveSec, 0, 0));
    if (m_Rules.Feed(poll, dwReserve) == CEarlyS4Rules::VERDICT_AC_ON) {
        LOG_TRACE(LOG_EVENT, FN, L"The UPS in use is back with the line on: AC on.");
        SetWatching(FALSE);
        ::SetEvent(m_hACOnEvent);
        return false;
    }
    ArmEarlyTimer(ullNow - m_ullStageStartMs);
    return true;
}

// Snapshots only, never the device: this thread fires the S4 timer.
BOOL CUPSWatch::ReadPoll(S4POLL& poll, ULONGLONG ullNowMs)
{
    NetUpsSnapshot net;
    if (m_Net.ReadActive(net)) {
        poll.bLineOff = net.bLineOff ? TRUE : FALSE;
        poll.bBatteryPresent = TRUE;
        poll.dwRuntime = CNetSource::RuntimeOf(net);
        poll.bCritical = net.bCritical ? TRUE : FALSE;
        // The server or the dead time has weighed it already: no second poll is waited for.
        poll.bCriticalFirm = TRUE;
        poll.ullElapsedMs = ullNowMs - m_ullStageStartMs;
        return TRUE;
    }
    SOURCESTATE state;
    ULONGLONG ullTakenMs = 0;
    if (!m_Snapshot.ReadNew(ullNowMs, &m_ullSnapshotSeq, &state, &ullTakenMs)) {
        return FALSE;
    }
    poll.bLineOff = state.bLineOff;
    poll.bBatteryPresent = state.bPresent;
    poll.dwRuntime = state.dwRuntime;
    poll.bCritical = state.bCritical;
    // Timed by the reading, not by this poll: a deadline counts from when the device said it.
    poll.ullElapsedMs = (ullTakenMs > m_ullStageStartMs) ? ullTakenMs - m_ullStageStartMs : 0;
    return TRUE;
}

void CUPSWatch::ArmEarlyTimer(ULONGLONG ullElapsedMs)
{
    LOG_FUNCTION(L"CUPSWatch::ArmEarlyTimer");
    const ULONGLONG ullAt = m_Rules.Deadline();
    if (ullAt == m_ullEarlyAtMs) {
        return;
    }
    StopTimer(m_uEarlyTimer);
    m_ullEarlyAtMs = ullAt;
    if (ullAt == CEarlyS4Rules::kNoDeadline) {
        LOG_TRACE(LOG_EVENT, FN, L"Early hibernation withdrawn.");
        return;
    }
    const ULONGLONG ullDelay = (ullAt > ullElapsedMs) ? ullAt - ullElapsedMs : 0;
    const UINT uDelay = (ullDelay < USER_TIMER_MINIMUM) ? USER_TIMER_MINIMUM : static_cast<UINT>(ullDelay);
    m_uEarlyTimer = ::SetTimer(NULL, kEarlyTimerId, uDelay, NULL);
    LOG_TRACE(LOG_EVENT, FN, L"Early hibernation in %u ms: cause %u, runtime %u s.", uDelay, m_Rules.Cause(),
              m_Rules.Runtime());
}

void CUPSWatch::SignalS4(DWORD dwCause)
{
    LOG_FUNCTION(L"CUPSWatch::SignalS4");
    // Published before the event: whoever wakes on it reads this cause, not the one before.
    ::InterlockedExchange64(&s_llS4Cause, PackCause(dwCause, m_Rules.Runtime()));
    LOG_TRACE(LOG_EVENT, FN, L"S4: cause %u, runtime %u s.", dwCause, m_Rules.Runtime());
    StopTimer(m_uHibernateTimer);
    StopTimer(m_uEarlyTimer);
    // The watch is over before anyone hears of it: a start request that follows the signal at
    // once begins a new watch instead of keeping this one, which ends without another signal.
    SetWatching(FALSE);
    if (m_hS4Event != NULL) {
        ::SetEvent(m_hS4Event);
    }
}
