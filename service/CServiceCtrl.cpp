#include "CServiceCtrl.h"

#include "CDrillCommand.h"
#include "CLog.h"
#include "CSettings.h"
#include "CSourceReading.h"
#include "CTokenPrivilege.h"
#include "CUpsConfig.h"
#include "CWatchEvents.h"
#include "MIRELMSG.h"
#include "Notify.h"
#include "ScopedHandle.h"
#include "SdkCompat.h"

#include <powrprof.h>
#include <stdlib.h>


namespace {

const WCHAR kEventSource[] = MIREL_SERVICE_NAME;

// Time the last notification (NOTIFY_SERVICE_STOPPED) gets to reach the clients at a stop.
const DWORD kStopDrainMs = 4000;

// Pause between two attempts to serve the pipes while another process holds their names.
const DWORD kPipeRetryMs = 2000;

// How long a drill waits for the library's reading of the power source: a device that answers
// later is reported as unread, well within the time the drill command waits for the result.
const DWORD kSourceReadingMs = 10000;

LPCWSTR EventName(DWORD dwIndex)
{
    static const LPCWSTR kNames[] = {
        L"EVTINDEX_TERMINATE", L"EVTINDEX_BATTLO", L"EVTINDEX_BATTHI",
        L"EVTINDEX_ACON",      L"EVTINDEX_ACLOSS", L"EVTINDEX_S4",
        L"EVTINDEX_SOURCE",
    };
    return dwIndex < EVTINDEX_COUNT ? kNames[dwIndex] : L"";
}

}  // namespace

CServiceCtrl::CServiceCtrl()
    : m_lSourceChanged(0), m_Hibernation(m_Notifier), m_Alerts(m_Notifier, m_EventLog)
{
    ZeroMemory(&m_WatchData, sizeof(m_WatchData));
    ZeroMemory(&m_WatchOptions, sizeof(m_WatchOptions));
}

CServiceCtrl::~CServiceCtrl()
{
    static const WCHAR FN[] = L"CServiceCtrl::~CServiceCtrl";
    LOG_ENTER(LOG_DETAIL, FN);
    LOG_EXIT(LOG_DETAIL, FN);
}

BOOL CServiceCtrl::ArgCheck(DWORD dwArgc, LPWSTR* lpszArgv, LPDWORD lpdwRet)
{
    static const WCHAR FN[] = L"CServiceCtrl::ArgCheck";
    LOG_ENTER(LOG_API, FN);
    if (lpszArgv == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"lpszArgv");
        return FALSE;
    }
    if (lpdwRet == NULL) {
        LOG_NULL_ARG(LOG_API, FN, L"lpdwRet");
        return FALSE;
    }
    if (dwArgc == 2 && ::lstrcmpiW(lpszArgv[1], L"/DRILL") == 0) {
        *lpdwRet = CDrillCommand::Run(m_szServiceName);
        LOG_EXIT(LOG_API, FN);
        return TRUE;
    }
    if (dwArgc != 2 || ::lstrcmpiW(lpszArgv[1], L"/Install") != 0) {
        return CService::ArgCheck(dwArgc, lpszArgv, lpdwRet);
    }
    wchar_t* lpszPath = NULL;
    if (_get_wpgmptr(&lpszPath) == EINVAL || lpszPath == NULL) {
        *lpdwRet = EINVAL;
    } else {
        LPWSTR argv[3] = { lpszArgv[0], lpszArgv[1], lpszPath };
        CService::ArgCheck(3, argv, lpdwRet);
        // The password's key exists, closed to users, before an administrator writes into it:
        // one made by hand would inherit the settings key's read access for every user.
        if (*lpdwRet == ERROR_SUCCESS) {
            *lpdwRet = CUpsConfig::SecureCredentialsKey();
        }
    }
    LOG_EXIT(LOG_API, FN);
    return TRUE;
}

DWORD CServiceCtrl::InitializeWatchData()
{
    static const WCHAR FN[] = L"CServiceCtrl::InitializeWatchData";
    LOG_ENTER(LOG_DETAIL, FN);
    return LOG_RESULT(LOG_DETAIL, FN, CWatchEvents::Create(&m_WatchData, &m_WatchOptions));
}

DWORD CServiceCtrl::FinalizeWatchData()
{
    CWatchEvents::Close(&m_WatchData, &m_WatchOptions);
    return ERROR_SUCCESS;
}

