// The driver's exit list: destructors run newest first, once, and a full list refuses.
#include <gtest/gtest.h>

#include <ntddk.h>

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

TEST(ExitListTest, StaticInitialisersEnterOneDestructorPerObject)
{
    ASSERT_EQ(RunStaticInitializers(), STATUS_SUCCESS);
    const ULONG entered = ExitListLength();
    RunExitList();
    EXPECT_EQ(ExitListLength(), 0u);
    ASSERT_EQ(RunStaticInitializers(), STATUS_SUCCESS);
    EXPECT_EQ(ExitListLength(), entered);
    RunExitList();
}

}  // namespace
