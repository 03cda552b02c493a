// The WFP registration lifecycle: WfpContext, the BFE-following management session, the
// redirect handle and the callout groups, brought up and down against winsim's filter
// engine. The driver is loaded (its control device is the device the callouts register
// under); each test takes the driver's WFP side down first and then drives
// WfpInitializeEx with a table of all four callout groups, their real keys and stand-in
// callout functions, so every failure point of a fully populated driver is reached.

#include "driver_fixture.h"

#include <winsim/network.h>
#include <winsim/trace_session.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include "wfp_lifecycle_service.h"

#include "driver/frame/callback_channel.h"
#include "driver/policy/process_table.h"
#include "driver/flow/wfp_callout_groups.h"
#include "driver/flow/wfp_lifecycle.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using qvr_test::kDriverTraceGuid;
using qvr_test::kTraceDriver;

VOID NTAPI TestClassify(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, void *, const void *,
                        const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *)
{
}

NTSTATUS NTAPI TestNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *) { return STATUS_SUCCESS; }

VOID NTAPI TestFlowDelete(UINT16, UINT32, UINT64) {}

// The driver's four groups in registration order, with their real keys and slots.
const WFP_CALLOUT_GROUP kAllGroups[] = {
    WFP_CALLOUT_GROUP_ROW("connect redirect", ConnectRedirectCalloutKeys, TestClassify, TestNotify, nullptr,
                          ConnectRedirectRegistrations),
    WFP_CALLOUT_GROUP_ROW("redirect records", RedirectRecordsCalloutKeys, TestClassify, TestNotify, TestFlowDelete,
                          RedirectRecordsRegistrations),
    WFP_CALLOUT_GROUP_ROW("QUIC blocking", BlockQuicCalloutKeys, TestClassify, TestNotify, nullptr,
                          BlockQuicRegistrations),
    WFP_CALLOUT_GROUP_ROW("discard diagnostics", DiscardCalloutKeys, TestClassify, TestNotify, nullptr,
                          DiscardRegistrations),
    {nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};
constexpr std::size_t kCalloutCount = 14;

// Every key in registration order, and the slot each one lands in.
std::vector<const GUID *> AllKeys()
{
    std::vector<const GUID *> keys;
    for (const WFP_CALLOUT_GROUP *group = kAllGroups; group->Keys != nullptr; ++group) {
        keys.insert(keys.end(), group->Keys, group->Keys + group->Count);
    }
    return keys;
}

std::vector<PCALLOUT_REGISTRATION *> AllSlots()
{
    std::vector<PCALLOUT_REGISTRATION *> slots;
    for (const WFP_CALLOUT_GROUP *group = kAllGroups; group->Keys != nullptr; ++group) {
        for (UINT32 i = 0; i < group->Count; ++i) {
            slots.push_back(&group->Registrations[i]);
        }
    }
    return slots;
}

std::string GuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

class WfpLifecycleTest : public qvr_test::DriverTest {
protected:
    void SetUp() override
    {
        qvr_test::DriverTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        device_object_ = WfpContext.DeviceObject;
        ASSERT_NE(device_object_, nullptr) << "the driver did not register with WFP";
        WfpUninitialize();
        ExpectWfpSideEmpty();
        baseline_ = winsim::Outstanding();
    }

    void TearDown() override
    {
        WfpUninitialize();
        // The services' filters outlive their sessions: a later test's connection must not
        // meet a callout filter of this one.
        winsim::wfp::Reset();
        winsim::faults::Clear();
        winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
        qvr_test::DriverTest::TearDown();
    }

    NTSTATUS Initialize(PCWFP_CALLOUT_GROUP groups = kAllGroups)
    {
        return WfpInitializeEx(device_object_, groups, QueryProcessIntercept, SendCallbackRequest,
                               CancelCallbackRequest);
    }

    // Nothing of the WFP side is held: no subscription, session, redirect handle, callout or
    // registration record, every slot and WfpContext field clear, and the verifier's list of
    // held items (pool, references, handles) as it was before the initialisation.
    void ExpectWfpSideEmpty()
    {
        EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
        EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);
        EXPECT_EQ(winsim::wfp::RedirectHandleCount(), 0u);
        EXPECT_TRUE(winsim::wfp::RegisteredCallouts().empty());
        EXPECT_EQ(winsim::OutstandingAllocations("-QVR"), 0u);
        for (PCALLOUT_REGISTRATION *slot : AllSlots()) {
            EXPECT_EQ(*slot, nullptr);
        }
        EXPECT_EQ(BfeChangeHandle, nullptr);
        EXPECT_EQ(WfpContext.DeviceObject, nullptr);
        EXPECT_EQ(WfpContext.EngineHandle, nullptr);
        EXPECT_EQ(WfpContext.RedirectHandle, nullptr);
        EXPECT_EQ(WfpContext.QueryProcessIntercept, nullptr);
        EXPECT_EQ(WfpContext.SendCallbackRequest, nullptr);
        EXPECT_EQ(WfpContext.CancelCallbackRequest, nullptr);
    }

    void ExpectUnwound()
    {
        ExpectWfpSideEmpty();
        EXPECT_EQ(winsim::Outstanding(), baseline_);
    }

    PDEVICE_OBJECT device_object_ = nullptr;
    std::vector<std::string> baseline_;
};

