/*
 * kmdf_access_test.cpp
 *
 * Opening the control device: the access check of each identity against the device's
 * SDDL, the control codes' required access against the handle, name resolution through
 * the symbolic link, and no opens while the device is still initializing.
 */
#include "kmdf_fixture.h"

using namespace kmdftest;
using winsim::Identity;

TEST_F(KmdfTest, OnlySystemAndAdministratorsOpenTheDevice)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const struct {
        Identity identity;
        ACCESS_MASK access;
        NTSTATUS expected;
    } cases[] = {
        {Identity::LocalSystem, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
        {Identity::Administrator, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
        {Identity::LocalSystem, MAXIMUM_ALLOWED, STATUS_SUCCESS},
        {Identity::User, GENERIC_READ | GENERIC_WRITE, STATUS_ACCESS_DENIED},
        {Identity::User, GENERIC_READ, STATUS_ACCESS_DENIED},
        {Identity::User, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.identity));
        winsim::OpenResult result = winsim::OpenDevice(kWin32Name, c.identity, c.access);
        EXPECT_EQ(result.status, c.expected);
        EXPECT_EQ(result.handle.IsOpen(), NT_SUCCESS(c.expected));
        if (result.handle.IsOpen()) {
            EXPECT_EQ(winsim::CloseHandle(result.handle), STATUS_SUCCESS);
        }
    }
}

TEST_F(KmdfTest, GenericRightsAreMappedThroughTheFileMapping)
{
    TestOptions().sddl = "D:P(A;;GA;;;SY)(A;;GR;;;BU)";
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::User, GENERIC_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::User, FILE_READ_DATA).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::User, GENERIC_WRITE).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::User, FILE_WRITE_DATA).status, STATUS_ACCESS_DENIED);
    winsim::OpenResult maximum = winsim::OpenDevice(kWin32Name, Identity::User, MAXIMUM_ALLOWED);
    ASSERT_EQ(maximum.status, STATUS_SUCCESS);
    EXPECT_EQ(maximum.handle.GrantedAccess(), 0x00120089u);  // FILE_GENERIC_READ
    winsim::CloseHandle(maximum.handle);
}

TEST_F(KmdfTest, ControlCodeAccessIsCheckedAgainstTheHandle)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle reader = Open(Identity::LocalSystem, GENERIC_READ);
    winsim::Handle writer = Open(Identity::LocalSystem, GENERIC_WRITE);
    const struct {
        const winsim::Handle *handle;
        ULONG code;
        NTSTATUS expected;
    } cases[] = {
        {&reader, kIoctlWriteOnly, STATUS_ACCESS_DENIED},
        {&reader, kIoctlPark, STATUS_ACCESS_DENIED},
        {&writer, kIoctlPark, STATUS_ACCESS_DENIED},
        {&writer, kIoctlWriteOnly, STATUS_SUCCESS},
        {&reader, kIoctlEcho, STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(winsim::DeviceIoControl(*c.handle, c.code, Bytes("x"), 1).status, c.expected);
    }
}

TEST_F(KmdfTest, DeviceIsFoundThroughItsSymbolicLink)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice("\\\\.\\Global\\kmdftest_{5A0C}", Identity::LocalSystem).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice("\\\\.\\KMDFTEST_{5a0c}", Identity::LocalSystem).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::OpenDevice("\\\\.\\kmdftest", Identity::LocalSystem).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KmdfTest, NoOpenBeforeFinishInitializing)
{
    NTSTATUS duringEntry = STATUS_SUCCESS;
    TestOptions().beforeFinish = [&duringEntry] {
        duringEntry = winsim::OpenDevice(kWin32Name, Identity::LocalSystem).status;
    };
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(duringEntry, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::LocalSystem).status, STATUS_SUCCESS);
}

TEST_F(KmdfTest, DriverEntryThatNeverFinishesInitializingIsReported)
{
    TestOptions().finishInitializing = false;
    winsim::ViolationCapture capture;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(capture.Caught("WdfControlFinishInitializing"));
    // The I/O manager readies devices created in DriverEntry all the same.
    EXPECT_EQ(winsim::OpenDevice(kWin32Name, Identity::LocalSystem).status, STATUS_SUCCESS);
}

TEST_F(KmdfTest, UnsupportedSddlIsRefusedLoudly)
{
    TestOptions().sddl = "D:(A;;GA;;;SY)";
    winsim::ViolationCapture capture;
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(capture.Caught("WdfControlDeviceInitAllocate"));
}

TEST_F(KmdfTest, ClosedHandleIsInvalid)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    EXPECT_EQ(winsim::CloseHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(winsim::CloseHandle(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlEcho, Bytes("x"), 1).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(winsim::CancelIoEx(handle), STATUS_INVALID_HANDLE);
}
