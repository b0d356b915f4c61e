#include "CPipeSv.h"
#include "PipeTestSupport.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <stdio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace pipetest;
using testsupport::NowMs;

namespace {

// Memory this process has committed: the commit charge (Wine leaves PrivateUsage at 0).
ULONGLONG CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

// A server in this process whose owner records every event; it can be told to answer each
// registration with a SendAll of its own, as the service does.
struct Owner {
    std::wstring suffix = UniqueName(L"sv");
    std::mutex lock;
    std::vector<PIPEEVENT> events;
    std::atomic<bool> sendOnConnect{false};
    std::atomic<int> sendsOnConnect{0};

    static void OnEvent(LPVOID self_, PPIPEEVENT evt)
    {
        Owner* self = static_cast<Owner*>(self_);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->events.push_back(*evt);
        }
        if (evt->dwEvent == PIPEEVENT_CONNECTED && self->sendOnConnect) {
            const DWORD notify = 0x100 + evt->dwCode;
            DWORD ret = 0;
            self->server.SendAll(&notify, sizeof(notify), &ret, NULL);
            self->sendsOnConnect++;
        }
    }
    DWORD Start() { return server.Initialize(suffix.c_str(), OnEvent, this); }
    std::wstring Ctrl() const { return PIPE_CTRL_PREFIX + suffix; }
    std::wstring Data() const { return PIPE_DATA_PREFIX + suffix; }
    std::wstring OwnNotifyName() const { return NotifyPipeName(suffix, GetCurrentProcessId()); }
    int Count(DWORD kind, DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const PIPEEVENT& e : events) n += (e.dwEvent == kind && e.dwCode == code) ? 1 : 0;
        return n;
    }
    int Count(DWORD kind)
    {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const PIPEEVENT& e : events) n += (e.dwEvent == kind) ? 1 : 0;
        return n;
    }
    // A registration sent from this process; returns the acknowledgement.
    DWORD Register(const std::wstring& name)
    {
        DWORD ack = 0xEE;
        EXPECT_EQ(0u, SendFrame(Ctrl(), TextFrame(PIPEREQUEST_CONNECT, name), &ack));
        return ack;
    }
    DWORD Close(DWORD handle)
    {
        DWORD ack = 0xEE;
        EXPECT_EQ(0u, SendFrame(Ctrl(), Frame(PIPEREQUEST_CLOSE, handle), &ack));
        return ack;
    }
    // Registers count helper clients (handles 1..count); the second ends without unregistering,
    // so handle 2 is gone while the server still lists it.
    void StartClientsSecondGone(Helper* clients, int count)
    {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(clients[i].Start(L"client", suffix, i == 1 ? L"die" : L"fin"));
        }
        ASSERT_EQ(0u, clients[1].Finish());
    }

    // Declared last, so destroyed first: the thread that calls OnEvent ends before what OnEvent
    // records into goes.
    CPipeSv server;
};

}  // namespace

TEST(PipeServer, HandlesStartAtOneAndReuseTheLowestFree)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper clients[3];
    for (Helper& client : clients) {
        ASSERT_TRUE(client.Start(L"client", owner.suffix, L"fin"));
    }
    ASSERT_EQ(0u, clients[1].Finish());
    EXPECT_EQ(2, Helper::Value(clients[1].Output(), "id"));
    // The close is acknowledged before the owner hears of it.
    EXPECT_TRUE(WaitUntil([&] { return owner.Count(PIPEEVENT_DISCONNECTED, 2) == 1; }, 3000));
    EXPECT_EQ(2u, owner.Register(owner.OwnNotifyName()));
    ASSERT_EQ(0u, clients[0].Finish());
    EXPECT_TRUE(WaitUntil([&] { return owner.Count(PIPEEVENT_DISCONNECTED, 1) == 1; }, 3000));
    // Registered again, our name gives up its session (2) and takes the lowest free handle.
    EXPECT_EQ(1u, owner.Register(owner.OwnNotifyName()));
    EXPECT_EQ(2, owner.Count(PIPEEVENT_DISCONNECTED, 2));
    EXPECT_EQ(0u, clients[2].Finish());
    EXPECT_EQ(3, Helper::Value(clients[2].Output(), "id"));
}

