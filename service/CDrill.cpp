#include "CDrill.h"

#include "CLog.h"
#include "CUpsLink.h"
#include "Notify.h"
#include "CTokenPrivilege.h"

namespace {

// How often the line is looked at while the drill waits: a real loss takes over within this.
const DWORD kLinePollMs = 100;

bool IsLineOff()
{
    SYSTEM_POWER_STATUS status = {};
    return ::GetSystemPowerStatus(&status) && status.ACLineStatus == AC_LINE_OFFLINE;
}

DWORD MsSince(ULONGLONG ullStart)
{
    return static_cast<DWORD>(::GetTickCount64() - ullStart);
}

}  // namespace

CDrill::CDrill()
    : m_pHost(NULL),
      m_Times(),
      m_dwSerial(0),
      m_bClosed(false),
      m_lRunning(0),
      m_lCounting(0),
      m_lWarned(0)
{
}

CDrill::~CDrill()
{
    Cancel();
}

DWORD CDrill::Start(IDrillHost* pHost, const DRILLTIMES& times)
{
    CSrwLock::CGuard guard(m_Lock);
    DRILLANSWER answer = {};
    CDrillReport::LoadAnswer(&answer);
    DRILLRESULT last = {};
    CDrillReport::Load(&last, NULL, 0);
    ++answer.dwRequests;
    answer.dwDrill = last.dwSerial + 1;
    answer.dwAnswer = StartLocked(pHost, times, answer.dwDrill);
    CDrillReport::SaveAnswer(answer);
    return answer.dwAnswer;
}

DWORD CDrill::StartLocked(IDrillHost* pHost, const DRILLTIMES& times, DWORD dwSerial)
{
    static const WCHAR FN[] = L"CDrill::Start";
    if (m_bClosed || IsRunning() || IsLineOff()) {
        LOG_TRACE(LOG_EVENT, FN, L"Drill refused: busy.");
        return ERROR_BUSY;
    }
    m_Thread.Finalize();  // the thread of the previous drill, ended by now
    m_pHost = pHost;
    m_Times = times;
    m_dwSerial = dwSerial;
    ::InterlockedExchange(&m_lRunning, 1);
    const DWORD dwRet = m_Thread.Initialize(ThreadProc, this);
    if (dwRet != ERROR_SUCCESS) {
        ::InterlockedExchange(&m_lRunning, 0);
    }
    LOG_TRACE(LOG_EVENT, FN, L"Drill started: %d", dwRet);
    return dwRet;
}

void CDrill::Cancel()
{
    CSrwLock::CGuard guard(m_Lock);
    m_Thread.Finalize();
}

void CDrill::Close()
{
    CSrwLock::CGuard guard(m_Lock);
    m_bClosed = true;
    m_Thread.Finalize();
}

void CDrill::OnDelivered(DWORD dwCode)
{
    if (dwCode == NOTIFY_AC_LOST && m_lCounting != 0) {
        ::InterlockedIncrement(&m_lWarned);
    }
}

DWORD CDrill::ThreadProc(LPVOID lpData)
{
    CDrill* pThis = static_cast<CDrill*>(lpData);
    pThis->Run();
    ::InterlockedExchange(&pThis->m_lRunning, 0);
    return 0;
}

void CDrill::Run()
{
    DRILLRESULT result = {};
    result.dwAcLostDeadlineMs = m_Times.dwFlickerMs;
    result.dwHibernateDeadlineMs = m_Times.dwFlickerMs + m_Times.dwBeforeHibernateMs;
    result.dwBatteryThreshold = m_Times.dwBatteryLifePercent;
    result.dwRuntimeNeeded = m_Times.dwRuntimeNeeded;
    const ULONGLONG ullStart = ::GetTickCount64();
    bool bDone = WaitUntil(ullStart + result.dwAcLostDeadlineMs);
    if (bDone) {
        result.dwRegistered = m_pHost->DrillRegisteredCount();
        ::InterlockedExchange(&m_lWarned, 0);
        ::InterlockedExchange(&m_lCounting, 1);
        m_pHost->DrillAcLoss();
        result.dwAcLostMs = MsSince(ullStart);
        bDone = WaitUntil(ullStart + result.dwHibernateDeadlineMs);
    }
    ::InterlockedExchange(&m_lCounting, 0);
    result.dwWarned = static_cast<DWORD>(m_lWarned);
    if (bDone) {
        result.dwHibernateMs = MsSince(ullStart);
        bDone = ReadSource(&result);
    }
    if (bDone) {
        CheckHibernation(&result);
        m_pHost->DrillNotify(NOTIFY_AC_RESTORED);
    } else {
        result.dwResult = ERROR_OPERATION_ABORTED;
    }
    Finish(&result);
}

