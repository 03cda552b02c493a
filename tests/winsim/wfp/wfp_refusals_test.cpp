/*
 * wfp_refusals_test.cpp
 *
 * The documented refusals of callout registration (duplicate key, unknown key, busy with
 * flow contexts and the unregistration that completes when they are gone, in use while
 * another thread's unregistration waits), the filter
 * engine's checks on management objects, the notifications a callout gets about its
 * filters, provider-context data reaching the callout, BFE stop deleting what is not
 * persistent, and the platform's fault injection and IRQL checks.
 */
#include "wfp_test_support.h"

#include <winsim/verifier.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace wfptest;

namespace {

class RefusalTest : public WfpTest {
protected:
    Service service;
};

TEST_F(RefusalTest, RegistrationRefusesADuplicateKeyAndUnregistrationAnUnknownOne)
{
    TestCallout first(MakeGuid(0x700));
    TestCallout again(MakeGuid(0x700));
    ASSERT_EQ(first.Register(), STATUS_SUCCESS);
    EXPECT_EQ(again.Register(), STATUS_FWP_ALREADY_EXISTS);
    GUID unknown = MakeGuid(0x7FF);
    EXPECT_EQ(FwpsCalloutUnregisterByKey0(&unknown), STATUS_FWP_CALLOUT_NOT_FOUND);
    EXPECT_EQ(FwpsCalloutUnregisterById0(first.Id() + 1000), STATUS_FWP_CALLOUT_NOT_FOUND);
    FWPS_CALLOUT1 noDevice = {};
    noDevice.calloutKey = MakeGuid(0x701);
    EXPECT_EQ(FwpsCalloutRegister1(nullptr, &noDevice, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(RefusalTest, CalloutIdIsTheOneTheManagementSideAssigned)
{
    GUID key = MakeGuid(0x702);
    FWPM_CALLOUT0 managed = {};
    managed.calloutKey = key;
    WCHAR name[] = u"managed first";
    managed.displayData.name = name;
    managed.applicableLayer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    UINT32 managedId = 0;
    ASSERT_EQ(FwpmCalloutAdd0(service.Engine(), &managed, nullptr, &managedId), (DWORD)ERROR_SUCCESS);
    TestCallout c(key);
    ASSERT_EQ(c.Register(), STATUS_SUCCESS);
    EXPECT_EQ(c.Id(), managedId);
}

TEST_F(RefusalTest, UnregistrationIsBusyWhileFlowContextsRemainAndFinishesWhenCalledAgain)
{
    TestCallout c(MakeGuid(0x710));
    ASSERT_EQ(c.Register(), STATUS_SUCCESS);
    service.AddCalloutAndFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key()));
    c.classify = [](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *,
                    const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) { out->actionType = FWP_ACTION_PERMIT; };
    int deletes = 0;
    c.flowDelete = [&](UINT16, UINT32, UINT64) { deletes++; };
    winsim::network::Connection conn = Connect(PlainRequest());
    ASSERT_EQ(conn.State(), Outcome::Connected);
    const UINT16 layer = FWPS_LAYER_ALE_AUTH_CONNECT_V4;
    ASSERT_EQ(FwpsFlowAssociateContext0(conn.FlowHandle(), layer, c.Id(), 7), STATUS_SUCCESS);

    EXPECT_EQ(c.Unregister(), STATUS_DEVICE_BUSY);
    std::optional<winsim::wfp::RegisteredCallout> state = winsim::wfp::FindRegisteredCallout(c.Key());
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->unregistering);
    EXPECT_EQ(FwpsFlowAssociateContext0(conn.FlowHandle(), FWPS_LAYER_ALE_AUTH_CONNECT_V6, c.Id(), 8),
              STATUS_FWP_IN_USE);
    EXPECT_EQ(Connect(PlainRequest()).State(), Outcome::Blocked) << "its terminating filter acts as unregistered";

    EXPECT_EQ(FwpsFlowRemoveContext0(conn.FlowHandle(), layer, c.Id()), STATUS_SUCCESS);
    EXPECT_EQ(deletes, 1);
    // The documentation has the driver call again to finish; until then the callout is held.
    state = winsim::wfp::FindRegisteredCallout(c.Key());
    ASSERT_TRUE(state.has_value()) << "the unregistration finishes only when the driver calls again";
    EXPECT_TRUE(state->unregistering);
    EXPECT_EQ(state->flowContexts, 0u);
    const std::vector<winsim::OutstandingItem> held = winsim::OutstandingItems();
    EXPECT_EQ(std::count_if(held.begin(), held.end(), [](const winsim::OutstandingItem &i) { return i.kind == "callout"; }),
              1) << "an unload before the second call leaves the callout behind";
    EXPECT_EQ(c.Unregister(), STATUS_SUCCESS);
    EXPECT_FALSE(winsim::wfp::FindRegisteredCallout(c.Key()).has_value());
    GUID key = c.Key();
    EXPECT_EQ(FwpsCalloutUnregisterByKey0(&key), STATUS_FWP_CALLOUT_NOT_FOUND);
}

TEST_F(RefusalTest, FilterAddChecksItsCalloutLayerAndConditions)
{
    TestCallout c(MakeGuid(0x720));
    ASSERT_EQ(c.Register(), STATUS_SUCCESS);
    service.AddCallout(c.Key(), FWPM_LAYER_ALE_CONNECT_REDIRECT_V4);
    struct Row {
        const char *what;
        FilterSpec filter;
        DWORD expected;
    };
    FilterSpec unknownCallout;
    unknownCallout.layer = FWPM_LAYER_ALE_CONNECT_REDIRECT_V4;
    unknownCallout.action = FWP_ACTION_CALLOUT_TERMINATING;
    unknownCallout.calloutKey = MakeGuid(0x7AA);
    FilterSpec wrongLayer = unknownCallout;
    wrongLayer.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    wrongLayer.calloutKey = c.Key();
    FilterSpec badAction;
    badAction.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    badAction.action = FWP_ACTION_CONTINUE;
    FilterSpec missingContext;
    missingContext.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    missingContext.providerContext = MakeGuid(0x7AB);
    FilterSpec missingSubLayer;
    missingSubLayer.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    missingSubLayer.subLayer = MakeGuid(0x7AC);
    FilterSpec unknownLayer;
    unknownLayer.layer = MakeGuid(0x7AD);
    Row rows[] = {{"unknown callout", unknownCallout, FWP_E_CALLOUT_NOT_FOUND},
                  {"callout of another layer", wrongLayer, FWP_E_INCOMPATIBLE_LAYER},
                  {"continue is no filter action", badAction, FWP_E_INVALID_ACTION_TYPE},
                  {"unknown provider context", missingContext, FWP_E_PROVIDER_CONTEXT_NOT_FOUND},
                  {"unknown sublayer", missingSubLayer, FWP_E_SUBLAYER_NOT_FOUND},
                  {"unknown layer", unknownLayer, FWP_E_LAYER_NOT_FOUND}};
    for (const Row &row : rows) {
        UINT64 id = 0;
        EXPECT_EQ(service.TryAddFilter(row.filter, &id), row.expected) << row.what;
    }
    EXPECT_EQ(winsim::wfp::FilterCount(), 0u);

    FWPM_FILTER_CONDITION0 condition = {};
    FWPM_FILTER0 filter = {};
    WCHAR name[] = u"conditions";
    filter.displayData.name = name;
    filter.layerKey = FWPM_LAYER_INBOUND_TRANSPORT_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    filter.numFilterConditions = 1;
    filter.filterCondition = &condition;
    condition.fieldKey = FWPM_CONDITION_ALE_APP_ID;  // not a field of the transport layers
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_UINT8;
    EXPECT_EQ(FwpmFilterAdd0(service.Engine(), &filter, nullptr, nullptr), (DWORD)FWP_E_CONDITION_NOT_FOUND);
    condition.fieldKey = FWPM_CONDITION_IP_REMOTE_PORT;  // a UINT16 field
    condition.conditionValue.type = FWP_UINT32;
    EXPECT_EQ(FwpmFilterAdd0(service.Engine(), &filter, nullptr, nullptr), (DWORD)FWP_E_TYPE_MISMATCH);
    filter.displayData.name = nullptr;
    EXPECT_EQ(FwpmFilterAdd0(service.Engine(), &filter, nullptr, nullptr), (DWORD)FWP_E_NULL_DISPLAY_NAME);
}

TEST_F(RefusalTest, CalloutIsToldOfItsFiltersAndCanRejectOne)
{
    TestCallout c(MakeGuid(0x730));
    ASSERT_EQ(c.Register(true, FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY), STATUS_SUCCESS);
    UINT64 id = service.AddCalloutAndFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key()));
    EXPECT_EQ(c.notifications, (std::vector<FWPS_CALLOUT_NOTIFY_TYPE>{FWPS_CALLOUT_NOTIFY_ADD_FILTER,
                                                                      FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT}));
    const GUID *deletedKey = &c.Key();
    c.notify = [&](FWPS_CALLOUT_NOTIFY_TYPE type, const GUID *key, FWPS_FILTER1 *) {
        if (type == FWPS_CALLOUT_NOTIFY_DELETE_FILTER) {
            deletedKey = key;
        }
        return type == FWPS_CALLOUT_NOTIFY_ADD_FILTER ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    };
    ASSERT_EQ(FwpmFilterDeleteById0(service.Engine(), id), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(deletedKey, nullptr) << "DELETE_FILTER comes without a filter key";

    EXPECT_EQ(service.TryAddFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key()), &id),
              (DWORD)FWP_E_CALLOUT_NOTIFICATION_FAILED);
    EXPECT_EQ(winsim::wfp::FilterCount(), 0u);
}

