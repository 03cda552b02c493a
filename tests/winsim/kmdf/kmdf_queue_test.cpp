/*
 * kmdf_queue_test.cpp
 *
 * The manual queue as a parking lot for callers' requests: arrival order, the ready
 * notification on each empty-to-non-empty transition (and at registration when requests
 * are already queued), retrieval from an empty queue, and cancellation by the caller or by
 * closing the handle.
 */
#include "kmdf_fixture.h"

#include <atomic>
#include <future>
#include <thread>

using namespace kmdftest;
using winsim::Identity;

namespace {

winsim::Overlapped Park(const winsim::Handle &handle)
{
    return winsim::DeviceIoControlOverlapped(handle, kIoctlPark, nullptr, 0, 16);
}

NTSTATUS Release(const winsim::Handle &handle)
{
    return winsim::DeviceIoControl(handle, kIoctlRelease, nullptr, 0, 0).status;
}

}  // namespace

TEST_F(KmdfTest, ParkedRequestCancelledByTheCallerCompletesCancelled)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::Overlapped io = Park(handle);
    EXPECT_EQ(io.InitialStatus(), STATUS_PENDING);
    EXPECT_FALSE(io.Wait(std::chrono::milliseconds(20)));
    EXPECT_EQ(io.Result().status, STATUS_PENDING);

    EXPECT_EQ(winsim::CancelIoEx(handle, &io), STATUS_SUCCESS);
    ASSERT_TRUE(io.Wait(kWait));
    EXPECT_EQ(io.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(io.Result().information, 0u);
    EXPECT_EQ(winsim::CancelIoEx(handle, &io), STATUS_NOT_FOUND);
    // The cancelled request left the queue: there is nothing to release.
    EXPECT_EQ(Release(handle), STATUS_NO_MORE_ENTRIES);
}

TEST_F(KmdfTest, ClosingAHandleCancelsOnlyItsOwnParkedRequests)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle first = Open();
    winsim::Handle second = Open();
    winsim::Overlapped a = Park(first);
    winsim::Overlapped b = Park(second);
    EXPECT_EQ(winsim::CloseHandle(first), STATUS_SUCCESS);
    ASSERT_TRUE(a.Wait(kWait));
    EXPECT_EQ(a.Result().status, STATUS_CANCELLED);
    EXPECT_FALSE(b.IsComplete());

    EXPECT_EQ(Release(second), STATUS_SUCCESS);
    ASSERT_TRUE(b.Wait(kWait));
    EXPECT_EQ(b.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(b.Result().output, std::vector<std::uint8_t>({1}));
}

TEST_F(KmdfTest, ManualQueueKeepsArrivalOrder)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    std::vector<winsim::Overlapped> parked;
    for (int i = 0; i < 3; ++i) {
        parked.push_back(Park(handle));
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Release(handle), STATUS_SUCCESS);
        ASSERT_TRUE(parked[i].Wait(kWait));
        EXPECT_EQ(parked[i].Result().output, std::vector<std::uint8_t>({static_cast<std::uint8_t>(i + 1)}));
    }
    EXPECT_EQ(Release(handle), STATUS_NO_MORE_ENTRIES);
}

