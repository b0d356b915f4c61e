#include "CClientNotifier.h"
#include "CNotifyQueue.h"
#include "Notify.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using testsupport::NowMs;

namespace {

// A client side that records each body and can be held up, as a hung tray application would.
class FakeClients {
public:
    FakeClients() : m_release(CreateEventW(NULL, TRUE, TRUE, NULL)), m_entered(CreateEventW(NULL, FALSE, FALSE, NULL)) {}
    ~FakeClients()
    {
        CloseHandle(m_release);
        CloseHandle(m_entered);
    }

    // Sends block until Release, or until the queue aborts them.
    void Hold() { ResetEvent(m_release); }
    void Release() { SetEvent(m_release); }
    bool WaitEntered(DWORD ms) { return WaitForSingleObject(m_entered, ms) == WAIT_OBJECT_0; }

    static DWORD Send(LPVOID data, LPVOID buf, DWORD len, HANDLE abort)
    {
        FakeClients* self = static_cast<FakeClients*>(data);
        SetEvent(self->m_entered);
        HANDLE waits[2] = { self->m_release, abort };
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_bodies.emplace_back(static_cast<BYTE*>(buf), static_cast<BYTE*>(buf) + len);
        if (wait == WAIT_OBJECT_0 + 1) self->m_aborted++;
        return 0;
    }

    std::vector<DWORD> Codes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<DWORD> codes;
        for (const auto& body : m_bodies) codes.push_back(*reinterpret_cast<const DWORD*>(body.data()));
        return codes;
    }
    std::vector<std::vector<BYTE>> Bodies()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bodies;
    }
    int Aborted() { return m_aborted; }
    bool WaitForCount(size_t count, DWORD ms)
    {
        const ULONGLONG deadline = NowMs() + ms;
        while (Codes().size() < count) {
            if (NowMs() > deadline) return false;
            Sleep(10);
        }
        return true;
    }

private:
    HANDLE m_release;
    HANDLE m_entered;
    std::mutex m_mutex;
    std::vector<std::vector<BYTE>> m_bodies;
    int m_aborted = 0;
};

}  // namespace

TEST(NotifyQueue, DeliversInOrderWithTheFailureCodeInEightBytes)
{
    FakeClients clients;
    CNotifyQueue queue;
    ASSERT_EQ(0u, queue.Initialize(FakeClients::Send, &clients));
    queue.Push(NOTIFY_S4_ENABLED, 0);
    queue.Push(NOTIFY_HIBERNATING, 0);
    queue.Push(NOTIFY_AC_LOST, 0);
    queue.Push(NOTIFY_S4_FAILED, 5);
    ASSERT_TRUE(clients.WaitForCount(4, 5000));
    queue.Finalize(0, 0);

    const std::vector<std::vector<BYTE>> bodies = clients.Bodies();
    ASSERT_EQ(4u, bodies.size());
    EXPECT_EQ(std::vector<BYTE>({ 0x08, 0, 0, 0 }), bodies[0]);
    EXPECT_EQ(std::vector<BYTE>({ 0x06, 0, 0, 0 }), bodies[1]);
    EXPECT_EQ(std::vector<BYTE>({ 0x01, 0, 0, 0 }), bodies[2]);
    EXPECT_EQ(std::vector<BYTE>({ 0x04, 0, 0, 0, 0x05, 0, 0, 0 }), bodies[3]);
}

namespace {

// A queue whose first notification (NOTIFY_AC_RESTORED) is being sent to a client that holds it.
class NotifyQueueBehindAHeldSend : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, queue.Initialize(FakeClients::Send, &clients));
        clients.Hold();
        queue.Push(NOTIFY_AC_RESTORED, 0);
        ASSERT_TRUE(clients.WaitEntered(5000));
    }
    // What waits behind the held send when the service stops.
    void PushUpToTheStop()
    {
        queue.Push(NOTIFY_BATTERY_OK, 0);
        queue.Push(NOTIFY_SERVICE_STOPPED, 0);
        queue.Push(NOTIFY_AC_LOST, 0);
    }

    FakeClients clients;
    CNotifyQueue queue;
};

}  // namespace

