/*
 * verifier_test.cpp
 *
 * The verifier's checks: what a driver leaves behind (pool, handles, object references,
 * work items), IRQL and lock discipline, pool tag and double-free checks, fault injection,
 * and the test main's routing of violations into the running test.
 */
#include <ntifs.h>
#include <winsim/kernel.h>
#include <winsim/verifier.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "kernel/object_manager.h"
#include "kernel_test_util.h"

#include <algorithm>
#include <string>

// Outside the anonymous namespace so that even a symbol-table lookup can name it.
DECLSPEC_NOINLINE PVOID LeakyAllocation() { return ExAllocatePoolWithTag(NonPagedPoolNx, 24, kerneltest::Tag("QVPM")); }

namespace {

using kerneltest::Tag;

bool AnyOutstandingContains(const std::string &kind, const std::string &text)
{
    for (const winsim::OutstandingItem &item : winsim::OutstandingItems()) {
        if (item.kind == kind && item.description.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool MessageContains(const winsim::ViolationCapture &capture, const std::string &call, const std::string &text)
{
    for (const winsim::Violation &violation : capture.Violations()) {
        if (violation.call == call && violation.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}



TEST(VerifierPool, LeakedAllocationIsReportedWithTagAndCaller)
{
    PVOID block = LeakyAllocation();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 1u);
    EXPECT_TRUE(AnyOutstandingContains("pool", "tag 'QVPM'"));
    EXPECT_TRUE(AnyOutstandingContains("pool", "LeakyAllocation"));
    {
        winsim::ViolationCapture capture;
        EXPECT_FALSE(winsim::CheckNothingOutstanding("DriverUnload"));
        EXPECT_TRUE(MessageContains(capture, "DriverUnload", "24 bytes, tag 'QVPM', NonPagedPoolNx"));
    }
    ExFreePoolWithTag(block, Tag("QVPM"));
    EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
}

TEST(VerifierPool, WrongTagAndDoubleFreeAreViolations)
{
    winsim::ViolationCapture capture;
    const std::size_t before = winsim::OutstandingAllocations();
    PVOID block = ExAllocatePoolWithTag(PagedPool, 8, Tag("QVPM"));
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, Tag("QVCB"));
    EXPECT_TRUE(MessageContains(capture, "ExFreePoolWithTag", "frees with tag 'QVCB' a block allocated with tag 'QVPM'"));
    // The block is freed all the same, and counted under the tag it was allocated with.
    EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
    ExFreePoolWithTag(block, Tag("QVPM"));
    EXPECT_TRUE(MessageContains(capture, "ExFreePoolWithTag", "double free"));
    EXPECT_EQ(winsim::OutstandingAllocations(), before);
    int notPool = 0;
    ExFreePool(&notPool);
    EXPECT_TRUE(MessageContains(capture, "ExFreePool", "not a pool allocation"));
    EXPECT_EQ(capture.Violations().size(), 3u);
}

TEST(VerifierPool, UntaggedFreeOfADefaultTaggedBlockIsFine)
{
    winsim::ViolationCapture capture;
    PVOID block = ExAllocatePool(NonPagedPoolNx, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(winsim::OutstandingAllocations("None"), 1u);
    ExFreePoolWithTag(block, 0);
    EXPECT_TRUE(capture.Violations().empty());
}

// A tag with unprintable bytes is counted under the name the leak report gives it.
TEST(VerifierPool, UnprintableTagIsCountedByItsReportedName)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x01564451);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(winsim::OutstandingAllocations("QDV\\x01"), 1u);
    ExFreePoolWithTag(block, 0x01564451);
    EXPECT_EQ(winsim::OutstandingAllocations("QDV\\x01"), 0u);
}

TEST(VerifierPool, BlocksAreAlignedAndNeverZeroed)
{
    auto *small = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, Tag("QVPM")));
    auto *large = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 5000, Tag("QVPM")));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(small) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(large) % 4096, 0u);
    EXPECT_NE(small[0], 0);  // drivers must zero what they need zeroed
    ExFreePoolWithTag(small, Tag("QVPM"));
    ExFreePoolWithTag(large, Tag("QVPM"));
}

struct IrqlRuleCase {
    const char *call;            // the call expected to report
    void (*action)();            // performed at DISPATCH_LEVEL
};

