// Failures of every allocation and kernel call the process table makes: set-up undoes
// exactly what it did, a failed entry or rescan leaves the table as it was and consistent,
// and nothing is leaked (the test main and the unload check every handle, reference,
// thread, registration and allocation).
#include "process_fixture.h"

#include "driver/policy/process_sysinfo.h"
#include "driver/policy/rule_store.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qvr_test {
namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;

struct CallFault {
    const char *call;
    std::uint64_t nth;
    NTSTATUS status;
};

class ProcessTableLoadFaultTest : public ::testing::TestWithParam<CallFault> {
protected:
    void TearDown() override { winsim::processes::Reset(); }
};

TEST_P(ProcessTableLoadFaultTest, FailedSetUpStepFailsTheLoadAndLeavesNothing)
{
    const CallFault &fault = GetParam();
    winsim::faults::FailCall(fault.call, fault.status, fault.nth);
    EXPECT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), fault.status);
    EXPECT_FALSE(winsim::IsDriverLoaded(kDriverService));
    EXPECT_EQ(ProcessTable, nullptr);
    EXPECT_EQ(winsim::processes::NotifyRoutineCount(), 0u);
    if (std::string(fault.call) == "ObReferenceObjectByHandle") {
        // The watcher was already running: it was stopped and waited for on its handle.
        EXPECT_EQ(winsim::faults::CallCount("PsCreateSystemThread"), 1u);
        EXPECT_EQ(winsim::faults::CallCount("ZwWaitForSingleObject"), 1u);
    }
    winsim::faults::Clear();

    // Nothing half-made stands in the way of the next load.
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    UnloadDriverClean();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ProcessTableLoadFaultTest,
    ::testing::Values(CallFault{"PsSetCreateProcessNotifyRoutine", 1, STATUS_INSUFFICIENT_RESOURCES},
                      CallFault{"PsCreateSystemThread", 1, STATUS_INSUFFICIENT_RESOURCES},
                      CallFault{"ObReferenceObjectByHandle", 1, STATUS_INVALID_HANDLE}),
    [](const ::testing::TestParamInfo<CallFault> &info) { return std::string(info.param.call); });

class ProcessTableStopFaultTest : public ::testing::Test {
protected:
    void TearDown() override { winsim::processes::Reset(); }
};

// The watcher could be neither referenced nor waited for on its handle: the load still
// waits for the thread to let go of the table before freeing it.
TEST_F(ProcessTableStopFaultTest, WatcherThatCannotBeWaitedOnIsStoppedBeforeTheTableGoes)
{
    winsim::faults::FailCall("ObReferenceObjectByHandle", STATUS_INVALID_HANDLE);
    winsim::faults::FailCall("ZwWaitForSingleObject", STATUS_INVALID_HANDLE);
    EXPECT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_INVALID_HANDLE);
    winsim::faults::Clear();
    EXPECT_EQ(ProcessTable, nullptr);
    // The watcher thread is gone (the load's report lists a thread still running).
    EXPECT_TRUE(Eventually([] { return winsim::Outstanding().empty(); }));
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    UnloadDriverClean();
}

// A removal that fails leaves the routine registered: a notification already inside the
// table when the unload starts is waited for, and later ones touch nothing.
TEST_F(ProcessTableStopFaultTest, FailedNotifyRemovalNeverFreesWhatTheRoutineReads)
{
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    winsim::processes::SetImageQueryHook([&](ProcessId, std::uint32_t) {
        std::unique_lock<std::mutex> guard(lock);
        inside = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
    });
    std::thread starter([] { winsim::processes::Start(ImagePath(u"late.exe")); });
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return inside; });
    }
    winsim::processes::SetImageQueryHook(nullptr);  // only the held notification waits
    winsim::faults::FailCall("PsSetCreateProcessNotifyRoutine", STATUS_UNSUCCESSFUL);
    winsim::ViolationCapture capture;  // the unload reports the routine it could not remove
    winsim::UnloadResult result;
    std::atomic<bool> unloaded{false};
    std::thread unloader([&] {
        result = winsim::UnloadDriver(kDriverService);
        unloaded = true;
    });
    // An unload that does not wait for the notification frees the table under it now.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(unloaded) << "the table went while a notification was inside it";
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    changed.notify_all();
    starter.join();
    unloader.join();
    winsim::faults::Clear();
    // The routine stays registered, and reported; it is called once more and reads nothing.
    winsim::processes::Start(ImagePath(u"after.exe"));
    ASSERT_EQ(result.leftBehind.size(), 1u);
    EXPECT_NE(result.leftBehind[0].find("notify routine"), std::string::npos) << result.leftBehind[0];
    for (const winsim::Violation &violation : capture.Violations()) {
        EXPECT_EQ(violation.call, "UnloadDriver") << violation.message;
    }
    EXPECT_EQ(winsim::processes::DropNotifyRoutines(), 1u);
    EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
}