BOOL CServiceCtrl::IsS4Supported()
{
    static const WCHAR FN[] = L"CServiceCtrl::IsS4Supported";
    SYSTEM_POWER_CAPABILITIES caps = {};
    if (!::GetPwrCapabilities(&caps)) {
        LOG_TRACE(LOG_EVENT, FN, L"GetPwrCapabilities Failed. Error %d", ::GetLastError());
        return FALSE;
    }
    // A reduced hibernation file serves only fast start-up; hibernating with it fails.
    return caps.SystemS4 && caps.HiberFilePresent &&
           MIREL_HIBERFILE_TYPE(caps) != HIBERFILE_TYPE_REDUCED;
}

// A network UPS that powers the PC is its battery, on a desktop that has none of its own; the link
// is the one last read off this thread, so the check never waits on the network.
bool CServiceCtrl::IsBatteryMissing()
{
    if (m_UpsLink.IsPowering()) {
        return false;
    }
    SYSTEM_POWER_STATUS status = {};
    ::GetSystemPowerStatus(&status);
    return status.BatteryFlag == BATTERY_FLAG_NO_BATTERY;
}

void CServiceCtrl::CheckBattery()
{
    static const WCHAR FN[] = L"CServiceCtrl::CheckBattery";
    if (IsBatteryMissing()) {
        LOG_TRACE(LOG_EVENT, FN, L"BATTERY_FLAG_NO_BATTERY");
        NotifyClients(NOTIFY_NO_BATTERY, 0);
    } else {
        LOG_TRACE(LOG_EVENT, FN, L"BATTERY_FLAG_OTHER");
        NotifyClients(NOTIFY_BATTERY_PRESENT, 0);
    }
}

// The restart's own reports (the line on) follow the ones queued here, as before.
void CServiceCtrl::StartWatch()
{
    if (IsS4Supported()) {
        NotifyClients(NOTIFY_S4_ENABLED, 0);
        m_WatchStarter.Request(RestartWatch, this);
    } else {
        NotifyClients(NOTIFY_S4_DISABLED, 0);
    }
}

// A hibernation begun since the request keeps its wait (see OnRcv). A change of the network UPS
// is met as a change of the power status is: its link read, the presence told, the watch restarted.
DWORD CServiceCtrl::RestartWatch(LPVOID lpData)
{
    CServiceCtrl* pThis = static_cast<CServiceCtrl*>(lpData);
    if (::InterlockedExchange(&pThis->m_lSourceChanged, 0) != 0) {
        pThis->ReadLink();
        pThis->CheckBattery();
    }
    if (pThis->m_Hibernation.IsIdle()) {
        MirelStartUPSWatch();
    }
    return ERROR_SUCCESS;
}

DWORD CServiceCtrl::StopWatch(LPVOID)
{
    MirelStopUPSWatch();
    return ERROR_SUCCESS;
}

// Runs on the main loop: the reading waits on the library, so it goes to the starter's thread.
void CServiceCtrl::OnSourceChanged()
{
    ::InterlockedExchange(&m_lSourceChanged, 1);
    m_WatchStarter.Request(RestartWatch, this);
}

// One entry per change of the link that an administrator must know of.
void CServiceCtrl::ReadLink()
{
    LOG_FUNCTION(L"CServiceCtrl::ReadLink");
    WATCHSOURCE source = {};
    source.cbSize = sizeof(source);
    const DWORD dwRet = MirelGetWatchSource(&source);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"MirelGetWatchSource failed:%u", dwRet);
        return;
    }
    source.szError[ARRAYSIZE(source.szError) - 1] = L'\0';
    const DWORD dwMessage = m_UpsLink.Update(source.dwLink);
    LOG_TRACE(LOG_EVENT, FN, L"Link %u, message %u", source.dwLink, dwMessage);
    if (dwMessage != 0) {
        m_EventLog.Report(dwMessage, source.szError);
    }
}

void CServiceCtrl::ApplyUpsSettings()
{
    LOG_FUNCTION(L"CServiceCtrl::ApplyUpsSettings");
    LPCWSTR lpszBadValue = L"";
    const DWORD dwRet = CWatchEvents::ReadUps(&m_WatchOptions, &lpszBadValue);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"%s cannot be read:%u", lpszBadValue, dwRet);
        m_EventLog.Report(MSG_UPS_SETTING_BAD, lpszBadValue);
    }
    m_UpsLink.Reset(m_WatchOptions.szUpsMonitor[0] != L'\0');
}

