#include "CDllClass.h"

#include "CLog.h"

CDllClass* g_pDllObj = NULL;

CDllClass::CDllClass(CNetSource& net) : m_Net(net), m_BattWatch(m_Snapshot, net), m_UPSWatch(m_Snapshot, net)
{
    static const WCHAR FN[] = L"CDllClass::CDllClass";
    LOG_ENTER(LOG_API, FN);
    ZeroMemory(&m_Data, sizeof(m_Data));
    LOG_EXIT(LOG_API, FN);
}

CDllClass::~CDllClass()
{
    static const WCHAR FN[] = L"CDllClass::~CDllClass";
    LOG_ENTER(LOG_API, FN);
    LOG_EXIT(LOG_API, FN);
}

DWORD CDllClass::Initialize(LPWATCHDATA lpData)
{
    static const WCHAR FN[] = L"CDllClass::Initialize";
    LOG_ENTER(LOG_API, FN);
    if (lpData == NULL) {
        return LOG_NULL_ARG(LOG_API, FN, L"lpData");
    }
    CopyMemory(&m_Data, lpData, sizeof(m_Data));
    // Connecting while the watchers start: the first answer comes the sooner.
    m_Net.Start();

    DWORD dwRet = m_BattWatch.Initialize(&m_Data);
    if (dwRet != ERROR_SUCCESS) {
        m_Net.Stop();
        LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", dwRet);
        return dwRet;
    }
    dwRet = m_UPSWatch.Initialize(&m_Data);
    if (dwRet != ERROR_SUCCESS) {
        m_BattWatch.Finalize();
        m_Net.Stop();
        LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", dwRet);
        return dwRet;
    }
    LOG_EXIT(LOG_API, FN);
    return ERROR_SUCCESS;
}

void CDllClass::Finalize()
{
    static const WCHAR FN[] = L"CDllClass::Finalize";
    LOG_ENTER(LOG_API, FN);
    m_BattWatch.Finalize();
    m_UPSWatch.Finalize();
    // Last: the watchers read it until they are gone.
    m_Net.Stop();
    LOG_EXIT(LOG_API, FN);
}

void CDllClass::StartUPSWatch()
{
    static const WCHAR FN[] = L"CDllClass::StartUPSWatch";
    LOG_ENTER(LOG_API, FN);
    const DWORD dwRet = m_UPSWatch.Initialize(&m_Data);
    if (dwRet != ERROR_SUCCESS) {
        LOG_TRACE(LOG_API, FN, L"Exit retval:%08x", dwRet);
        return;
    }
    LOG_EXIT(LOG_API, FN);
}

void CDllClass::StopUPSWatch()
{
    static const WCHAR FN[] = L"CDllClass::StopUPSWatch";
    LOG_ENTER(LOG_API, FN);
    m_UPSWatch.Finalize();
    LOG_EXIT(LOG_API, FN);
}

DWORD CDllClass::GetWatchSource(LPWATCHSOURCE lpSource)
{
    if (m_Net.Fill(*lpSource)) {
        return ERROR_SUCCESS;
    }
    return m_UPSWatch.ReadSource(lpSource);
}
