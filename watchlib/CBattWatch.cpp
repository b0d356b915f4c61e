#include "CBattWatch.h"

#include "CLog.h"

namespace {

const UINT_PTR kPollTimerId = 3;
const UINT kPollPeriodMs = 500;
// While the first battery cannot be read, the list of batteries is read again this often.
const ULONGLONG kReEnumerateMs = 2000;

void SignalIfSet(HANDLE hEvent)
{
    if (hEvent != NULL) {
        ::SetEvent(hEvent);
    }
}

}  // namespace

CBattWatch::CBattWatch(CSourceSnapshot& snapshot, const CNetSource& net)
    : m_Snapshot(snapshot),
      m_Net(net),
      m_hBattLowEvent(NULL),
      m_hBattHighEvent(NULL),
      m_dwBatteryLifePercent(0),
      m_uPollTimer(0),
      m_ullEnumeratedMs(0)
{
}

CBattWatch::~CBattWatch()
{
    // The thread reads this object's members: it ends before they go.
    m_Thread.Finalize();
}

DWORD CBattWatch::Initialize(LPWATCHDATA lpData)
{
    static const WCHAR FN[] = L"CBattWatch::Initialize";
    LOG_ENTER(LOG_API, FN);
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lpData");
    }
    m_Battery.Initialize();
    m_ullEnumeratedMs = ::GetTickCount64();
    m_hBattLowEvent = lpData->hBattLowEvent;
    m_hBattHighEvent = lpData->hBattHighEvent;
    m_dwBatteryLifePercent = lpData->dwBatteryLifePercent;

    m_Thread.Finalize();
    StartThread(ThreadProc, this);
    return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
}

DWORD CBattWatch::ThreadProc(LPVOID lParam)
{
    static const WCHAR FN[] = L"CBattWatch::ThreadProc";
    LOG_ENTER(LOG_API, FN);
    if (lParam == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lParam");
    }
    CBattWatch* pThis = static_cast<CBattWatch*>(lParam);
    // A thread timer: the system picks the id, the requested one is ignored.
    pThis->m_uPollTimer = ::SetTimer(NULL, kPollTimerId, kPollPeriodMs, NULL);
    pThis->RunTimerLoop(FN, OnThreadTimer, pThis);
    if (pThis->m_uPollTimer != 0) {
        ::KillTimer(NULL, pThis->m_uPollTimer);
        pThis->m_uPollTimer = 0;
    }
    return LOG_RESULT(LOG_API, FN, ERROR_SUCCESS);
}

bool CBattWatch::OnThreadTimer(LPVOID lpData, UINT_PTR uTimerId)
{
    CBattWatch* pThis = static_cast<CBattWatch*>(lpData);
    if (pThis->m_uPollTimer != 0 && uTimerId == pThis->m_uPollTimer) {
        pThis->Poll();
    }
    return true;
}

void CBattWatch::Poll()
{
    // The level first: its events keep their pace whatever the snapshot's reads cost.
    if (!PollNetLevel()) {
        PollLocalLevel();
    }
    if (m_Snapshot.IsWanted()) {
        PublishSource();
    }
}

void CBattWatch::PollLocalLevel()
{
    static const WCHAR FN[] = L"CBattWatch::PollLocalLevel";
    DWORD dwPercent = 0;
    const DWORD dwRet = m_Battery.GetLifePercent(0, &dwPercent);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"error occurred. code: %d", dwRet);
        EnumerateAgain(dwRet);
        return;
    }
    SignalLevel(dwPercent >= m_dwBatteryLifePercent || IsDuringPKSOrBattRefresh());
}

void CBattWatch::SignalLevel(BOOL bHigh)
{
    SignalIfSet(bHigh ? m_hBattHighEvent : m_hBattLowEvent);
}

// This thread is the one that may wait on the battery's driver: what it reads here is all the
// AC-line watcher's poll gets to see.
void CBattWatch::PublishSource()
{
    BATTREADING reading;
    const DWORD dwRet = m_Battery.ReadSource(0, &reading);
    SOURCESTATE state;
    state.bPresent = CBattery::IsGone(dwRet) ? FALSE : TRUE;
    state.dwPercent = reading.dwPercent;
    state.dwRuntime = reading.dwRuntime;
    state.bCritical = reading.bCritical;
    state.bLineOff = GetACDCState();
    m_Snapshot.Publish(state, ::GetTickCount64());
    if (CBattery::IsGone(dwRet)) {
        // A UPS back on USB may come under another path or slot: the list is read again.
        EnumerateAgain(dwRet);
    }
}

BOOL CBattWatch::PollNetLevel()
{
    NetUpsSnapshot net;
    if (!m_Net.ReadActive(net)) {
        return FALSE;
    }
    // An unknown charge gives no level event, as a battery that cannot be read gives none.
    if (net.nPercent >= 0) {
        SignalLevel(static_cast<DWORD>(net.nPercent) >= m_dwBatteryLifePercent);
    }
    return TRUE;
}

// No battery, or one that cannot be opened or read: an automatic-start service may run before the
// battery's device is there at boot, and a battery may be inserted later. Reading the list again
// now and then lets the level be polled once it is there. A capacity that is only unknown for now
// belongs to a battery that is there.
void CBattWatch::EnumerateAgain(DWORD dwError)
{
    const ULONGLONG ullNow = ::GetTickCount64();
    if (dwError == ERROR_INVALID_DATA || ullNow - m_ullEnumeratedMs < kReEnumerateMs) {
        return;
    }
    m_ullEnumeratedMs = ullNow;
    m_Battery.Initialize();
}