TEST_F(KmdfTest, ReadyNotificationFiresOncePerEmptyToNonEmptyTransition)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    EXPECT_EQ(TestCounters().readyCalls, 0);
    std::vector<winsim::Overlapped> parked;
    parked.push_back(Park(handle));
    EXPECT_EQ(TestCounters().readyCalls, 1);
    parked.push_back(Park(handle));
    parked.push_back(Park(handle));
    EXPECT_EQ(TestCounters().readyCalls, 1);

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Release(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(Release(handle), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(TestCounters().readyCalls, 1);
    parked.push_back(Park(handle));
    EXPECT_EQ(TestCounters().readyCalls, 2);
}

TEST_F(KmdfTest, ReadyNotificationRegisteredOnANonEmptyQueueFiresAtOnce)
{
    TestOptions().registerReadyAtEntry = false;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::Overlapped a = Park(handle);
    winsim::Overlapped b = Park(handle);
    EXPECT_EQ(TestCounters().readyCalls, 0);

    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlRegisterReady, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(TestCounters().readyCalls, 1);
    // A second registration is refused; so is a notification on a parallel queue's terms.
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlRegisterReady, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(KmdfTest, CancelOfTheWholeHandleReachesEveryParkedRequest)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::Overlapped a = Park(handle);
    winsim::Overlapped b = Park(handle);
    EXPECT_EQ(winsim::CancelIoEx(handle), STATUS_SUCCESS);
    ASSERT_TRUE(a.Wait(kWait));
    ASSERT_TRUE(b.Wait(kWait));
    EXPECT_EQ(a.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(b.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(winsim::CancelIoEx(handle), STATUS_NOT_FOUND);
}

TEST_F(KmdfTest, ForwardingToTheQueueItCameFromIsRefused)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    // The driver still owns the request after the refusal and completes it with that status.
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlForwardToSelf, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

// A request that reaches a passive-level queue at DISPATCH_LEVEL is handed to a worker
// thread: the queue's handler still runs at PASSIVE_LEVEL.
TEST_F(KmdfTest, PassiveLevelQueueNeverCallsItsHandlerRaised)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlForwardRaisedToPassive, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(kmdftest::TestCounters().passiveHandlerIrql.load(), PASSIVE_LEVEL);
}

TEST_F(KmdfTest, DeletingTheManualQueueCancelsWhatItHolds)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::Overlapped a = Park(handle);
    winsim::Overlapped b = Park(handle);
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlDeletePendingQueue, nullptr, 0, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(a.Wait(kWait));
    ASSERT_TRUE(b.Wait(kWait));
    EXPECT_EQ(a.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(b.Result().status, STATUS_CANCELLED);
}

TEST_F(KmdfTest, TheDefaultQueueCannotBeDeleted)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::ViolationCapture capture;
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlDeleteDefaultQueue, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(capture.Caught("WdfObjectDelete"));
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlEcho, Bytes("ok"), 2).status, STATUS_SUCCESS);
}

TEST_F(KmdfTest, RequeuedRequestGoesToEvtIoCanceledOnQueueWhenCancelled)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::Overlapped watched = winsim::DeviceIoControlOverlapped(handle, kIoctlParkWatched, nullptr, 0, 0);
    EXPECT_EQ(watched.InitialStatus(), STATUS_PENDING);
    EXPECT_EQ(winsim::CancelIoEx(handle, &watched), STATUS_SUCCESS);
    ASSERT_TRUE(watched.Wait(kWait));
    EXPECT_EQ(watched.Result().status, STATUS_REQUEST_ABORTED);
}

// EvtFileCleanup: once per handle, in the closing thread at PASSIVE_LEVEL, with the file
// object of the handle's requests, after its queued requests were cancelled.
TEST_F(KmdfTest, ClosingTheLastHandleCallsFileCleanupOnce)
{
    TestOptions().fileCleanup = true;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle kept = Open();
    winsim::Handle closed = Open();
    winsim::Overlapped parked = Park(closed);
    ASSERT_EQ(parked.InitialStatus(), STATUS_PENDING);
    ASSERT_EQ(winsim::CloseHandle(closed), STATUS_SUCCESS);
    EXPECT_EQ(parked.Wait(std::chrono::seconds(5)) ? parked.Result().status : STATUS_PENDING, STATUS_CANCELLED);
    EXPECT_EQ(TestCounters().fileCleanups.load(), 1);
    EXPECT_EQ(TestCounters().cleanedFile.load(), TestCounters().parkedFile.load());
    EXPECT_NE(TestCounters().cleanedFile.load(), nullptr);
    EXPECT_EQ(TestCounters().cleanupIrql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(winsim::CloseHandle(closed), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TestCounters().fileCleanups.load(), 1);
    winsim::CloseHandle(kept);
    EXPECT_EQ(TestCounters().fileCleanups.load(), 2);
}

// A clean-up still running in the closing thread holds the unload back until it returns.
TEST_F(KmdfTest, UnloadWaitsForCallsIntoTheDriverStillRunning)
{
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> unloadsSeenInCleanup{-1};
    TestOptions().fileCleanup = true;
    TestOptions().inFileCleanup = [&] {
        entered.set_value();
        released.wait();
        unloadsSeenInCleanup = TestCounters().unloadCalls.load();
    };
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    std::thread closer([&] { winsim::CloseHandle(handle); });
    entered.get_future().wait();
    std::future<winsim::UnloadResult> unload =
        std::async(std::launch::async, [] { return winsim::UnloadDriver(kmdftest::kService); });
    EXPECT_EQ(unload.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    closer.join();
    EXPECT_EQ(unload.get().status, STATUS_SUCCESS);
    EXPECT_EQ(unloadsSeenInCleanup.load(), 0);
    EXPECT_EQ(TestCounters().unloadCalls.load(), 1);
}