TEST_F(WfpLifecycleTest, RegistersEveryGroupAndGivesEverythingBack)
{
    ASSERT_EQ(Initialize(), STATUS_SUCCESS);

    EXPECT_EQ(WfpContext.DeviceObject, device_object_);
    EXPECT_NE(WfpContext.EngineHandle, nullptr);
    EXPECT_NE(WfpContext.RedirectHandle, nullptr);
    EXPECT_EQ(WfpContext.QueryProcessIntercept, &QueryProcessIntercept);
    EXPECT_EQ(WfpContext.SendCallbackRequest, &SendCallbackRequest);
    EXPECT_EQ(WfpContext.CancelCallbackRequest, &CancelCallbackRequest);
    EXPECT_NE(BfeChangeHandle, nullptr);
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 1u);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);
    EXPECT_EQ(winsim::wfp::RedirectHandleCount(), 1u);

    const std::vector<const GUID *> keys = AllKeys();
    const std::vector<PCALLOUT_REGISTRATION *> slots = AllSlots();
    ASSERT_EQ(keys.size(), kCalloutCount);
    EXPECT_EQ(winsim::wfp::RegisteredCallouts().size(), kCalloutCount);
    EXPECT_EQ(winsim::OutstandingAllocations("-QVR"), kCalloutCount);
    for (std::size_t i = 0; i < kCalloutCount; ++i) {
        SCOPED_TRACE(GuidText(*keys[i]));
        std::optional<winsim::wfp::RegisteredCallout> registered = winsim::wfp::FindRegisteredCallout(*keys[i]);
        ASSERT_TRUE(registered.has_value());
        EXPECT_EQ(registered->version, 1);
        EXPECT_EQ(registered->flags, static_cast<std::uint32_t>(FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY));
        PCALLOUT_REGISTRATION record = *slots[i];
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->CalloutId, registered->id);
        EXPECT_TRUE(IsEqualGUID(record->Callout.calloutKey, *keys[i]));
        EXPECT_EQ(record->Callout.flags, static_cast<UINT32>(FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY));
        EXPECT_EQ(record->Callout.classifyFn, &TestClassify);
        EXPECT_EQ(record->Callout.notifyFn, &TestNotify);
    }
    // Only the redirect-records callouts (the second group) keep flow contexts.
    EXPECT_EQ(RedirectRecordsRegistrations[0]->Callout.flowDeleteFn, &TestFlowDelete);
    EXPECT_EQ(RedirectRecordsRegistrations[1]->Callout.flowDeleteFn, &TestFlowDelete);
    EXPECT_EQ(ConnectRedirectRegistrations[0]->Callout.flowDeleteFn, nullptr);
    EXPECT_EQ(DiscardRegistrations[7]->Callout.flowDeleteFn, nullptr);

    WfpUninitialize();
    ExpectUnwound();
    // A second teardown finds everything cleared and does nothing.
    WfpUninitialize();
    ExpectUnwound();
}