TEST_F(RefusalTest, TransactionAbortRemovesWhatItAddedAndCommitNotifiesAfterwards)
{
    TestCallout c(MakeGuid(0x731));
    ASSERT_EQ(c.Register(true, FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY), STATUS_SUCCESS);
    service.AddCallout(c.Key(), FWPM_LAYER_ALE_AUTH_CONNECT_V4);
    const FilterSpec filter = CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key());

    ASSERT_EQ(FwpmTransactionBegin0(service.Engine(), 0), (DWORD)ERROR_SUCCESS);
    service.AddFilter(filter);
    EXPECT_EQ(c.notifications.size(), 1u) << "no post-commit notification inside the transaction";
    ASSERT_EQ(FwpmTransactionAbort0(service.Engine()), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(winsim::wfp::FilterCount(), 0u);

    c.notifications.clear();
    ASSERT_EQ(FwpmTransactionBegin0(service.Engine(), 0), (DWORD)ERROR_SUCCESS);
    service.AddFilter(filter);
    ASSERT_EQ(FwpmTransactionCommit0(service.Engine()), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(c.notifications.back(), FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT);
    EXPECT_EQ(FwpmTransactionCommit0(service.Engine()), (DWORD)FWP_E_NO_TXN_IN_PROGRESS);
}

TEST_F(RefusalTest, ProviderContextDataReachesTheCalloutAndCannotBeDeletedWhileUsed)
{
    TestCallout c(MakeGuid(0x740));
    ASSERT_EQ(c.Register(), STATUS_SUCCESS);
    const std::vector<UINT8> blob = {0x90, 0x1F, 0xD0, 0x07, 0, 0, 0, 0, 0, 0};
    GUID contextKey = service.AddProviderContext(blob);
    FilterSpec withContext = CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key());
    withContext.providerContext = contextKey;
    service.AddCalloutAndFilter(withContext);
    std::vector<UINT8> seen;
    c.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *,
                     const FWPS_FILTER1 *filter, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        ASSERT_NE(filter->providerContext, nullptr);
        ASSERT_NE(filter->providerContext->dataBuffer, nullptr);
        const FWP_BYTE_BLOB *data = filter->providerContext->dataBuffer;
        seen.assign(data->data, data->data + data->size);
        out->actionType = FWP_ACTION_PERMIT;
    };

    EXPECT_EQ(Connect(PlainRequest()).State(), Outcome::Connected);
    EXPECT_EQ(seen, blob);
    EXPECT_EQ(FwpmProviderContextDeleteByKey0(service.Engine(), &contextKey), (DWORD)FWP_E_IN_USE);
}