TEST_F(NotifyQueueBehindAHeldSend, RepeatedBatteryLevelWaitingBehindASlowClientIsDropped)
{

    for (DWORD code : { NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_LOW, NOTIFY_AC_LOST,
                        NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_OK, NOTIFY_BATTERY_OK, NOTIFY_BATTERY_LOW }) {
        queue.Push(code, 0);
    }
    clients.Release();
    ASSERT_TRUE(clients.WaitForCount(5, 5000));
    Sleep(100);  // nothing more may follow
    queue.Finalize(0, 0);
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED, NOTIFY_BATTERY_LOW, NOTIFY_AC_LOST,
                                   NOTIFY_BATTERY_OK, NOTIFY_BATTERY_LOW }),
              clients.Codes());
}

TEST_F(NotifyQueueBehindAHeldSend, AHungClientCannotMakeTheQueueGrowWithoutBound)
{
    for (int i = 0; i < 5000; ++i) {
        queue.Push(i % 2 ? NOTIFY_BATTERY_LOW : NOTIFY_AC_RESTORED, 0);
    }
    clients.Release();
    ASSERT_TRUE(clients.WaitForCount(1 + CNotifyQueue::kMaxQueued, 10000));
    Sleep(100);  // nothing more may follow
    queue.Finalize(0, 0);
    EXPECT_EQ(1u + CNotifyQueue::kMaxQueued, clients.Codes().size());
}

TEST_F(NotifyQueueBehindAHeldSend, StopDeliversOnlyTheStopNotice)
{
    PushUpToTheStop();
    std::thread stopper([&] { queue.Finalize(NOTIFY_SERVICE_STOPPED, 5000); });
    Sleep(200);  // the stop drops what waits at once; the held send then goes on
    clients.Release();
    stopper.join();
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED, NOTIFY_SERVICE_STOPPED }), clients.Codes());
    EXPECT_EQ(0, clients.Aborted());
}

TEST_F(NotifyQueueBehindAHeldSend, StopAbortsASendThatOutlastsTheDrainTime)
{
    PushUpToTheStop();

    // The send in progress never ends by itself: the stop gives it the drain time, then aborts it.
    const ULONGLONG t0 = NowMs();
    queue.Finalize(NOTIFY_SERVICE_STOPPED, 300);
    const ULONGLONG elapsed = NowMs() - t0;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(1, clients.Aborted());
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED }), clients.Codes());

    queue.Push(NOTIFY_AC_LOST, 0);  // after the stop: dropped, no crash
    queue.Finalize(0, 0);
}

namespace {

// Several applications behind one notifier: client n sends through clients[n].
struct FakeClientTable {
    FakeClients clients[4];
    CClientNotifier* notifier = nullptr;
    DWORD goneClient = 0;  // this one's pipe is gone: its send removes it, as the server reports
    bool takenMeanwhile = false;  // a new application gets the handle before that report

    static DWORD SendTo(LPVOID data, DWORD client, LPVOID buf, DWORD len, HANDLE abort)
    {
        FakeClientTable* self = static_cast<FakeClientTable*>(data);
        if (client == self->goneClient) {
            self->goneClient = 0;
            if (self->takenMeanwhile) {
                EXPECT_EQ(0u, self->notifier->AddClient(client));
            }
            self->notifier->RemoveClient(client);
            return ERROR_FILE_NOT_FOUND;
        }
        return FakeClients::Send(&self->clients[client], buf, len, abort);
    }
};

const std::vector<DWORD> kAcLossSequence = { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST };

}  // namespace