TEST_F(WfpLifecycleTest, SessionFollowsTheFilterEngine)
{
    winsim::wfp::StopBfe();
    ASSERT_EQ(Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);
    EXPECT_NE(WfpContext.RedirectHandle, nullptr);
    EXPECT_EQ(winsim::wfp::RegisteredCallouts().size(), kCalloutCount);

    winsim::wfp::StartBfe();
    ASSERT_NE(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);

    winsim::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING);
    EXPECT_EQ(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);

    winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    HANDLE reopened = WfpContext.EngineHandle;
    ASSERT_NE(reopened, nullptr);
    // A second running notification with the session open changes nothing.
    winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    EXPECT_EQ(WfpContext.EngineHandle, reopened);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);

    // Stopped and start-pending leave the session as it is; the callouts and the redirect
    // handle do not depend on BFE at all.
    winsim::wfp::SetBfeState(FWPM_SERVICE_START_PENDING);
    EXPECT_EQ(WfpContext.EngineHandle, reopened);
    winsim::wfp::StopBfe();
    EXPECT_EQ(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::RegisteredCallouts().size(), kCalloutCount);
    EXPECT_EQ(winsim::wfp::RedirectHandleCount(), 1u);

    WfpUninitialize();
    ExpectUnwound();
}

TEST_F(WfpLifecycleTest, AFailedOpenInTheNotificationWaitsForTheNextStart)
{
    winsim::wfp::StopBfe();
    ASSERT_EQ(Initialize(), STATUS_SUCCESS);
    winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_ERROR);

    winsim::faults::FailCall("FwpmEngineOpen0", STATUS_FWP_TCPIP_NOT_READY);
    winsim::wfp::StartBfe();
    EXPECT_EQ(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);
    EXPECT_FALSE(trace.Matching("FwpmEngineOpen0").empty());

    winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    EXPECT_NE(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);
}

