// The process watcher on the manual clock: processes whose exit never reached the table are
// purged within one period (and not before), and unload ends the waiting watcher at once.
#include "process_fixture.h"

#include <winsim/trace_session.h>

namespace qvr_test {
namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;
using winsim::processes::SnapshotPoint;

class ProcessWatcherTest : public ProcessTableTest {
protected:
    bool ManualClock() const override { return true; }

    // Entries hold process objects: once the watcher has dropped its entry, nothing does.
    static bool Purged(ProcessId id) { return winsim::processes::ExtraReferences(id) == std::nullopt; }
};

TEST_F(ProcessWatcherTest, ProcessEndingWithoutNotificationIsPurgedWithinOnePeriod)
{
    ProcessId quiet = Start(u"quiet.exe");
    ProcessId second = Start(u"second.exe");
    ProcessId alive = Start(u"alive.exe");
    ASSERT_TRUE(Intercepted(quiet));
    ASSERT_TRUE(winsim::processes::End(quiet, Notify::No));
    ASSERT_TRUE(winsim::processes::End(second, Notify::No));
    EXPECT_TRUE(Intercepted(quiet)) << "nothing told the table yet";

    winsim::clock::Advance(kWatcherPeriod - 1);
    EXPECT_EQ(winsim::processes::ExtraReferences(quiet), 1u) << "the watcher waits a whole period";

    winsim::clock::Advance(1);
    EXPECT_TRUE(Eventually([&] { return Purged(quiet) && Purged(second); }));
    EXPECT_FALSE(Intercepted(quiet));
    EXPECT_FALSE(Intercepted(second));
    EXPECT_TRUE(Intercepted(alive));
}

TEST_F(ProcessWatcherTest, ProcessEndingDuringARescanAfterItsSnapshotIsPurgedByTheWatcher)
{
    ProcessId leaving = Start(u"leaving.exe");
    winsim::processes::SetSnapshotHook([&](SnapshotPoint point, std::uint32_t length) {
        if (point == SnapshotPoint::AfterAnswer && length != 0) {
            winsim::processes::End(leaving, Notify::No);
        }
    });
    SetRules(0, {});
    winsim::processes::SetSnapshotHook(nullptr);
    ASSERT_FALSE(winsim::processes::IsRunning(leaving));
    EXPECT_EQ(winsim::processes::ExtraReferences(leaving), 1u)
        << "the ended process was entered from the snapshot and is still held";

    winsim::clock::Advance(kWatcherPeriod);
    EXPECT_TRUE(Eventually([&] { return Purged(leaving); }));
    EXPECT_FALSE(Intercepted(leaving));
}

// The rules are in force once set; a rescan that failed is retried by the watcher until
// the flags match them.
TEST_F(ProcessWatcherTest, AFailedRescanIsRetriedUntilTheFlagsMatchTheRules)
{
    ProcessId editor = Start(u"editor.exe");
    winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_WARNING);
    winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_ACCESS_DENIED);
    SetRules(1, {u"browser.exe"});
    EXPECT_TRUE(Intercepted(editor));

    // The first retry fails too; the next one succeeds.
    winsim::faults::Clear();
    winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_ACCESS_DENIED);
    winsim::clock::Advance(kWatcherPeriod);
    ASSERT_TRUE(Eventually([] { return winsim::faults::CallCount("ZwQuerySystemInformation") >= 1; }));
    ASSERT_TRUE(WatcherWaiting());
    EXPECT_TRUE(Intercepted(editor));
    winsim::clock::Advance(kWatcherPeriod);
    EXPECT_TRUE(Eventually([&] { return !Intercepted(editor); }));
    EXPECT_GE(trace.Matching("retries the failed process rescan").size(), 2u);
}

TEST_F(ProcessWatcherTest, UnloadWhileTheWatcherWaitsEndsItAtOnce)
{
    // The clock never moves: only StopEvent can end the watcher's wait.
    CloseAndUnload();
    for (const std::string &item : winsim::Outstanding()) {
        EXPECT_EQ(item.find("system-thread"), std::string::npos) << item;
    }
}

TEST_F(ProcessWatcherTest, WatcherKeepsWatchingPeriodAfterPeriod)
{
    for (int round = 0; round < 3; ++round) {
        ProcessId id = Start(u"round.exe");
        ASSERT_TRUE(winsim::processes::End(id, Notify::No));
        winsim::clock::Advance(kWatcherPeriod);
        ASSERT_TRUE(Eventually([&] { return Purged(id); })) << "round " << round;
        ASSERT_TRUE(WatcherWaiting());
    }
}

}  // namespace
}  // namespace qvr_test
