#include "CPipeRecv.h"
#include "PipeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace pipetest;

namespace {

// A framed receiver whose handler accepts sender 7 and rejects everything else, and records what
// it is shown.
struct Recorder {
    std::mutex lock;
    std::vector<PIPEEVENT> events;
    std::vector<BYTE> data;
    DWORD copiedSmall = 0;
    DWORD fromOtherThread = 0xFFFFFFFF;

    static void OnEvent(LPVOID self_, PPIPEEVENT evt)
    {
        Recorder* self = static_cast<Recorder*>(self_);
        if (evt->dwEvent == PIPEEVENT_HEADER) {
            evt->dwResult = (evt->dwCode == 7) ? PIPEACK_OK : PIPEACK_REJECTED;
        } else if (evt->dwEvent == PIPEEVENT_DATA) {
            std::vector<BYTE> buf(evt->dwDataSize + 16);
            const DWORD n = self->recv.GetReceivedData(buf.data(), static_cast<DWORD>(buf.size()));
            BYTE small[2];
            self->copiedSmall = self->recv.GetReceivedData(small, sizeof(small));
            std::thread([self] {
                BYTE other[8];
                self->fromOtherThread = self->recv.GetReceivedData(other, sizeof(other));
            }).join();
            std::lock_guard<std::mutex> guard(self->lock);
            self->data.assign(buf.begin(), buf.begin() + n);
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.push_back(*evt);
    }
    size_t DataEvents()
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (const PIPEEVENT& e : events) n += (e.dwEvent == PIPEEVENT_DATA) ? 1 : 0;
        return n;
    }

    // Declared last, so destroyed first: the thread that calls OnEvent ends before what OnEvent
    // records into goes.
    CPipeRecv recv;
};

}  // namespace

TEST(FramedReceiver, Frames)
{
    const DWORD payload = 0x11223344;
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        DWORD sendResult;     // 0: acknowledged; else any failure
        DWORD ack;
        size_t dataEvents;
        DWORD dataBytes;      // bytes GetReceivedData offers
        DWORD maxData = PIPE_MAX_DATA_SIZE;  // the receiver's limit
    };
    const std::vector<BYTE> shortHeader = { 7, 0, 0, 0 };
    std::vector<BYTE> fewer = Frame(7, 16, &payload, 4);
    const DWORD twoCodes[2] = { payload, payload };
    std::vector<BYTE> large(1000, 0x5A);
    memcpy(large.data(), &payload, 4);
    const Case cases[] = {
        { "header only", Frame(7, 0, NULL, 0), 0, PIPEACK_OK, 0, 0 },
        { "short header", shortHeader, 0, PIPEACK_OK, 0, 0 },
        { "rejected sender", Frame(9, payload), 0, PIPEACK_REJECTED, 0, 0 },
        { "accepted sender", Frame(7, payload), 0, PIPEACK_OK, 1, 4 },
        { "fewer bytes than announced", fewer, 0, PIPEACK_OK, 1, 4 },
        { "size above 0x7FFFFFFF", Frame(7, 0x80000000, &payload, 4), 0, PIPEACK_BADREQUEST, 0, 0 },
        { "rejected sender announcing 2 GB", Frame(9, 0x7FFFFFF0, &payload, 4), 0, PIPEACK_REJECTED, 0, 0 },
        { "rejected sender above 0x7FFFFFFF", Frame(9, 0xFFFFFFFF, &payload, 4), 0, PIPEACK_REJECTED, 0, 0 },
        { "accepted sender above the limit", Frame(7, 8, &payload, 4), 0, PIPEACK_BADREQUEST, 0, 0, 4 },
        { "accepted sender at the limit", Frame(7, payload), 0, PIPEACK_OK, 1, 4, 4 },
        { "accepted sender, more than one request", Frame(7, 8, twoCodes, 8), 0, PIPEACK_OK, 1, 8 },
        { "accepted sender, most of a pipe buffer", Frame(7, 1000, large.data(), 1000), 0, PIPEACK_OK, 1, 1000 },
        { "accepted sender beyond the frame bound", Frame(7, PIPE_MAX_FRAME_DATA + 1, &payload, 4), 0,
          PIPEACK_BADREQUEST, 0, 0 },
        { "accepted sender announcing 2 GB", Frame(7, 0x7FFFFFF0, &payload, 4), 0, PIPEACK_BADREQUEST, 0, 0 },
    };
    for (const Case& c : cases) {
        Recorder rec;
        const std::wstring name = PipePath(UniqueName(L"recv"));
        ASSERT_EQ(0u, rec.recv.Initialize(name.c_str(), Recorder::OnEvent, &rec, c.maxData));
        DWORD ack = 0xEE;
        const DWORD ret = SendFrame(name, c.bytes, &ack);
        if (c.sendResult == 0) {
            EXPECT_EQ(0u, ret) << c.what;
        } else {
            EXPECT_NE(0u, ret) << c.what;
        }
        EXPECT_EQ(c.ack, ack) << c.what;
        // The data event follows the acknowledgement.
        WaitUntil([&] { return rec.DataEvents() >= c.dataEvents; }, 3000);
        rec.recv.Finalize(NULL);
        EXPECT_EQ(c.dataEvents, rec.DataEvents()) << c.what;
        ASSERT_FALSE(rec.events.empty()) << c.what;
        EXPECT_EQ(PIPEEVENT_HEADER, rec.events[0].dwEvent) << c.what;
        if (c.dataEvents > 0) {
            const PIPEEVENT& data = rec.events.back();
            const DataHdr* hdr = reinterpret_cast<const DataHdr*>(c.bytes.data());
            EXPECT_EQ(hdr->dwDataSize, data.dwDataSize) << c.what;
            EXPECT_EQ(7u, data.dwCode) << c.what;
            EXPECT_EQ(c.dataBytes, rec.data.size()) << c.what;
            EXPECT_EQ(0, memcmp(rec.data.data(), &payload, 4)) << c.what;
            EXPECT_EQ(2u, rec.copiedSmall) << c.what;
            EXPECT_EQ(0u, rec.fromOtherThread) << c.what;
        }
    }
}