void CServiceCtrl::NotifyClients(DWORD dwNotify, DWORD dwValue)
{
    m_Notifier.Push(NotifyItem::Of(dwNotify, dwValue));
}

DWORD CServiceCtrl::BeforeMainLoop(SERVICE_STATUS_HANDLE)
{
    static const WCHAR FN[] = L"CServiceCtrl::BeforeMainLoop";
    LOG_ENTER(LOG_DETAIL, FN);
    m_EventLog.Open(kEventSource);
    ApplyUpsSettings();
    // Options the library refuses leave it without the reserve and the network UPS: it still
    // hibernates at the end of the wait, so this is no reason to stop the protection.
    const DWORD dwOptions = MirelSetWatchOptions(&m_WatchOptions);
    ::SecureZeroMemory(m_WatchOptions.szUpsPassword, sizeof(m_WatchOptions.szUpsPassword));
    if (dwOptions != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"MirelSetWatchOptions failed:%u", dwOptions);
    }
    DWORD dwRet = MirelInitialize(&m_WatchData);
    if (dwRet == ERROR_SUCCESS) {
        // The queues send through the pipe server; the drill counts what they deliver.
        dwRet = m_Notifier.Initialize(&m_PipeSv, &m_Drill);
    }
    if (dwRet == ERROR_SUCCESS) {
        m_EventLog.Report(MSG_SERVICE_STARTED);
        ServePipes();
    }
    return LOG_RESULT(LOG_DETAIL, FN, dwRet);
}

// The pipes only carry alerts: the library's watch hibernates without them. Names that another
// process holds (any user can create them while the service is down) cost one warning, and a
// thread of their own tries again until they are free, away from the main loop.
void CServiceCtrl::ServePipes()
{
    static const WCHAR FN[] = L"CServiceCtrl::ServePipes";
    const DWORD dwRet = m_PipeSv.Initialize(MIREL_PIPE_SUFFIX, OnRcv, this);
    if (dwRet == ERROR_SUCCESS) {
        return;
    }
    LOG_TRACE(LOG_EVENT, FN, L"Cannot serve the pipes:%u", dwRet);
    m_EventLog.Report(MSG_PIPES_UNAVAILABLE, dwRet);
    const DWORD dwThread = m_PipeRetry.Initialize(PipeRetryProc, this);
    if (dwThread != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"Cannot retry the pipes:%u", dwThread);
    }
}

DWORD CServiceCtrl::PipeRetryProc(LPVOID lpData)
{
    static const WCHAR FN[] = L"CServiceCtrl::PipeRetryProc";
    CServiceCtrl* pThis = static_cast<CServiceCtrl*>(lpData);
    const HANDLE hStop = pThis->m_PipeRetry.GetTerminateEvent();
    while (::WaitForSingleObject(hStop, kPipeRetryMs) == WAIT_TIMEOUT) {
        if (pThis->m_PipeSv.Initialize(MIREL_PIPE_SUFFIX, OnRcv, pThis) == ERROR_SUCCESS) {
            LOG_TRACE(LOG_EVENT, FN, L"Serving the pipes");
            break;
        }
    }
    return 0;
}

void CServiceCtrl::AfterMainLoop(SERVICE_STATUS_HANDLE)
{
    static const WCHAR FN[] = L"CServiceCtrl::AfterMainLoop";
    LOG_ENTER(LOG_DETAIL, FN);
    m_Drill.Close();
    // No attempt to serve the pipes runs while they are stopped.
    m_PipeRetry.Finalize();
    // A signalled abort event: whatever still waits in a pipe operation gives up at once.
    ScopedKernelHandle stopping(::CreateEventW(NULL, TRUE, TRUE, NULL));
    // Nobody registers from here on (a client finds no pipe and waits for the service to come
    // back); whoever registered since the stop began has the stop notice queued.
    m_PipeSv.StopRegistration(stopping.Get());
    // Whatever still waits is moot now, except telling the clients that the service stops.
    m_Notifier.Finalize(NOTIFY_SERVICE_STOPPED, kStopDrainMs);
    m_PipeSv.Finalize(stopping.Get());
    m_WatchStarter.Finalize();
    MirelFinalize();
    // A run that ended for a failure is an error an administrator must find.
    if (GetExitCode() != ERROR_SUCCESS) {
        m_EventLog.Report(MSG_SERVICE_FAILED, GetExitCode());
    } else {
        m_EventLog.Report(MSG_SERVICE_STOPPED);
    }
    m_EventLog.Close();
    LOG_EXIT(LOG_DETAIL, FN);
}

