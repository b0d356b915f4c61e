// Looks a host name up without making its caller wait longer than it chose: the lookup (which
// may hang on a silent name server) runs on a thread of its own, and a caller that stops waiting
// leaves it to finish and clean up alone.
#pragma once

// Winsock before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

class CUpsResolver {
public:
    // The addresses of lpszHost:wPort (TCP, IPv4 and IPv6) in *ppList, to be freed with
    // freeaddrinfo; ERROR_TIMEOUT at ullDeadline, ERROR_CANCELLED when hAbort (may be NULL) is set.
    static DWORD Resolve(const char* lpszHost, WORD wPort, ULONGLONG ullDeadline, HANDLE hAbort,
                         ADDRINFOA** ppList);

private:
    static DWORD WINAPI LookupThread(LPVOID lpParam);
};