// One process registering its name over and over holds one handle, so the others still get
// theirs and hear every notification once.
TEST(PipeServer, OneNameHoldsOneSessionHoweverOftenRegistered)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(1u, owner.Register(owner.OwnNotifyName()));
    }
    EXPECT_EQ(99, owner.Count(PIPEEVENT_DISCONNECTED, 1));
    Helper other;
    ASSERT_TRUE(other.Start(L"client", owner.suffix, L"fin")) << other.Finish(0) << " " << other.Output();
    const DWORD notify = 0x77;
    DWORD ret = 0;
    owner.server.SendAll(&notify, sizeof(notify), &ret, NULL);
    ASSERT_EQ(0u, other.Finish());
    const std::string out = other.Output();
    EXPECT_EQ(2, Helper::Value(out, "id"));
    EXPECT_EQ(1, Helper::CountLines(out, "N 119"));
}

// A full table refuses the next registration; a freed handle is handed out again.
TEST(PipeServer, HundredSessionsAndTheNextIsRefused)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    std::vector<std::unique_ptr<Helper>> clients;
    for (int i = 0; i < 99; ++i) {
        // A hundred Wine processes at once: one that does not come up is told and started again
        // (what is tested here is the table, not process creation).
        for (int attempt = 0; attempt < 2; ++attempt) {
            clients.emplace_back(new Helper);
            if (clients.back()->Start(L"client", owner.suffix, L"fin")) {
                break;
            }
            printf("helper %d did not start: exit %lu %s\n", i, clients.back()->Finish(1000),
                   clients.back()->Output().c_str());
            clients.pop_back();
        }
        ASSERT_EQ(static_cast<size_t>(i + 1), clients.size());
    }
    EXPECT_EQ(100u, owner.Register(owner.OwnNotifyName()));
    Helper refused;
    ASSERT_TRUE(refused.Start(L"client", owner.suffix, L"fin"));
    ASSERT_EQ(0u, clients[56]->Finish());
    EXPECT_EQ(57, Helper::Value(clients[56]->Output(), "id"));
    EXPECT_TRUE(WaitUntil([&] { return owner.Count(PIPEEVENT_DISCONNECTED, 57) == 1; }, 3000));
    EXPECT_EQ(57u, owner.Register(owner.OwnNotifyName()));
    EXPECT_EQ(2u, refused.Finish());  // a refusal is a failure: the application tries again
    EXPECT_EQ(0, Helper::Value(refused.Output(), "id"));
}

// The slot that gives way in a full table, by logon session. Wine runs every process in one
// session, so the choice is tested on the table alone: sessions are given as runs of
// registrations, oldest first; the newcomer's session; the index of the registration that gives
// way (-1: the newcomer is refused).
TEST(PipeServer, FullTableGivesWayToSessionsHoldingFewer)
{
    struct Run { DWORD session; int count; };
    struct Case { const char* what; std::vector<Run> runs; DWORD newcomer; int evicted; };
    const Case cases[] = {
        { "one session: the 101st is refused", { { 1, 100 } }, 1, -1 },
        { "a session with none takes the newest of the only one", { { 1, 100 } }, 2, 99 },
        { "the largest session gives way, its newest", { { 1, 60 }, { 2, 30 }, { 1, 10 } }, 3, 99 },
        { "newest of the largest, registered earlier", { { 1, 30 }, { 2, 60 }, { 3, 10 } }, 1, 89 },
        { "a newcomer as large as the largest is refused", { { 1, 50 }, { 2, 50 } }, 2, -1 },
        { "between equals the newest registration", { { 1, 40 }, { 2, 40 }, { 3, 20 } }, 3, 79 },
        { "one short of the largest still gets in", { { 1, 51 }, { 2, 49 } }, 2, 50 },
    };
    for (const Case& c : cases) {
        CSessionList list;
        std::vector<CLIENT_SESSION> nodes(PIPE_MAX_CLIENT_HANDLE);
        size_t n = 0;
        for (const Run& run : c.runs) {
            for (int i = 0; i < run.count; ++i, ++n) {
                nodes[n].dwSessionId = run.session;
                DWORD handle = 0;
                ASSERT_EQ(0u, list.Insert(&nodes[n], &handle)) << c.what;
            }
        }
        ASSERT_TRUE(list.IsFull()) << c.what;
        const CLIENT_SESSION* chosen = list.ChooseEvictee(c.newcomer);
        EXPECT_EQ(c.evicted < 0 ? nullptr : &nodes[c.evicted], chosen) << c.what;
    }
}