// TRUE at the deadline; FALSE as soon as the line is off or the drill is cancelled.
bool CDrill::WaitUntil(ULONGLONG ullDeadline)
{
    const HANDLE hTerminate = m_Thread.GetTerminateEvent();
    for (;;) {
        if (IsLineOff()) {
            return false;
        }
        const ULONGLONG ullNow = ::GetTickCount64();
        if (ullNow >= ullDeadline) {
            return true;
        }
        const DWORD dwWait = static_cast<DWORD>(
            ullDeadline - ullNow < kLinePollMs ? ullDeadline - ullNow : kLinePollMs);
        if (::WaitForSingleObject(hTerminate, dwWait) != WAIT_TIMEOUT) {
            return false;
        }
    }
}

// The source as the library sees it at the deadline. FALSE when the drill ends meanwhile; a
// source that cannot be read is reported with its error and an unknown runtime.
bool CDrill::ReadSource(DRILLRESULT* pResult)
{
    WATCHSOURCE source = { sizeof(WATCHSOURCE), WATCHSOURCE_NONE, BATTERY_PERCENTAGE_UNKNOWN,
                           WATCH_UNKNOWN_RUNTIME, FALSE };
    const DWORD dwRet = m_pHost->DrillReadSource(m_Thread.GetTerminateEvent(), &source);
    if (dwRet == ERROR_OPERATION_ABORTED) {
        return false;
    }
    pResult->dwSourceError = dwRet;
    pResult->dwSourceKind = source.dwKind;
    pResult->dwRuntime = dwRet == ERROR_SUCCESS ? source.dwRuntime : WATCH_UNKNOWN_RUNTIME;
    if (dwRet == ERROR_SUCCESS) {
        pResult->dwSourcePercent = source.dwPercent;
        pResult->dwLink = source.dwLink;
        ::CopyMemory(pResult->szUpsStatus, source.szStatus, sizeof(pResult->szUpsStatus));
        pResult->szUpsStatus[ARRAYSIZE(pResult->szUpsStatus) - 1] = L'\0';
    }
    return true;
}

// Everything the hibernation call would need, instead of the call.
void CDrill::CheckHibernation(DRILLRESULT* pResult)
{
    CTokenPrivilege shutdown;
    pResult->dwPrivilegeError = shutdown.Enable(SE_SHUTDOWN_NAME);
    pResult->bS4Available = m_pHost->DrillS4Available() ? TRUE : FALSE;
    SYSTEM_POWER_STATUS status = {};
    ::GetSystemPowerStatus(&status);
    if (status.BatteryFlag == BATTERY_FLAG_UNKNOWN) {
        pResult->dwBattery = DRILL_BATTERY_UNKNOWN;
    } else {
        pResult->dwBattery = (status.BatteryFlag & BATTERY_FLAG_NO_BATTERY) != 0 ? DRILL_BATTERY_NONE
                                                                                 : DRILL_BATTERY_PRESENT;
    }
    pResult->dwBatteryPercent = status.BatteryLifePercent;
    // A network UPS that powers the PC is its battery, as for the service's presence check.
    if (pResult->dwSourceKind == WATCHSOURCE_NETWORK_UPS && CUpsLink::IsPowering(pResult->dwLink)) {
        pResult->dwBattery = DRILL_BATTERY_PRESENT;
        pResult->dwBatteryPercent = pResult->dwSourcePercent;
    }
    pResult->dwResult = CDrillReport::Verdict(*pResult);
}

void CDrill::Finish(DRILLRESULT* pResult)
{
    static const WCHAR FN[] = L"CDrill::Finish";
    pResult->dwSerial = m_dwSerial;
    WCHAR szText[1024];
    CDrillReport::Format(*pResult, szText, ARRAYSIZE(szText));
    const DWORD dwSave = CDrillReport::Save(*pResult, szText);
    m_pHost->DrillReportEvent(CDrillReport::EventId(*pResult), szText);
    LOG_TRACE(LOG_EVENT, FN, L"Drill ended: %d (saved: %d)", pResult->dwResult, dwSave);
}
