/*
 * kernel_object_test.cpp
 *
 * Objects, handles, system threads and I/O work items: the reference and handle rules,
 * waiting on a thread object, the context a system thread and a work routine run in, and
 * the device reference a queued work item holds.
 */
#include <ntifs.h>
#include <winsim/kernel.h>
#include <winsim/verifier.h>

#include <gtest/gtest.h>

#include "kernel/object_manager.h"
#include "kernel_test_util.h"

#include <atomic>
#include <cstdlib>
#include <thread>

#include <unistd.h>

namespace {

struct ThreadObservation {
    KIRQL irql = 0xFF;
    BOOLEAN apcsDisabled = FALSE;
    HANDLE processId = nullptr;
    KEVENT *release = nullptr;  // the thread waits for it before ending
    bool terminateExplicitly = false;
};

VOID ObservingThread(PVOID context)
{
    auto *observation = static_cast<ThreadObservation *>(context);
    observation->irql = KeGetCurrentIrql();
    observation->apcsDisabled = KeAreApcsDisabled();
    observation->processId = PsGetCurrentProcessId();
    KeWaitForSingleObject(observation->release, Executive, KernelMode, FALSE, nullptr);
    if (observation->terminateExplicitly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
}

class SystemThreadTest : public testing::TestWithParam<bool> {};

TEST_P(SystemThreadTest, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ThreadObservation observation;
    observation.release = &release;
    observation.terminateExplicitly = GetParam();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    CLIENT_ID clientId{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, &clientId, ObservingThread,
                                   &observation),
              STATUS_SUCCESS);
    EXPECT_NE(clientId.UniqueThread, nullptr);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(observation.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(observation.apcsDisabled);  // system threads start inside a critical region
    EXPECT_EQ(observation.processId, reinterpret_cast<HANDLE>(4));
}

INSTANTIATE_TEST_SUITE_P(ReturnOrTerminate, SystemThreadTest, testing::Values(false, true));

// A driver unloaded by an atexit handler still runs on the main thread's kernel object, so
// that object must not be ended (signalled and freed) by the thread's own exit first.
TEST(SystemThreadDeathTest, MainThreadKeepsItsObjectThroughTheAtexitHandlers)
{
    EXPECT_EXIT(
        {
            (void)KeGetCurrentThread();
            std::atexit([] {
                LARGE_INTEGER zero{};
                NTSTATUS status = KeWaitForSingleObject(KeGetCurrentThread(), Executive, KernelMode, FALSE, &zero);
                _exit(status == STATUS_TIMEOUT ? 0 : 3);
            });
            std::exit(1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(KernelObject, HandleTypeAndModeAreChecked)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, TRUE);
    ThreadObservation observation;
    observation.release = &release;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, ObservingThread, &observation),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsProcessType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, UserMode, &object, nullptr), STATUS_INVALID_HANDLE);
    OBJECT_HANDLE_INFORMATION information{};
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, &information), STATUS_SUCCESS);
    EXPECT_EQ(information.HandleAttributes & OBJ_KERNEL_HANDLE, static_cast<ULONG>(OBJ_KERNEL_HANDLE));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST(KernelObject, ObjectLivesUntilTheLastReferenceAndHandleGo)
{
    std::atomic<int> deleted{0};
    PVOID body = winsim::kernel::CreateObject(*PsProcessType, 64, [&](PVOID) { ++deleted; }, "test process");
    ASSERT_NE(body, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(body, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    ObReferenceObject(body);
    EXPECT_EQ(winsim::kernel::ObjectDriverReferenceCount(body), 1);
    winsim::kernel::DereferenceObject(body);  // the creator's reference
    ObDereferenceObject(body);
    EXPECT_EQ(deleted.load(), 0);  // the handle still keeps it
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(deleted.load(), 1);
}

TEST(KernelObject, RacingCloseAndDereferenceDeleteExactlyOnce)
{
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> deleted{0};
        PVOID body = winsim::kernel::CreateObject(*PsThreadType, 32, [&](PVOID) { ++deleted; }, "racing");
        HANDLE handle = nullptr;
        ASSERT_EQ(winsim::kernel::InsertHandle(body, OBJ_KERNEL_HANDLE, 0, "test", &handle), STATUS_SUCCESS);
        std::atomic<bool> go{false};
        std::thread closer([&] {
            while (!go.load()) {
            }
            ZwClose(handle);
        });
        go.store(true);
        winsim::kernel::DereferenceObject(body);
        closer.join();
        ASSERT_EQ(deleted.load(), 1) << "round " << round;
    }
}

TEST(KernelObject, OpenByPointerRejectsWrongTypeAndBadAttributes)
{
    PVOID body = winsim::kernel::CreateObject(*PsProcessType, 16, nullptr, "test process");
    HANDLE handle = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(body, OBJ_KERNEL_HANDLE, nullptr, 0, *PsThreadType, KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObOpenObjectByPointer(body, 0x1, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_INVALID_PARAMETER);
    winsim::kernel::DereferenceObject(body);
}

struct WorkObservation {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = 0xFF;
    LONG_PTR deviceReferences = 0;
    PIO_WORKITEM item = nullptr;  // freed by the routine itself when set
    KEVENT done;
};

VOID ObservingWork(PDEVICE_OBJECT device, PVOID context)
{
    auto *observation = static_cast<WorkObservation *>(context);
    observation->device = device;
    observation->irql = KeGetCurrentIrql();
    observation->deviceReferences = winsim::kernel::ObjectPointerCount(device);
    if (observation->item != nullptr) {
        IoFreeWorkItem(observation->item);
    }
    KeSetEvent(&observation->done, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public testing::Test {
protected:
    void SetUp() override
    {
        driver_ = winsim::kernel::CreateDriverObject(u"\\Driver\\worktest");
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (device_ != nullptr) {
            IoDeleteDevice(device_);
        }
        winsim::kernel::DeleteDriverObject(driver_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(WorkItemTest, RoutineRunsAtPassiveAndMayFreeItsOwnItem)
{
    WorkObservation observation;
    KeInitializeEvent(&observation.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    ASSERT_NE(item, nullptr);
    observation.item = item;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);  // queued from DISPATCH_LEVEL, as a classify would
    IoQueueWorkItem(item, ObservingWork, DelayedWorkQueue, &observation);
    KeLowerIrql(oldIrql);
    KeWaitForSingleObject(&observation.done, Executive, KernelMode, FALSE, nullptr);
    winsim::DrainWorkItems();
    EXPECT_EQ(observation.device, device_);
    EXPECT_EQ(observation.irql, PASSIVE_LEVEL);
}

TEST_F(WorkItemTest, QueuedItemKeepsTheDeviceObjectAlive)
{
    WorkObservation observation;
    KeInitializeEvent(&observation.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    ASSERT_NE(item, nullptr);
    LONG_PTR before = winsim::kernel::ObjectPointerCount(device_);
    IoQueueWorkItem(item, ObservingWork, DelayedWorkQueue, &observation);
    KeWaitForSingleObject(&observation.done, Executive, KernelMode, FALSE, nullptr);
    winsim::DrainWorkItems();
    EXPECT_EQ(observation.deviceReferences, before + 1);
    EXPECT_EQ(winsim::kernel::ObjectPointerCount(device_), before);
    IoFreeWorkItem(item);
}

TEST_F(WorkItemTest, DeviceNamesCollideAndLinksResolve)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\worktest");
    PDEVICE_OBJECT named = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 8, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &named),
              STATUS_SUCCESS);
    EXPECT_EQ(named->Flags & DO_DEVICE_INITIALIZING, static_cast<ULONG>(DO_DEVICE_INITIALIZING));
    EXPECT_NE(named->DeviceExtension, nullptr);
    EXPECT_EQ(driver_->DeviceObject, named);
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\worktest");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    PDEVICE_OBJECT resolved = winsim::kernel::ReferenceDeviceByName(u"\\DosDevices\\worktest");
    EXPECT_EQ(resolved, named);
    winsim::kernel::DereferenceObject(resolved);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    IoDeleteDevice(named);
    EXPECT_EQ(driver_->DeviceObject, device_);
}

}  // namespace
