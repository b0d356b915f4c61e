// The monitor over real sockets: against a broken server of our own in this process, and against
// the real UPS server that scripts/test.sh starts (skipped without it).
#include "CUpsSocket.h"

#include "CNetUpsMonitor.h"
#include "CUpsSession.h"
#include "NutServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace {

const DWORD kCeilingMs = 30000;

// Waits (with a generous ceiling) until the monitor's snapshot satisfies done.
bool WaitFor(const CNetUpsMonitor& monitor, const std::function<bool(const NetUpsSnapshot&)>& done)
{
    for (ULONGLONG ullEnd = ::GetTickCount64() + kCeilingMs; ::GetTickCount64() < ullEnd; ::Sleep(50)) {
        NetUpsSnapshot snapshot;
        monitor.GetSnapshot(snapshot);
        if (done(snapshot)) {
            return true;
        }
    }
    return false;
}

// Stops the monitor and tells whether it returned well before its thread would be killed (5 s).
bool FinalizePromptly(CNetUpsMonitor& monitor)
{
    const ULONGLONG ullStart = ::GetTickCount64();
    monitor.Finalize();
    return ::GetTickCount64() - ullStart < 4000;
}

// Serves one way of breaking the protocol to each client, one client at a time.
class CBrokenServer {
public:
    explicit CBrokenServer(char mode) : m_Mode(mode), m_hRequest(::CreateEventW(NULL, TRUE, FALSE, NULL))
    {
        WSADATA wsaData;
        ::WSAStartup(MAKEWORD(2, 2), &wsaData);
        m_Listen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int cbAddr = sizeof(addr);
        ::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        if (m_Mode != 'x') {  // bound but not listening: connections are refused
            ::listen(m_Listen, 4);
        }
        ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&addr), &cbAddr);
        m_wPort = ntohs(addr.sin_port);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~CBrokenServer()
    {
        ::closesocket(m_Listen);
        m_Thread.join();
        ::CloseHandle(m_hRequest);
        ::WSACleanup();
    }
    std::wstring Monitor() const { return L"dummy@127.0.0.1:" + std::to_wstring(m_wPort); }
    HANDLE RequestEvent() const { return m_hRequest; }

private:
    void Serve()
    {
        for (SOCKET client; (client = ::accept(m_Listen, NULL, NULL)) != INVALID_SOCKET; ::closesocket(client)) {
            char buffer[256];
            while (::recv(client, buffer, sizeof(buffer), 0) > 0) {
                ::SetEvent(m_hRequest);
                if (m_Mode != 's' && !Answer(client)) {
                    break;
                }
            }
        }
    }
    // Garbage, an endless line, a flood of lines, a binary byte; silence answers nothing.
    bool Answer(SOCKET client)
    {
        const std::string text = (m_Mode == 'g') ? "HELLO THERE FRIEND\n"
                                 : (m_Mode == 'e') ? std::string(4096, 'x')
                                 : (m_Mode == 'f') ? "OK\nOK\nOK\nOK\nOK\nOK\nOK\nOK\n"
                                                   : std::string("VAR dummy ups.status \"O\0L\"\n", 27);
        do {
            if (::send(client, text.data(), static_cast<int>(text.size()), 0) <= 0) {
                return false;
            }
        } while (m_Mode == 'e' || m_Mode == 'f');
        return true;
    }

    char m_Mode;
    HANDLE m_hRequest;
    SOCKET m_Listen;
    WORD m_wPort;
    std::thread m_Thread;
};

}  // namespace

TEST(NetUpsServer, BrokenServersAreDropped)
{
    const struct {
        char mode;
        UpsLink link;
        const char* word;
    } rows[] = {{'g', UpsLinkLost, "BAD-REPLY"}, {'e', UpsLinkLost, "BAD-LINE"},  {'f', UpsLinkLost, "BAD-REPLY"},
                {'b', UpsLinkLost, "BAD-LINE"},  {'s', UpsLinkLost, "NO-ANSWER"}, {'x', UpsLinkUnreachable, "CONNECT-FAILED"}};
    HANDLE hChanged = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    for (const auto& row : rows) {
        CBrokenServer server(row.mode);
        const std::wstring target = server.Monitor();
        CNetUpsMonitor monitor;
        ASSERT_EQ(ERROR_SUCCESS, monitor.Initialize({target.c_str(), NULL, NULL, 5}, hChanged)) << row.mode;
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hChanged, kCeilingMs)) << row.mode;
        NetUpsSnapshot snapshot;
        monitor.GetSnapshot(snapshot);
        EXPECT_EQ(row.link, snapshot.link) << row.mode;
        EXPECT_EQ(std::wstring(row.word, row.word + strlen(row.word)), snapshot.szError) << row.mode;
        EXPECT_TRUE(FinalizePromptly(monitor)) << row.mode;
    }
    ::CloseHandle(hChanged);
}

