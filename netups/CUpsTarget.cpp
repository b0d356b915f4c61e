#include "CUpsTarget.h"

#include "NetUpsTypes.h"

#include <string.h>

CUpsTarget::CUpsTarget()
{
    Clear();
}

void CUpsTarget::Clear()
{
    m_szUps[0] = '\0';
    m_szHost[0] = '\0';
    m_wPort = 0;
}

bool CUpsTarget::Parse(LPCWSTR lpszText)
{
    Clear();
    if (lpszText == NULL) {
        return false;
    }
    // The setting is plain ASCII; anything else (or too long) cannot name a UPS and a host.
    char szText[MAX_TEXT + 1];
    size_t cch = 0;
    for (; lpszText[cch] != L'\0'; ++cch) {
        if (cch == MAX_TEXT || lpszText[cch] <= L' ' || lpszText[cch] > L'~') {
            return false;
        }
        szText[cch] = static_cast<char>(lpszText[cch]);
    }
    szText[cch] = '\0';
    const char* lpAt = strchr(szText, '@');
    const size_t cchUps = (lpAt != NULL) ? static_cast<size_t>(lpAt - szText) : 0;
    if (cchUps == 0 || cchUps >= MAX_UPS) {
        return false;
    }
    memcpy(m_szUps, szText, cchUps);
    m_szUps[cchUps] = '\0';
    if (!AllOf(m_szUps, "-_.", false) || !ParseHostPort(lpAt + 1)) {
        Clear();
        return false;
    }
    return true;
}

bool CUpsTarget::ParseHostPort(const char* lpszText)
{
    const char* lpEnd = NULL;
    const char* lpHost = lpszText;
    bool bIpv6 = false;
    if (*lpszText == '[') {
        lpHost = lpszText + 1;
        lpEnd = strchr(lpHost, ']');
        if (lpEnd == NULL || (lpEnd[1] != '\0' && lpEnd[1] != ':')) {
            return false;
        }
        bIpv6 = true;
    } else {
        lpEnd = strchr(lpszText, ':');
        if (lpEnd == NULL) {
            lpEnd = lpszText + strlen(lpszText);
        }
    }
    const size_t cchHost = static_cast<size_t>(lpEnd - lpHost);
    if (cchHost == 0 || cchHost >= MAX_HOST) {
        return false;
    }
    memcpy(m_szHost, lpHost, cchHost);
    m_szHost[cchHost] = '\0';
    if (bIpv6 ? !AllOf(m_szHost, ":.%", true) || strchr(m_szHost, ':') == NULL
              : !AllOf(m_szHost, "-.", false)) {
        return false;
    }
    const char* lpPort = bIpv6 ? lpEnd + 1 : lpEnd;
    if (*lpPort == '\0') {
        m_wPort = NETUPS_DEFAULT_PORT;
        return true;
    }
    return ParsePort(lpPort + 1, m_wPort);
}

bool CUpsTarget::ParsePort(const char* lpszText, WORD& wPort)
{
    DWORD dwPort = 0;
    size_t cch = 0;
    for (; lpszText[cch] != '\0'; ++cch) {
        if (cch == 5 || lpszText[cch] < '0' || lpszText[cch] > '9') {
            return false;
        }
        dwPort = dwPort * 10 + static_cast<DWORD>(lpszText[cch] - '0');
    }
    if (cch == 0 || dwPort == 0 || dwPort > 65535) {
        return false;
    }
    wPort = static_cast<WORD>(dwPort);
    return true;
}

// Whether every character is a letter or digit (a hex digit when bHexOnly) or one of lpszExtra.
bool CUpsTarget::AllOf(const char* lpszText, const char* lpszExtra, bool bHexOnly)
{
    for (; *lpszText != '\0'; ++lpszText) {
        const char c = *lpszText;
        const bool bDigit = (c >= '0' && c <= '9');
        const bool bHex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        const bool bAlpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!bDigit && !(bHexOnly ? bHex : bAlpha) && strchr(lpszExtra, c) == NULL) {
            return false;
        }
    }
    return true;
}
