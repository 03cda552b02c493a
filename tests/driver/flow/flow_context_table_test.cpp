// The driver-wide FlowContextTable as a static object of the driver: built by the
// static-initialisation step of every load, destroyed through the exit list at unload.
// (Its drain is tested against winsim's flow contexts in flow_context_drain_test.cpp.)
#include <ntddk.h>

#include <gtest/gtest.h>
#include <winsim/driver.h>
#include <winsim/verifier.h>

#include "driver/flow/flow_context_table.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

constexpr char kService[] = "qvrdrv";

// Zero-filled stand-ins for flow contexts: if the unload's WFP teardown drains the table
// first, its step reads them as contexts that are on no flow and leaves them alone.
struct alignas(16) FakeFlowContext {
    unsigned char bytes[512] = {};
};

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

TEST_F(FlowContextTableTest, UnloadDestroysWhatIsLeftAndReloadStartsOpenAndEmpty)
{
    FakeFlowContext contexts[3];
    for (FakeFlowContext &context : contexts) {
        ASSERT_EQ(FlowContextTable.Insert(FlowContextKey(&context), 0, nullptr), STATUS_SUCCESS);
    }
    FlowContextTable.SetClosed(TRUE);
    Unload();  // the drain or the exit list frees the three nodes, or the verifier reports them

    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kService), STATUS_SUCCESS);
    EXPECT_EQ(FlowContextTable.GetCount(), 0u);
    EXPECT_FALSE(FlowContextTable.IsClosed());
    EXPECT_EQ(FlowContextTable.Insert(FlowContextKey(&contexts[0]), 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(FlowContextTable.Remove(FlowContextKey(&contexts[0]), nullptr), STATUS_SUCCESS);
}

}  // namespace
