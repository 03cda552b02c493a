// The process table through the loaded driver: flags from the rules in force when a process
// starts, rescans after rule changes (and only then), exits, reused ids, and the atomic
// switch from old to new flags.
#include "process_fixture.h"

#include "driver/policy/rule_store.h"

#include <winsim/schedule.h>

#include <winsim/verifier.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>

namespace qvr_test {
namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;
using winsim::processes::SnapshotPoint;

TEST_F(ProcessTableTest, UnknownProcessIsNotIntercepted)
{
    EXPECT_FALSE(Intercepted(0x7FFFFFF0));
    EXPECT_FALSE(Intercepted(winsim::processes::kSystemProcessId));
    EXPECT_FALSE(Intercepted(0xFFFFFFFFFFFFFFF0ull));
}

struct FlagCase {
    std::uint32_t mode;
    std::vector<std::u16string> names;
    std::u16string image;
    bool intercepted;
};

class ProcessFlagTest : public ProcessTableTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(ProcessFlagTest, ProcessStartedAfterTheRulesTakesItsFlagFromThem)
{
    const FlagCase &c = GetParam();
    SetRules(c.mode, c.names);
    ProcessId id = winsim::processes::Start(c.image);
    EXPECT_EQ(Intercepted(id), c.intercepted);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ProcessFlagTest,
    ::testing::Values(FlagCase{1, {u"browser.exe"}, ImagePath(u"Browser\\browser.exe"), true},
                      FlagCase{1, {u"browser.exe"}, ImagePath(u"Tools\\editor.exe"), false},
                      FlagCase{1, {u"BROWSER.EXE"}, ImagePath(u"Browser\\browser.exe"), true},
                      FlagCase{0, {u"browser.exe"}, ImagePath(u"Browser\\browser.exe"), false},
                      FlagCase{0, {u"browser.exe"}, ImagePath(u"Tools\\editor.exe"), true},
                      FlagCase{0, {}, ImagePath(u"Tools\\editor.exe"), true},
                      FlagCase{1, {}, ImagePath(u"Browser\\browser.exe"), false},
                      FlagCase{0, {}, u"noseparator.exe", false}));

TEST_F(ProcessTableTest, ProcessesStartedBeforeLoadAreUnknownUntilTheFirstRules)
{
    DriverTest::TearDown();
    ProcessId early = Start(u"early.exe");
    DriverTest::SetUp();
    ProcessId later = Start(u"later.exe");
    EXPECT_FALSE(Intercepted(early));
    EXPECT_TRUE(Intercepted(later)) << "the empty initial list with mode 0 intercepts every named image";

    SetRules(0, {});
    EXPECT_TRUE(Intercepted(early));
    EXPECT_TRUE(Intercepted(later));
}

TEST_F(ProcessTableTest, RuleChangeAltersFlagsOnlyThroughTheRescan)
{
    ProcessId browser = Start(u"browser.exe");
    ProcessId editor = Start(u"editor.exe");
    ASSERT_TRUE(Intercepted(browser));

    const std::u16string area = u"editor.exe";
    std::vector<WCHAR> names(area.begin(), area.end());
    names.push_back(0);
    ASSERT_EQ(ReplaceRules(names.data(), names.size() * sizeof(WCHAR), 1, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(Intercepted(browser)) << "the flag was computed when the process was entered";
    EXPECT_TRUE(Intercepted(editor));

    EXPECT_EQ(RescanProcesses(), STATUS_SUCCESS);
    EXPECT_FALSE(Intercepted(browser));
    EXPECT_TRUE(Intercepted(editor));
}

TEST_F(ProcessTableTest, ExitNotificationRemovesTheEntryAndItsReference)
{
    ProcessId id = Start(u"browser.exe");
    ASSERT_TRUE(Intercepted(id));
    EXPECT_EQ(winsim::processes::ExtraReferences(id), 1u) << "the entry holds the process object";
    ASSERT_TRUE(winsim::processes::End(id));
    EXPECT_FALSE(Intercepted(id));
    EXPECT_EQ(winsim::processes::ExtraReferences(id), std::nullopt) << "nothing holds the ended process";
}

TEST_F(ProcessTableTest, ReusedIdGetsTheNewProcessEntry)
{
    SetRules(1, {u"browser.exe"});
    for (Notify exitNotify : {Notify::Yes, Notify::No}) {
        ProcessId id = Start(u"browser.exe");
        ASSERT_TRUE(Intercepted(id));
        ASSERT_TRUE(winsim::processes::End(id, exitNotify));
        ASSERT_TRUE(winsim::processes::StartWithId(id, ImagePath(u"editor.exe")));
        EXPECT_FALSE(Intercepted(id));
        ASSERT_TRUE(winsim::processes::End(id));
        ASSERT_TRUE(winsim::processes::StartWithId(id, ImagePath(u"browser.exe")));
        EXPECT_TRUE(Intercepted(id));
        winsim::processes::End(id);
    }
}

// The entry of a process that ended while it was being made arrives after the process
// that reused its id was entered: the late one gives way.
TEST_F(ProcessTableTest, LateEntryOfAnEndedProcessDoesNotEvictTheProcessThatReusedItsId)
{
    SetRules(1, {u"browser.exe"});
    ProcessId id = Start(u"editor.exe", Notify::No);
    bool reused = false;
    winsim::processes::SetImageQueryHook([&](ProcessId asked, std::uint32_t length) {
        if (asked != id || length == 0 || reused) {
            return;
        }
        reused = true;
        ASSERT_TRUE(winsim::processes::End(id));
        ASSERT_TRUE(winsim::processes::StartWithId(id, ImagePath(u"browser.exe")));
    });
    // As a notification that comes late: the lookup still finds the editor.
    ProcessNotify(nullptr, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id)), TRUE);
    winsim::processes::SetImageQueryHook(nullptr);
    ASSERT_TRUE(reused);
    EXPECT_TRUE(Intercepted(id)) << "the browser now holding the id lost its entry";
    winsim::processes::End(id);
}

// A start notification read the old rules; before its entry goes in, a rule change's
// rescan enters the same process under the new ones. The older answer gives way.
TEST_F(ProcessTableTest, EntryMadeUnderOlderRulesGivesWayToTheRescans)
{
    SetRules(1, {u"browser.exe"});
    ProcessId id = Start(u"editor.exe", Notify::No);
    const std::thread::id notifier = std::this_thread::get_id();
    bool changed = false;
    // Right after the notification's lookup let go of the rules.
    winsim::schedule::SetHook([&](winsim::schedule::Point point, const void *object) {
        if (point != winsim::schedule::Point::LockRelease || object != RuleStore->Lock ||
            std::this_thread::get_id() != notifier || changed) {
            return;
        }
        changed = true;
        SetRules(1, {u"editor.exe"});
        EXPECT_TRUE(Intercepted(id)) << "the rescan entered it under the new rules";
    });
    ProcessNotify(nullptr, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id)), TRUE);
    winsim::schedule::SetHook(nullptr);
    ASSERT_TRUE(changed);
    EXPECT_TRUE(Intercepted(id)) << "the entry made under the old rules replaced the rescan's";
    EXPECT_EQ(InterlockedCompareExchange(&ProcessTable->RescanPending, 0, 0), 0) << "nothing would ever retry";
}

