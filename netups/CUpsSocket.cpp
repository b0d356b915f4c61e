#include "CUpsSocket.h"

#include "CUpsResolver.h"
#include "NetUpsTypes.h"

namespace {

// The longest a single select waits before the stop event is looked at again.
const DWORD kWaitSliceMs = 100;
// Received text kept: a full line, its line end, and the start of the next.
const size_t kPendingMax = 2 * NETUPS_MAX_LINE;

DWORD RemainingMs(ULONGLONG ullDeadline)
{
    const ULONGLONG ullNow = ::GetTickCount64();
    return (ullNow >= ullDeadline) ? 0 : static_cast<DWORD>(ullDeadline - ullNow);
}

}  // namespace

std::unique_ptr<IUpsSocket> CreateUpsSocket(HANDLE hAbort)
{
    return std::unique_ptr<IUpsSocket>(new CUpsSocket(hAbort));
}

CUpsSocket::CUpsSocket(HANDLE hAbort) : m_hAbort(hAbort), m_bStarted(false), m_Socket(INVALID_SOCKET)
{
    WSADATA wsaData;
    m_bStarted = (::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0);
}

CUpsSocket::~CUpsSocket()
{
    Close();
    if (m_bStarted) {
        ::WSACleanup();
    }
}

void CUpsSocket::Close()
{
    if (m_Socket != INVALID_SOCKET) {
        ::closesocket(m_Socket);
        m_Socket = INVALID_SOCKET;
    }
    m_Pending.clear();
}

DWORD CUpsSocket::Fail(DWORD dwError)
{
    Close();
    return dwError;
}

DWORD CUpsSocket::Connect(const char* lpszHost, WORD wPort, DWORD dwTimeoutMs)
{
    Close();
    if (!m_bStarted) {
        return WSANOTINITIALISED;
    }
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwTimeoutMs;
    ADDRINFOA* pList = NULL;
    const DWORD dwResolved = CUpsResolver::Resolve(lpszHost, wPort, ullDeadline, m_hAbort, &pList);
    if (dwResolved != ERROR_SUCCESS) {
        return dwResolved;
    }
    // Each address in turn (IPv6 and IPv4 alike) until one answers, all within the one deadline.
    DWORD dwRet = WSAEHOSTUNREACH;
    for (const ADDRINFOA* pAddr = pList; pAddr != NULL; pAddr = pAddr->ai_next) {
        dwRet = ConnectOne(pAddr, ullDeadline);
        if (dwRet == ERROR_SUCCESS || dwRet == ERROR_CANCELLED || dwRet == ERROR_TIMEOUT) {
            break;
        }
    }
    ::freeaddrinfo(pList);
    return dwRet;
}

DWORD CUpsSocket::ConnectOne(const ADDRINFOA* pAddr, ULONGLONG ullDeadline)
{
    m_Socket = ::socket(pAddr->ai_family, pAddr->ai_socktype, pAddr->ai_protocol);
    if (m_Socket == INVALID_SOCKET) {
        return static_cast<DWORD>(::WSAGetLastError());
    }
    u_long ulNonBlocking = 1;
    if (::ioctlsocket(m_Socket, FIONBIO, &ulNonBlocking) != 0) {
        return Fail(static_cast<DWORD>(::WSAGetLastError()));
    }
    if (::connect(m_Socket, pAddr->ai_addr, static_cast<int>(pAddr->ai_addrlen)) != 0) {
        const int nError = ::WSAGetLastError();
        if (nError != WSAEWOULDBLOCK) {
            return Fail(static_cast<DWORD>(nError));
        }
        const DWORD dwRet = Wait(true, ullDeadline);
        if (dwRet != ERROR_SUCCESS) {
            return Fail(dwRet);
        }
    }
    int nSoError = 0;
    int cbSoError = sizeof(nSoError);
    if (::getsockopt(m_Socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nSoError), &cbSoError) != 0) {
        return Fail(static_cast<DWORD>(::WSAGetLastError()));
    }
    return (nSoError != 0) ? Fail(static_cast<DWORD>(nSoError)) : ERROR_SUCCESS;
}