TEST(NetUpsServer, SilentServerDoesNotHoldTheStop)
{
    CBrokenServer server('s');
    const std::wstring target = server.Monitor();
    CNetUpsMonitor monitor;
    ASSERT_EQ(ERROR_SUCCESS, monitor.Initialize({target.c_str(), L"mon", L"pw", 5}, NULL));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(server.RequestEvent(), kCeilingMs));
    EXPECT_TRUE(FinalizePromptly(monitor));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, monitor.Initialize({L"dummy@", NULL, NULL, 5}, NULL));
}

namespace {

// The UPS server scripts/test.sh runs, reset before each case.
class NetUpsRealServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_Server.Available()) {
            GTEST_SKIP() << "no UPS server: run through scripts/test.sh, which starts one";
        }
        m_Target = m_Server.Monitor();
        ASSERT_TRUE(m_Server.Reset());
    }

    bool Set(const char* lpszVar, const char* lpszValue) { return m_Server.Set(lpszVar, lpszValue); }
    bool Control(const char* lpszCommand) { return m_Server.Control(lpszCommand); }

    testsupport::NutServer m_Server;
    std::wstring m_Target;
};

}  // namespace

TEST_F(NetUpsRealServer, ReadsTheUpsAsLoggedInSecondary)
{
    CNetUpsMonitor monitor;
    ASSERT_EQ(ERROR_SUCCESS, monitor.Initialize({m_Target.c_str(), L"mon", L"monpw", 5}, NULL));
    const struct {
        const char* status;
        bool off;
        bool critical;
    } rows[] = {{"OL", false, false}, {"OB", true, false}, {"OB LB", true, true}, {"FSD OL", true, true}};
    for (const auto& row : rows) {
        ASSERT_TRUE(Set("ups.status", row.status));
        const std::wstring status(row.status, row.status + strlen(row.status));
        ASSERT_TRUE(WaitFor(monitor, [&](const NetUpsSnapshot& s) { return status == s.szStatus; })) << row.status;
        NetUpsSnapshot snapshot;
        monitor.GetSnapshot(snapshot);
        EXPECT_EQ(UpsLinkOnline, snapshot.link);
        EXPECT_EQ(row.off, snapshot.bLineOff) << row.status;
        EXPECT_EQ(row.critical, snapshot.bCritical) << row.status;
        EXPECT_EQ(100, snapshot.nPercent);
    }
    ASSERT_TRUE(Set("battery.runtime", "300") && Set("battery.charge", "41.7"));
    EXPECT_TRUE(WaitFor(monitor, [](const NetUpsSnapshot& s) { return s.nRuntime == 300 && s.nPercent == 41; }));
    EXPECT_TRUE(FinalizePromptly(monitor));
}

TEST_F(NetUpsRealServer, WrongPasswordIsDenied)
{
    CNetUpsMonitor monitor;
    ASSERT_EQ(ERROR_SUCCESS, monitor.Initialize({m_Target.c_str(), L"mon", L"wrong", 5}, NULL));
    EXPECT_TRUE(WaitFor(monitor, [](const NetUpsSnapshot& s) {
        return s.link == UpsLinkDenied && std::wstring(L"ACCESS-DENIED") == s.szError;
    }));
}

TEST_F(NetUpsRealServer, ServerStoppedOnBatteryTurnsCriticalOnLineIsLost)
{
    for (const char* status : {"OB", "OL"}) {
        ASSERT_TRUE(Control("start"));
        ASSERT_TRUE(Set("ups.status", status));
        HANDLE hChanged = ::CreateEventW(NULL, FALSE, FALSE, NULL);
        CNetUpsMonitor monitor;
        ASSERT_EQ(ERROR_SUCCESS, monitor.Initialize({m_Target.c_str(), L"mon", L"monpw", 5}, hChanged));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hChanged, kCeilingMs));
        // The server takes a SET through its driver: the first reading may still be the old one.
        const std::wstring expected(status, status + 2);
        ASSERT_TRUE(WaitFor(monitor, [&](const NetUpsSnapshot& s) { return expected == s.szStatus; })) << status;
        // A line that changed from the first reading was told as well: only the stop counts now.
        ::ResetEvent(hChanged);
        ASSERT_TRUE(Control("stop"));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hChanged, kCeilingMs)) << status;
        NetUpsSnapshot snapshot;
        monitor.GetSnapshot(snapshot);
        const bool bOnBattery = (status[1] == 'B');
        EXPECT_EQ(bOnBattery ? UpsLinkHolding : UpsLinkLost, snapshot.link) << status;
        EXPECT_FALSE(snapshot.bCritical) << status;
        if (bOnBattery) {
            EXPECT_TRUE(WaitFor(monitor, [](const NetUpsSnapshot& s) { return s.bCritical; }));
        }
        EXPECT_TRUE(FinalizePromptly(monitor));
        ::CloseHandle(hChanged);
    }
    EXPECT_TRUE(Control("start"));
}
