/*
 * kernel_sync_test.cpp
 *
 * Events and waits on winsim's clock (time-outs fire on Advance, relative and absolute),
 * multiple-object waits, executive resources, and spin locks under contention.
 */
#include <ntddk.h>
#include <winsim/verifier.h>

#include <gtest/gtest.h>

#include "kernel_test_util.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using kerneltest::kOneSecond;
using kerneltest::Relative;
using kerneltest::StillBlocked;
using kerneltest::WaitForTimedWaiters;

NTSTATUS WaitFor(PVOID object, LARGE_INTEGER *timeout)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

TEST(KernelEvent, SetReturnsThePreviousStateAndResetClearsIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_NE(KeResetEvent(&event), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelEvent, ZeroTimeoutPollsAndIsAllowedAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero{};
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    EXPECT_EQ(WaitFor(&event, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(&event, &zero), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&event, &zero), STATUS_TIMEOUT);  // the satisfied wait reset it
    KeLowerIrql(oldIrql);
}

TEST(KernelEvent, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::future<NTSTATUS>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::async(std::launch::async, [&] { return WaitFor(&event, nullptr); }));
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto &waiter : waiters) {
        EXPECT_EQ(waiter.get(), STATUS_SUCCESS);
    }
    EXPECT_NE(KeReadStateEvent(&event), 0);
}

TEST(KernelEvent, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            if (WaitFor(&event, nullptr) == STATUS_SUCCESS) {
                ++released;
            }
        });
    }
    for (int expected = 1; expected <= 3; ++expected) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        while (released.load() < expected) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(released.load(), expected);
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelClock, RelativeTimeoutFiresWhenTheManualClockPassesIt)
{
    winsim::clock::UseManual();
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    auto waiter = std::async(std::launch::async, [&] {
        LARGE_INTEGER timeout = Relative(5 * kOneSecond);
        return WaitFor(&event, &timeout);
    });
    ASSERT_TRUE(WaitForTimedWaiters(1));
    winsim::clock::Advance(5 * kOneSecond - 1);
    EXPECT_TRUE(StillBlocked(waiter));
    winsim::clock::Advance(1);
    EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
    EXPECT_EQ(winsim::clock::Waiters(), 0u);
}

TEST(KernelClock, SignalBeforeTheTimeoutEndsTheWaitWithSuccess)
{
    winsim::clock::UseManual();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waiter = std::async(std::launch::async, [&] {
        LARGE_INTEGER timeout = Relative(10 * kOneSecond);
        return WaitFor(&event, &timeout);
    });
    ASSERT_TRUE(WaitForTimedWaiters(1));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(waiter.get(), STATUS_SUCCESS);
}

TEST(KernelClock, AbsoluteTimeoutFollowsSystemTime)
{
    winsim::clock::UseManual();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    auto waiter = std::async(std::launch::async, [&] {
        LARGE_INTEGER deadline;
        deadline.QuadPart = now.QuadPart + 2 * kOneSecond;
        return WaitFor(&event, &deadline);
    });
    ASSERT_TRUE(WaitForTimedWaiters(1));
    winsim::clock::Advance(kOneSecond);
    EXPECT_TRUE(StillBlocked(waiter));
    winsim::clock::Advance(kOneSecond);
    EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
}

