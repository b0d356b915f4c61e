#include "CLog.h"
#include "CPipe.h"
#include "PipeTestSupport.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace pipetest;
using testsupport::NowMs;

namespace {

// A receiving end in this process that acknowledges every message with 0x2000 + bytes read and
// keeps the bytes of the last one.
struct Receiver {
    CPipe pipe;
    std::vector<BYTE> last;
    std::atomic<int> messages{0};
    ULONG session = 0xFFFFFFFF;  // the sender's logon session, as the pipe tells it

    static DWORD OnConnection(LPVOID data)
    {
        Receiver* self = static_cast<Receiver*>(data);
        self->pipe.GetClientSessionId(&self->session);
        BYTE buf[2048];
        DWORD read = 0;
        if (self->pipe.Receive(buf, sizeof(buf), &read, self->pipe.GetTerminateEvent()) != 0) {
            return 1;
        }
        self->last.assign(buf, buf + read);
        self->messages++;
        self->pipe.SendAck(0x2000 + read, self->pipe.GetTerminateEvent());
        return 0;
    }
    DWORD Start(const std::wstring& name)
    {
        return pipe.Initialize(PIPETYPE_SERVER, name.c_str(), OnConnection, this);
    }
};

bool IsWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

}  // namespace

TEST(Channel, MessageAndAcknowledgementBetweenProcesses)
{
    const std::wstring pipe = PipePath(UniqueName(L"one"));
    Helper receiver;
    ASSERT_TRUE(receiver.Start(L"recv", pipe, L"ack"));

    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, pipe.c_str(), NULL, NULL));
    const BYTE message[12] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
    for (int i = 0; i < 3; ++i) {
        DWORD ack = 0;
        EXPECT_EQ(0u, sender.Send(message, sizeof(message), &ack, NULL));
        EXPECT_EQ(0x1000u + sizeof(message), ack);
    }
    EXPECT_EQ(0u, receiver.Finish());
}

// A sending end bound to one server process writes nothing to a pipe another process serves.
TEST(Channel, SenderBoundToAProcessWritesOnlyToIt)
{
    Receiver receiver;
    const std::wstring name = PipePath(UniqueName(L"bound"));
    ASSERT_EQ(0u, receiver.Start(name));
    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, name.c_str(), NULL, NULL));
    const BYTE message[8] = {};
    for (DWORD server : { GetCurrentProcessId() + 4, GetCurrentProcessId() }) {
        sender.SetExpectedServer(server);
        DWORD ack = 0x77;
        const bool ours = server == GetCurrentProcessId();
        EXPECT_EQ(ours ? 0u : PIPE_ERROR_FOREIGN_SERVER, sender.Send(message, sizeof(message), &ack, NULL));
        EXPECT_EQ(ours ? 0x2008u : 0x77u, ack);
        DWORD session = 0xEE;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        if (ours) {
            EXPECT_EQ(session, receiver.session);  // the session the pipe tells is ours
        }
        EXPECT_EQ(ours ? 1 : 0, receiver.messages.load());
    }
}

TEST(Channel, NobodyListeningFailsAtOnceAndLeavesTheRetcode)
{
    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, PipePath(UniqueName(L"none")).c_str(), NULL, NULL));
    DWORD ack = 0xABCD;
    const BYTE message[8] = {};
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(2u, sender.Send(message, sizeof(message), &ack, NULL));
    EXPECT_LT(NowMs() - t0, 900u);
    EXPECT_EQ(0xABCDu, ack);
}

// The receiver reads the message and then, instead of answering, hangs up or stays silent.
TEST(Channel, ReceiverThatNeverAcknowledges)
{
    struct Case { const wchar_t* behaviour; ULONGLONG minMs; ULONGLONG maxMs; DWORD result; };
    const Case cases[] = {
        { L"drop", 0, 3000, 0 },                                         // read error, at once
        { L"silent", PIPE_IO_TIMEOUT_MS - 500, PIPE_IO_TIMEOUT_MS + 4000, ERROR_SEM_TIMEOUT },
    };
    for (const Case& c : cases) {
        const std::wstring pipe = PipePath(UniqueName(c.behaviour));
        Helper receiver;
        ASSERT_TRUE(receiver.Start(L"recv", pipe, c.behaviour)) << c.behaviour;
        CPipe sender;
        ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, pipe.c_str(), NULL, NULL));
        DWORD ack = 0;
        const BYTE message[12] = {};
        const ULONGLONG t0 = NowMs();
        const DWORD ret = sender.Send(message, sizeof(message), &ack, NULL);
        const ULONGLONG elapsed = NowMs() - t0;
        if (c.result != 0) {
            EXPECT_EQ(c.result, ret) << c.behaviour;
        } else {
            EXPECT_NE(0u, ret) << c.behaviour;
        }
        EXPECT_EQ(3u, ack) << c.behaviour;
        EXPECT_GE(elapsed, c.minMs) << c.behaviour;
        EXPECT_LE(elapsed, c.maxMs) << c.behaviour;
        EXPECT_EQ(0u, receiver.Finish()) << c.behaviour;
    }
}

