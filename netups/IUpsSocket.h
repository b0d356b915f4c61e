// The connection to the UPS server as the session sees it: whole lines out, one line in, each
// with a deadline. The monitor uses the Winsock one (CUpsSocket); tests put a fake behind it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

class IUpsSocket {
public:
    virtual ~IUpsSocket() {}

    // Connects to lpszHost (name or address) within dwTimeoutMs; ERROR_SUCCESS or an error code.
    virtual DWORD Connect(const char* lpszHost, WORD wPort, DWORD dwTimeoutMs) = 0;
    // Sends line and its line end within dwTimeoutMs.
    virtual DWORD SendLine(const std::string& line, DWORD dwTimeoutMs) = 0;
    // Receives one line (without its line end) within dwTimeoutMs. A line too long, a control
    // byte or no line end in time is an error, after which the connection is closed.
    virtual DWORD ReceiveLine(std::string& line, DWORD dwTimeoutMs) = 0;
    virtual void Close() = 0;
};

// The Winsock connection (CUpsSocket), without bringing Winsock's headers to the caller. hAbort:
// an event that ends any wait at once; not owned.
std::unique_ptr<IUpsSocket> CreateUpsSocket(HANDLE hAbort);
