// The drain of FlowContextTable against flow contexts that the filtering platform really
// associated: every associated context is taken off its flow (flowDeleteFn runs while the
// drain holds the table's lock and must leave the table alone), the table ends empty and
// closed, and WFP then lets the callout be unregistered.
#include "wfp_test_support.h"

#include "driver/flow/flow_context_table.h"

#include <winsim/verifier.h>

#include <vector>

namespace {

using namespace wfptest;
using winsim::network::Connect;
using winsim::network::ConnectRequest;
using winsim::network::Connection;
using winsim::network::Endpoint;
using winsim::network::Outcome;

// Stands in for the auth-connect flow context until the WFP side brings the real one: the
// fields the drain's per-element step reads and writes.
struct TestFlowContext {
    UINT64 flowHandle = 0;
    UINT16 layerId = 0;
    UINT32 calloutId = 0;
    bool associated = false;  // on its WFP flow
    bool inTable = false;     // its address is in FlowContextTable
};

int flowDeletes = 0;
int flowDeletesThatTouchedTheTable = 0;

// The per-element step as the WFP teardown runs it. The context must not be touched after
// FwpsFlowRemoveContext0: flow-delete has freed it.
_Function_class_(FLOW_CONTEXT_DRAIN_STEP)
VOID RemoveFromWfp(UINT64 Key, PVOID Context)
{
    auto *failures = static_cast<int *>(Context);
    auto *context = static_cast<TestFlowContext *>(FlowContextFromKey(Key));
    if (!context->associated) {
        return;
    }
    context->inTable = false;
    context->associated = false;
    const NTSTATUS status = FwpsFlowRemoveContext0(context->flowHandle, context->layerId, context->calloutId);
    if (!NT_SUCCESS(status)) {
        ++*failures;
    }
}

class FlowContextDrainTest : public WfpTest {
protected:
    void SetUp() override
    {
        WfpTest::SetUp();
        ConstructFlowContextTable();
        flowDeletes = 0;
        flowDeletesThatTouchedTheTable = 0;
        ASSERT_EQ(callout.Register(), STATUS_SUCCESS);
        service.AddCallout(callout.Key(), FWPM_LAYER_ALE_AUTH_CONNECT_V4);
        FilterSpec filter;
        filter.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
        filter.action = FWP_ACTION_CALLOUT_TERMINATING;
        filter.calloutKey = callout.Key();
        service.AddFilter(filter);

        // As the flow-delete callback of the auth-connect callout: a context still in the
        // table is taken out of it first.
        callout.flowDelete = [](UINT16, UINT32, UINT64 flowContext) {
            auto *context = static_cast<TestFlowContext *>(FlowContextFromKey(flowContext));
            if (context->inTable) {
                ++flowDeletesThatTouchedTheTable;
                (VOID)FlowContextTable.Remove(flowContext, nullptr);
            }
            ++flowDeletes;
            delete context;
        };
        // As the auth-connect classify: associate a context, enter it, permit.
        callout.classify = [this](const FWPS_INCOMING_VALUES0 *values, const FWPS_INCOMING_METADATA_VALUES0 *meta,
                                  const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
            auto *context = new TestFlowContext{meta->flowHandle, values->layerId, callout.Id(), false, false};
            const UINT64 key = FlowContextKey(context);
            ASSERT_EQ(FwpsFlowAssociateContext0(context->flowHandle, context->layerId, context->calloutId, key),
                      STATUS_SUCCESS);
            context->associated = true;
            context->inTable = true;
            ASSERT_EQ(FlowContextTable.Insert(key, 0, nullptr), STATUS_SUCCESS);
            out->actionType = FWP_ACTION_PERMIT;
        };
    }

    void TearDown() override
    {
        DestroyFlowContextTable();
        WfpTest::TearDown();
    }

    static Connection ConnectOnce(std::uint16_t port)
    {
        ConnectRequest request;
        request.processId = 1000;
        request.remote = Endpoint::Parse("198.51.100.1:" + std::to_string(port));
        return Connect(request);
    }

    Service service;
    TestCallout callout{MakeGuid(0x4301)};
};

TEST_F(FlowContextDrainTest, DrainTakesEveryAssociatedContextOffItsFlowSoTheCalloutCanGo)
{
    std::vector<Connection> connections;
    for (std::uint16_t port = 443; port < 448; ++port) {
        connections.push_back(ConnectOnce(port));
        ASSERT_EQ(connections.back().State(), Outcome::Connected);
    }
    // One flow ends on its own before the teardown: its context leaves the table then.
    connections[0].Close();
    EXPECT_EQ(flowDeletesThatTouchedTheTable, 1);
    // A context that is in the table but no longer on a flow is only dropped.
    auto *stray = new TestFlowContext{};
    stray->inTable = true;
    ASSERT_EQ(FlowContextTable.Insert(FlowContextKey(stray), 0, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(FlowContextTable.GetCount(), 5u);

    int failures = 0;
    DrainFlowContextTable(RemoveFromWfp, &failures);
    delete stray;

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(flowDeletes, 5) << "four flows emptied by the drain, one by its own end";
    EXPECT_EQ(flowDeletesThatTouchedTheTable, 1) << "flow-delete inside the drain must leave the table alone";
    EXPECT_EQ(FlowContextTable.GetCount(), 0u);
    EXPECT_TRUE(FlowContextTable.IsClosed());
    for (const std::string &item : winsim::Outstanding()) {
        EXPECT_EQ(item.rfind("flow-context", 0), std::string::npos) << item;
    }
    EXPECT_EQ(callout.Unregister(), STATUS_SUCCESS);

    // A connection that comes after the drain cannot enter the closed table.
    for (Connection &connection : connections) {
        connection.Close();
    }
}

// Without the drain WFP keeps the callout: the reason the teardown drains first.
TEST_F(FlowContextDrainTest, UndrainedContextsKeepTheCalloutRegistered)
{
    Connection connection = ConnectOnce(443);
    ASSERT_EQ(connection.State(), Outcome::Connected);
    EXPECT_EQ(callout.Unregister(), STATUS_DEVICE_BUSY);
    connection.Close();
    EXPECT_EQ(FlowContextTable.GetCount(), 0u);
    EXPECT_EQ(callout.Unregister(), STATUS_SUCCESS);
}

}  // namespace
