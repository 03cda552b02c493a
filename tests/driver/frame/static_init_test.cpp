// The driver's exit list: destructors run newest first, once, and a full list refuses; the
// static-initialisation step builds the objects the list destroys, and undoes itself.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <winsim/verifier.h>

#include "driver/flow/flow_context_table.h"
#include "driver/frame/static_init.h"

#include <string>

namespace {

std::string calls;

VOID ExitA() { calls += "A"; }
VOID ExitB() { calls += "B"; }
VOID ExitC() { calls += "C"; }

TEST(ExitListTest, RunsNewestFirstAndOnlyOnce)
{
    calls.clear();
    ASSERT_EQ(RegisterExitRoutine(ExitA), STATUS_SUCCESS);
    ASSERT_EQ(RegisterExitRoutine(ExitB), STATUS_SUCCESS);
    ASSERT_EQ(RegisterExitRoutine(ExitC), STATUS_SUCCESS);
    EXPECT_EQ(ExitListLength(), 3u);

    RunExitList();
    RunExitList();

    EXPECT_EQ(calls, "CBA");
    EXPECT_EQ(ExitListLength(), 0u);
}

TEST(ExitListTest, FullListRefusesAndKeepsWhatItHas)
{
    calls.clear();
    for (ULONG i = 0; i < DRIVER_EXIT_LIST_CAPACITY; ++i) {
        ASSERT_EQ(RegisterExitRoutine(ExitA), STATUS_SUCCESS);
    }
    EXPECT_EQ(RegisterExitRoutine(ExitB), STATUS_INSUFFICIENT_RESOURCES);

    RunExitList();
    EXPECT_EQ(calls, std::string(DRIVER_EXIT_LIST_CAPACITY, 'A'));
}

size_t PoolItemsHeld()
{
    size_t count = 0;
    for (const winsim::OutstandingItem &item : winsim::OutstandingItems()) {
        count += item.kind == "pool" ? 1 : 0;
    }
    return count;
}

// The step builds each static object (the flow-context table takes entries) and the exit
// list destroys it (the entry's node is freed).
TEST(ExitListTest, StaticInitialisersBuildWhatTheExitListDestroys)
{
    const size_t before = PoolItemsHeld();
    ASSERT_EQ(RunStaticInitializers(), STATUS_SUCCESS);
    ASSERT_EQ(FlowContextTable.Insert(0xFFFFFFFF80001000ull, 7, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PoolItemsHeld(), before + 1);

    RunExitList();
    EXPECT_EQ(ExitListLength(), 0u);
    EXPECT_EQ(PoolItemsHeld(), before);
}

// When an object's destructor cannot be entered, the step destroys that object itself and
// runs what the list already holds, so a failed driver entry leaves nothing built.
TEST(ExitListTest, StaticInitialisersUndoEverythingWhenTheListIsFull)
{
    calls.clear();
    for (ULONG i = 0; i < DRIVER_EXIT_LIST_CAPACITY; ++i) {
        ASSERT_EQ(RegisterExitRoutine(ExitA), STATUS_SUCCESS);
    }
    const size_t before = PoolItemsHeld();

    EXPECT_EQ(RunStaticInitializers(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(calls, std::string(DRIVER_EXIT_LIST_CAPACITY, 'A'));
    EXPECT_EQ(ExitListLength(), 0u);
    EXPECT_EQ(PoolItemsHeld(), before);
}

}  // namespace
