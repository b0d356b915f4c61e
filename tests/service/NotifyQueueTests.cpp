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

// A notification as the controller queues it: 8 bytes for a failed hibernation, battery levels
// in one repeat group.
NotifyItem Item(DWORD code, DWORD value = 0)
{
    const bool level = code == NOTIFY_BATTERY_LOW || code == NOTIFY_BATTERY_OK;
    const bool state = level || code == NOTIFY_AC_RESTORED || code == NOTIFY_S4_ENABLED;
    return NotifyItem{ code, value, code == NOTIFY_S4_FAILED ? 8u : 4u, level ? 1u : 0u, state };
}

// A client side that records each body and can be held up, as a hung tray application would.
class FakeClients : public INotifySender {
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

    DWORD SendTo(DWORD, LPCVOID buf, DWORD len, HANDLE abort) override
    {
        SetEvent(m_entered);
        HANDLE waits[2] = { m_release, abort };
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bodies.emplace_back(static_cast<const BYTE*>(buf), static_cast<const BYTE*>(buf) + len);
        if (wait == WAIT_OBJECT_0 + 1) m_aborted++;
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
    ASSERT_EQ(0u, queue.Initialize(&clients, 1));
    queue.Push(Item(NOTIFY_S4_ENABLED));
    queue.Push(Item(NOTIFY_HIBERNATING));
    queue.Push(Item(NOTIFY_AC_LOST));
    queue.Push(Item(NOTIFY_S4_FAILED, 5));
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
        ASSERT_EQ(0u, queue.Initialize(&clients, 1));
        clients.Hold();
        queue.Push(Item(NOTIFY_AC_RESTORED));
        ASSERT_TRUE(clients.WaitEntered(5000));
    }
    // What waits behind the held send when the service stops.
    void PushUpToTheStop()
    {
        queue.Push(Item(NOTIFY_BATTERY_OK));
        queue.Push(Item(NOTIFY_SERVICE_STOPPED));
        queue.Push(Item(NOTIFY_AC_LOST));
    }

    FakeClients clients;
    CNotifyQueue queue;
};

}  // namespace

TEST_F(NotifyQueueBehindAHeldSend, RepeatedBatteryLevelWaitingBehindASlowClientIsDropped)
{

    for (DWORD code : { NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_LOW, NOTIFY_AC_LOST,
                        NOTIFY_BATTERY_LOW, NOTIFY_BATTERY_OK, NOTIFY_BATTERY_OK, NOTIFY_BATTERY_LOW }) {
        queue.Push(Item(code));
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
        queue.Push(Item(i % 2 ? NOTIFY_BATTERY_LOW : NOTIFY_AC_RESTORED));
    }
    clients.Release();
    ASSERT_TRUE(clients.WaitForCount(1 + CNotifyQueue::kMaxQueued, 10000));
    Sleep(100);  // nothing more may follow
    queue.Finalize(0, 0);
    EXPECT_EQ(1u + CNotifyQueue::kMaxQueued, clients.Codes().size());
}

// State reports that change at every push (nothing collapses) flood a hung client's queue while
// alerts come in between: every alert goes out, in order, and the state sheds oldest first.
TEST_F(NotifyQueueBehindAHeldSend, AFullQueueShedsOldStateNeverAnAlert)
{
    std::vector<DWORD> alerts;
    const DWORD kinds[] = { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST, NOTIFY_S4_FAILED };
    for (int i = 0; i < 3000; ++i) {
        queue.Push(Item(i % 2 ? NOTIFY_BATTERY_LOW : NOTIFY_BATTERY_OK));
        if (i % 37 == 0) {
            const DWORD alert = kinds[(i / 37) % 4];
            queue.Push(Item(alert, i));
            if (alert != NOTIFY_S4_ENABLED) alerts.push_back(alert);
        }
    }
    clients.Release();
    auto alertsHeard = [&] {
        std::vector<DWORD> got;
        for (DWORD c : clients.Codes()) {
            if (!Item(c).bState) got.push_back(c);
        }
        return got;
    };
    for (ULONGLONG end = NowMs() + 10000; alertsHeard() != alerts && NowMs() < end;) Sleep(20);
    Sleep(100);  // nothing more may follow
    EXPECT_EQ(alerts, alertsHeard());
    queue.Finalize(0, 0);
    EXPECT_LE(clients.Codes().size(), 1u + CNotifyQueue::kMaxQueued);
    EXPECT_EQ(static_cast<DWORD>(NOTIFY_BATTERY_LOW), clients.Codes().back());  // the newest state
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

    queue.Push(Item(NOTIFY_AC_LOST));  // after the stop: dropped, no crash
    queue.Finalize(0, 0);
}

