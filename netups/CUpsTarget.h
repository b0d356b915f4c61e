// Where the UPS is served: the setting "upsname@host[:port]" taken apart. The host is a name, an
// IPv4 address or an IPv6 address in brackets; the port is 3493 unless given.
#pragma once

#include <windows.h>

class CUpsTarget {
public:
    CUpsTarget();

    // Takes lpszText apart; false (and an empty target) for anything but plain ASCII of the form
    // above: empty parts, spaces, a bad port, text too long.
    bool Parse(LPCWSTR lpszText);

    const char* GetUpsName() const { return m_szUps; }
    const char* GetHost() const { return m_szHost; }  // without the brackets of an IPv6 address
    WORD GetPort() const { return m_wPort; }

private:
    static const size_t MAX_TEXT = 300;
    static const size_t MAX_UPS = 64;
    static const size_t MAX_HOST = 254;

    void Clear();
    bool ParseHostPort(const char* lpszText);
    static bool ParsePort(const char* lpszText, WORD& wPort);
    static bool AllOf(const char* lpszText, const char* lpszExtra, bool bHexOnly);

    char m_szUps[MAX_UPS];
    char m_szHost[MAX_HOST];
    WORD m_wPort;
};