void CServiceCtrl::MainLoop(DWORD, LPWSTR*)
{
    static const WCHAR FN[] = L"CServiceCtrl::MainLoop";
    LOG_ENTER(LOG_DETAIL, FN);
    const HANDLE handles[EVTINDEX_COUNT] = {
        GetTerminateEvent(),        m_WatchData.hBattLowEvent, m_WatchData.hBattHighEvent,
        m_WatchData.hACOnEvent,     m_WatchData.hACLossEvent,  m_WatchData.hS4Event,
        m_WatchOptions.hSourceEvent,
    };
    for (;;) {
        const DWORD dwWait = ::WaitForMultipleObjects(EVTINDEX_COUNT, handles, FALSE, INFINITE);
        const DWORD dwIndex = dwWait - WAIT_OBJECT_0;
        if (dwIndex >= EVTINDEX_COUNT) {
            // Nothing watches the power any more: the run ends as a failure, so that Windows
            // restarts the service.
            const DWORD dwErr = (dwWait == WAIT_FAILED) ? ::GetLastError() : ERROR_ABANDONED_WAIT_0;
            SetExitCode(dwErr != ERROR_SUCCESS ? dwErr : ERROR_GEN_FAILURE);
            LOG_TRACE(LOG_EVENT, FN, L"Wait failed. Error %d", GetExitCode());
            break;
        }
        if (dwIndex == EVTINDEX_TERMINATE) {
            break;
        }
        LOG_TRACE(LOG_EVENT, FN, L"%s", EventName(dwIndex));
        switch (dwIndex) {
        case EVTINDEX_BATTLO: NotifyClients(NOTIFY_BATTERY_LOW, 0); break;
        case EVTINDEX_BATTHI: NotifyClients(NOTIFY_BATTERY_OK, 0); break;
        case EVTINDEX_ACON: OnAcRestored(); break;
        case EVTINDEX_ACLOSS: OnAcLoss(); break;
        case EVTINDEX_S4: OnHibernate(); break;
        case EVTINDEX_SOURCE: OnSourceChanged(); break;
        }
    }
    LOG_EXIT(LOG_DETAIL, FN);
}

// The notifications of an AC loss; whether hibernation is available.
bool CServiceCtrl::SendAcLoss()
{
    const bool bS4 = IsS4Supported() != FALSE;
    m_Alerts.SendAcLoss(bS4);
    return bS4;
}

// A drill gives way to the real loss.
void CServiceCtrl::OnAcLoss()
{
    m_Drill.Cancel();
    const bool bS4 = SendAcLoss();
    if (!bS4) {
        MirelStopUPSWatch();
    }
    m_Alerts.ReportAcLoss(bS4, bS4 && IsBatteryMissing());
}

// During a drill the line is on all along: the drill's own end tells the applications, as the
// line's return would end a real loss.
void CServiceCtrl::OnAcRestored()
{
    if (!m_Drill.IsRunning()) {
        m_Alerts.AcRestored();
    }
}

void CServiceCtrl::OnHibernate()
{
    m_Drill.Cancel();
    if (!IsS4Supported()) {
        m_Alerts.HibernationDisabled();
        return;
    }
    // Why the signal came, if before the wait ran out: the library answers from what it keeps,
    // without waiting on the device.
    WATCHCAUSE cause = { sizeof(WATCHCAUSE), WATCHCAUSE_TIMER, WATCH_UNKNOWN_RUNTIME };
    if (MirelGetS4Cause(&cause) == ERROR_SUCCESS) {
        m_Alerts.HibernationCause(cause);
    }
    m_Alerts.HibernationStarted();
    m_Alerts.HibernationEnded(Hibernate());
}

