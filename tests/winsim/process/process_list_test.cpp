// The machine's processes: the id table, lookups and their references, process objects as
// dispatcher objects, ended processes that stay findable while referenced, reused ids.
#include "process_test_support.h"

#include <ntifs.h>

#include <gtest/gtest.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>

#include <algorithm>
#include <string>

namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;

class ProcessListTest : public ::testing::Test {
protected:
    void TearDown() override { winsim::processes::Reset(); }
};

TEST_F(ProcessListTest, SystemAndIdleArePresentAndOnlySystemCanBeLookedUp)
{
    std::vector<ProcessId> running = winsim::processes::Running();
    EXPECT_EQ(running.front(), winsim::processes::kIdleProcessId);
    EXPECT_NE(std::find(running.begin(), running.end(), winsim::processes::kSystemProcessId), running.end());

    PEPROCESS process = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(4), &process), STATUS_SUCCESS);
    EXPECT_EQ(PsGetProcessId(process), ProcessHandle(4));
    ObDereferenceObject(process);

    EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(0), &process), STATUS_INVALID_CID);
    EXPECT_FALSE(winsim::processes::End(4));
    EXPECT_FALSE(winsim::processes::End(0));
}

TEST_F(ProcessListTest, LookupReturnsAReferenceTheCallerMustDrop)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe");
    PEPROCESS process = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_SUCCESS);
    EXPECT_EQ(winsim::processes::ExtraReferences(id), 1u);
    EXPECT_TRUE(HasOutstanding("object-reference", "notepad.exe"));
    ObDereferenceObject(process);
    EXPECT_EQ(winsim::processes::ExtraReferences(id), 0u);
    EXPECT_FALSE(HasOutstanding("object-reference", "notepad.exe"));
}

TEST_F(ProcessListTest, UnknownIdIsAnInvalidClientId)
{
    PEPROCESS process = nullptr;
    EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(0x7FF0), &process), STATUS_INVALID_CID);
    EXPECT_EQ(process, nullptr);
}

TEST_F(ProcessListTest, ProcessObjectIsSignalledWhenTheProcessEnds)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    PEPROCESS process = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_SUCCESS);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(process, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    ASSERT_TRUE(winsim::processes::End(id, Notify::No));
    EXPECT_EQ(KeWaitForSingleObject(process, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_FALSE(winsim::processes::IsRunning(id));
    EXPECT_FALSE(winsim::processes::End(id));
    ObDereferenceObject(process);
}

TEST_F(ProcessListTest, EndedProcessStaysFindableUntilItsLastReferenceGoes)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    PEPROCESS held = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &held), STATUS_SUCCESS);
    ASSERT_TRUE(winsim::processes::End(id));

    PEPROCESS again = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &again), STATUS_SUCCESS);
    EXPECT_EQ(again, held);
    ObDereferenceObject(again);
    EXPECT_TRUE(ListedIds().count(id) != 0) << "an ended, referenced process is still listed";

    ObDereferenceObject(held);
    EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &again), STATUS_INVALID_CID);
    EXPECT_EQ(ListedIds().count(id), 0u);
    EXPECT_EQ(winsim::processes::ExtraReferences(id), std::nullopt);
}

TEST_F(ProcessListTest, ReusedIdFindsTheNewProcessWhileTheOldObjectStaysValid)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\old.exe");
    EXPECT_FALSE(winsim::processes::StartWithId(id, u"\\Device\\HarddiskVolume2\\new.exe"))
        << "a running process keeps its id";
    PEPROCESS oldProcess = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &oldProcess), STATUS_SUCCESS);
    ASSERT_TRUE(winsim::processes::End(id, Notify::No));
    ASSERT_TRUE(winsim::processes::StartWithId(id, u"\\Device\\HarddiskVolume2\\new.exe"));

    PEPROCESS newProcess = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &newProcess), STATUS_SUCCESS);
    EXPECT_NE(newProcess, oldProcess);
    EXPECT_EQ(ImageNameOf(newProcess), u"\\Device\\HarddiskVolume2\\new.exe");
    EXPECT_EQ(ImageNameOf(oldProcess), u"\\Device\\HarddiskVolume2\\old.exe");
    EXPECT_EQ(PsGetProcessId(oldProcess), ProcessHandle(id));
    ObDereferenceObject(newProcess);
    ObDereferenceObject(oldProcess);
    EXPECT_FALSE(winsim::processes::StartWithId(4, u"\\Device\\x.exe"));
    EXPECT_FALSE(winsim::processes::StartWithId(0, u"\\Device\\x.exe"));
}

TEST_F(ProcessListTest, FreshIdsAreMultiplesOfFourAndNeverRepeat)
{
    ProcessId a = winsim::processes::Start(u"\\Device\\a.exe");
    winsim::processes::End(a);
    ProcessId b = winsim::processes::Start(u"\\Device\\b.exe");
    EXPECT_EQ(a % 4, 0u);
    EXPECT_EQ(b % 4, 0u);
    EXPECT_NE(a, b);
}

TEST_F(ProcessListTest, LookupFailsOnDemandWithoutTakingAReference)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    winsim::faults::FailCall("PsLookupProcessByProcessId", STATUS_INSUFFICIENT_RESOURCES);
    PEPROCESS process = nullptr;
    EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(winsim::processes::ExtraReferences(id), 0u);
    EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_SUCCESS);
    ObDereferenceObject(process);
}

TEST_F(ProcessListTest, LookupAboveApcLevelIsAViolation)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    winsim::ViolationCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PEPROCESS process = nullptr;
    EXPECT_FALSE(NT_SUCCESS(PsLookupProcessByProcessId(ProcessHandle(id), &process)));
    KeLowerIrql(old);
    EXPECT_TRUE(capture.Caught("PsLookupProcessByProcessId"));
}

TEST_F(ProcessListTest, WaitingOnAThreadHandleSeesTheThreadEnd)
{
    static KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&thread, 0, &attributes, nullptr, nullptr,
                                   [](PVOID) { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); },
                                   nullptr),
              STATUS_SUCCESS);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, &poll), STATUS_INVALID_HANDLE);
}

}  // namespace
