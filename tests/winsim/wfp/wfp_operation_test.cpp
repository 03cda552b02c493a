/*
 * wfp_operation_test.cpp
 *
 * Pending the auth-connect operation and completing it (the connection is held, then
 * reauthorized with FWP_CONDITION_FLAG_IS_REAUTHORIZE and the flow context), and flow
 * contexts: association and its refusals, removal (flowDeleteFn at once, or after the
 * classify that is running), and the flow's end.
 */
#include "wfp_test_support.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace wfptest;

namespace {

constexpr UINT64 kContext = 0xC0FFEE;

class OperationTest : public WfpTest {
protected:
    void SetUp() override
    {
        WfpTest::SetUp();
        ASSERT_EQ(callout.Register(), STATUS_SUCCESS);
        service.AddCalloutAndFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, callout.Key()));
        callout.flowDelete = [this](UINT16 layer, UINT32 id, UINT64 context) {
            deleted.push_back(context);
            EXPECT_EQ(layer, FWPS_LAYER_ALE_AUTH_CONNECT_V4);
            EXPECT_EQ(id, callout.Id());
        };
    }

    // The first classify associates a context and pends the operation.
    void PendOnFirstClassify(FWPS_CLASSIFY_OUT0 *out, const FWPS_INCOMING_METADATA_VALUES0 *m, UINT16 layerId)
    {
        ASSERT_EQ(FwpsFlowAssociateContext0(m->flowHandle, layerId, callout.Id(), kContext), STATUS_SUCCESS);
        ASSERT_EQ(FwpsPendOperation0(m->completionHandle, &completion), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    }

    TestCallout callout{MakeGuid(0x600)};
    Service service;
    HANDLE completion = nullptr;
    std::vector<UINT64> deleted;
};

TEST_F(OperationTest, PendedOperationHoldsTheConnectionThenReauthorizesWithTheFlowContext)
{
    UINT32 reauthFlags = 0;
    UINT32 reauthReason = 0;
    UINT64 reauthContext = 0;
    NTSTATUS removeStatus = STATUS_SUCCESS;
    std::size_t deletedDuringClassify = 99;
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *out) {
        UINT32 flags = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32;
        if ((flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) == 0) {
            PendOnFirstClassify(out, m, v->layerId);
            return;
        }
        reauthFlags = flags;
        reauthReason = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_REAUTHORIZE_REASON].value.uint32;
        reauthContext = flowContext;
        out->actionType = FWP_ACTION_PERMIT;
        removeStatus = FwpsFlowRemoveContext0(m->flowHandle, v->layerId, callout.Id());
        deletedDuringClassify = deleted.size();
    };

    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Pending);
    EXPECT_EQ(winsim::wfp::PendedOperationCount(), 1u);
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 1u);

    FwpsCompleteOperation0(completion, nullptr);

    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
    EXPECT_EQ(c.AuthConnectClassifies(), 2);
    EXPECT_NE(reauthFlags & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(reauthReason, (UINT32)FWP_CONDITION_REAUTHORIZE_REASON_CLASSIFY_COMPLETION);
    EXPECT_EQ(reauthContext, kContext);
    EXPECT_EQ(removeStatus, STATUS_PENDING) << "a classify of the flow was running";
    EXPECT_EQ(deletedDuringClassify, 0u) << "flowDeleteFn runs after that classify";
    ASSERT_TRUE(winsim::network::Drain());
    EXPECT_EQ(deleted, std::vector<UINT64>{kContext});
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    EXPECT_EQ(winsim::wfp::PendedOperationCount(), 0u);
}