TEST(PipeServer, MalformedControlRequests)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    const std::wstring own = owner.OwnNotifyName();
    std::wstring upper = own;
    for (size_t i = 0; i < upper.size() - 8; ++i) upper[i] = towupper(upper[i]);
    const wchar_t unterminated[4] = { L'a', L'b', L'c', L'd' };
    const DWORD one = 1;
    const WORD zero = 0;
    struct Case { const char* what; std::vector<BYTE> bytes; DWORD ack; };
    const Case cases[] = {
        { "short", { 0, 0, 0, 0 }, PIPEACK_BADREQUEST },
        { "unknown code", Frame(9, 1), PIPEACK_BADREQUEST },
        { "close with 8 bytes", Frame(PIPEREQUEST_CLOSE, 8, "\1\0\0\0\0\0\0\0", 8), PIPEACK_BADREQUEST },
        { "close announcing 4, sending 2", Frame(PIPEREQUEST_CLOSE, 4, &one, 2), PIPEACK_BADREQUEST },
        { "close of handle 0", Frame(PIPEREQUEST_CLOSE, 0), PIPEACK_REJECTED },
        { "close of unknown handle", Frame(PIPEREQUEST_CLOSE, 77), PIPEACK_REJECTED },
        { "close of 0xFFFFFFFF", Frame(PIPEREQUEST_CLOSE, 0xFFFFFFFF), PIPEACK_REJECTED },
        { "connect size 0", Frame(PIPEREQUEST_CONNECT, 0, NULL, 0), 0 },
        { "connect size 1", Frame(PIPEREQUEST_CONNECT, 1, &zero, 1), 0 },
        { "connect empty name", TextFrame(PIPEREQUEST_CONNECT, L""), 0 },
        { "unterminated name", Frame(PIPEREQUEST_CONNECT, 8, unterminated, 8), 0 },
        { "name cut by dwDataSize", Frame(PIPEREQUEST_CONNECT, 4, own.c_str(), (own.size() + 1) * 2), 0 },
        { "a file", TextFrame(PIPEREQUEST_CONNECT, L"C:\\windows\\win.ini"), 0 },
        { "another pipe", TextFrame(PIPEREQUEST_CONNECT, L"\\\\.\\pipe\\other"), 0 },
        { "prefix alone", TextFrame(PIPEREQUEST_CONNECT, owner.Data()), 0 },
        { "seven digits", TextFrame(PIPEREQUEST_CONNECT, own.substr(0, own.size() - 1)), 0 },
        { "nine digits", TextFrame(PIPEREQUEST_CONNECT, own + L"0"), 0 },
        { "not hexadecimal", TextFrame(PIPEREQUEST_CONNECT, owner.Data() + L"0000zzzz"), 0 },
        { "another process's id", TextFrame(PIPEREQUEST_CONNECT, NotifyPipeName(owner.suffix, GetCurrentProcessId() + 4)), 0 },
    };
    for (const Case& c : cases) {
        DWORD ack = 0xEE;
        EXPECT_EQ(0u, SendFrame(owner.Ctrl(), c.bytes, &ack)) << c.what;
        EXPECT_EQ(c.ack, ack) << c.what;
    }
    EXPECT_EQ(0, owner.Count(PIPEEVENT_CONNECTED));
    EXPECT_EQ(0, owner.Count(PIPEEVENT_DISCONNECTED));
    // Nothing was registered by the above; the prefix compares without regard to case.
    EXPECT_EQ(1u, owner.Register(upper));
}