TEST(FramedReceiver, RejectedDataIsDrainedAndTheNextMessageServed)
{
    Recorder rec;
    const std::wstring name = PipePath(UniqueName(L"drain"));
    ASSERT_EQ(0u, rec.recv.Initialize(name.c_str(), Recorder::OnEvent, &rec));
    std::vector<BYTE> big(600, 0xAB);
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(name, Frame(9, static_cast<DWORD>(big.size()), big.data(), big.size()), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);
    EXPECT_EQ(0u, SendFrame(name, Frame(7, 5), &ack));
    EXPECT_EQ(PIPEACK_OK, ack);
    EXPECT_TRUE(WaitUntil([&] { return rec.DataEvents() == 1; }, 3000));
    rec.recv.Finalize(NULL);
    ASSERT_EQ(4u, rec.data.size());
    EXPECT_EQ(5u, *reinterpret_cast<DWORD*>(rec.data.data()));
}

TEST(FramedReceiver, WithoutHandlerEveryMessageIsRejected)
{
    CPipeRecv recv;
    const std::wstring name = PipePath(UniqueName(L"nohandler"));
    ASSERT_EQ(0u, recv.Initialize(name.c_str(), NULL, NULL));
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(name, Frame(0, 1), &ack));
    EXPECT_EQ(PIPEACK_REJECTED, ack);
    EXPECT_EQ(87u, recv.Initialize(NULL, NULL, NULL));
}

TEST(FramedReceiver, ReceivedDataOutsideTheCallbackIsNothing)
{
    Recorder rec;
    const std::wstring name = PipePath(UniqueName(L"after"));
    ASSERT_EQ(0u, rec.recv.Initialize(name.c_str(), Recorder::OnEvent, &rec));
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(name, Frame(7, 5), &ack));
    EXPECT_TRUE(WaitUntil([&] { return rec.DataEvents() == 1; }, 3000));
    BYTE buf[8];
    EXPECT_EQ(0u, rec.recv.GetReceivedData(buf, sizeof(buf)));
    EXPECT_EQ(0u, rec.recv.GetReceivedData(NULL, 8));
}

// A sender that hangs up after part of the header or data: no acknowledgement, no data event,
// and the receiver goes on serving.
TEST(FramedReceiver, SenderThatHangsUpMidMessage)
{
    Recorder rec;
    const std::wstring name = PipePath(UniqueName(L"hangup"));
    ASSERT_EQ(0u, rec.recv.Initialize(name.c_str(), Recorder::OnEvent, &rec));
    const std::vector<BYTE> full = Frame(7, 64, "0123456789", 10);
    for (size_t cut : { size_t(0), size_t(3), size_t(8), size_t(12) }) {
        std::vector<BYTE> part(full.begin(), full.begin() + cut);
        RawExchange(name, part, NULL, false);
    }
    DWORD ack = 0;
    EXPECT_EQ(0u, SendFrame(name, Frame(7, 5), &ack));
    EXPECT_EQ(PIPEACK_OK, ack);
    EXPECT_TRUE(WaitUntil([&] { return rec.DataEvents() >= 1; }, 3000));
}
