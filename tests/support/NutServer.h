// The UPS server scripts/test.sh runs: its port, and its command folder for stopping and
// starting upsd. Variables change through the protocol itself, as its user "admin".
#pragma once

// Before windows.h, as the socket headers of the server's helpers need.
#include <winsock2.h>
#include <windows.h>

#include <string>

namespace testsupport {

class NutServer {
public:
    // Reads MIREL_NUT_PORT and MIREL_NUT_CTL; Available() is false without them.
    NutServer();
    bool Available() const { return !m_Port.empty(); }
    // "dummy@localhost:<port>": by name, so the lookup is taken as well.
    std::wstring Monitor() const { return L"dummy@localhost:" + m_Port; }
    // SET VAR dummy <var> <value>; true on OK.
    bool Set(const char* lpszVar, const char* lpszValue) const;
    // Drops "<name>.cmd" (complete, by a rename) and waits for "<name>.done": "start" or "stop".
    bool Control(const char* lpszCommand) const;
    // upsd running, the UPS on line, full, 1800 s of runtime.
    bool Reset() const;

private:
    std::wstring m_Port;
    std::wstring m_Ctl;
};

}  // namespace testsupport