TEST(Channel, BusyPipeGivesUpAfterTenWaitsOrAtTheAbort)
{
    // A bare instance that one connection keeps busy.
    const std::wstring pipe = PipePath(UniqueName(L"busy"));
    HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    HANDLE holder = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);

    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, pipe.c_str(), NULL, NULL));
    DWORD ack = 0x55;
    const BYTE message[8] = {};
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(231u, sender.Send(message, sizeof(message), &ack, NULL));
    const ULONGLONG elapsed = NowMs() - t0;
    EXPECT_GE(elapsed, 8000u);
    EXPECT_LE(elapsed, 16000u);
    EXPECT_EQ(0x55u, ack);

    // The abort event ends the waits between the attempts.
    HANDLE abort = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::thread stopper([&] { Sleep(500); SetEvent(abort); });
    const ULONGLONG t1 = NowMs();
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), sender.Send(message, sizeof(message), &ack, abort));
    EXPECT_LT(NowMs() - t1, 2500u);
    stopper.join();
    CloseHandle(abort);
    CloseHandle(holder);
    CloseHandle(server);
}

TEST(Channel, InitializeTwiceKeepsTheFirstSetup)
{
    const std::wstring name = PipePath(UniqueName(L"twice"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    EXPECT_EQ(231u, receiver.pipe.Initialize(PIPETYPE_SERVER, (name + L"x").c_str(),
                                             Receiver::OnConnection, &receiver));
    EXPECT_EQ(231u, receiver.pipe.Initialize(PIPETYPE_CLIENT, name.c_str(), NULL, NULL));

    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, name.c_str(), NULL, NULL));
    EXPECT_EQ(231u, sender.Initialize(PIPETYPE_CLIENT, (name + L"x").c_str(), NULL, NULL));
    DWORD ack = 0;
    const BYTE message[5] = {};
    EXPECT_EQ(0u, sender.Send(message, sizeof(message), &ack, NULL));
    EXPECT_EQ(0x2005u, ack);
}

TEST(Channel, ArgumentsAndNameLength)
{
    struct Case { int type; size_t nameChars; bool callback; DWORD result; };
    const Case cases[] = {
        { PIPETYPE_CLIENT, 250, false, 0 },
        { PIPETYPE_CLIENT, 251, false, 87 },   // its lock name would not fit
        { PIPETYPE_SERVER, 251, true, 87 },
        { PIPETYPE_CLIENT, 300, false, 87 },
        { PIPETYPE_SERVER, 40, false, 87 },    // a receiving end needs its callback
        { 0, 40, true, 87 },
        { 3, 40, true, 87 },
    };
    for (const Case& c : cases) {
        std::wstring name = PipePath(UniqueName(L"len"));
        name.resize(c.nameChars, L'n');
        CPipe pipe;
        EXPECT_EQ(c.result, pipe.Initialize(c.type, name.c_str(), c.callback ? Receiver::OnConnection : NULL,
                                            &pipe))
            << c.type << " " << c.nameChars;
    }
    CPipe pipe;
    EXPECT_EQ(87u, pipe.Initialize(PIPETYPE_CLIENT, NULL, NULL, NULL));
}

