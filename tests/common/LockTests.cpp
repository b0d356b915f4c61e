#include "CGlobalLock.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <thread>

using namespace testsupport;

namespace {

// A helper process holding the named lock until it ends.
struct LockHolder {
    ChildProcess child;
    bool Start(const wchar_t* mode, const std::wstring& name, DWORD holdMs = 0)
    {
        const std::wstring readyName = L"mirel_test_ready_" + name;
        HANDLE ready = CreateEventW(NULL, TRUE, FALSE, readyName.c_str());
        const bool started = child.Start(ProgramPath(L"common_helper.exe") + L" " + mode + L" " +
                                         name + L" " + readyName + L" " + std::to_wstring(holdMs));
        const bool held = started && WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
        CloseHandle(ready);
        return held;
    }
};

}  // namespace

TEST(GlobalLock, NameIsMangledBelowTheGlobalPrefix)
{
    struct Case { const wchar_t* name; const wchar_t* mutex; };
    const Case cases[] = {
        { L"abc", L"Global\\abc" },
        { L"Software\\x.y", L"Global\\Software$x$y" },
        { L"\\\\.\\pipe\\x", L"Global\\$$$$pipe$x" },
    };
    for (const Case& c : cases) {
        CGlobalLock lock;
        ASSERT_EQ(0u, lock.Initialize(c.name, 0)) << c.name;
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, c.mutex);
        EXPECT_NE(nullptr, h) << c.mutex;
        if (h) CloseHandle(h);
    }
}

TEST(GlobalLock, RefusesMissingAndOverlongNames)
{
    CGlobalLock lock;
    EXPECT_EQ(87u, lock.Initialize(nullptr, 0));
    EXPECT_EQ(87u, lock.Initialize(std::wstring(253, L'n').c_str(), 0));
    EXPECT_EQ(0u, lock.Initialize(std::wstring(252, L'n').c_str(), 0));
}

TEST(GlobalLock, UninitialisedLockIsNotReady)
{
    CGlobalLock lock;
    EXPECT_EQ(21u, lock.Lock(NULL));
    EXPECT_EQ(21u, lock.Unlock());
    lock.Finalize();
    lock.Finalize();
    EXPECT_EQ(21u, lock.Lock(NULL));
}

TEST(GlobalLock, LockHeldByAnotherProcessTimesOutOrIsAborted)
{
    LockHolder holder;
    ASSERT_TRUE(holder.Start(L"hold", L"lock_shared", 3000));

    CGlobalLock lock;
    ASSERT_EQ(0u, lock.Initialize(L"lock_shared", 300));
    ULONGLONG t0 = NowMs();
    EXPECT_EQ(170u, lock.Lock(NULL));
    EXPECT_GE(NowMs() - t0, 250u);

    HANDLE abort = CreateEventW(NULL, TRUE, TRUE, NULL);
    t0 = NowMs();
    EXPECT_EQ(995u, lock.Lock(abort));
    EXPECT_LT(NowMs() - t0, 250u);
    CloseHandle(abort);

    // Once the holder lets go, the same mutex is ours.
    CGlobalLock patient;
    ASSERT_EQ(0u, patient.Initialize(L"lock_shared", 10000));
    EXPECT_EQ(0u, patient.Lock(NULL));
    EXPECT_EQ(0u, patient.Unlock());
    EXPECT_EQ(0u, holder.child.Wait(10000));
}

TEST(GlobalLock, MutexAbandonedByItsOwnerIsAcquired)
{
    LockHolder holder;
    ASSERT_TRUE(holder.Start(L"abandon", L"lock_abandoned"));
    ASSERT_EQ(0u, holder.child.Wait(10000));

    CGlobalLock lock;
    ASSERT_EQ(0u, lock.Initialize(L"lock_abandoned", 2000));
    EXPECT_EQ(0u, lock.Lock(NULL));
    EXPECT_EQ(0u, lock.Unlock());
}

TEST(GlobalLock, AbandonedByAThreadOfThisProcess)
{
    CGlobalLock lock;
    ASSERT_EQ(0u, lock.Initialize(L"lock_thread", 2000));
    std::thread([&] { EXPECT_EQ(0u, lock.Lock(NULL)); }).join();
    EXPECT_EQ(0u, lock.Lock(NULL));
    EXPECT_EQ(0u, lock.Unlock());
    EXPECT_NE(0u, lock.Unlock()) << "released twice";
}
