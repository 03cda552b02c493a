// The driver-wide FlowContextTable: built by the driver's static-initialisation step,
// destroyed through the exit list, and drained by the WFP teardown with a per-element step
// that takes each associated context off its flow.
#include <ntddk.h>

#include <gtest/gtest.h>
#include <winsim/driver.h>
#include <winsim/verifier.h>

#include "driver/flow/flow_context_table.h"

#include <algorithm>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

constexpr char kService[] = "qvrdrv";

// Stands in for the auth-connect flow context until the WFP side brings the real one.
struct FakeFlowContext {
    bool associated;
    bool inTable;
    int removedFromWfp = 0;
    int deletedOutsideTheTable = 0;
};

// What WFP's flow-delete callback does with a context: leave the table alone when the
// context says it is no longer there, otherwise take it out.
void FakeFlowDelete(FakeFlowContext *context)
{
    if (context->inTable) {
        (VOID)FlowContextTable.Remove(FlowContextKey(context), nullptr);
    } else {
        ++context->deletedOutsideTheTable;
    }
}

// The per-element step as the WFP teardown runs it.
_Function_class_(FLOW_CONTEXT_DRAIN_STEP)
VOID RemoveFakeFlowContext(UINT64 Key, PVOID Context)
{
    auto *seen = static_cast<std::vector<UINT64> *>(Context);
    seen->push_back(Key);
    auto *context = static_cast<FakeFlowContext *>(FlowContextFromKey(Key));
    if (!context->associated) {
        return;
    }
    context->inTable = false;
    context->associated = false;
    ++context->removedFromWfp;
    FakeFlowDelete(context);  // WFP calls flow-delete synchronously from the removal
}

class FlowContextTableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(winsim::LoadDriver(DriverEntry, kService), STATUS_SUCCESS); }
    void TearDown() override
    {
        if (winsim::IsDriverLoaded(kService)) {
            Unload();
        }
    }
    static void Unload()
    {
        winsim::UnloadResult result = winsim::UnloadDriver(kService);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_TRUE(result.leftBehind.empty()) << ::testing::PrintToString(result.leftBehind);
    }
};

TEST_F(FlowContextTableTest, DrainRemovesOnlyAssociatedContextsAndEmptiesTheTable)
{
    FakeFlowContext contexts[4] = {{true, true}, {false, true}, {true, true}, {false, true}};
    for (FakeFlowContext &context : contexts) {
        ASSERT_EQ(FlowContextTable.Insert(FlowContextKey(&context), 0, nullptr), STATUS_SUCCESS);
    }
    std::vector<UINT64> seen;
    DrainFlowContextTable(RemoveFakeFlowContext, &seen);

    EXPECT_EQ(seen.size(), 4u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const bool wasAssociated = (i % 2 == 0);
        EXPECT_EQ(contexts[i].removedFromWfp, wasAssociated ? 1 : 0);
        EXPECT_EQ(contexts[i].deletedOutsideTheTable, wasAssociated ? 1 : 0);
        EXPECT_FALSE(contexts[i].associated);
    }
    EXPECT_EQ(FlowContextTable.GetCount(), 0u);

    // Closed for the rest of the driver's life: a classify that comes late cannot enter.
    FakeFlowContext late{true, true};
    EXPECT_EQ(FlowContextTable.Insert(FlowContextKey(&late), 0, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FlowContextTable.Remove(FlowContextKey(&contexts[0]), nullptr), STATUS_NOT_FOUND);
}

TEST_F(FlowContextTableTest, UnloadDestroysWhatIsLeftAndReloadStartsOpenAndEmpty)
{
    FakeFlowContext contexts[3] = {{true, true}, {true, true}, {true, true}};
    for (FakeFlowContext &context : contexts) {
        ASSERT_EQ(FlowContextTable.Insert(FlowContextKey(&context), 0, nullptr), STATUS_SUCCESS);
    }
    FlowContextTable.SetClosed(TRUE);
    Unload();  // the exit list frees the three nodes, or the verifier reports them

    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kService), STATUS_SUCCESS);
    EXPECT_EQ(FlowContextTable.GetCount(), 0u);
    EXPECT_FALSE(FlowContextTable.IsClosed());
    EXPECT_EQ(FlowContextTable.Insert(FlowContextKey(&contexts[0]), 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(FlowContextTable.Remove(FlowContextKey(&contexts[0]), nullptr), STATUS_SUCCESS);
}

}  // namespace