TEST_F(RefusalTest, ProviderAndSubLayerCannotBeDeletedWhileUsedOrBuiltIn)
{
    GUID providerKey = MakeGuid(0x750);
    WCHAR name[] = u"owner";
    FWPM_PROVIDER0 provider = {};
    provider.providerKey = providerKey;
    provider.displayData.name = name;
    ASSERT_EQ(FwpmProviderAdd0(service.Engine(), &provider, nullptr), (DWORD)ERROR_SUCCESS);
    GUID subLayerKey = MakeGuid(0x751);
    FWPM_SUBLAYER0 subLayer = {};
    subLayer.subLayerKey = subLayerKey;
    subLayer.displayData.name = name;
    subLayer.providerKey = &providerKey;
    ASSERT_EQ(FwpmSubLayerAdd0(service.Engine(), &subLayer, nullptr), (DWORD)ERROR_SUCCESS);
    FilterSpec block;
    block.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    block.action = FWP_ACTION_BLOCK;
    block.subLayer = subLayerKey;
    UINT64 filterId = service.AddFilter(block);
    GUID unknown = MakeGuid(0x752);
    GUID universal = FWPM_SUBLAYER_UNIVERSAL;

    EXPECT_EQ(FwpmProviderDeleteByKey0(service.Engine(), &providerKey), (DWORD)FWP_E_IN_USE);
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(service.Engine(), &subLayerKey), (DWORD)FWP_E_IN_USE);
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(service.Engine(), &universal), (DWORD)FWP_E_BUILTIN_OBJECT);
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(service.Engine(), &unknown), (DWORD)FWP_E_SUBLAYER_NOT_FOUND);
    EXPECT_EQ(FwpmProviderDeleteByKey0(service.Engine(), &unknown), (DWORD)FWP_E_PROVIDER_NOT_FOUND);

    ASSERT_EQ(FwpmFilterDeleteById0(service.Engine(), filterId), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(FwpmProviderDeleteByKey0(service.Engine(), &providerKey), (DWORD)FWP_E_IN_USE) << "the sublayer names it";
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(service.Engine(), &subLayerKey), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(FwpmProviderDeleteByKey0(service.Engine(), &providerKey), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(service.Engine(), &subLayerKey), (DWORD)FWP_E_SUBLAYER_NOT_FOUND);
}