TEST_F(WfpLifecycleTest, MissingArgumentsFailWithInvalidParameterAndLeaveNothing)
{
    const WFP_CALLOUT_GROUP noGroups[] = {{nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr}};
    struct {
        const char *what;
        PDEVICE_OBJECT device;
        PCWFP_CALLOUT_GROUP groups;
        PWFP_QUERY_PROCESS_INTERCEPT query;
        PWFP_SEND_CALLBACK_REQUEST send;
        PWFP_CANCEL_CALLBACK_REQUEST cancel;
    } const cases[] = {
        {"no QueryProcessIntercept", device_object_, kAllGroups, nullptr, SendCallbackRequest, CancelCallbackRequest},
        {"no SendCallbackRequest", device_object_, kAllGroups, QueryProcessIntercept, nullptr, CancelCallbackRequest},
        {"no CancelCallbackRequest", device_object_, kAllGroups, QueryProcessIntercept, SendCallbackRequest, nullptr},
        {"no device object", nullptr, noGroups, QueryProcessIntercept, SendCallbackRequest, CancelCallbackRequest},
        {"no group table", device_object_, nullptr, QueryProcessIntercept, SendCallbackRequest,
         CancelCallbackRequest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(WfpInitializeEx(c.device, c.groups, c.query, c.send, c.cancel), STATUS_INVALID_PARAMETER);
        ExpectUnwound();
    }
}

TEST_F(WfpLifecycleTest, EveryFailingPlatformCallUnwindsCompletely)
{
    struct FailurePoint {
        std::string call;
        std::uint64_t nth;
        NTSTATUS status;
    };
    std::vector<FailurePoint> points = {
        {"FwpsRedirectHandleCreate0", 1, STATUS_INSUFFICIENT_RESOURCES},
        {"FwpmBfeStateSubscribeChanges0", 1, STATUS_FWP_TCPIP_NOT_READY},
        {"FwpmEngineOpen0", 1, STATUS_FWP_TCPIP_NOT_READY},
    };
    // Each callout in turn: a failure in the third group finds the first two registered.
    for (std::uint64_t n = 1; n <= kCalloutCount; ++n) {
        points.push_back({"FwpsCalloutRegister1", n, n % 2 == 0 ? STATUS_FWP_IN_USE : STATUS_INSUFFICIENT_RESOURCES});
    }
    for (const FailurePoint &point : points) {
        SCOPED_TRACE(point.call + " #" + std::to_string(point.nth));
        winsim::faults::FailCall(point.call, point.status, point.nth);
        EXPECT_EQ(Initialize(), point.status);
        ExpectUnwound();
        winsim::faults::Clear();
    }
}

TEST_F(WfpLifecycleTest, EveryFailingAllocationUnwindsCompletely)
{
    std::size_t failures = 0;
    for (std::uint64_t n = 1;; ++n) {
        SCOPED_TRACE("allocation #" + std::to_string(n));
        winsim::faults::FailNthAllocation(n);
        NTSTATUS status = Initialize();
        winsim::faults::Clear();
        if (status == STATUS_SUCCESS) {
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_NO_MEMORY);
        ExpectUnwound();
        ASSERT_LT(n, 100u) << "the initialisation never succeeds";
    }
    // One registration record per callout; nothing else of the driver's is allocated.
    EXPECT_EQ(failures, kCalloutCount);
    WfpUninitialize();
    ExpectUnwound();
}

TEST_F(WfpLifecycleTest, RefusedUnregistrationsAreTracedAndAskedAgainUntilWfpLetsGo)
{
    const std::vector<const GUID *> keys = AllKeys();
    for (NTSTATUS refusal : {STATUS_FWP_IN_USE, STATUS_DEVICE_BUSY, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(refusal);
        ASSERT_EQ(Initialize(), STATUS_SUCCESS);
        winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_ERROR);

        // The IPv4 redirect-records callout is refused once, then let go.
        winsim::faults::FailCall("FwpsCalloutUnregisterByKey0", refusal, 3);
        WfpUninitialize();
        winsim::faults::Clear();

        ExpectUnwound();
        std::vector<winsim::TraceRecord> refusals = trace.Matching("FwpsCalloutUnregisterByKey0");
        ASSERT_EQ(refusals.size(), 1u);
        for (const winsim::TraceRecord &record : refusals) {
            EXPECT_EQ(record.level, TRACE_LEVEL_ERROR);
            EXPECT_NE(record.message.find(GuidText(*keys[2])), std::string::npos) << record.message;
        }
    }
}

// The classify of the test callouts below: associates a flow context with the IPv4
// redirect-records callout, or holds the connect-redirect classify until released, and
// notes whether WfpContext was complete while it ran.
std::atomic<bool> classifySawClearedContext{false};
std::promise<void> *classifyEntered = nullptr;
std::shared_future<void> classifyRelease;

VOID NTAPI AssociatingClassify(const FWPS_INCOMING_VALUES0 *values, const FWPS_INCOMING_METADATA_VALUES0 *meta,
                               void *, const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out)
{
    EXPECT_EQ(FwpsFlowAssociateContext0(meta->flowHandle, values->layerId, RedirectRecordsRegistrations[0]->CalloutId,
                                        0x51),
              STATUS_SUCCESS);
    out->actionType = FWP_ACTION_PERMIT;
}

VOID NTAPI HoldingClassify(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, void *,
                           const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out)
{
    classifyEntered->set_value();
    classifyRelease.wait();
    if (WfpContext.QueryProcessIntercept == nullptr || WfpContext.RedirectHandle == nullptr) {
        classifySawClearedContext = true;
    }
    out->actionType = FWP_ACTION_PERMIT;
}

const WFP_CALLOUT_GROUP kBusyGroups[] = {
    WFP_CALLOUT_GROUP_ROW("connect redirect", ConnectRedirectCalloutKeys, HoldingClassify, TestNotify, nullptr,
                          ConnectRedirectRegistrations),
    WFP_CALLOUT_GROUP_ROW("redirect records", RedirectRecordsCalloutKeys, AssociatingClassify, TestNotify,
                          TestFlowDelete, RedirectRecordsRegistrations),
    {nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Waits (up to 5 s) until `done` holds.
template <typename Predicate>
bool Eventually(Predicate done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// WFP refuses the callout while a flow carries its context: the teardown keeps the record
// and WfpContext, and asks again until the flow is gone.
TEST_F(WfpLifecycleTest, UnloadWaitsForFlowContextsBeforeFreeingTheRegistration)
{
    ASSERT_EQ(Initialize(kBusyGroups), STATUS_SUCCESS);
    std::shared_ptr<void> service =
        AddServiceCalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, QVR_REDIRECT_RECORDS_CALLOUT_V4_KEY);
    winsim::network::Connection connection = winsim::network::Connect(PlainServiceRequest());
    ASSERT_EQ(connection.State(), winsim::network::Outcome::Connected);
    winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_ERROR);

    bool heldWhileRefused = false;
    std::thread flowEnd([&] {
        EXPECT_TRUE(Eventually([] {
            auto callout = winsim::wfp::FindRegisteredCallout(QVR_REDIRECT_RECORDS_CALLOUT_V4_KEY);
            return callout.has_value() && callout->unregistering;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        heldWhileRefused = RedirectRecordsRegistrations[0] != nullptr && WfpContext.QueryProcessIntercept != nullptr;
        connection.Close();
    });
    WfpUninitialize();
    flowEnd.join();

    EXPECT_TRUE(heldWhileRefused) << "the record and WfpContext must outlive WFP's hold on the callout";
    EXPECT_GE(trace.Matching("FwpsCalloutUnregisterByKey0").size(), 1u);
    service.reset();
    ExpectUnwound();
}

// A classify running when the unload begins ends with WfpContext complete, and the
// teardown returns only after it.
TEST_F(WfpLifecycleTest, UnloadWithAClassifyInFlightKeepsWfpContextUntilItEnds)
{
    ASSERT_EQ(Initialize(kBusyGroups), STATUS_SUCCESS);
    std::shared_ptr<void> service =
        AddServiceCalloutFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, QVR_CONNECT_REDIRECT_CALLOUT_V4_KEY);
    std::promise<void> entered;
    std::promise<void> release;
    classifyEntered = &entered;
    classifyRelease = release.get_future().share();
    classifySawClearedContext = false;

    std::thread connector([] { (void)winsim::network::Connect(PlainServiceRequest()); });
    entered.get_future().wait();
    std::atomic<bool> tornDown{false};
    std::thread unload([&] {
        WfpUninitialize();
        tornDown = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(tornDown) << "the teardown returned while a classify was still running";
    release.set_value();
    connector.join();
    unload.join();

    EXPECT_FALSE(classifySawClearedContext);
    service.reset();
    ExpectUnwound();
}

// A BFE change that comes between the subscription and the first state query: the
// session ends open exactly when BFE runs, whichever comes first.
TEST_F(WfpLifecycleTest, ABfeChangeDuringTheFirstStateQueryEndsAsEitherOrderWould)
{
    struct Case {
        FWPM_SERVICE_STATE before;
        FWPM_SERVICE_STATE during;
        bool open;
    };
    for (const Case &c : {Case{FWPM_SERVICE_RUNNING, FWPM_SERVICE_STOP_PENDING, false},
                          Case{FWPM_SERVICE_STOPPED, FWPM_SERVICE_RUNNING, true}}) {
        SCOPED_TRACE(c.during);
        winsim::wfp::SetBfeState(c.before);
        std::thread change;
        winsim::wfp::SetBfeStateQueryHook([&] {
            winsim::wfp::SetBfeStateQueryHook(nullptr);
            // The notification may wait for the driver; give it the time it would take.
            std::promise<void> done;
            std::future<void> finished = done.get_future();
            change = std::thread([&c, done = std::move(done)]() mutable {
                winsim::wfp::SetBfeState(c.during);
                done.set_value();
            });
            finished.wait_for(std::chrono::milliseconds(100));
        });
        const NTSTATUS status = Initialize();
        change.join();
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(WfpContext.EngineHandle != nullptr, c.open);
        EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), c.open ? 1u : 0u);
        WfpUninitialize();
        ExpectUnwound();
    }
}

// A refused unsubscription leaves the callback in force (BFE may still call it with
// WfpContext), so the teardown asks again until WFP lets it go, tracing each refusal.
TEST_F(WfpLifecycleTest, ARefusedUnsubscriptionIsAskedAgainUntilWfpLetsGo)
{
    ASSERT_EQ(Initialize(), STATUS_SUCCESS);
    winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_ERROR);

    winsim::faults::FailCall("FwpmBfeStateUnsubscribeChanges0", STATUS_FWP_IN_USE);
    WfpUninitialize();
    winsim::faults::Clear();

    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
    EXPECT_EQ(BfeChangeHandle, nullptr);
    std::vector<winsim::TraceRecord> unsubscribe = trace.Matching("FwpmBfeStateUnsubscribeChanges0");
    ASSERT_EQ(unsubscribe.size(), 1u);
    EXPECT_EQ(unsubscribe[0].level, TRACE_LEVEL_ERROR);
    ExpectUnwound();
}

TEST_F(WfpLifecycleTest, AFailedSessionCloseKeepsTheHandleForARetry)
{
    ASSERT_EQ(Initialize(), STATUS_SUCCESS);
    winsim::TraceSession trace(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_ERROR);

    winsim::faults::FailCall("FwpmEngineClose0", STATUS_FWP_IN_USE);
    winsim::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING);
    EXPECT_NE(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(trace.Matching("FwpmEngineClose0").size(), 1u);

    // The teardown retries the close along with everything else.
    WfpUninitialize();
    ExpectUnwound();
}

TEST_F(WfpLifecycleTest, AKeyAlreadyRegisteredIsRefusedWithoutTouchingTheOtherRegistration)
{
    FWPS_CALLOUT1 other = {};
    other.calloutKey = QVR_BLOCK_QUIC_CALLOUT_V6_KEY;
    other.classifyFn = TestClassify;
    other.notifyFn = TestNotify;
    UINT32 otherId = 0;
    ASSERT_EQ(FwpsCalloutRegister1(device_object_, &other, &otherId), STATUS_SUCCESS);

    EXPECT_EQ(Initialize(), STATUS_FWP_ALREADY_EXISTS);
    std::vector<winsim::wfp::RegisteredCallout> left = winsim::wfp::RegisteredCallouts();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, otherId);
    EXPECT_EQ(FwpsCalloutUnregisterByKey0(&QVR_BLOCK_QUIC_CALLOUT_V6_KEY), STATUS_SUCCESS);
    ExpectUnwound();
}

// The driver as the service control manager loads it.
TEST(WfpDriverLoad, LoadingWithBfeStoppedSucceedsAndOpensTheSessionWhenBfeRuns)
{
    winsim::wfp::StopBfe();
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, qvr_test::kDriverService), STATUS_SUCCESS);
    EXPECT_EQ(WfpContext.EngineHandle, nullptr);
    EXPECT_NE(WfpContext.RedirectHandle, nullptr);
    EXPECT_NE(WfpContext.DeviceObject, nullptr);
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 1u);
    // Every callout of the driver's own group table is registered whatever the BFE state.
    std::size_t driverCallouts = 0;
    for (const WFP_CALLOUT_GROUP *group = WfpCalloutGroups; group->Keys != nullptr; ++group) {
        for (UINT32 i = 0; i < group->Count; ++i) {
            EXPECT_TRUE(winsim::wfp::FindRegisteredCallout(*group->Keys[i]).has_value()) << group->Name;
            ++driverCallouts;
        }
    }
    EXPECT_EQ(winsim::wfp::RegisteredCallouts().size(), driverCallouts);

    winsim::wfp::StartBfe();
    EXPECT_NE(WfpContext.EngineHandle, nullptr);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);

    qvr_test::UnloadDriverClean();
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);
    EXPECT_EQ(WfpContext.RedirectHandle, nullptr);
}