TEST_F(ProcessTableTest, QueryDuringARescanSeesTheCompleteOldFlags)
{
    SetRules(1, {u"browser.exe"});
    std::vector<ProcessId> browsers{Start(u"browser.exe"), Start(u"browser.exe")};
    std::vector<ProcessId> others{Start(u"editor.exe"), Start(u"mail.exe")};
    ProcessId startedDuringRescan = 0;
    int fills = 0;
    winsim::processes::SetSnapshotHook([&](SnapshotPoint point, std::uint32_t length) {
        if (point != SnapshotPoint::AfterAnswer || length == 0) {
            return;
        }
        ++fills;
        EXPECT_NE(ProcessTable->Rebuild, nullptr);
        for (ProcessId id : browsers) {
            EXPECT_TRUE(Intercepted(id));
        }
        for (ProcessId id : others) {
            EXPECT_FALSE(Intercepted(id));
        }
        // A process that starts now is entered into the table being rebuilt.
        startedDuringRescan = Start(u"editor.exe");
        EXPECT_FALSE(Intercepted(startedDuringRescan));
    });
    SetRules(0, {u"browser.exe"});
    winsim::processes::SetSnapshotHook(nullptr);
    EXPECT_EQ(fills, 1);
    EXPECT_EQ(ProcessTable->Rebuild, nullptr);
    for (ProcessId id : browsers) {
        EXPECT_FALSE(Intercepted(id));
    }
    for (ProcessId id : others) {
        EXPECT_TRUE(Intercepted(id));
    }
    EXPECT_TRUE(Intercepted(startedDuringRescan));
}

