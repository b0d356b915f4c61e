#include "CUPSWatch.h"

#include "CLog.h"

namespace {

const UINT_PTR kFlickerTimerId = 1;
const UINT_PTR kHibernateTimerId = 2;

void StopTimer(UINT_PTR& uTimer)
{
    if (uTimer != 0) {
        ::KillTimer(NULL, uTimer);
    }
    uTimer = 0;
}

}  // namespace

CUPSWatch::CUPSWatch()
    : m_hACLossEvent(NULL),
      m_hS4Event(NULL),
      m_hACOnEvent(NULL),
      m_dwPowerFlickerTime(0),
      m_dwHibernateAfter(0),
      m_dwAlarmTime(0),
      m_dwShowBalloonWait(0),
      m_bWatching(FALSE),
      m_uFlickerTimer(0),
      m_uHibernateTimer(0)
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
    // The thread is gone, even one that had to be killed: the next start begins a fresh wait.
    SetWatching(FALSE);
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
}

// The line as the flicker wait ends. Judged under the same lock as a start request's judgement,
// so that a line found back here ends the watch before any later request can count on it.
BOOL CUPSWatch::IsLineStillOff()
{
    CSrwLock::CGuard guard(m_StateLock);
    const BOOL bDC = GetACDCState();
    if (!bDC) {
        m_bWatching = FALSE;
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
    // Thread timers: the system picks the ids, the requested ones are ignored.
    pThis->m_uFlickerTimer = ::SetTimer(NULL, kFlickerTimerId, pThis->m_dwPowerFlickerTime * 1000, NULL);
    pThis->m_uHibernateTimer = 0;
    pThis->RunTimerLoop(FN, OnThreadTimer, pThis);
    // Stopped from outside: the timers still pending die here, nothing is signalled.
    StopTimer(pThis->m_uFlickerTimer);
    StopTimer(pThis->m_uHibernateTimer);
    pThis->SetWatching(FALSE);
    return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
}

bool CUPSWatch::OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId)
{
    return static_cast<CUPSWatch*>(lpData)->OnTimer(uTimerId);
}

bool CUPSWatch::OnTimer(UINT_PTR uId)
{
    if (m_uFlickerTimer != 0 && uId == m_uFlickerTimer) {
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
        return true;
    }
    if (m_uHibernateTimer != 0 && uId == m_uHibernateTimer) {
        StopTimer(m_uHibernateTimer);
        if (m_hS4Event != NULL) {
            ::SetEvent(m_hS4Event);
        }
        return false;
    }
    // Any other timer message is dropped.
    return true;
}