// A failed load leaves the driver unloaded and holds nothing of the WFP side.
void ExpectFailedLoadLeftNoWfpState()
{
    EXPECT_FALSE(winsim::IsDriverLoaded(qvr_test::kDriverService));
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
    EXPECT_EQ(winsim::wfp::RedirectHandleCount(), 0u);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);
    EXPECT_EQ(WfpContext.DeviceObject, nullptr);
}

TEST(WfpDriverLoad, AFailedRegistrationFailsTheLoadAndLeavesNothing)
{
    for (const char *call : {"FwpsRedirectHandleCreate0", "FwpmBfeStateSubscribeChanges0", "FwpmEngineOpen0"}) {
        SCOPED_TRACE(call);
        winsim::faults::FailCall(call, STATUS_FWP_TCPIP_NOT_READY);
        EXPECT_EQ(winsim::LoadDriver(DriverEntry, qvr_test::kDriverService), STATUS_FWP_TCPIP_NOT_READY);
        winsim::faults::Clear();
        ExpectFailedLoadLeftNoWfpState();
    }
}

TEST(WfpDriverLoad, AStartFailureAfterTheRegistrationTakesTheWfpSideDown)
{
    // The callback table is the step after the WFP registration.
    winsim::faults::FailAllocationsWithTag("QVCB");
    EXPECT_EQ(winsim::LoadDriver(DriverEntry, qvr_test::kDriverService), STATUS_INSUFFICIENT_RESOURCES);
    winsim::faults::Clear();
    ExpectFailedLoadLeftNoWfpState();
    EXPECT_EQ(WfpContext.QueryProcessIntercept, nullptr);
}

}  // namespace