TEST_F(ProcessTableTest, ProcessesThatAppearBetweenSizeQueryAndFillAreEnteredWithoutNotification)
{
    winsim::processes::GrowBeforeNextFill(ImagePath(u"late.exe"), 3, Notify::No);
    SetRules(1, {u"late.exe"});
    int late = 0;
    for (ProcessId id : winsim::processes::Running()) {
        auto image = winsim::processes::ImagePath(id);
        if (image && *image == ImagePath(u"late.exe")) {
            EXPECT_TRUE(Intercepted(id));
            ++late;
        }
    }
    EXPECT_EQ(late, 3);
}

TEST_F(ProcessTableTest, ConcurrentRescansTakeTurnsAndTheLaterRulesWin)
{
    ProcessId browser = Start(u"browser.exe");
    std::atomic<int> inSnapshot{0};
    std::atomic<int> maxInSnapshot{0};
    std::atomic<int> fills{0};
    std::thread second;
    winsim::processes::SetSnapshotHook([&](SnapshotPoint point, std::uint32_t length) {
        if (length == 0) {
            return;
        }
        if (point == SnapshotPoint::BeforeAnswer) {
            int now = ++inSnapshot;
            maxInSnapshot = std::max(maxInSnapshot.load(), now);
            if (++fills == 1) {
                // A second rule change arrives while this rescan holds the Rebuild slot.
                second = std::thread([this] { SetRules(1, {u"browser.exe"}); });
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EXPECT_EQ(fills.load(), 1) << "the second rescan must wait for the first";
            }
        } else {
            --inSnapshot;
        }
    });
    SetRules(1, {u"editor.exe"});
    second.join();
    winsim::processes::SetSnapshotHook(nullptr);
    EXPECT_EQ(fills.load(), 2);
    EXPECT_EQ(maxInSnapshot.load(), 1);
    EXPECT_TRUE(Intercepted(browser));
    EXPECT_EQ(ProcessTable->Rebuild, nullptr);
}

// Enough processes to grow the index several times, most of them ended in a shuffled order
// (each end moves later slots back), then a rule change that refills it: every process
// still running keeps its flag, every ended one is unknown.
TEST_F(ProcessTableTest, IndexAnswersAsTheTableThroughGrowthEndsAndRescans)
{
    SetRules(1, {u"browser.exe"});
    const std::size_t others = static_cast<std::size_t>(ProcessTable->Index.Count);
    std::map<ProcessId, bool> running;
    std::vector<ProcessId> ended;
    auto start = [&](int i) {
        const bool browser = i % 2 == 0;
        running[Start(browser ? u"browser.exe" : u"editor.exe")] = browser;
    };
    auto expectAll = [&](const char *when) {
        for (const auto &[id, intercepted] : running) {
            ASSERT_EQ(Intercepted(id), intercepted) << when << ", process " << id;
        }
        for (ProcessId id : ended) {
            ASSERT_FALSE(Intercepted(id)) << when << ", ended process " << id;
        }
    };
    for (int i = 0; i < 1500; ++i) {
        start(i);
    }
    std::vector<ProcessId> order;
    for (const auto &entry : running) {
        order.push_back(entry.first);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i % 3 != 0) {
            ASSERT_TRUE(winsim::processes::End(order[i]));
            running.erase(order[i]);
            ended.push_back(order[i]);
        }
    }
    for (int i = 0; i < 300; ++i) {
        start(i);
    }
    expectAll("after the ends");
    ASSERT_NE(ProcessTable->Index.Array, nullptr) << "the index must have answered";

    SetRules(1, {u"editor.exe"});
    for (auto &entry : running) {
        entry.second = !entry.second;
    }
    expectAll("after the rescan");
    EXPECT_EQ(static_cast<std::size_t>(ProcessTable->Index.Count), others + running.size());
}

// Without an index array the tree answers, and the next process start makes one.
TEST_F(ProcessTableTest, IndexThatCannotBeAllocatedLeavesTheTreeToAnswer)
{
    // The first start allocates its entry, then the index.
    winsim::faults::FailNthAllocation(2);
    ProcessId browser = Start(u"browser.exe");
    winsim::faults::Clear();
    ASSERT_EQ(ProcessTable->Index.Array, nullptr);
    EXPECT_TRUE(Intercepted(browser));

    SetRules(1, {u"editor.exe"});
    EXPECT_FALSE(Intercepted(browser)) << "a rescan without an index array";
    ProcessId editor = Start(u"editor.exe");
    ASSERT_NE(ProcessTable->Index.Array, nullptr);
    EXPECT_FALSE(Intercepted(browser));
    EXPECT_TRUE(Intercepted(editor));
}

}  // namespace
}  // namespace qvr_test
