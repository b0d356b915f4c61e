#include "CSessionLock.h"

#include "CLog.h"
#include "SdkCompat.h"

#include <wtsapi32.h>

namespace {

// One piece of information about the current session; FALSE (logged) when it cannot be had.
template <typename T>
BOOL QuerySession(WTS_INFO_CLASS infoClass, LPCWSTR lpszBuffer, T* pValue,
                  T (*pick)(LPWSTR lpBuffer))
{
    LOG_FUNCTION(L"QuerySession");
    LPWSTR lpBuffer = NULL;
    DWORD cb = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, infoClass,
                                       &lpBuffer, &cb)) {
        LOG_TRACE(LOG_EVENT, FN, L"Error In WTSQuerySessionInformation: %d", ::GetLastError());
        return FALSE;
    }
    if (lpBuffer == NULL) {
        LOG_NULL_ARG_VOID(LOG_API, FN, lpszBuffer);
        return FALSE;
    }
    *pValue = pick(lpBuffer);
    ::WTSFreeMemory(lpBuffer);
    return TRUE;
}

int PickConnectState(LPWSTR lpBuffer)
{
    return *reinterpret_cast<WTS_CONNECTSTATE_CLASS*>(lpBuffer);
}

LONG PickSessionFlags(LPWSTR lpBuffer)
{
    return reinterpret_cast<WTSINFOEXW*>(lpBuffer)->Data.WTSInfoExLevel1.SessionFlags;
}

}  // namespace

void CSessionLock::Initialize()
{
    LOG_FUNCTION(L"CSessionLock::Initialize");
    int nConnectState = 0;
    LONG lSessionFlags = 0;
    if (!QuerySession(WTSConnectState, L"pState", &nConnectState, PickConnectState) ||
        !QuerySession(WTSSessionInfoEx, L"pInfoEx", &lSessionFlags, PickSessionFlags)) {
        return;
    }
    OSVERSIONINFOEXW version = { sizeof(version) };
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    const DWORDLONG ullMask = ::VerSetConditionMask(::VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL),
                                                    VER_MINORVERSION, VER_EQUAL);
    const BOOL bWin61 = ::VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, ullMask);
    m_nCount = CountOf(nConnectState, lSessionFlags, bWin61);
    LOG_TRACE(LOG_EVENT, FN, L"m_nSessionLockCnt = %d", m_nCount);
}

int CSessionLock::CountOf(int nConnectState, LONG lSessionFlags, BOOL bWin61)
{
    LOG_FUNCTION(L"CSessionLock::CountOf");
    int nCount = 0;
    if (nConnectState != WTSActive) {
        LOG_TRACE(LOG_EVENT, FN, L"NOT WTSActive");
        ++nCount;
    }
    const LONG lUnlocked = bWin61 ? 0 : WTS_SESSIONSTATE_UNLOCK;
    if (lSessionFlags != lUnlocked) {
        LOG_TRACE(LOG_EVENT, FN, L"NOT UNLOCK");
        ++nCount;
    }
    return nCount;
}

CSessionLock::Change CSessionLock::Apply(WPARAM wEvent, LPARAM lSession)
{
    DWORD dwOwnSession = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &dwOwnSession) ||
        static_cast<DWORD>(lSession) != dwOwnSession) {
        return CHANGE_NONE;
    }
    switch (wEvent) {
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
    case WTS_SESSION_UNLOCK:
        --m_nCount;
        return CHANGE_UNLOCKED;
    case WTS_CONSOLE_DISCONNECT:
    case WTS_REMOTE_DISCONNECT:
    case WTS_SESSION_LOCK:
        ++m_nCount;
        return CHANGE_LOCKED;
    case WTS_SESSION_LOGOFF:
        return CHANGE_LOGOFF;
    default:
        return CHANGE_NONE;
    }
}
