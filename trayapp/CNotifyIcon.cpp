#include "CNotifyIcon.h"

#include "CLog.h"

#include <strsafe.h>

namespace {

const DWORD kVersionFull = 0x0600;
const DWORD kTimeoutPauseMs = 1000;

// A text field, cut to its size and always terminated; a NULL text leaves it as it is.
template <size_t N>
void CopyText(WCHAR (&field)[N], LPCWSTR lpszText)
{
    if (lpszText != NULL) {
        ::StringCchCopyW(field, N, lpszText);
    }
}

}  // namespace

CNotifyIcon::CNotifyIcon()
{
    Reset();
}

CNotifyIcon::~CNotifyIcon()
{
    Finalize();
}

NOTIFYICONDATAW* CNotifyIcon::Record()
{
    return (m_dwVersion >= kVersionFull) ? &m_nid : NULL;
}

DWORD CNotifyIcon::Initialize(DWORD dwVersion, HWND hWnd, UINT uID, UINT uFlags,
                              UINT uCallbackMessage, HICON hIcon, LPCWSTR lpszTip, UINT uTimeout,
                              LPCWSTR lpszInfo, LPCWSTR lpszInfoTitle, DWORD dwInfoFlags,
                              const GUID* guidItem, HICON hBalloonIcon)
{
    LOG_FUNCTION(L"CNotifyIcon::Initialize");
    LOG_ENTER(LOG_DETAIL, FN);
    if (m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_ALREADY_INITIALIZED);
    }
    m_dwVersion = dwVersion;
    NOTIFYICONDATAW* pNid = Record();
    if (pNid == NULL) {
        m_dwVersion = 0;
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_OLD_WIN_VERSION);
    }
    ZeroMemory(pNid, sizeof(*pNid));
    pNid->cbSize = sizeof(NOTIFYICONDATAW);
    pNid->hWnd = hWnd;
    pNid->uID = uID;
    pNid->uFlags = uFlags;
    pNid->uCallbackMessage = uCallbackMessage;
    pNid->hIcon = hIcon;
    pNid->uTimeout = uTimeout;
    pNid->dwInfoFlags = dwInfoFlags;
    if (guidItem != NULL) {
        pNid->guidItem = *guidItem;
    }
    pNid->hBalloonIcon = hBalloonIcon;
    CopyText(pNid->szTip, lpszTip);
    CopyText(pNid->szInfo, lpszInfo);
    CopyText(pNid->szInfoTitle, lpszInfoTitle);
    m_bInitialized = TRUE;
    m_bShown = FALSE;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

void CNotifyIcon::Finalize()
{
    LOG_FUNCTION(L"CNotifyIcon::Finalize");
    LOG_ENTER(LOG_DETAIL, FN);
    HideIcon();
    Reset();
    LOG_EXIT(LOG_DETAIL, FN);
}

void CNotifyIcon::Reset()
{
    ZeroMemory(&m_nid, sizeof(m_nid));
    m_bInitialized = FALSE;
    m_bShown = FALSE;
    m_dwVersion = 0;
}

DWORD CNotifyIcon::ShowIcon()
{
    LOG_FUNCTION(L"CNotifyIcon::ShowIcon");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    BOOL bShown = NotifyIcon(m_bShown ? NIM_MODIFY : NIM_ADD);
    if (!bShown && !m_bShown) {
        // A shell that kept our icon (a recreated notification area may) refuses a second add
        // but takes a modify: then the icon stands, and it can be removed again.
        bShown = NotifyIcon(NIM_MODIFY);
    }
    m_bShown = bShown ? TRUE : FALSE;
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CNotifyIcon::HideIcon()
{
    LOG_FUNCTION(L"CNotifyIcon::HideIcon");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    if (m_bShown && NotifyIcon(NIM_DELETE)) {
        m_bShown = FALSE;
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CNotifyIcon::SetBaloon(LPCWSTR lpszInfo, LPCWSTR lpszInfoTitle, DWORD dwInfoFlags,
                             UINT uTimeout, HICON hBalloonIcon)
{
    LOG_FUNCTION(L"CNotifyIcon::SetBaloon");
    LOG_ENTER(LOG_DETAIL, FN);
    if (!m_bInitialized) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_NOT_READY);
    }
    if (lpszInfo == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszInfo");
    }
    if (lpszInfoTitle == NULL) {
        return LOG_NULL_ARG(LOG_DETAIL, FN, L"lpszInfoTitle");
    }
    NOTIFYICONDATAW* pNid = Record();
    if (pNid == NULL) {
        return LOG_RESULT(LOG_DETAIL, FN, ERROR_OLD_WIN_VERSION);
    }
    CopyText(pNid->szInfo, lpszInfo);
    CopyText(pNid->szInfoTitle, lpszInfoTitle);
    pNid->dwInfoFlags = dwInfoFlags;
    pNid->uTimeout = uTimeout;
    pNid->hBalloonIcon = hBalloonIcon;
    if (m_bShown) {
        NotifyIcon(NIM_MODIFY);
    }
    return LOG_RESULT(LOG_DETAIL, FN, ERROR_SUCCESS);
}

DWORD CNotifyIcon::ShowBaloon()
{
    LOG_FUNCTION(L"CNotifyIcon::ShowBaloon");
    LOG_ENTER(LOG_DETAIL, FN);
    return LOG_RESULT(LOG_DETAIL, FN, ShowWithBalloon(TRUE));
}

// Note that this adds the icon when it was not shown.
DWORD CNotifyIcon::HideBaloon()
{
    LOG_FUNCTION(L"CNotifyIcon::HideBaloon");
    LOG_ENTER(LOG_DETAIL, FN);
    return LOG_RESULT(LOG_DETAIL, FN, ShowWithBalloon(FALSE));
}

// Shows the icon with or without its balloon.
DWORD CNotifyIcon::ShowWithBalloon(BOOL bBalloon)
{
    NOTIFYICONDATAW* pNid = m_bInitialized ? Record() : NULL;
    if (pNid == NULL) {
        return m_bInitialized ? ERROR_OLD_WIN_VERSION : ERROR_NOT_READY;
    }
    pNid->uFlags = bBalloon ? (pNid->uFlags | NIF_INFO) : (pNid->uFlags & ~NIF_INFO);
    return ShowIcon();
}

BOOL CNotifyIcon::NotifyIcon(DWORD dwMessage)
{
    LOG_FUNCTION(L"CNotifyIcon::NotifyIcon");
    NOTIFYICONDATAW* pNid = Record();
    if (pNid == NULL) {
        LOG_TRACE(LOG_DETAIL, FN, L"unknown");
        return FALSE;
    }
    // A shell that keeps timing out must not hold the GUI thread for ever: a few more tries.
    BOOL bRet = ::Shell_NotifyIconW(dwMessage, pNid);
    for (int i = 0; !bRet && ::GetLastError() == ERROR_TIMEOUT && i < kTimeoutRetries; ++i) {
        ::Sleep(kTimeoutPauseMs);
        bRet = ::Shell_NotifyIconW(dwMessage, pNid);
    }
    LOG_TRACE(LOG_DETAIL, FN, L"Shell_NotifyIcon(%u):%d", dwMessage, bRet);
    return bRet;
}