TEST(KernelClock, ManualClockMovesOnlyOnAdvanceAndNeverBackwards)
{
    ULONGLONG before = KeQueryInterruptTime();
    winsim::clock::UseManual();
    ULONGLONG frozen = KeQueryInterruptTime();
    EXPECT_GE(frozen, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(KeQueryInterruptTime(), frozen);
    winsim::clock::Advance(3 * kOneSecond);
    EXPECT_EQ(KeQueryInterruptTime(), frozen + 3 * kOneSecond);
    winsim::clock::UseReal();
    EXPECT_GE(KeQueryInterruptTime(), frozen + 3 * kOneSecond);
}

TEST(KernelClock, DelayExecutionEndsWhenTheClockPassesTheInterval)
{
    winsim::clock::UseManual();
    auto sleeper = std::async(std::launch::async, [] {
        LARGE_INTEGER interval = Relative(kOneSecond);
        return KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    ASSERT_TRUE(WaitForTimedWaiters(1));
    EXPECT_TRUE(StillBlocked(sleeper));
    winsim::clock::Advance(kOneSecond);
    EXPECT_EQ(sleeper.get(), STATUS_SUCCESS);
}

TEST(KernelWait, WaitAnyReportsTheIndexOfTheSignalledObject)
{
    KEVENT events[3];
    PVOID objects[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        objects[i] = &events[i];
    }
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);
}

TEST(KernelWait, WaitAllConsumesNothingUntilEveryObjectIsSignalled)
{
    KEVENT first;
    KEVENT second;
    KeInitializeEvent(&first, SynchronizationEvent, TRUE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&first, &second};
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_NE(KeReadStateEvent(&first), 0);
    auto waiter = std::async(std::launch::async, [&] {
        return KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    EXPECT_TRUE(StillBlocked(waiter));
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(waiter.get(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&first), 0);
    EXPECT_EQ(KeReadStateEvent(&second), 0);
}

class ResourceTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ExInitializeResourceLite(&resource_), STATUS_SUCCESS); }
    void TearDown() override { EXPECT_EQ(ExDeleteResourceLite(&resource_), STATUS_SUCCESS); }

    // Runs fn on another thread inside a critical region and returns its result.
    template <typename Fn>
    auto OnOtherThread(Fn fn)
    {
        return std::async(std::launch::async, [this, fn] {
            KeEnterCriticalRegion();
            auto result = fn(&resource_);
            KeLeaveCriticalRegion();
            return result;
        });
    }

    ERESOURCE resource_;
};

TEST_F(ResourceTest, SharedOwnersCoexistAndExcludeAnExclusiveRequest)
{
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
    auto otherShared = OnOtherThread([](PERESOURCE r) {
        BOOLEAN got = ExAcquireResourceSharedLite(r, FALSE);
        if (got) {
            ExReleaseResourceLite(r);
        }
        return got;
    });
    EXPECT_TRUE(otherShared.get());
    auto tryExclusive = OnOtherThread([](PERESOURCE r) { return ExAcquireResourceExclusiveLite(r, FALSE); });
    EXPECT_FALSE(tryExclusive.get());
    auto exclusive = OnOtherThread([](PERESOURCE r) {
        BOOLEAN got = ExAcquireResourceExclusiveLite(r, TRUE);
        ExReleaseResourceLite(r);
        return got;
    });
    EXPECT_TRUE(StillBlocked(exclusive));
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(exclusive.get());
}

TEST_F(ResourceTest, ExclusiveOwnerMayReacquireAndTakeItShared)
{
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 3u);
    ExReleaseResourceLite(&resource_);
    ExReleaseResourceLite(&resource_);
    auto blocked = OnOtherThread([](PERESOURCE r) { return ExAcquireResourceSharedLite(r, FALSE); });
    EXPECT_FALSE(blocked.get());
    ExReleaseResourceLite(&resource_);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
    KeLeaveCriticalRegion();
}

TEST_F(ResourceTest, WaitingExclusiveRequestHoldsBackNewSharedOwners)
{
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
    auto exclusive = OnOtherThread([](PERESOURCE r) {
        BOOLEAN got = ExAcquireResourceExclusiveLite(r, TRUE);
        ExReleaseResourceLite(r);
        return got;
    });
    ASSERT_TRUE(StillBlocked(exclusive));
    auto newShared = OnOtherThread([](PERESOURCE r) { return ExAcquireResourceSharedLite(r, FALSE); });
    EXPECT_FALSE(newShared.get());
    ExReleaseResourceLite(&resource_);
    KeLeaveCriticalRegion();
    EXPECT_TRUE(exclusive.get());
}

TEST(KernelSpinLock, AcquireRaisesToDispatchAndReleaseRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock, &oldIrql);
    EXPECT_EQ(oldIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KLOCK_QUEUE_HANDLE handle;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&inner, &handle);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&handle);
    KeReleaseSpinLock(&lock, oldIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(handle.OldIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KernelSpinLock, ExcludesOtherThreads)
{
    // One lock taken with the ordinary routines, one with the queued ones (never mixed).
    KSPIN_LOCK ordinary;
    KSPIN_LOCK queued;
    KeInitializeSpinLock(&ordinary);
    KeInitializeSpinLock(&queued);
    long ordinaryCount = 0;  // deliberately not atomic: the locks must make them safe
    long queuedCount = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                KIRQL oldIrql;
                KeAcquireSpinLock(&ordinary, &oldIrql);
                ++ordinaryCount;
                KeReleaseSpinLock(&ordinary, oldIrql);
                KLOCK_QUEUE_HANDLE handle;
                KeAcquireInStackQueuedSpinLock(&queued, &handle);
                ++queuedCount;
                KeReleaseInStackQueuedSpinLock(&handle);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ordinaryCount, 80000);
    EXPECT_EQ(queuedCount, 80000);
}

// Run-down: protections are granted until the wait begins, the wait returns only when the
// last one is released, and nothing is granted after it.
TEST(KernelRundown, WaitLetsNothingNewInAndReturnsWhenTheLastProtectionGoes)
{
    EX_RUNDOWN_REF rundown;
    ExInitializeRundownProtection(&rundown);
    ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        ExWaitForRundownProtectionRelease(&rundown);
        waited = true;
    });
    while (ExAcquireRundownProtection(&rundown)) {  // granted until the wait has begun
        ExReleaseRundownProtection(&rundown);
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waited) << "the wait returned with a protection in effect";
    ExReleaseRundownProtection(&rundown);
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_FALSE(ExAcquireRundownProtection(&rundown));
    ExWaitForRundownProtectionRelease(&rundown);  // a second wait returns at once
    ExReInitializeRundownProtection(&rundown);
    EXPECT_TRUE(ExAcquireRundownProtection(&rundown));
    ExReleaseRundownProtection(&rundown);

    winsim::ViolationCapture capture;
    ExReleaseRundownProtection(&rundown);
    EXPECT_TRUE(capture.Caught("ExReleaseRundownProtection")) << "a release without a protection";
}

}  // namespace
