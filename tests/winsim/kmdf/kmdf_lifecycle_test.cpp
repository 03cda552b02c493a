/*
 * kmdf_lifecycle_test.cpp
 *
 * Loading and unloading through winsim's loader: repeated load/unload, the framework's
 * clean-up when DriverEntry fails at each step or a framework call is made to fail, the
 * leak report, and unload with requests still parked.
 */
#include "kmdf_fixture.h"

using namespace kmdftest;
using winsim::Identity;

TEST_F(KmdfTest, LoadsAndUnloadsManyTimesInOneProcess)
{
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        winsim::Handle handle = Open();
        winsim::IoResult echo = winsim::DeviceIoControl(handle, kIoctlEcho, Bytes("ab"), 2);
        EXPECT_EQ(echo.status, STATUS_SUCCESS);
        EXPECT_EQ(winsim::CloseHandle(handle), STATUS_SUCCESS);
        winsim::UnloadResult result = winsim::UnloadDriver(kService);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_TRUE(result.leftBehind.empty());
        EXPECT_FALSE(winsim::IsDriverLoaded(kService));
        EXPECT_EQ(TestCounters().unloadCalls, round + 1);
        EXPECT_EQ(TestCounters().deviceCleanups, round + 1);
        EXPECT_EQ(TestCounters().driverCleanups, round + 1);
    }
}

TEST_F(KmdfTest, ServiceStateIsChecked)
{
    EXPECT_EQ(winsim::UnloadDriver(kService).status, STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Load(), STATUS_IMAGE_ALREADY_LOADED);
}

TEST_F(KmdfTest, SecondDriverCreateFails)
{
    TestOptions().createDriverTwice = true;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(TestCounters().secondCreate, STATUS_DRIVER_INTERNAL_ERROR);
}

TEST_F(KmdfTest, FailingDriverEntryIsCleanedUpByTheFramework)
{
    for (Step step : {kDriverCreated, kInitAllocated, kNamed, kDeviceCreated, kDefaultQueue, kPendingQueue, kLink}) {
        SCOPED_TRACE(step);
        ResetTestDriver();
        TestOptions().failAfter = step;
        EXPECT_EQ(Load(), STATUS_NOT_FOUND);
        EXPECT_FALSE(winsim::IsDriverLoaded(kService));
        EXPECT_EQ(TestCounters().unloadCalls, 0);
        EXPECT_EQ(TestCounters().driverCleanups, 1);
        EXPECT_EQ(TestCounters().deviceCleanups, step >= kDeviceCreated ? 1 : 0);
        EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::LocalSystem).status, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // Nothing of the failed loads is left to collide with: the same names load again.
    ResetTestDriver();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::LocalSystem).status, STATUS_SUCCESS);
}

TEST_F(KmdfTest, InjectedFrameworkFailuresReachDriverEntry)
{
    const struct {
        const char *call;
        NTSTATUS expected;
    } cases[] = {
        {"WdfDriverCreate", STATUS_QUOTA_EXCEEDED},
        {"WdfControlDeviceInitAllocate", STATUS_INSUFFICIENT_RESOURCES},
        {"WdfDeviceInitAssignName", STATUS_QUOTA_EXCEEDED},
        {"WdfDeviceCreate", STATUS_QUOTA_EXCEEDED},
        {"WdfIoQueueCreate", STATUS_QUOTA_EXCEEDED},
        {"WdfIoQueueReadyNotify", STATUS_QUOTA_EXCEEDED},
        {"WdfDeviceCreateSymbolicLink", STATUS_QUOTA_EXCEEDED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        ResetTestDriver();
        winsim::faults::FailCall(c.call, STATUS_QUOTA_EXCEEDED);
        EXPECT_EQ(Load(), c.expected);
        winsim::faults::Clear();
        EXPECT_FALSE(winsim::IsDriverLoaded(kService));
    }
    // The second queue's creation fails as well as the first.
    ResetTestDriver();
    winsim::faults::FailCall("WdfIoQueueCreate", STATUS_QUOTA_EXCEEDED, 2);
    EXPECT_EQ(Load(), STATUS_QUOTA_EXCEEDED);
    EXPECT_EQ(TestCounters().deviceCleanups, 1);
}

TEST_F(KmdfTest, LeakedDeviceInitIsReportedAfterFailedDriverEntry)
{
    TestOptions().failAfter = kNamed;
    TestOptions().freeInitOnFailure = false;
    {
        winsim::ViolationCapture capture;
        EXPECT_EQ(Load(), STATUS_NOT_FOUND);
        ASSERT_TRUE(capture.Caught("LoadDriver"));
        EXPECT_NE(capture.Violations().at(0).message.find("device-init"), std::string::npos);
    }
    ASSERT_NE(TestCounters().leakedInit, nullptr);
    WdfDeviceInitFree(TestCounters().leakedInit);
}

TEST_F(KmdfTest, UnloadWithParkedRequestsLeavesNothing)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle first = Open();
    winsim::Handle second = Open(Identity::Administrator);
    winsim::Overlapped a = winsim::DeviceIoControlOverlapped(first, kIoctlPark, nullptr, 0, 64);
    winsim::Overlapped b = winsim::DeviceIoControlOverlapped(second, kIoctlPark, nullptr, 0, 64);
    EXPECT_EQ(a.InitialStatus(), STATUS_PENDING);
    EXPECT_EQ(b.InitialStatus(), STATUS_PENDING);

    winsim::UnloadResult result = winsim::UnloadDriver(kService);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.leftBehind.empty());
    ASSERT_TRUE(a.Wait(kWait));
    ASSERT_TRUE(b.Wait(kWait));
    EXPECT_EQ(a.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(b.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(a.Result().information, 0u);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(winsim::DeviceIoControl(first, kIoctlEcho, Bytes("x"), 1).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(TestCounters().unloadCalls, 1);
}
