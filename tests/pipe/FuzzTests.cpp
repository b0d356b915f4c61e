#include "CPipeCl.h"
#include "CPipeSv.h"
#include "PipeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>

using namespace pipetest;

namespace {

std::atomic<int> g_events{0};
std::atomic<int> g_notified{0};

void CountEvent(LPVOID, PPIPEEVENT) { g_events++; }
void CountNotify(LPVOID, PPIPEEVENT) { g_notified++; }

// One randomly malformed message: a header with random fields, data of random length (sometimes
// an unterminated name, sometimes exactly what the header announces), sent whole, cut after a
// random number of bytes with the connection dropped, or without waiting for the answer.
void SendMalformed(std::mt19937& rng, const std::wstring& pipe)
{
    // Around every bound: a request's size, the control buffer, the frame bound, the corrupt range.
    static const DWORD kSizes[] = { 0, 1, 2, 3, 4, 8, 1024, 1025, PIPE_MAX_FRAME_DATA,
                                    PIPE_MAX_FRAME_DATA + 1, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFF };
    const int nSizes = static_cast<int>(ARRAYSIZE(kSizes));
    std::uniform_int_distribution<int> pick(0, 99);
    const DWORD code = (pick(rng) < 60) ? static_cast<DWORD>(pick(rng) % 4) : static_cast<DWORD>(rng());
    const size_t dataLen = (pick(rng) < 70) ? pick(rng) % 40 : rng() % 1200;
    std::vector<BYTE> data(dataLen);
    for (BYTE& b : data) {
        b = (pick(rng) < 50) ? static_cast<BYTE>('a') : static_cast<BYTE>(rng());
    }
    DWORD size = (pick(rng) < 50) ? static_cast<DWORD>(dataLen) : kSizes[pick(rng) % nSizes];
    if (pick(rng) < 10) {
        size = static_cast<DWORD>(rng() % 0x20000);
    }
    std::vector<BYTE> bytes = Frame(code, size, data.data(), data.size());
    const int mode = pick(rng);
    if (mode < 25) {
        bytes.resize(rng() % (bytes.size() + 1));  // truncated, connection dropped
        RawExchange(pipe, bytes, NULL, false, 3000);
    } else if (mode < 35 || (data.empty() && size != 0)) {
        // (A sender that announces data, sends none and waits is a silent sender: the server
        // waits out its bound for it, which the channel tests cover.)
        RawExchange(pipe, bytes, NULL, false, 3000);  // whole, answer never read
    } else {
        // Whole and waiting: whatever it announces, the sender is answered, never left to its
        // own time limit.
        DWORD ack = 0xEE;
        EXPECT_EQ(0u, RawExchange(pipe, bytes, &ack, true, 7000)) << code << " " << size << " " << dataLen;
        EXPECT_NE(0xEEu, ack) << code << " " << size << " " << dataLen;
    }
}

}  // namespace

TEST(PipeFuzz, ServerSurvivesMalformedFrames)
{
    const unsigned seed = static_cast<unsigned>(GetTickCount64() ^ GetCurrentProcessId());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::wstring suffix = UniqueName(L"fuzz");
    CPipeSv server;
    int dummy = 0;
    ASSERT_EQ(0u, server.Initialize(suffix.c_str(), CountEvent, &dummy));
    const std::wstring pipes[2] = { PIPE_CTRL_PREFIX + suffix, PIPE_DATA_PREFIX + suffix };
    const int kFrames = 3000;
    for (int i = 0; i < kFrames; ++i) {
        SendMalformed(rng, pipes[rng() % 2]);
    }
    // A well-formed client still registers and hears a broadcast.
    CPipeCl client;
    DWORD id = 0;
    ASSERT_EQ(0u, client.Initialize(1, suffix.c_str(), &id, CountNotify, &client, NULL));
    EXPECT_EQ(1u, id);
    const DWORD notify = 5;
    DWORD ret = 0;
    EXPECT_EQ(0u, server.SendAll(&notify, sizeof(notify), &ret, NULL));
    EXPECT_TRUE(WaitUntil([] { return g_notified == 1; }, 3000));
    client.Finalize(NULL);
    server.Finalize(NULL);
}