DWORD CUpsSocket::Wait(bool bWrite, ULONGLONG ullDeadline)
{
    for (;;) {
        if (m_hAbort != NULL && ::WaitForSingleObject(m_hAbort, 0) == WAIT_OBJECT_0) {
            return ERROR_CANCELLED;
        }
        const DWORD dwLeft = RemainingMs(ullDeadline);
        if (dwLeft == 0) {
            return ERROR_TIMEOUT;
        }
        const DWORD dwSlice = (dwLeft < kWaitSliceMs) ? dwLeft : kWaitSliceMs;
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(m_Socket, &ready);
        FD_SET(m_Socket, &failed);
        timeval tv = {0, static_cast<long>(dwSlice * 1000)};
        // A failed connect shows in the except set; its error is read by the caller.
        const int nRet = ::select(0, bWrite ? NULL : &ready, bWrite ? &ready : NULL, &failed, &tv);
        if (nRet == SOCKET_ERROR) {
            return static_cast<DWORD>(::WSAGetLastError());
        }
        if (nRet > 0) {
            return ERROR_SUCCESS;
        }
    }
}

DWORD CUpsSocket::SendLine(const std::string& line, DWORD dwTimeoutMs)
{
    if (m_Socket == INVALID_SOCKET) {
        return ERROR_NOT_CONNECTED;
    }
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwTimeoutMs;
    const std::string text = line + "\n";
    size_t cbSent = 0;
    while (cbSent < text.size()) {
        const int nRet = ::send(m_Socket, text.data() + cbSent, static_cast<int>(text.size() - cbSent), 0);
        if (nRet > 0) {
            cbSent += static_cast<size_t>(nRet);
            continue;
        }
        const int nError = ::WSAGetLastError();
        const DWORD dwRet = (nError == WSAEWOULDBLOCK) ? Wait(true, ullDeadline) : static_cast<DWORD>(nError);
        if (dwRet != ERROR_SUCCESS) {
            return Fail(dwRet);
        }
    }
    return ERROR_SUCCESS;
}

DWORD CUpsSocket::ReceiveLine(std::string& line, DWORD dwTimeoutMs)
{
    line.clear();
    if (m_Socket == INVALID_SOCKET) {
        return ERROR_NOT_CONNECTED;
    }
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwTimeoutMs;
    for (;;) {
        const DWORD dwTaken = TakeLine(line);
        if (dwTaken != ERROR_MORE_DATA) {
            return (dwTaken == ERROR_SUCCESS) ? dwTaken : Fail(dwTaken);
        }
        char buffer[NETUPS_MAX_LINE];
        const size_t cbRoom = kPendingMax - m_Pending.size();
        const int nRet = ::recv(m_Socket, buffer, static_cast<int>((cbRoom < sizeof(buffer)) ? cbRoom : sizeof(buffer)), 0);
        if (nRet > 0) {
            m_Pending.append(buffer, static_cast<size_t>(nRet));
            continue;
        }
        if (nRet == 0) {
            return Fail(ERROR_GRACEFUL_DISCONNECT);
        }
        const int nError = ::WSAGetLastError();
        const DWORD dwRet = (nError == WSAEWOULDBLOCK) ? Wait(false, ullDeadline) : static_cast<DWORD>(nError);
        if (dwRet != ERROR_SUCCESS) {
            return Fail(dwRet);
        }
    }
}

DWORD CUpsSocket::TakeLine(std::string& line)
{
    // A control byte (a NUL above all) ends the connection as soon as it arrives, line end or not.
    const size_t posEnd = m_Pending.find('\n');
    const size_t cbCheck = (posEnd == std::string::npos) ? m_Pending.size() : posEnd;
    for (size_t i = 0; i < cbCheck; ++i) {
        const unsigned char c = static_cast<unsigned char>(m_Pending[i]);
        if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
            return ERROR_INVALID_DATA;
        }
    }
    if (posEnd == std::string::npos) {
        // No line end within a line's length (and its CR): no server of ours sends that.
        return (m_Pending.size() > NETUPS_MAX_LINE + 1) ? ERROR_INVALID_DATA : ERROR_MORE_DATA;
    }
    size_t cch = posEnd;
    if (cch > 0 && m_Pending[cch - 1] == '\r') {
        --cch;
    }
    if (cch > NETUPS_MAX_LINE || line.assign(m_Pending, 0, cch).find('\r') != std::string::npos) {
        line.clear();
        return ERROR_INVALID_DATA;
    }
    m_Pending.erase(0, posEnd + 1);
    return ERROR_SUCCESS;
}
