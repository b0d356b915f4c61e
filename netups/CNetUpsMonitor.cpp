#include "CNetUpsMonitor.h"

#include "CLog.h"

namespace {

// How long LOGOUT may take at the end; the stop event cuts it shorter still.
const DWORD kLogoutMs = 1000;

const WCHAR* LinkName(UpsLink link)
{
    static const WCHAR* const kNames[] = {L"starting", L"online",      L"holding",     L"lost",
                                          L"unreachable", L"denied", L"unknown UPS"};
    return (link >= 0 && link < static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) ? kNames[link] : L"?";
}

// The setting as the ASCII the protocol carries; characters beyond it become '?'.
std::string Narrow(LPCWSTR lpszText)
{
    std::string text;
    for (; lpszText != NULL && *lpszText != L'\0'; ++lpszText) {
        text += (*lpszText > L' ' && *lpszText <= L'~') ? static_cast<char>(*lpszText) : '?';
    }
    return text;
}

}  // namespace

CNetUpsMonitor::CNetUpsMonitor()
    : m_dwDeadTime(NETUPS_DEADTIME_DEFAULT), m_hChanged(NULL), m_pSocket(NULL), m_Snapshot()
{
    m_Snapshot.link = UpsLinkStarting;
    m_Snapshot.nPercent = NETUPS_UNKNOWN;
    m_Snapshot.nRuntime = NETUPS_UNKNOWN;
}

CNetUpsMonitor::~CNetUpsMonitor()
{
    Finalize();
}

DWORD CNetUpsMonitor::Initialize(const NetUpsSettings& settings, HANDLE hChanged, IUpsSocket* pSocket)
{
    LOG_FUNCTION(L"CNetUpsMonitor::Initialize");
    if (!m_Target.Parse(settings.lpszMonitor)) {
        LOG_TRACE(LOG_EVENT, FN, L"not a UPS and host: %s", settings.lpszMonitor ? settings.lpszMonitor : L"");
        return ERROR_INVALID_PARAMETER;
    }
    m_User = Narrow(settings.lpszUser);
    m_Password = Narrow(settings.lpszPassword);
    m_dwDeadTime = settings.dwDeadTime;
    m_hChanged = hChanged;
    m_pSocket = pSocket;
    const DWORD dwRet = m_Thread.Initialize(ThreadFunc, this);
    LOG_TRACE(LOG_API, FN, L"%S@%S:%u, result %u", m_Target.GetUpsName(), m_Target.GetHost(),
              m_Target.GetPort(), dwRet);
    return dwRet;
}

void CNetUpsMonitor::Finalize()
{
    m_Thread.Finalize();
    // The thread and its session are gone: the password is needed no more.
    if (!m_Password.empty()) {
        ::SecureZeroMemory(&m_Password[0], m_Password.size());
    }
    m_Password.clear();
}

void CNetUpsMonitor::GetSnapshot(NetUpsSnapshot& snapshot) const
{
    CSrwLock::CGuard guard(m_Lock);
    snapshot = m_Snapshot;
}

DWORD CNetUpsMonitor::ThreadFunc(LPVOID lpData)
{
    CNetUpsMonitor* pThis = static_cast<CNetUpsMonitor*>(lpData);
    if (pThis->m_pSocket != NULL) {
        pThis->Run(*pThis->m_pSocket);
        return 0;
    }
    std::unique_ptr<IUpsSocket> socket = CreateUpsSocket(pThis->m_Thread.GetTerminateEvent());
    pThis->Run(*socket);
    return 0;
}

void CNetUpsMonitor::Run(IUpsSocket& socket)
{
    CUpsLinkRules rules(m_dwDeadTime);
    CUpsSession session(socket, m_Target, m_User, m_Password);
    const HANDLE hStop = m_Thread.GetTerminateEvent();
    for (;;) {
        const ULONGLONG ullNow = ::GetTickCount64();
        if (rules.IsDue(ullNow)) {
            Round(session, rules);
        } else {
            rules.OnTick(ullNow);
            Publish(rules, false);
        }
        if (::WaitForSingleObject(hStop, rules.GetWaitMs(::GetTickCount64())) != WAIT_TIMEOUT) {
            break;
        }
    }
    session.Close(kLogoutMs);
}

void CNetUpsMonitor::Round(CUpsSession& session, CUpsLinkRules& rules)
{
    std::string word;
    UpsFailure failure = session.IsOpen() ? UpsFailNone : session.Open(word);
    UpsReading reading = {};
    if (failure == UpsFailNone) {
        failure = session.Poll(reading, word);
    }
    const ULONGLONG ullNow = ::GetTickCount64();
    const bool bChanged = (failure == UpsFailNone) ? rules.OnReading(ullNow, reading)
                                                   : rules.OnFailure(ullNow, failure, word.c_str());
    Publish(rules, bChanged);
}

void CNetUpsMonitor::Publish(const CUpsLinkRules& rules, bool bChanged)
{
    LOG_FUNCTION(L"CNetUpsMonitor::Publish");
    const NetUpsSnapshot& snapshot = rules.GetSnapshot();
    bool bWasCritical = false;
    bool bWasLineOff = false;
    {
        CSrwLock::CGuard guard(m_Lock);
        bWasCritical = m_Snapshot.bCritical;
        bWasLineOff = m_Snapshot.bLineOff;
        m_Snapshot = snapshot;
    }
    // The line and the critical flag are what a reader acts on: their changes are told too, not
    // every round (one every 2 s would flood the log and wake the reader for nothing).
    const bool bTold = bChanged || bWasCritical != snapshot.bCritical || bWasLineOff != snapshot.bLineOff;
    if (bTold) {
        LOG_TRACE(LOG_EVENT, FN, L"link %s%s%s (%s), status \"%s\"", LinkName(snapshot.link),
                  snapshot.bLineOff ? L", on battery" : L"", snapshot.bCritical ? L", critical" : L"",
                  snapshot.szError, snapshot.szStatus);
    }
    if (bTold && m_hChanged != NULL) {
        ::SetEvent(m_hChanged);
    }
}