void AllocatePaged()
{
    PVOID block = ExAllocatePoolWithTag(PagedPool, 8, Tag("QVPM"));
    EXPECT_EQ(block, nullptr);
}
void RunPagedCode() { PAGED_CODE(); }
void AcquireResource()
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    EXPECT_FALSE(ExAcquireResourceSharedLite(&resource, TRUE));
    ExDeleteResourceLite(&resource);
}
void WaitWithTimeout()
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = kerneltest::Relative(kerneltest::kOneSecond);
    // Reported, then refused as a poll so the test does not hang.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}
void CloseHandleAtDispatch() { ZwClose(reinterpret_cast<HANDLE>(0x1234)); }

class VerifierIrqlRules : public testing::TestWithParam<IrqlRuleCase> {};

TEST_P(VerifierIrqlRules, CallAboveItsIrqlIsReportedByName)
{
    winsim::ViolationCapture capture;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    GetParam().action();
    KeLowerIrql(oldIrql);
    EXPECT_TRUE(MessageContains(capture, GetParam().call, "IRQL 2")) << GetParam().call;
}

INSTANTIATE_TEST_SUITE_P(Calls, VerifierIrqlRules,
                         testing::Values(IrqlRuleCase{"ExAllocatePoolWithTag", AllocatePaged},
                                         IrqlRuleCase{"PAGED_CODE", RunPagedCode},
                                         IrqlRuleCase{"ExAcquireResourceSharedLite", AcquireResource},
                                         IrqlRuleCase{"KeWaitForSingleObject", WaitWithTimeout},
                                         IrqlRuleCase{"ZwClose", CloseHandleAtDispatch}));

TEST(VerifierSpinLock, WaitWhileHoldingASpinLockIsReported)
{
    winsim::ViolationCapture capture;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock, &oldIrql);
    LARGE_INTEGER timeout = kerneltest::Relative(5 * kerneltest::kOneSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeReleaseSpinLock(&lock, oldIrql);
    EXPECT_TRUE(MessageContains(capture, "KeWaitForSingleObject", "while holding 1 spin lock"));
    EXPECT_EQ(capture.Violations().size(), 1u);
}

TEST(VerifierSpinLock, OwnershipRulesAreEnforced)
{
    winsim::ViolationCapture capture;
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL oldIrql;
    KeReleaseSpinLock(&first, PASSIVE_LEVEL);  // never acquired (and IRQL is not 2)
    EXPECT_TRUE(MessageContains(capture, "KeReleaseSpinLock", "that nobody holds"));

    KeAcquireSpinLock(&first, &oldIrql);
    KIRQL ignored;
    KeAcquireSpinLock(&first, &ignored);  // recursion deadlocks on Windows
    EXPECT_TRUE(MessageContains(capture, "KeAcquireSpinLock", "already holds"));

    KIRQL secondOld;
    KeAcquireSpinLock(&second, &secondOld);
    KeReleaseSpinLock(&first, oldIrql);  // lowers to PASSIVE_LEVEL while `second` is held
    EXPECT_TRUE(MessageContains(capture, "KeReleaseSpinLock", "while still holding 1 spin lock"));
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
    KLOCK_QUEUE_HANDLE handle{};
    handle.LockQueue.Lock = &second;
    handle.OldIrql = PASSIVE_LEVEL;
    KeReleaseInStackQueuedSpinLock(&handle);  // acquired with the ordinary routine
    EXPECT_TRUE(MessageContains(capture, "KeReleaseInStackQueuedSpinLock", "acquired with the ordinary routines"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(VerifierResource, CriticalRegionAndUpgradeRules)
{
    winsim::ViolationCapture capture;
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));  // outside a critical region
    EXPECT_TRUE(MessageContains(capture, "ExAcquireResourceSharedLite", "outside a critical region"));
    KeEnterCriticalRegion();
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource, TRUE));  // would deadlock on Windows
    EXPECT_TRUE(MessageContains(capture, "ExAcquireResourceExclusiveLite", "no upgrade"));
    ExDeleteResourceLite(&resource);
    EXPECT_TRUE(MessageContains(capture, "ExDeleteResourceLite", "while it is held"));
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
    EXPECT_EQ(capture.Violations().size(), 3u);
}

TEST(VerifierResource, UninitialisedDeletedAndUnownedResourcesAreReported)
{
    winsim::ViolationCapture capture;
    ERESOURCE resource{};
    KeEnterCriticalRegion();
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource, TRUE));  // never initialised
    EXPECT_TRUE(MessageContains(capture, "ExAcquireResourceExclusiveLite", "is not initialised"));
    ASSERT_EQ(ExInitializeResourceLite(&resource), STATUS_SUCCESS);
    ExReleaseResourceLite(&resource);  // initialised but never acquired
    EXPECT_TRUE(MessageContains(capture, "ExReleaseResourceLite", "that this thread does not own"));
    ASSERT_EQ(ExDeleteResourceLite(&resource), STATUS_SUCCESS);
    EXPECT_FALSE(ExAcquireResourceSharedLite(&resource, TRUE));  // deleted
    EXPECT_TRUE(MessageContains(capture, "ExAcquireResourceSharedLite", "is not initialised"));
    KeLeaveCriticalRegion();
    EXPECT_EQ(capture.Violations().size(), 3u);
}