TEST(PipeServer, DataFromUnknownSendersIsRejected)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    ASSERT_EQ(1u, owner.Register(owner.OwnNotifyName()));
    DWORD ack = 0xEE;
    EXPECT_EQ(0u, SendFrame(owner.Data(), Frame(1, 7), &ack));
    EXPECT_EQ(PIPEACK_OK, ack);
    EXPECT_EQ(0u, SendFrame(owner.Data(), Frame(2, 7), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);
    EXPECT_EQ(0u, SendFrame(owner.Data(), Frame(0, 7), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);

    // Every announcement gets its answer: an unknown sender 4 whatever it announces, a registered
    // one 0 for a frame longer than a request (handed on, for the owner to ignore) and 5 beyond
    // the frame bound. Nothing is allocated for an announcement, and the next request is served.
    const ULONGLONG before = CommittedBytes();
    const BYTE payload[8] = {};
    const struct {
        DWORD sender, size, ack;
    } answers[] = {
        { 55u, 0x7FFFFFF0u, PIPEACK_REJECTED }, { 55u, 8u, PIPEACK_REJECTED },
        { 1u, 0x7FFFFFF0u, PIPEACK_BADREQUEST }, { 1u, 8u, PIPEACK_OK },
    };
    for (const auto& a : answers) {
        DWORD rawAck = 0xEE;
        EXPECT_EQ(0u, RawExchange(owner.Data(), Frame(a.sender, a.size, payload, sizeof(payload)), &rawAck))
            << a.sender << " " << a.size;
        EXPECT_EQ(a.ack, rawAck) << a.sender << " " << a.size;
    }
    EXPECT_LT(CommittedBytes(), before + 16 * 1024 * 1024);
    EXPECT_EQ(0u, SendFrame(owner.Data(), Frame(1, 7), &ack));
    EXPECT_EQ(PIPEACK_OK, ack);
    EXPECT_TRUE(WaitUntil([&] { return owner.Count(PIPEEVENT_DATA) == 3; }, 3000));
    EXPECT_EQ(3, owner.Count(PIPEEVENT_DATA, 1));
    EXPECT_EQ(0, owner.Count(PIPEEVENT_HEADER));
}

TEST(PipeServer, OnlyTheRegisteringProcessMayClose)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper client;
    ASSERT_TRUE(client.Start(L"client", owner.suffix, L"fin"));
    EXPECT_EQ(PIPEACK_REJECTED, owner.Close(1));  // registered by the helper, not by us
    EXPECT_EQ(0u, client.Finish());
    EXPECT_EQ(1, Helper::Value(client.Output(), "id"));
    // Its own close was honoured (acknowledged before the owner hears of it).
    EXPECT_TRUE(WaitUntil([&] { return owner.Count(PIPEEVENT_DISCONNECTED, 1) == 1; }, 3000));
}