namespace {

// Several applications behind one notifier: client n sends through clients[n].
struct FakeClientTable : INotifySender {
    FakeClients clients[4];
    DWORD goneClient = 0;  // this one's pipe is gone: its next send says so

    DWORD SendTo(DWORD client, LPCVOID buf, DWORD len, HANDLE abort) override
    {
        if (client == goneClient) {
            goneClient = 0;
            return ERROR_FILE_NOT_FOUND;
        }
        return clients[client].SendTo(client, buf, len, abort);
    }
};

const std::vector<DWORD> kAcLossSequence = { NOTIFY_S4_ENABLED, NOTIFY_HIBERNATING, NOTIFY_AC_LOST };

}  // namespace

TEST(ClientNotifier, AHungClientDelaysNoOtherClientAndStopsWithinTheDrainTime)
{
    FakeClientTable table;
    CClientNotifier notifier;
    ASSERT_EQ(0u, notifier.Initialize(&table));
    table.clients[1].Hold();
    table.clients[3].Hold();
    for (DWORD client : { 1u, 2u, 3u }) ASSERT_EQ(0u, notifier.AddClient(client));
    for (DWORD code : kAcLossSequence) notifier.Push(Item(code));

    EXPECT_TRUE(table.clients[2].WaitForCount(3, 2000));
    EXPECT_EQ(kAcLossSequence, table.clients[2].Codes());
    EXPECT_TRUE(table.clients[1].Codes().empty());

    // Two hung clients share one drain time, and their sends are aborted at its end.
    notifier.Push(Item(NOTIFY_SERVICE_STOPPED));
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
    table.goneClient = 1;
    ASSERT_EQ(0u, notifier.Initialize(&table));
    ASSERT_EQ(0u, notifier.AddClient(1));
    ASSERT_EQ(0u, notifier.AddClient(2));
    notifier.Push(Item(NOTIFY_AC_RESTORED));
    notifier.Push(Item(NOTIFY_AC_LOST));  // never tried: the first send found client 1 gone
    ASSERT_TRUE(table.clients[2].WaitForCount(2, 2000));

    // Its handle is given to the next application, which receives only what comes after.
    ASSERT_EQ(0u, notifier.AddClient(1));
    notifier.Push(Item(NOTIFY_BATTERY_OK));
    EXPECT_TRUE(table.clients[1].WaitForCount(1, 2000));
    EXPECT_TRUE(table.clients[2].WaitForCount(3, 2000));
    notifier.Finalize(0, 0);
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_BATTERY_OK }), table.clients[1].Codes());
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED, NOTIFY_AC_LOST, NOTIFY_BATTERY_OK }),
              table.clients[2].Codes());

    // After the stop nothing is taken any more.
    EXPECT_NE(0u, notifier.AddClient(3));
    notifier.Push(Item(NOTIFY_AC_LOST));
}

// The server may give a handle to a new application while a send to its former holder is still
// on the way: the old send gives up, and its end costs the new holder nothing.
TEST(ClientNotifier, ANewHolderOfAHandleReplacesTheOldOneMidSend)
{
    FakeClientTable table;
    CClientNotifier notifier;
    ASSERT_EQ(0u, notifier.Initialize(&table));
    table.clients[1].Hold();
    ASSERT_EQ(0u, notifier.AddClient(1));
    notifier.Push(Item(NOTIFY_AC_RESTORED));
    ASSERT_TRUE(table.clients[1].WaitEntered(2000));

    ASSERT_EQ(0u, notifier.AddClient(1));
    EXPECT_EQ(1, table.clients[1].Aborted());
    table.clients[1].Release();
    notifier.Push(Item(NOTIFY_BATTERY_OK));
    EXPECT_TRUE(table.clients[1].WaitForCount(2, 2000));
    notifier.Finalize(0, 0);
    EXPECT_EQ(std::vector<DWORD>({ NOTIFY_AC_RESTORED, NOTIFY_BATTERY_OK }), table.clients[1].Codes());
}