// The hibernation call; blocks while the PC hibernates and returns after the resume. The service
// account holds the shutdown privilege disabled, and the call refuses (1314) unless it is enabled:
// it is enabled in this thread's own token, and the call made on this thread meanwhile.
DWORD CServiceCtrl::Hibernate()
{
    static const WCHAR FN[] = L"CServiceCtrl::Hibernate";
    CTokenPrivilege shutdown;
    DWORD dwErr = shutdown.Enable(SE_SHUTDOWN_NAME);
    if (dwErr != ERROR_SUCCESS) {
        LOG_TRACE(LOG_EVENT, FN, L"Enabling SeShutdownPrivilege failed:%u", dwErr);
        return dwErr;
    }
    return m_Hibernation.Call();
}

DWORD CServiceCtrl::OnStop()
{
    static const WCHAR FN[] = L"CServiceCtrl::OnStop";
    LOG_ENTER(LOG_DETAIL, FN);
    m_Notifier.Stop(NotifyItem::Of(NOTIFY_SERVICE_STOPPED, 0));
    TerminateMainLoop();
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CServiceCtrl::OnUnknownEvent(DWORD dwControl, DWORD dwEventType)
{
    static const WCHAR FN[] = L"CServiceCtrl::OnUnknownEvent";
    if (dwControl != MIREL_CONTROL_DRILL) {
        return CService::OnUnknownEvent(dwControl, dwEventType);
    }
    const DRILLTIMES times = CWatchEvents::DrillTimes(m_WatchData, m_WatchOptions);
    return LOG_RESULT(LOG_EVENT, FN, m_Drill.Start(this, times));
}

DWORD CServiceCtrl::DrillReadSource(HANDLE hAbort, LPWATCHSOURCE pSource)
{
    return CSourceReading::Read(hAbort, kSourceReadingMs, pSource);
}

DWORD CServiceCtrl::OnPowerEvent(DWORD dwEventType, LPVOID)
{
    static const WCHAR FN[] = L"CServiceCtrl::OnPowerEvent";
    LOG_TRACE(LOG_DETAIL, FN, L"Event:%d", dwEventType);
    switch (dwEventType) {
    // A registration's restart still waiting must not start the watch again behind the stop.
    case PBT_APMSUSPEND:
        m_WatchStarter.Supersede(StopWatch, this);
        break;
    // Every resume brings PBT_APMRESUMEAUTOMATIC, and a wake without user input (a timer,
    // wake-on-LAN) brings nothing else: both restart the watch the suspension stopped.
    case PBT_APMRESUMEAUTOMATIC:
    case PBT_APMRESUMESUSPEND:
        MirelStartUPSWatch();
        CheckBattery();
        break;
    case PBT_APMPOWERSTATUSCHANGE:
        CheckBattery();
        MirelStartUPSWatch();
        break;
    }
    return NO_ERROR;
}

void CServiceCtrl::OnRcv(LPVOID lpObj, PPIPEEVENT pPipeEvt)
{
    static const WCHAR FN[] = L"CServiceCtrl::OnRcv";
    if (lpObj == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"lpObj");
        return;
    }
    if (pPipeEvt == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, L"pPipeEvt");
        return;
    }
    CServiceCtrl* pThis = static_cast<CServiceCtrl*>(lpObj);
    if (pPipeEvt->dwEvent == PIPEEVENT_CONNECTED) {
        pThis->m_Notifier.AddClient(pPipeEvt->dwCode);
        pThis->CheckBattery();
        if (pThis->m_Hibernation.IsIdle()) {
            pThis->StartWatch();
        } else {
            // Between the hibernation call and the first resume check a registration starts no
            // new wait (the resume's power events do): registering in a loop cannot make the PC
            // hibernate again the moment it resumes.
            pThis->NotifyClients(NOTIFY_S4_ENABLED, 0);
        }
    } else if (pPipeEvt->dwEvent == PIPEEVENT_DISCONNECTED) {
        pThis->m_Notifier.RemoveClient(pPipeEvt->dwCode);
    } else if (pPipeEvt->dwEvent == PIPEEVENT_DATA && pPipeEvt->dwDataSize == sizeof(DWORD)) {
        DWORD dwRequest = 0;
        pThis->m_PipeSv.GetReceivedData(&dwRequest, sizeof(dwRequest));
        if (dwRequest == REQUEST_RESUME_CHECK) {
            pThis->m_Hibernation.OnResumeCheck();
        }
    }
}