TEST(PipeServer, SendAllDropsTheClientThatIsGone)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper clients[3];
    ASSERT_NO_FATAL_FAILURE(owner.StartClientsSecondGone(clients, 3));
    const DWORD notify = 0x21;
    DWORD ret = 0;
    EXPECT_EQ(2u, owner.server.SendAll(&notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(1, owner.Count(PIPEEVENT_DISCONNECTED));
    EXPECT_EQ(1, owner.Count(PIPEEVENT_DISCONNECTED, 2));
    // Only the second is gone: the next round reaches both others and fails nowhere.
    EXPECT_EQ(0u, owner.server.SendAll(&notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(PIPEACK_OK, ret);
    for (int i : { 0, 2 }) {
        EXPECT_EQ(0u, clients[i].Finish());
        EXPECT_EQ(2, Helper::CountLines(clients[i].Output(), "N 33")) << i;
    }
}

// SendTo reaches one session only; a gone one is dropped as SendAll drops it, and its result is the
// only report of it.
TEST(PipeServer, SendToServesOneSession)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper clients[2];
    ASSERT_NO_FATAL_FAILURE(owner.StartClientsSecondGone(clients, 2));
    const DWORD notify = 0x21;
    DWORD ret = 0;
    EXPECT_EQ(0u, owner.server.SendTo(1, &notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(PIPEACK_OK, ret);
    EXPECT_EQ(2u, owner.server.SendTo(2, &notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), owner.server.SendTo(2, &notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), owner.server.SendTo(7, &notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(87u, owner.server.SendTo(1, NULL, 4, &ret, NULL));
    EXPECT_EQ(0, owner.Count(PIPEEVENT_DISCONNECTED));
    EXPECT_EQ(0u, clients[0].Finish());
    EXPECT_EQ(1, Helper::CountLines(clients[0].Output(), "N 33"));
}

TEST(PipeServer, SendAllWithoutSessionsSendsNothing)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    const DWORD notify = 1;
    DWORD ret = 0x77;
    EXPECT_EQ(0u, owner.server.SendAll(&notify, sizeof(notify), &ret, NULL));
    EXPECT_EQ(0x77u, ret);
    EXPECT_EQ(87u, owner.server.SendAll(NULL, 4, &ret, NULL));
    EXPECT_EQ(87u, owner.server.SendAll(&notify, 4, NULL, NULL));
}

TEST(PipeServer, FinalizeRemovesSessionsWithoutDisconnectEvents)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper other;
    ASSERT_TRUE(other.Start(L"client", owner.suffix, L"fin"));
    owner.Register(owner.OwnNotifyName());
    owner.server.Finalize(NULL);
    EXPECT_EQ(0, owner.Count(PIPEEVENT_DISCONNECTED));
    // Set up anew, the table is empty.
    ASSERT_EQ(0u, owner.Start());
    EXPECT_EQ(1u, owner.Register(owner.OwnNotifyName()));
}

TEST(PipeServer, OwnerCallbackThatSendsAllDoesNotDeadlock)
{
    Owner owner;
    owner.sendOnConnect = true;
    ASSERT_EQ(0u, owner.Start());
    Helper first, second;
    ASSERT_TRUE(first.Start(L"client", owner.suffix, L"fin"));
    ASSERT_TRUE(second.Start(L"client", owner.suffix, L"fin"));
    EXPECT_TRUE(WaitUntil([&] { return owner.sendsOnConnect == 2; }, 10000));
    EXPECT_EQ(0u, first.Finish());
    EXPECT_EQ(0u, second.Finish());
    const std::string out1 = first.Output(), out2 = second.Output();
    SCOPED_TRACE("first: " + out1 + "second: " + out2);
    // Each registration reached every client registered by then.
    EXPECT_EQ(1, Helper::CountLines(out1, "N 257"));
    EXPECT_EQ(1, Helper::CountLines(out1, "N 258"));
    EXPECT_EQ(1, Helper::CountLines(out2, "N 258"));
    EXPECT_EQ(0, Helper::CountLines(out2, "N 257"));
}

// Three threads send while clients come and go and sessions whose pipes never existed are
// removed during the walks: every client that lives throughout gets every message.
TEST(PipeServer, ConcurrentSendAllWhileClientsComeAndGo)
{
    Owner owner;
    ASSERT_EQ(0u, owner.Start());
    Helper stable[2];
    for (Helper& h : stable) {
        ASSERT_TRUE(h.Start(L"client", owner.suffix, L"fin"));
    }
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        // Registrations of our own name: nobody serves it, so a send removes them.
        while (!stop) {
            owner.Register(owner.OwnNotifyName());
            Helper passing;
            passing.Start(L"client", owner.suffix, L"fin");
            Sleep(20);
        }
    });
    const int kPerThread = 15;
    std::thread senders[3];
    for (int t = 0; t < 3; ++t) {
        senders[t] = std::thread([&owner, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const DWORD notify = 1000 + t * 100 + i;
                DWORD ret = 0;
                owner.server.SendAll(&notify, sizeof(notify), &ret, NULL);
            }
        });
    }
    for (std::thread& t : senders) t.join();
    stop = true;
    churn.join();
    for (Helper& h : stable) {
        ASSERT_EQ(0u, h.Finish());
        const std::string out = h.Output();
        for (int t = 0; t < 3; ++t) {
            for (int i = 0; i < kPerThread; ++i) {
                EXPECT_EQ(1, Helper::CountLines(out, "N " + std::to_string(1000 + t * 100 + i)));
            }
        }
    }
}