TEST_F(OperationTest, ReauthorizationCannotBePendedAgainAndItsBlockEndsTheFlow)
{
    NTSTATUS secondPend = STATUS_SUCCESS;
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        if ((v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32 & FWP_CONDITION_FLAG_IS_REAUTHORIZE) ==
            0) {
            PendOnFirstClassify(out, m, v->layerId);
            return;
        }
        HANDLE again = nullptr;
        secondPend = FwpsPendOperation0(m->completionHandle, &again);
        out->actionType = FWP_ACTION_BLOCK;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Pending);

    FwpsCompleteOperation0(completion, nullptr);

    EXPECT_EQ(c.WaitSettled(), Outcome::Blocked);
    EXPECT_EQ(secondPend, STATUS_FWP_CANNOT_PEND);
    EXPECT_EQ(deleted, std::vector<UINT64>{kContext}) << "the blocked flow ended with its context";
}

TEST_F(OperationTest, OperationPendedAndCompletedInsideTheClassifyIsReauthorizedWhenAbsorbed)
{
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        if ((v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32 & FWP_CONDITION_FLAG_IS_REAUTHORIZE) !=
            0) {
            out->actionType = FWP_ACTION_PERMIT;
            return;
        }
        HANDLE context = nullptr;
        ASSERT_EQ(FwpsPendOperation0(m->completionHandle, &context), STATUS_SUCCESS);
        FwpsCompleteOperation0(context, nullptr);
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
    EXPECT_EQ(c.AuthConnectClassifies(), 2);
}

TEST_F(OperationTest, OperationCompletedAfterTheConnectionClosedIsNotReauthorized)
{
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        PendOnFirstClassify(out, m, v->layerId);
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Pending);

    c.Close();
    EXPECT_EQ(deleted, std::vector<UINT64>{kContext}) << "the closed flow took its context along";
    FwpsCompleteOperation0(completion, nullptr);

    ASSERT_TRUE(winsim::network::Drain());
    EXPECT_EQ(c.AuthConnectClassifies(), 1);
    EXPECT_EQ(c.State(), Outcome::Closed);
}

TEST_F(OperationTest, FlowContextAssociationRefusalsAndRemoval)
{
    UINT64 flow = 0;
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        flow = m->flowHandle;
        out->actionType = FWP_ACTION_PERMIT;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Connected);
    ASSERT_EQ(flow, c.FlowHandle());
    const UINT16 layer = FWPS_LAYER_ALE_AUTH_CONNECT_V4;

    EXPECT_EQ(FwpsFlowAssociateContext0(flow, layer, callout.Id(), 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpsFlowAssociateContext0(flow, layer, callout.Id(), kContext), STATUS_SUCCESS);
    EXPECT_EQ(FwpsFlowAssociateContext0(flow, layer, callout.Id(), kContext + 1), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(FwpsFlowAssociateContext0(flow + 1, layer, callout.Id(), kContext), STATUS_FWP_NOT_FOUND);

    EXPECT_EQ(FwpsFlowRemoveContext0(flow, layer, callout.Id()), STATUS_SUCCESS);
    EXPECT_EQ(deleted, std::vector<UINT64>{kContext}) << "the first context stayed and was deleted synchronously";
    EXPECT_EQ(FwpsFlowRemoveContext0(flow, layer, callout.Id()), STATUS_UNSUCCESSFUL);

    TestCallout noDelete(MakeGuid(0x601));
    ASSERT_EQ(noDelete.Register(false), STATUS_SUCCESS);
    EXPECT_EQ(FwpsFlowAssociateContext0(flow, layer, noDelete.Id(), kContext), STATUS_INVALID_PARAMETER);
}

TEST_F(OperationTest, ClosingTheConnectionDeletesItsFlowContexts)
{
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Connected);
    ASSERT_EQ(FwpsFlowAssociateContext0(c.FlowHandle(), FWPS_LAYER_ALE_AUTH_CONNECT_V4, callout.Id(), kContext),
              STATUS_SUCCESS);

    c.Close();

    EXPECT_EQ(deleted, std::vector<UINT64>{kContext});
    EXPECT_EQ(c.State(), Outcome::Closed);
}