TEST(VerifierResource, FreeingPoolThatHoldsALiveResourceIsReported)
{
    winsim::ViolationCapture capture;
    auto *resource = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), Tag("QVPM")));
    ASSERT_NE(resource, nullptr);
    ExInitializeResourceLite(resource);
    EXPECT_TRUE(AnyOutstandingContains("resource", "never deleted"));
    ExDeleteResourceLite(resource);
    ExInitializeResourceLite(resource);
    ExFreePoolWithTag(resource, Tag("QVPM"));
    EXPECT_TRUE(MessageContains(capture, "ExFreePoolWithTag", "still holds ERESOURCE"));
    EXPECT_FALSE(AnyOutstandingContains("resource", "never deleted"));  // its memory is gone
}

TEST(VerifierObjects, LeakedReferencesAndHandlesAreOutstanding)
{
    PVOID process = winsim::kernel::CreateObject(*PsProcessType, 16, nullptr, "pid 1234 leaky.exe");
    ObReferenceObject(process);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_TRUE(AnyOutstandingContains("object-reference", "leaky.exe"));
    EXPECT_TRUE(AnyOutstandingContains("object-reference", "ObfReferenceObject"));
    EXPECT_TRUE(AnyOutstandingContains("handle", "opened by ObOpenObjectByPointer"));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObDereferenceObject(process);
    EXPECT_FALSE(AnyOutstandingContains("object-reference", "leaky.exe"));
    {
        winsim::ViolationCapture capture;
        ObDereferenceObject(process);  // the driver holds no reference any more
        EXPECT_TRUE(MessageContains(capture, "ObfDereferenceObject", "without holding a reference"));
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
        EXPECT_TRUE(capture.Caught("ZwClose"));
    }
    winsim::kernel::DereferenceObject(process);
}

TEST(VerifierObjects, UserContextHandleWithoutKernelAttributeIsReported)
{
    PVOID process = winsim::kernel::CreateObject(*PsProcessType, 16, nullptr, "pid 2000 caller.exe");
    HANDLE handle = nullptr;
    {
        winsim::ViolationCapture capture;
        winsim::kernel::ScopedProcessContext caller(static_cast<PEPROCESS>(process), reinterpret_cast<HANDLE>(2000));
        EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(2000));
        EXPECT_EQ(IoGetCurrentProcess(), process);
        ASSERT_EQ(ObOpenObjectByPointer(process, 0, nullptr, 0, *PsProcessType, KernelMode, &handle), STATUS_SUCCESS);
        EXPECT_TRUE(MessageContains(capture, "ObOpenObjectByPointer", "without OBJ_KERNEL_HANDLE"));
    }
    EXPECT_EQ(PsGetCurrentProcessId(), winsim::kernel::SystemProcessId());
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    winsim::kernel::DereferenceObject(process);
}

VOID IdleWork(PDEVICE_OBJECT, PVOID) {}

TEST(VerifierWorkItems, UnfreedAndDoublyQueuedItemsAreReported)
{
    PDRIVER_OBJECT driver = winsim::kernel::CreateDriverObject(u"\\Driver\\verifiertest");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(AnyOutstandingContains("work-item", "never freed"));
    {
        winsim::ViolationCapture capture;
        KEVENT gate;
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        // Hold both workers so that the item stays queued while it is queued again and freed.
        auto block = [](PDEVICE_OBJECT, PVOID context) {
            KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
        };
        PIO_WORKITEM blockers[2] = {IoAllocateWorkItem(device), IoAllocateWorkItem(device)};
        for (PIO_WORKITEM blocker : blockers) {
            IoQueueWorkItem(blocker, block, DelayedWorkQueue, &gate);
        }
        IoQueueWorkItem(item, IdleWork, DelayedWorkQueue, nullptr);
        IoQueueWorkItem(item, IdleWork, DelayedWorkQueue, nullptr);
        EXPECT_TRUE(MessageContains(capture, "IoQueueWorkItem", "already queued"));
        IoFreeWorkItem(item);
        EXPECT_TRUE(MessageContains(capture, "IoFreeWorkItem", "still queued"));
        KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
        winsim::DrainWorkItems();
        for (PIO_WORKITEM blocker : blockers) {
            IoFreeWorkItem(blocker);
        }
        EXPECT_EQ(capture.Violations().size(), 2u);
    }
    IoFreeWorkItem(item);
    IoDeleteDevice(device);
    winsim::kernel::DeleteDriverObject(driver);
}