TEST(Channel, EverythingAfterFinalizeIsNotReady)
{
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(PipePath(UniqueName(L"fin"))));
    EXPECT_NE(nullptr, receiver.pipe.GetTerminateEvent());
    receiver.pipe.Finalize(NULL);
    receiver.pipe.Finalize(NULL);

    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, PipePath(UniqueName(L"fin")).c_str(), NULL, NULL));
    sender.Finalize(NULL);
    BYTE buf[8] = {};
    DWORD value = 0;
    for (CPipe* pipe : { &receiver.pipe, &sender }) {
        EXPECT_EQ(21u, pipe->Send(buf, sizeof(buf), &value, NULL));
        EXPECT_EQ(21u, pipe->SendRequest(PIPEREQUEST_CLOSE, NULL, 1, &value, NULL));
        EXPECT_EQ(21u, pipe->Receive(buf, sizeof(buf), &value, NULL));
        EXPECT_EQ(21u, pipe->SendAck(0, NULL));
        EXPECT_EQ(nullptr, pipe->GetTerminateEvent());
    }
    // A finalised channel can be set up anew.
    EXPECT_EQ(0u, receiver.Start(PipePath(UniqueName(L"fin"))));
}

TEST(Channel, FinalizeWhileASenderSitsSilentReturnsPromptly)
{
    const std::wstring name = PipePath(UniqueName(L"mute"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    Helper mute;
    ASSERT_TRUE(mute.Start(L"mute", name));
    Sleep(200);  // the receive thread is now waiting for the first bytes
    const ULONGLONG t0 = NowMs();
    receiver.pipe.Finalize(NULL);
    EXPECT_LT(NowMs() - t0, 2000u);
    EXPECT_EQ(0, receiver.messages.load());
}

TEST(Channel, SilentSenderIsDroppedAndOthersAreServed)
{
    const std::wstring name = PipePath(UniqueName(L"mute2"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    Helper mute;
    ASSERT_TRUE(mute.Start(L"mute", name));
    DWORD ack = 0;
    const BYTE message[4] = {};
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(0u, SendFrame(name, std::vector<BYTE>(message, message + 4), &ack));
    EXPECT_EQ(0x2004u, ack);
    EXPECT_LT(NowMs() - t0, PIPE_IO_TIMEOUT_MS + 5000);
}

// Senders of one logon session that sit silent on every instance hold up no other sender beyond
// the short limit a crowded session gets: the instances are served at the same time.
TEST(Channel, SilentSendersOnEveryInstanceHoldUpNoOtherSender)
{
    const std::wstring name = PipePath(UniqueName(L"mute4"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    Helper mutes[PIPE_INSTANCES];
    for (Helper& mute : mutes) {
        ASSERT_TRUE(mute.Start(L"mute", name));
    }
    DWORD ack = 0;
    const BYTE message[4] = {};
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(0u, SendFrame(name, std::vector<BYTE>(message, message + 4), &ack));
    EXPECT_EQ(0x2004u, ack);
    EXPECT_LT(NowMs() - t0, PIPE_FIRST_BYTES_MS);  // before any silent one's own limit ran out
}

TEST(Channel, ClientThatConnectsBeforeTheReceiverListensIsServed)
{
    testsupport::ScopedLogSettings log(L"t_pipe535.log", 1, 2);
    g_Log.Initialize(MIREL_DBGLOG_KEY);
    const std::wstring name = PipePath(UniqueName(L"early"));
    // The client spins until the instance exists, which is before the receive thread listens.
    std::atomic<DWORD> result{0xFFFFFFFF};
    DWORD ack = 0;
    std::thread client([&] {
        HANDLE h = INVALID_HANDLE_VALUE;
        const ULONGLONG end = NowMs() + 10000;
        while (h == INVALID_HANDLE_VALUE && NowMs() < end) {
            h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        }
        DWORD n = 0;
        const BYTE message[6] = {};
        result = (WriteFile(h, message, sizeof(message), &n, NULL) && ReadFile(h, &ack, 4, &n, NULL))
                     ? 0 : GetLastError();
        CloseHandle(h);
    });
    Sleep(50);
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    client.join();
    receiver.pipe.Finalize(NULL);
    g_Log.Finalize();
    EXPECT_EQ(0u, result.load());
    EXPECT_EQ(0x2006u, ack);
    EXPECT_TRUE(log.Contains(L"Already been accessed. Set event."));
}

// A client that comes and goes before the receive thread listens must not stall the channel.
TEST(Channel, ClientGoneBeforeTheReceiverListensDoesNotStallIt)
{
    testsupport::ScopedLogSettings log(L"t_pipegone.log", 1, 2);
    g_Log.Initialize(MIREL_DBGLOG_KEY);
    const std::wstring name = PipePath(UniqueName(L"gone"));
    std::thread client([&] {
        const ULONGLONG end = NowMs() + 10000;
        HANDLE h = INVALID_HANDLE_VALUE;
        while (h == INVALID_HANDLE_VALUE && NowMs() < end) {
            h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        }
        CloseHandle(h);
    });
    Sleep(50);
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    client.join();
    DWORD ack = 0;
    const ULONGLONG t0 = NowMs();
    EXPECT_EQ(0u, SendFrame(name, Frame(1, 2), &ack));
    EXPECT_LT(NowMs() - t0, 3000u);
    EXPECT_EQ(0x200Cu, ack);
    receiver.pipe.Finalize(NULL);
    g_Log.Finalize();
    EXPECT_TRUE(log.Contains(L"Client already gone."));
}

TEST(Channel, SendRequestFrames)
{
    const std::wstring name = PipePath(UniqueName(L"req"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    CPipe sender;
    ASSERT_EQ(0u, sender.Initialize(PIPETYPE_CLIENT, name.c_str(), NULL, NULL));

    DWORD ack = 0;
    EXPECT_EQ(0u, sender.SendRequest(PIPEREQUEST_CLOSE, NULL, 0x01020304, &ack, NULL));
    EXPECT_EQ(0x2000u + 12, ack);
    EXPECT_EQ(Frame(PIPEREQUEST_CLOSE, 0x01020304), receiver.last);

    EXPECT_EQ(0u, sender.SendRequest(PIPEREQUEST_CONNECT, L"abc", 0, &ack, NULL));
    EXPECT_EQ(TextFrame(PIPEREQUEST_CONNECT, L"abc"), receiver.last);
    EXPECT_EQ(0x2000u + 8 + 8, ack);
    EXPECT_EQ(87u, sender.SendRequest(PIPEREQUEST_CLOSE, NULL, 0, NULL, NULL));
}

// A name served by another process is not shared with it.
TEST(ChannelSecurity, SquattedNameIsRefused)
{
    const std::wstring name = PipePath(UniqueName(L"squat"));
    Helper squatter;
    ASSERT_TRUE(squatter.Start(L"squat", name));
    Receiver receiver;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), receiver.Start(name));
    EXPECT_EQ(nullptr, receiver.pipe.GetTerminateEvent());
}

// Nobody can add an instance to a name we serve and take our clients.
TEST(ChannelSecurity, NoSecondInstanceOfAServedName)
{
    const std::wstring name = PipePath(UniqueName(L"inst"));
    Receiver receiver;
    ASSERT_EQ(0u, receiver.Start(name));
    HANDLE h = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES, 1024,
                                1024, 1000, NULL);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    Receiver second;
    EXPECT_NE(0u, second.Start(name));
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(name, Frame(1, 2), &ack));
    EXPECT_EQ(0x200Cu, ack);
}

// A receiving end can identify its sender but not act as it. Wine's impersonation ignores the
// sender's quality of service (it always reports SecurityImpersonation), so there the level is
// only reported.
TEST(ChannelSecurity, SenderAllowsIdentificationOnly)
{
    const std::wstring name = PipePath(UniqueName(L"sqos"));
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 1024, 1024, 1000, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    int level = -1;
    std::thread receiver([&] {
        ConnectNamedPipe(server, NULL);
        BYTE buf[16];
        DWORD n = 0;
        ReadFile(server, buf, sizeof(buf), &n, NULL);
        if (ImpersonateNamedPipeClient(server)) {
            HANDLE token = NULL;
            if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
                SECURITY_IMPERSONATION_LEVEL value;
                if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof(value), &n)) {
                    level = value;
                }
                CloseHandle(token);
            }
            RevertToSelf();
        }
        const DWORD ack = 0;
        WriteFile(server, &ack, sizeof(ack), &n, NULL);
        FlushFileBuffers(server);
        DisconnectNamedPipe(server);
    });
    DWORD ack = 9;
    EXPECT_EQ(0u, SendFrame(name, Frame(1, 2), &ack));
    receiver.join();
    CloseHandle(server);
    EXPECT_EQ(0u, ack);
    if (IsWine()) {
        GTEST_SKIP() << "Wine reports impersonation level " << level << " whatever the sender asks";
    }
    EXPECT_LE(level, static_cast<int>(SecurityIdentification));
}