TEST_F(OperationTest, ConditionalOnFlowCalloutIsCalledOnlyForFlowsWithItsContext)
{
    TestCallout conditional(MakeGuid(0x602));
    ASSERT_EQ(conditional.Register(true, FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW), STATUS_SUCCESS);
    FilterSpec inspection =
        CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, conditional.Key(), FWP_ACTION_CALLOUT_INSPECTION);
    inspection.weight = 0xFFFFFFFFFFFFull;
    service.AddCalloutAndFilter(inspection);

    Connect(PlainRequest());
    EXPECT_EQ(conditional.classifyCalls.load(), 0);
    winsim::wfp::Reset();
}

TEST_F(OperationTest, ManyConnectionsPendedAndCompletedFromOtherThreadsAllSettle)
{
    std::mutex mu;
    std::vector<HANDLE> pended;
    std::atomic<int> reauthorized{0};
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *out) {
        if ((v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32 & FWP_CONDITION_FLAG_IS_REAUTHORIZE) !=
            0) {
            EXPECT_EQ(flowContext, m->flowHandle);
            FwpsFlowRemoveContext0(m->flowHandle, v->layerId, callout.Id());
            reauthorized++;
            out->actionType = FWP_ACTION_PERMIT;
            return;
        }
        HANDLE context = nullptr;
        ASSERT_EQ(FwpsFlowAssociateContext0(m->flowHandle, v->layerId, callout.Id(), m->flowHandle), STATUS_SUCCESS);
        ASSERT_EQ(FwpsPendOperation0(m->completionHandle, &context), STATUS_SUCCESS);
        {
            std::lock_guard<std::mutex> lock(mu);
            pended.push_back(context);
        }
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    callout.flowDelete = [](UINT16, UINT32, UINT64) {};
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::atomic<bool> connecting{true};
    std::thread completer([&] {
        for (;;) {
            std::vector<HANDLE> batch;
            {
                std::lock_guard<std::mutex> lock(mu);
                batch.swap(pended);
            }
            for (HANDLE h : batch) {
                FwpsCompleteOperation0(h, nullptr);
            }
            if (batch.empty() && !connecting) {
                std::lock_guard<std::mutex> lock(mu);
                if (pended.empty()) {
                    return;
                }
            }
            std::this_thread::yield();
        }
    });
    std::vector<winsim::network::Connection> all[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                all[t].push_back(Connect(PlainRequest()));
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    connecting = false;
    completer.join();

    for (auto &list : all) {
        for (auto &c : list) {
            EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
        }
    }
    ASSERT_TRUE(winsim::network::Drain());
    EXPECT_EQ(reauthorized.load(), kThreads * kEach);
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    EXPECT_EQ(winsim::wfp::PendedOperationCount(), 0u);
}

}  // namespace

namespace {

// The flow ends (another thread closes the connection) while its re-authorization is
// inside the classifyFn with the flow context: the context stays the callout's until that
// classifyFn returns, and only then is flowDeleteFn called.
TEST_F(OperationTest, FlowEndDuringAClassifyOfTheFlowDefersFlowDelete)
{
    std::atomic<bool> inReauthorization{false};
    std::atomic<bool> release{false};
    std::atomic<int> deletes{0};
    callout.flowDelete = [&](UINT16, UINT32, UINT64) { ++deletes; };
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *out) {
        if (flowContext == 0) {
            PendOnFirstClassify(out, m, FWPS_LAYER_ALE_AUTH_CONNECT_V4);
            return;
        }
        inReauthorization = true;
        while (!release) {
            std::this_thread::yield();
        }
        out->actionType = FWP_ACTION_PERMIT;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Pending);
    FwpsCompleteOperation0(completion, nullptr);
    for (int i = 0; i < 5000 && !inReauthorization; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(inReauthorization.load());
    c.Close();
    EXPECT_EQ(deletes.load(), 0);
    release = true;
    EXPECT_TRUE(winsim::network::Drain());
    EXPECT_EQ(deletes.load(), 1);
}

}  // namespace