TEST(VerifierFaults, NthAllocationAndTaggedAllocationsFail)
{
    winsim::faults::FailNthAllocation(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVCB"));
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVCB"));
    PVOID third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVCB"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    winsim::faults::FailAllocationsWithTag("QVPM");
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVPM")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, Tag("QVPM")), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("-QVR"));
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(winsim::faults::CallCount("ExAllocatePoolWithTag"), 6u);
    for (PVOID block : {first, third, other}) {
        ExFreePool(block);
    }
}

__attribute__((noinline)) PVOID AllocateHere() { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVCB")); }
__attribute__((noinline)) PVOID AllocateThere() { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVCB")); }

// A sweep tells calls apart by their caller's site and numbers them per site; the armed
// site fails at its nth call from then on, and no other site does.
TEST(VerifierFaults, CallsAreToldApartByTheirCallersSite)
{
    winsim::faults::SetSiteFilter("verifier_test.cpp");
    winsim::faults::StartRecording();
    std::vector<PVOID> blocks = {AllocateHere(), AllocateThere(), AllocateHere()};
    const std::vector<winsim::faults::FallibleCall> calls = winsim::faults::StopRecording();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].call, "ExAllocatePoolWithTag");
    EXPECT_EQ(calls[0].site, calls[2].site);
    EXPECT_NE(calls[0].site, calls[1].site);
    EXPECT_EQ(calls[0].ordinal, 1u);
    EXPECT_EQ(calls[1].ordinal, 1u);
    EXPECT_EQ(calls[2].ordinal, 2u);
    EXPECT_NE(winsim::faults::DescribeSite(calls[0].site).find("AllocateHere"), std::string::npos);
    EXPECT_NE(winsim::faults::DescribeSite(calls[1].site).find("AllocateThere"), std::string::npos);

    winsim::faults::FailAtSite(calls[0].site, 2, STATUS_NO_MEMORY);
    const PVOID expected[] = {AllocateHere(), AllocateThere(), AllocateHere(), AllocateHere()};
    EXPECT_NE(expected[0], nullptr);
    EXPECT_NE(expected[1], nullptr) << "another site is not armed";
    EXPECT_EQ(expected[2], nullptr) << "the site's second call fails";
    EXPECT_NE(expected[3], nullptr) << "and only that one";
    winsim::faults::SetSiteFilter("/driver/");
    for (PVOID block : expected) {
        blocks.push_back(block);
    }
    for (PVOID block : blocks) {
        if (block != nullptr) {
            ExFreePool(block);
        }
    }
}

VOID NeverRuns(PVOID) { ADD_FAILURE() << "the thread should not have been created"; }

TEST(VerifierFaults, NamedCallFailsWithTheChosenStatusOnTheNthCall)
{
    winsim::faults::FailCall("PsCreateSystemThread", STATUS_INSUFFICIENT_RESOURCES, 1);
    winsim::faults::FailCall("ObReferenceObjectByHandle", STATUS_ACCESS_DENIED, 2, true);
    HANDLE thread = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&thread, 0, &attributes, nullptr, nullptr, NeverRuns, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_ACCESS_DENIED);
    }
    winsim::faults::Clear();
    EXPECT_EQ(winsim::faults::CallCount("ObReferenceObjectByHandle"), 0u);
}

TEST(VerifierTestMain, ViolationBecomesAFailureOfTheRunningTestNamingTheCall)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("QVPM"));
    EXPECT_NONFATAL_FAILURE(ExFreePoolWithTag(block, Tag("QVCB")), "ExFreePoolWithTag");
    EXPECT_EQ(winsim::ViolationCount(), 1u);
    winsim::ResetForTest();  // the failure above was expected; keep the end-of-test check quiet
}

TEST(VerifierTestMain, AssertionsAndBugChecksAreViolations)
{
    winsim::ViolationCapture capture;
    int value = 1;
    EXPECT_FALSE(NT_ASSERT(value == 2));
    EXPECT_TRUE(MessageContains(capture, "NT_ASSERT", "value == 2"));
    EXPECT_DEATH(KeBugCheckEx(0xC4, 1, 2, 3, 4), "bug check 0x000000C4");
}

}  // namespace