TEST(ProcessTableAllocationFaultTest, EveryFailedAllocationDuringLoadIsUndone)
{
    bool loaded = false;
    for (std::uint64_t n = 1; n <= 64 && !loaded; ++n) {
        winsim::faults::FailNthAllocation(n);
        NTSTATUS status = winsim::LoadDriver(DriverEntry, kDriverService);
        winsim::faults::Clear();
        if (NT_SUCCESS(status)) {
            loaded = true;
            EXPECT_NE(ProcessTable, nullptr);
            UnloadDriverClean();
        } else {
            EXPECT_FALSE(winsim::IsDriverLoaded(kDriverService)) << "allocation " << n;
            EXPECT_EQ(ProcessTable, nullptr) << "allocation " << n;
        }
    }
    EXPECT_TRUE(loaded);
}

class ProcessEntryFaultTest : public ProcessTableTest, public ::testing::WithParamInterface<CallFault> {};

TEST_P(ProcessEntryFaultTest, FailedEntryLeavesTheTableAsItWasUntilTheNextRescan)
{
    const CallFault &fault = GetParam();
    ProcessId before = Start(u"before.exe");
    ASSERT_TRUE(Intercepted(before));

    if (std::string(fault.call) == "ExAllocatePoolWithTag") {
        winsim::faults::FailAllocationsWithTag("QVPM");
    } else {
        winsim::faults::FailCall(fault.call, fault.status, fault.nth);
    }
    ProcessId missed = Start(u"missed.exe");
    winsim::faults::Clear();

    EXPECT_FALSE(Intercepted(missed));
    EXPECT_EQ(winsim::processes::ExtraReferences(missed), 0u) << "a failed entry keeps no reference";
    EXPECT_TRUE(Intercepted(before));

    SetRules(0, {});
    EXPECT_TRUE(Intercepted(missed));
    EXPECT_TRUE(Intercepted(before));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ProcessEntryFaultTest,
    ::testing::Values(CallFault{"PsLookupProcessByProcessId", 1, STATUS_INVALID_CID},
                      CallFault{"ObOpenObjectByPointer", 1, STATUS_ACCESS_DENIED},
                      CallFault{"ZwQueryInformationProcess", 1, STATUS_ACCESS_DENIED},
                      CallFault{"ZwQueryInformationProcess", 2, STATUS_UNSUCCESSFUL},
                      CallFault{"ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES}),
    [](const ::testing::TestParamInfo<CallFault> &info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.nth);
    });

class ProcessRescanFaultTest : public ProcessTableTest {
protected:
    // Runs a rule change that makes browsers the only intercepted processes while `arm`
    // makes the rescan fail somewhere, then checks that all old flags stayed in force.
    template <typename Arm>
    void ExpectOldFlagsAfterFailedRescan(Arm arm)
    {
        ProcessId browser = Start(u"browser.exe");
        ProcessId editor = Start(u"editor.exe");
        ASSERT_TRUE(Intercepted(browser));
        ASSERT_TRUE(Intercepted(editor));
        arm();
        SetRules(1, {u"browser.exe"});  // the rescan reports success even when it fails
        winsim::faults::Clear();
        winsim::processes::SetSnapshotHook(nullptr);
        EXPECT_TRUE(Intercepted(browser));
        EXPECT_TRUE(Intercepted(editor)) << "a failed rescan leaves every old flag";
        EXPECT_EQ(ProcessTable->Rebuild, nullptr);

        EXPECT_EQ(RescanProcesses(), STATUS_SUCCESS);
        EXPECT_TRUE(Intercepted(browser));
        EXPECT_FALSE(Intercepted(editor));
    }
};

TEST_F(ProcessRescanFaultTest, SizeQueryFails)
{
    ExpectOldFlagsAfterFailedRescan([] { winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_ACCESS_DENIED); });
}

TEST_F(ProcessRescanFaultTest, FillFails)
{
    ExpectOldFlagsAfterFailedRescan(
        [] { winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_UNSUCCESSFUL, 2); });
}

