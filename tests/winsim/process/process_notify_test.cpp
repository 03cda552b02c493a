// Create-process notification: registration rules, where and how the routines are called,
// and removal waiting for calls still running.
#include "process_test_support.h"

#include <gtest/gtest.h>
#include <winsim/processes.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;

struct Call {
    std::uint64_t parent;
    std::uint64_t process;
    bool create;
    KIRQL irql;
    BOOLEAN apcsDisabled;
    std::thread::id thread;
    HANDLE contextProcess;
};

std::mutex gCallsMutex;
std::vector<Call> gCalls;

VOID RecordingRoutine(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    std::lock_guard<std::mutex> lock(gCallsMutex);
    gCalls.push_back({reinterpret_cast<ULONG_PTR>(ParentId), reinterpret_cast<ULONG_PTR>(ProcessId), Create != 0,
                      KeGetCurrentIrql(), KeAreApcsDisabled(), std::this_thread::get_id(),
                      PsGetProcessId(IoGetCurrentProcess())});
}

VOID OtherRoutine(HANDLE, HANDLE, BOOLEAN) {}

class ProcessNotifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(gCallsMutex);
        gCalls.clear();
    }
    void TearDown() override
    {
        PsSetCreateProcessNotifyRoutine(RecordingRoutine, TRUE);
        winsim::processes::Reset();
    }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(gCallsMutex);
        return gCalls;
    }
};

TEST_F(ProcessNotifyTest, RoutinesRunOnTheCreatingAndEndingThreadAtPassiveInACriticalRegion)
{
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, FALSE), STATUS_SUCCESS);
    ProcessId parent = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\shell.exe");
    ProcessId child = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\child.exe", Notify::Yes, parent);
    ASSERT_TRUE(winsim::processes::End(child));

    std::vector<Call> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].parent, parent);
    EXPECT_EQ(calls[1].process, child);
    EXPECT_TRUE(calls[1].create);
    EXPECT_EQ(calls[1].contextProcess, ProcessHandle(parent)) << "creation runs in the creator's context";
    EXPECT_FALSE(calls[2].create);
    EXPECT_EQ(calls[2].process, child);
    EXPECT_EQ(calls[2].contextProcess, ProcessHandle(child)) << "exit runs in the ending process";
    for (const Call &call : calls) {
        EXPECT_EQ(call.irql, PASSIVE_LEVEL);
        EXPECT_TRUE(call.apcsDisabled);
        EXPECT_EQ(call.thread, std::this_thread::get_id());
    }
    EXPECT_FALSE(KeAreApcsDisabled()) << "the critical region ends with the call";
}

TEST_F(ProcessNotifyTest, WithoutNotificationTheRoutinesAreNotCalledButTheKernelStateChanges)
{
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, FALSE), STATUS_SUCCESS);
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\quiet.exe", Notify::No);
    EXPECT_TRUE(winsim::processes::IsRunning(id));
    EXPECT_TRUE(winsim::processes::End(id, Notify::No));
    EXPECT_FALSE(winsim::processes::IsRunning(id));
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ProcessNotifyTest, RegistrationRules)
{
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, TRUE), STATUS_PROCEDURE_NOT_FOUND);
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(winsim::processes::NotifyRoutineCount(), 1u);
    EXPECT_TRUE(HasOutstanding("process-notify-routine", "still registered"));
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(RecordingRoutine, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(winsim::processes::NotifyRoutineCount(), 0u);
    EXPECT_FALSE(HasOutstanding("process-notify-routine", "still registered"));

    winsim::faults::FailCall("PsSetCreateProcessNotifyRoutine", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OtherRoutine, FALSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(winsim::processes::NotifyRoutineCount(), 0u);
}

TEST_F(ProcessNotifyTest, RemovalWaitsForCallsStillRunning)
{
    static std::mutex mutex;
    static std::condition_variable changed;
    static bool inside = false;
    static bool release = false;
    inside = release = false;
    PCREATE_PROCESS_NOTIFY_ROUTINE blocking = [](HANDLE, HANDLE, BOOLEAN) {
        std::unique_lock<std::mutex> lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(lock, [] { return release; });
    };
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(blocking, FALSE), STATUS_SUCCESS);
    std::thread creator([] { winsim::processes::Start(u"\\Device\\HarddiskVolume2\\slow.exe"); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [] { return inside; });
    }
    std::atomic<bool> removed{false};
    std::thread remover([&removed, blocking] {
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(blocking, TRUE), STATUS_SUCCESS);
        removed = true;
    });
    // The removal cannot finish while the call runs; give it a fair chance to be wrong.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    remover.join();
    creator.join();
    EXPECT_TRUE(removed.load());
}

}  // namespace
