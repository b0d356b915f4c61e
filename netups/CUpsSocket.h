// The Winsock connection to the UPS server: non-blocking, every wait bounded by its deadline and
// cut short by the owner's stop event. Holds at most two lines of received text.
#pragma once

// Winsock before windows.h, which IUpsSocket.h brings.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "IUpsSocket.h"

class CUpsSocket : public IUpsSocket {
public:
    // hAbort: an event the owner signals to end any wait at once (ERROR_CANCELLED); not owned.
    explicit CUpsSocket(HANDLE hAbort);
    ~CUpsSocket() override;

    DWORD Connect(const char* lpszHost, WORD wPort, DWORD dwTimeoutMs) override;
    DWORD SendLine(const std::string& line, DWORD dwTimeoutMs) override;
    DWORD ReceiveLine(std::string& line, DWORD dwTimeoutMs) override;
    void Close() override;

private:
    CUpsSocket(const CUpsSocket&) = delete;
    CUpsSocket& operator=(const CUpsSocket&) = delete;

    DWORD ConnectOne(const ADDRINFOA* pAddr, ULONGLONG ullDeadline);
    // Waits until the socket may be written (bWrite) or read, the deadline passes or hAbort.
    DWORD Wait(bool bWrite, ULONGLONG ullDeadline);
    // Takes one complete line out of m_Pending into line; ERROR_MORE_DATA when none is complete.
    DWORD TakeLine(std::string& line);
    DWORD Fail(DWORD dwError);

    HANDLE m_hAbort;
    bool m_bStarted;  // WSAStartup succeeded
    SOCKET m_Socket;
    std::string m_Pending;
};