TEST_F(ProcessRescanFaultTest, RebuildTableOrSnapshotBufferCannotBeAllocated)
{
    ProcessId browser = Start(u"browser.exe");
    ProcessId editor = Start(u"editor.exe");
    const std::u16string name = u"browser.exe";
    std::vector<WCHAR> area(name.begin(), name.end());
    area.push_back(0);
    ASSERT_EQ(ReplaceRules(area.data(), area.size() * sizeof(WCHAR), 1, TRUE), STATUS_SUCCESS);
    // A rescan allocates the table to rebuild, then the snapshot buffer.
    for (std::uint64_t n : {1, 2}) {
        winsim::faults::FailNthAllocation(n);
        EXPECT_EQ(RescanProcesses(), STATUS_SUCCESS);
        winsim::faults::Clear();
        EXPECT_TRUE(Intercepted(browser)) << "allocation " << n;
        EXPECT_TRUE(Intercepted(editor)) << "allocation " << n;
        EXPECT_EQ(ProcessTable->Rebuild, nullptr);
    }
    EXPECT_EQ(RescanProcesses(), STATUS_SUCCESS);
    EXPECT_TRUE(Intercepted(browser));
    EXPECT_FALSE(Intercepted(editor));
}

// Each fill finds the list grown past the buffer, slack included.
TEST_F(ProcessRescanFaultTest, ListThatKeepsGrowingIsNotChasedForever)
{
    bool measuring = false;
    winsim::processes::SetSnapshotHook([&](winsim::processes::SnapshotPoint point, std::uint32_t length) {
        if (point != winsim::processes::SnapshotPoint::BeforeAnswer || length == 0 || measuring) {
            return;
        }
        measuring = true;
        for (ULONG required = 0; required <= length;) {
            for (int i = 0; i < 32; ++i) {
                winsim::processes::Start(ImagePath(u"spawn.exe"), Notify::No);
            }
            (VOID)ZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &required);
        }
        measuring = false;
    });
    ExpectOldFlagsAfterFailedRescan([] {});
}

// A few processes starting between the size query and the fill fit in the slack.
TEST_F(ProcessRescanFaultTest, ProcessesStartingBeforeTheFillFitInTheSlack)
{
    ProcessId editor = Start(u"editor.exe");
    winsim::processes::GrowBeforeNextFill(ImagePath(u"spawn.exe"), 8, Notify::No);
    SetRules(1, {u"browser.exe"});
    EXPECT_EQ(winsim::faults::CallCount("ZwQuerySystemInformation"), 2u) << "one size query, one fill";
    EXPECT_FALSE(Intercepted(editor));
}

// Starts and exits reported while a rescan runs are not lost when it fails.
TEST_F(ProcessRescanFaultTest, StartsAndExitsDuringAFailedRescanReachTheTableInForce)
{
    ProcessId editor = Start(u"editor.exe");
    ProcessId leaving = Start(u"leaving.exe");
    ProcessId started = 0;
    winsim::processes::SetSnapshotHook([&](winsim::processes::SnapshotPoint point, std::uint32_t length) {
        if (point == winsim::processes::SnapshotPoint::BeforeAnswer && length == 0 && started == 0) {
            started = Start(u"browser.exe");
            winsim::processes::End(leaving);
        }
    });
    // The size query sees them; the fill that follows fails.
    winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_UNSUCCESSFUL, 2);
    SetRules(1, {u"browser.exe"});
    winsim::faults::Clear();
    winsim::processes::SetSnapshotHook(nullptr);
    ASSERT_NE(started, 0u);
    EXPECT_TRUE(Intercepted(started)) << "a start during the failed rescan was lost";
    EXPECT_FALSE(Intercepted(leaving)) << "an exit during the failed rescan was lost";
    EXPECT_EQ(winsim::processes::ExtraReferences(leaving), std::nullopt);
    EXPECT_TRUE(Intercepted(editor)) << "the old flags stay until a rescan succeeds";
    EXPECT_EQ(ProcessTable->Rebuild, nullptr);
}

TEST_F(ProcessRescanFaultTest, EntryFailingDuringARescanLeavesOnlyThatProcessOut)
{
    ProcessId first = Start(u"browser.exe");
    ProcessId second = Start(u"browser.exe");
    ASSERT_TRUE(Intercepted(first));
    // The rescan walks Idle (no lookup), System (two image queries), then the two browsers:
    // the third image query is the first browser's.
    winsim::faults::FailCall("ZwQueryInformationProcess", STATUS_ACCESS_DENIED, 3);
    SetRules(1, {u"browser.exe"});
    winsim::faults::Clear();
    EXPECT_FALSE(Intercepted(first)) << "its entry could not be made under the new rules";
    EXPECT_EQ(winsim::processes::ExtraReferences(first), 0u) << "the old entry went with the old table";
    EXPECT_TRUE(Intercepted(second));

    SetRules(1, {u"browser.exe"});
    EXPECT_TRUE(Intercepted(first)) << "the next rescan enters it again";
}

}  // namespace
}  // namespace qvr_test