TEST_F(RefusalTest, BfeStopDeletesWhatIsNotPersistentAndAbortsSessions)
{
    FilterSpec block;
    block.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    block.action = FWP_ACTION_BLOCK;
    service.AddFilter(block);
    block.flags = FWPM_FILTER_FLAG_PERSISTENT;
    service.AddFilter(block);

    winsim::wfp::StopBfe();

    EXPECT_EQ(winsim::wfp::FilterCount(), 1u);
    EXPECT_EQ(service.TryAddFilter(block, nullptr), (DWORD)FWP_E_SESSION_ABORTED);
    HANDLE engine = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), (DWORD)RPC_S_SERVER_UNAVAILABLE);
    winsim::wfp::StartBfe();
    EXPECT_EQ(Connect(PlainRequest()).State(), Outcome::Blocked) << "the persistent filter survived";
}

TEST_F(RefusalTest, DynamicSessionTakesItsObjectsAlongWhenItCloses)
{
    FWPM_SESSION0 session = {};
    session.flags = FWPM_SESSION_FLAG_DYNAMIC;
    HANDLE dynamic = nullptr;
    ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &dynamic), (DWORD)ERROR_SUCCESS);
    FWPM_FILTER0 filter = {};
    WCHAR name[] = u"dynamic";
    filter.displayData.name = name;
    filter.layerKey = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    ASSERT_EQ(FwpmFilterAdd0(dynamic, &filter, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
    FilterSpec lasting;
    lasting.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    lasting.action = FWP_ACTION_PERMIT;
    service.AddFilter(lasting);
    ASSERT_EQ(winsim::wfp::FilterCount(), 2u);

    ASSERT_EQ(FwpmEngineClose0(dynamic), (DWORD)ERROR_SUCCESS);

    EXPECT_EQ(winsim::wfp::FilterCount(), 1u);
    EXPECT_EQ(FwpmEngineClose0(dynamic), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(RefusalTest, FallibleCallsFailOnDemand)
{
    winsim::faults::FailCall("FwpsCalloutRegister1", STATUS_INSUFFICIENT_RESOURCES);
    TestCallout c(MakeGuid(0x750));
    EXPECT_EQ(c.Register(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(winsim::wfp::FindRegisteredCallout(c.Key()).has_value());
    winsim::faults::FailCall("FwpmFilterAdd0", STATUS_FWP_ALREADY_EXISTS);
    FilterSpec permit;
    permit.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    EXPECT_EQ(service.TryAddFilter(permit, nullptr), (DWORD)FWP_E_ALREADY_EXISTS);
    HANDLE handle = nullptr;
    GUID provider = MakeGuid(0x751);
    winsim::faults::FailCall("FwpsRedirectHandleCreate0", STATUS_NO_MEMORY);
    EXPECT_EQ(FwpsRedirectHandleCreate0(&provider, 0, &handle), STATUS_NO_MEMORY);
}

TEST_F(RefusalTest, PassiveOnlyCallsAtDispatchAreVerifierFailures)
{
    winsim::ViolationCapture capture;
    TestCallout c(MakeGuid(0x760));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    c.Register();
    KeLowerIrql(old);
    EXPECT_TRUE(capture.Caught("FwpsCalloutRegister1"));
}

}  // namespace

namespace {

// While one thread's unregistration waits for a classify of the callout to end, a second
// unregistration or a registration of the same key is refused with STATUS_FWP_IN_USE.
TEST_F(RefusalTest, ConcurrentRegistrationOrUnregistrationIsRefusedAsInUse)
{
    TestCallout c(MakeGuid(0x730));
    ASSERT_EQ(c.Register(), STATUS_SUCCESS);
    service.AddCalloutAndFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, c.Key()));
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    c.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *,
                     const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        entered.set_value();
        released.wait();
        out->actionType = FWP_ACTION_PERMIT;
    };
    std::thread connector([] { Connect(PlainRequest()); });
    entered.get_future().wait();
    std::future<NTSTATUS> first = std::async(std::launch::async, [&] { return c.Unregister(); });
    for (int i = 0; i < 5000; ++i) {
        std::optional<winsim::wfp::RegisteredCallout> state = winsim::wfp::FindRegisteredCallout(c.Key());
        if (state.has_value() && state->unregisterWaiting) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    GUID key = c.Key();
    EXPECT_EQ(FwpsCalloutUnregisterByKey0(&key), STATUS_FWP_IN_USE);
    TestCallout again(c.Key());
    EXPECT_EQ(again.Register(), STATUS_FWP_IN_USE);

    release.set_value();
    connector.join();
    EXPECT_EQ(first.get(), STATUS_SUCCESS);
    EXPECT_FALSE(winsim::wfp::FindRegisteredCallout(c.Key()).has_value());
}

}  // namespace
