#include "CThread.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <atomic>

using testsupport::NowMs;

namespace {

struct Owner {
    CThread thread;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
};

DWORD ReturnAtOnce(LPVOID data)
{
    static_cast<Owner*>(data)->calls++;
    return 0;
}

DWORD WaitForTerminate(LPVOID data)
{
    Owner* owner = static_cast<Owner*>(data);
    owner->calls++;
    WaitForSingleObject(owner->thread.GetTerminateEvent(), INFINITE);
    owner->returned = true;
    return 0;
}

DWORD IgnoreTerminate(LPVOID data)
{
    Owner* owner = static_cast<Owner*>(data);
    owner->calls++;
    Sleep(60000);
    owner->returned = true;
    return 0;
}

}  // namespace

TEST(Thread, FunctionThatReturnsAtOnceStillStartsCleanly)
{
    Owner owner;
    ASSERT_EQ(0u, owner.thread.Initialize(ReturnAtOnce, &owner));
    const ULONGLONG t0 = NowMs();
    owner.thread.Terminate();
    EXPECT_LT(NowMs() - t0, 1000u);
    EXPECT_EQ(1, owner.calls.load());
    EXPECT_EQ(nullptr, owner.thread.GetTerminateEvent());
}

TEST(Thread, CooperativeFunctionEndsPromptly)
{
    Owner owner;
    ASSERT_EQ(0u, owner.thread.Initialize(WaitForTerminate, &owner));
    EXPECT_NE(nullptr, owner.thread.GetTerminateEvent());
    const ULONGLONG t0 = NowMs();
    owner.thread.Finalize();
    EXPECT_LT(NowMs() - t0, 1000u);
    EXPECT_TRUE(owner.returned);
}

TEST(Thread, FunctionThatIgnoresTheEventIsKilledAfterFiveSeconds)
{
    Owner owner;
    ASSERT_EQ(0u, owner.thread.Initialize(IgnoreTerminate, &owner));
    const ULONGLONG t0 = NowMs();
    owner.thread.Terminate();
    const ULONGLONG elapsed = NowMs() - t0;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 8000u);
    EXPECT_FALSE(owner.returned);
}

TEST(Thread, IdleObjectAndBadArguments)
{
    Owner owner;
    const ULONGLONG t0 = NowMs();
    owner.thread.Terminate();
    owner.thread.Finalize();
    EXPECT_LT(NowMs() - t0, 100u);

    EXPECT_EQ(87u, owner.thread.Initialize(nullptr, &owner));
    EXPECT_EQ(87u, owner.thread.Initialize(ReturnAtOnce, nullptr));
    EXPECT_EQ(nullptr, owner.thread.GetTerminateEvent());
    EXPECT_EQ(0, owner.calls.load());
}

TEST(Thread, RestartAfterFinalize)
{
    Owner owner;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0u, owner.thread.Initialize(WaitForTerminate, &owner));
        owner.thread.Finalize();
    }
    EXPECT_EQ(3, owner.calls.load());
}