TEST(ClientNotifier, AHungClientDelaysNoOtherClientAndStopsWithinTheDrainTime)
{
    FakeClientTable table;
    CClientNotifier notifier;
    ASSERT_EQ(0u, notifier.Initialize(FakeClientTable::SendTo, &table));
    table.clients[1].Hold();
    table.clients[3].Hold();
    for (DWORD client : { 1u, 2u, 3u }) ASSERT_EQ(0u, notifier.AddClient(client));
    for (DWORD code : kAcLossSequence) notifier.Push(code, 0);

    EXPECT_TRUE(table.clients[2].WaitForCount(3, 2000));
    EXPECT_EQ(kAcLossSequence, table.clients[2].Codes());
    EXPECT_TRUE(table.clients[1].Codes().empty());

    // Two hung clients share one drain time, and their sends are aborted at its end.
    notifier.Push(NOTIFY_SERVICE_STOPPED, 0);
    const ULONGLONG t0 = NowMs();
    notifier.Finalize(NOTIFY_SERVICE_STOPPED, 400);
    const ULONGLONG took = NowMs() - t0;
    EXPECT_GE(took, 350u);
    EXPECT_LT(took, 1500u);
    EXPECT_EQ(1, table.clients[1].Aborted());
    EXPECT_EQ(1, table.clients[3].Aborted());
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST,
                                   NOTIFY_SERVICE_STOPPED }),
              table.clients[2].Codes());
}

TEST(ClientNotifier, AClientWhosePipeIsGoneLeavesFromItsOwnThread)
{
    FakeClientTable table;
    CClientNotifier notifier;
    table.notifier = &notifier;
    table.goneClient = 1;
    ASSERT_EQ(0u, notifier.Initialize(FakeClientTable::SendTo, &table));
    ASSERT_EQ(0u, notifier.AddClient(1));
    ASSERT_EQ(0u, notifier.AddClient(2));
    notifier.Push(NOTIFY_AC_RESTORED, 0);
    ASSERT_TRUE(table.clients[2].WaitForCount(1, 2000));

    // Its handle is given to the next application, which receives only what comes after.
    ASSERT_EQ(0u, notifier.AddClient(1));
    notifier.Push(NOTIFY_BATTERY_OK, 0);
    EXPECT_TRUE(table.clients[1].WaitForCount(1, 2000));
    EXPECT_TRUE(table.clients[2].WaitForCount(2, 2000));
    notifier.Finalize(0, 0);
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_BATTERY_OK }), table.clients[1].Codes());
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED, NOTIFY_BATTERY_OK }), table.clients[2].Codes());

    // After the stop nothing is taken any more.
    EXPECT_NE(0u, notifier.AddClient(3));
    notifier.Push(NOTIFY_AC_LOST, 0);
}

// The server may give a handle to a new application before the end of its former holder has been
// reported from that holder's delivery thread: the late report must not cost the new one anything.
TEST(ClientNotifier, LateReportOfAGoneClientSparesTheNewHolderOfItsHandle)
{
    FakeClientTable table;
    CClientNotifier notifier;
    table.notifier = &notifier;
    table.goneClient = 1;
    table.takenMeanwhile = true;
    ASSERT_EQ(0u, notifier.Initialize(FakeClientTable::SendTo, &table));
    ASSERT_EQ(0u, notifier.AddClient(1));
    ASSERT_EQ(0u, notifier.AddClient(2));
    notifier.Push(NOTIFY_AC_RESTORED, 0);
    ASSERT_TRUE(table.clients[2].WaitForCount(1, 2000));
    Sleep(100);  // the old holder's thread has reported its end

    notifier.Push(NOTIFY_BATTERY_OK, 0);
    EXPECT_TRUE(table.clients[1].WaitForCount(1, 2000));
    EXPECT_TRUE(table.clients[2].WaitForCount(2, 2000));
    notifier.Finalize(0, 0);
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_BATTERY_OK }), table.clients[1].Codes());
}
