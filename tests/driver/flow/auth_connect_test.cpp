// Held connections end to end through winsim: connect-redirect to the agent's proxy, the
// auth-connect operation pended and the classify absorbed, the service's reply, the
// re-authorization with the flow context, and the verdict; failures of the classify; the
// connection's flow ending and the driver unloading while replies are on their way.
#include "redirect_fixture.h"

#include <winsim/kernel.h>
#include <winsim/trace_session.h>

#include <fwpsk.h>

#include "agent/verdicts.h"
#include "driver/flow/auth_connect.h"
#include "driver/flow/quic_discard.h"

#include <atomic>
#include <thread>

namespace redirect_test {
namespace {

using qvr::agent::CallbackAnswer;
using qvr::agent::CallbackQuestion;
using winsim::network::Outcome;

class AuthConnectTest : public RedirectTest {
protected:
    void SetUp() override
    {
        RedirectTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        InterceptOnly(u"webbrowser.exe");
        qvr::agent::RedirectFilterOptions options;
        options.holdForVerdict = true;
        AddProxyFilters(false, options);
        browser_ = StartProcess(kBrowserImage);
    }

    // Carriers that answer port queries and hand type-4 questions to `handler`.
    void StartVerdicts(qvr::agent::CallbackHandler handler, std::size_t carriers = 2)
    {
        StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort), carriers);
        responder_->SetHandler(qvr::agent::kRedirectRecordsType, std::move(handler));
    }

    // The connection settled, nothing of it left with WFP or the driver.
    void ExpectReleased(const winsim::network::Connection &c, Outcome expected)
    {
        EXPECT_EQ(c.WaitSettled(), expected);
        EXPECT_TRUE(winsim::network::Drain());
        EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
        EXPECT_EQ(winsim::wfp::PendedOperationCount(), 0u);
    }

    std::uint64_t browser_ = 0;
};

struct ReplyCase {
    const char *name;
    std::vector<std::uint8_t> payload;
    Outcome outcome;
};

class ReplyVerdictTest : public AuthConnectTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyVerdictTest, ReplyDecidesTheReauthorization)
{
    std::atomic<int> asked{0};
    std::optional<qvr::agent::RedirectRecordsQuestion> seen;
    StartVerdicts([&](const CallbackQuestion &q) -> std::optional<CallbackAnswer> {
        seen = qvr::agent::ParseRedirectRecordsQuestion(q.payload);
        ++asked;
        return CallbackAnswer{GetParam().payload, false};
    });
    winsim::network::Connection c = Connect(browser_, "203.0.113.7:443");
    ExpectReleased(c, GetParam().outcome);
    EXPECT_TRUE(c.Redirected());
    EXPECT_EQ(asked.load(), 1);
    EXPECT_EQ(c.AuthConnectClassifies(), 2);  // the held one and its re-authorization
    ASSERT_TRUE(seen && seen->context);
    EXPECT_EQ(seen->family, 2u);
    EXPECT_EQ(seen->remotePort, kProxyPort);
    EXPECT_EQ(seen->context->requested, Ep("203.0.113.7:443"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyVerdictTest,
    ::testing::Values(ReplyCase{"ShortBlocks", {0, 0, 0, 0, 0}, Outcome::Blocked},
                      ReplyCase{"ZerosPermit", {0, 0, 0, 0, 0, 0}, Outcome::Connected},
                      ReplyCase{"WholeFlagTested", {0, 0, 0, 1, 0, 0}, Outcome::Blocked},
                      ReplyCase{"OneBlocks", {7, 0, 1, 0, 0, 0, 9}, Outcome::Blocked}),
    [](const auto &info) { return std::string(info.param.name); });

// A failure anywhere from the context to the question leaves the connection to the other
// filters (here none, so WFP permits and the proxy gets it) with nothing held.
struct FaultCase {
    const char *name;
    const char *call;
    std::uint64_t nth;
};

class HoldFaultTest : public AuthConnectTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HoldFaultTest, FailureLeavesTheConnectionToOtherFilters)
{
    std::atomic<int> asked{0};
    StartVerdicts([&](const CallbackQuestion &) -> std::optional<CallbackAnswer> {
        ++asked;
        return CallbackAnswer{qvr::agent::BuildVerdictReply(1), false};
    });
    const std::size_t before = winsim::OutstandingAllocations("-QVR");
    winsim::faults::FailCall(GetParam().call, STATUS_INSUFFICIENT_RESOURCES, GetParam().nth);
    winsim::network::Connection c = Connect(browser_, "203.0.113.7:443");
    ExpectReleased(c, Outcome::Connected);
    EXPECT_TRUE(c.Redirected());
    EXPECT_EQ(c.AuthConnectClassifies(), 1);
    EXPECT_EQ(asked.load(), 0);
    c.Close();
    EXPECT_TRUE(winsim::network::Drain());
    EXPECT_EQ(winsim::OutstandingAllocations("-QVR"), before);  // nothing of the hold is left
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HoldFaultTest,
    ::testing::Values(FaultCase{"Associate", "FwpsFlowAssociateContext0", 1},
                      FaultCase{"RecordsSize", "FwpsQueryConnectionSioFormatRedirectRecords0", 1},
                      FaultCase{"Records", "FwpsQueryConnectionSioFormatRedirectRecords0", 2},
                      FaultCase{"Pend", "FwpsPendOperation0", 1}),
    [](const auto &info) { return std::string(info.param.name); });

// Without a parked carrier a classify at DISPATCH_LEVEL must not wait (a wait there is a
// verifier failure, and with the clock frozen it would never end).
TEST_F(AuthConnectTest, NoCarrierAtDispatchFailsAtOnce)
{
    winsim::clock::UseManual();
    winsim::network::ConnectRequest request;
    request.processId = browser_;
    request.remote = Ep("203.0.113.7:443");
    request.classifyIrql = DISPATCH_LEVEL;
    winsim::network::Connection c = winsim::network::Connect(request);
    ExpectReleased(c, Outcome::Connected);
    EXPECT_TRUE(c.Redirected());
}

// The connection's flow ends (the application gives up) while its question waits; the
// reply then finds the context alive and completes the operation.
TEST_F(AuthConnectTest, ReplyAfterTheFlowEndedTouchesLiveMemory)
{
    constexpr int kRounds = 100;
    std::atomic<int> answered{0};
    StartVerdicts([&](const CallbackQuestion &) -> std::optional<CallbackAnswer> {
        std::this_thread::sleep_for(std::chrono::microseconds(answered.load() % 7 * 50));
        ++answered;
        return CallbackAnswer{qvr::agent::BuildVerdictReply(0), false};
    }, 4);
    winsim::network::ConnectRequest request;
    request.processId = browser_;
    request.remote = Ep("203.0.113.7:443");
    request.classifyIrql = PASSIVE_LEVEL;  // waits for a carrier: every round is held
    for (int i = 0; i < kRounds; ++i) {
        winsim::network::Connection c = winsim::network::Connect(request);
        std::this_thread::sleep_for(std::chrono::microseconds(i % 5 * 40));
        c.Close();
    }
    ASSERT_TRUE(qvr_test::Eventually([&] { return answered.load() == kRounds; }));
    EXPECT_TRUE(winsim::network::Drain());
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    // The agent counts a reply when it sends it; the driver completes the operation in the
    // reply's own thread a moment later.
    EXPECT_TRUE(qvr_test::Eventually([] { return winsim::wfp::PendedOperationCount() == 0u; }))
        << winsim::wfp::PendedOperationCount() << " operations still pended";
}

// Unload with connections held, half of their replies racing the unload and half never
// coming: every operation is completed, every context removed and freed. What stays is the
// redirect context WFP owns for each connection until its flow ends.
TEST_F(AuthConnectTest, UnloadCompletesHeldConnectionsWhileRepliesRace)
{
    constexpr int kHeld = 16;
    std::atomic<int> asked{0};
    std::atomic<bool> release{false};
    StartVerdicts([&](const CallbackQuestion &) -> std::optional<CallbackAnswer> {
        if (++asked % 2 == 0) {
            return std::nullopt;
        }
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        return CallbackAnswer{qvr::agent::BuildVerdictReply(1), false};
    }, kHeld);
    std::vector<winsim::network::Connection> held;
    for (int i = 0; i < kHeld; ++i) {
        held.push_back(Connect(browser_, "203.0.113.7:443"));
    }
    ASSERT_TRUE(qvr_test::Eventually([&] { return asked.load() == kHeld; }));
    for (const auto &c : held) {
        ASSERT_EQ(c.State(), Outcome::Pending);
    }
    std::thread replies([&] { release = true; });
    winsim::UnloadResult result;
    {
        winsim::ViolationCapture capture;
        result = winsim::UnloadDriver(qvr_test::kDriverService);
        // The agent's own management session is still open too.
        for (const winsim::Violation &v : capture.Violations()) {
            EXPECT_TRUE(v.message.find("tag '-QVR'") != std::string::npos ||
                        v.message.find("wfp-engine-session: user-mode") != std::string::npos)
                << v.call << ": " << v.message;
        }
    }
    replies.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::wfp::PendedOperationCount(), 0u);
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    EXPECT_LE(winsim::OutstandingAllocations("-QVR"), static_cast<std::size_t>(kHeld));
    EXPECT_TRUE(winsim::network::Drain());
    for (const auto &c : held) {
        EXPECT_NE(c.State(), Outcome::Pending);
    }
    winsim::network::Reset();
    EXPECT_EQ(winsim::OutstandingAllocations("-QVR"), 0u);
}

// A permitted connection whose context WFP would not take off its flow, neither after the
// verdict nor at the unload's first try: the unload asks again, and ends with no context
// left on the flow, while the connection stays open.
TEST_F(AuthConnectTest, UnloadAsksAgainForAContextWfpWouldNotRemove)
{
    StartVerdicts([](const CallbackQuestion &) -> std::optional<CallbackAnswer> {
        return CallbackAnswer{qvr::agent::BuildVerdictReply(0), false};
    });
    winsim::faults::FailCall("FwpsFlowRemoveContext0", STATUS_INSUFFICIENT_RESOURCES, 1);
    winsim::network::Connection c = Connect(browser_, "203.0.113.7:443");
    ASSERT_EQ(c.WaitSettled(), Outcome::Connected);
    ASSERT_EQ(winsim::wfp::FlowContextCount(), 1u);  // still on the open flow
    winsim::faults::FailCall("FwpsFlowRemoveContext0", STATUS_INSUFFICIENT_RESOURCES, 1);
    winsim::UnloadResult result;
    {
        winsim::ViolationCapture capture;
        result = winsim::UnloadDriver(qvr_test::kDriverService);
    }
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    c.Close();
    winsim::network::Reset();
    EXPECT_EQ(winsim::OutstandingAllocations("-QVR"), 0u);
}

// The service's handle closes while its questions wait: no reply can come, so the held
// connections are completed at once and left to the other filters.
TEST_F(AuthConnectTest, ServiceClosingItsHandleReleasesHeldConnections)
{
    constexpr int kHeld = 4;
    std::atomic<int> asked{0};
    StartVerdicts([&](const CallbackQuestion &) -> std::optional<CallbackAnswer> {
        ++asked;
        return std::nullopt;
    }, kHeld);
    std::vector<winsim::network::Connection> held;
    for (int i = 0; i < kHeld; ++i) {
        held.push_back(Connect(browser_, "203.0.113.7:443"));
    }
    ASSERT_TRUE(qvr_test::Eventually([&] { return asked.load() == kHeld; }));
    // Another handle carried none of the questions: closing it lets nothing go.
    winsim::OpenResult other = winsim::OpenDevice(qvr_test::kControlDevice, winsim::Identity::LocalSystem);
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    ASSERT_EQ(winsim::CloseHandle(other.handle), STATUS_SUCCESS);
    EXPECT_TRUE(winsim::network::Drain());
    ASSERT_EQ(held[0].State(), Outcome::Pending);
    ASSERT_EQ(winsim::CloseHandle(device_), STATUS_SUCCESS);
    for (const auto &c : held) {
        EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
    }
    EXPECT_TRUE(winsim::network::Drain());
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    EXPECT_EQ(winsim::wfp::PendedOperationCount(), 0u);
}

struct QuicCase {
    const char *name;
    std::uint32_t quicSwitch;
    bool covered;       // the browser (covered) or the editor (not covered)
    std::uint8_t protocol;
    Outcome outcome;
};

class QuicTest : public RedirectTest, public ::testing::WithParamInterface<QuicCase> {};

TEST_P(QuicTest, UdpOfCoveredProcessesBlockedWhileSwitchIsOn)
{
    InterceptOnly(u"webbrowser.exe");
    ASSERT_EQ(filters_.AddQuicFilters(443), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, qvr_test::QuicRecord(GetParam().quicSwitch)).status,
              STATUS_SUCCESS);
    std::uint64_t process = StartProcess(GetParam().covered ? kBrowserImage : kEditorImage);
    winsim::network::Connection c = Connect(process, "203.0.113.7:443", nullptr, GetParam().protocol);
    EXPECT_EQ(c.WaitSettled(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuicTest,
    ::testing::Values(QuicCase{"OnCoveredUdp", 1, true, 17, Outcome::Blocked},
                      QuicCase{"AnyNonzeroIsOn", 0x100, true, 17, Outcome::Blocked},
                      QuicCase{"OffCoveredUdp", 0, true, 17, Outcome::Connected},
                      QuicCase{"OnUncoveredUdp", 1, false, 17, Outcome::Connected}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RedirectTest, QuicOfUnknownProcessPasses)
{
    InterceptEverything();
    ASSERT_EQ(filters_.AddQuicFilters(443), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, qvr_test::QuicRecord(1)).status, STATUS_SUCCESS);
    // Started before the driver knew of it and never rescanned: not in the process table.
    winsim::network::Connection c = Connect(999999, "203.0.113.7:443", nullptr, 17);
    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
}

TEST_F(RedirectTest, DiscardDiagnosticsTraceTheDropAndDecideNothing)
{
    ASSERT_EQ(filters_.AddDiscardFilters(), static_cast<DWORD>(ERROR_SUCCESS));
    winsim::TraceSession session(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_VERBOSE);
    winsim::network::DiscardEvent event;
    event.layerId = FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD;
    event.protocol = 17;
    event.local = Ep("10.0.0.5:5353");
    event.remote = Ep("203.0.113.7:53");
    event.module = FWPS_DISCARD_MODULE_TRANSPORT;
    event.reason = 4;
    ASSERT_TRUE(winsim::network::ClassifyDiscard(event));
    std::vector<winsim::TraceRecord> traced = session.Matching("discard at FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD");
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_NE(traced[0].message.find("module 1 reason 4"), std::string::npos) << traced[0].message;
}

// The classify functions called directly, for what no filter of the agent lets through.
namespace classify_unit {

struct Indication {
    std::vector<FWPS_INCOMING_VALUE0> values = std::vector<FWPS_INCOMING_VALUE0>(34);
    FWPS_INCOMING_VALUES0 fixed{};
    FWPS_INCOMING_METADATA_VALUES0 meta{};
    FWPS_FILTER1 filter{};

    Indication(std::uint16_t layer, std::uint8_t protocol)
    {
        fixed.layerId = layer;
        fixed.valueCount = static_cast<UINT32>(values.size());
        fixed.incomingValue = values.data();
        values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.type = FWP_UINT8;
        values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.uint8 = protocol;
        values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.type = FWP_UINT32;
        values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32 = FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED;
        meta.currentMetadataValues = FWPS_METADATA_FIELD_PROCESS_ID;
        meta.processId = 4242;
    }
};

using ClassifyFn = void(NTAPI *)(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, void *,
                                 const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *);

struct UnitCase {
    const char *name;
    ClassifyFn classify;
    std::uint16_t layer;
    std::uint8_t protocol;
    UINT32 rights;
    UINT32 expectedAction;  // FWP_ACTION_NONE: classifyOut must come back untouched
};

class ClassifyUnitTest : public RedirectTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(ClassifyUnitTest, LeavesWhatItMustNotJudge)
{
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, qvr_test::QuicRecord(1)).status, STATUS_SUCCESS);
    Indication indication(GetParam().layer, GetParam().protocol);
    FWPS_CLASSIFY_OUT0 out{};
    out.actionType = FWP_ACTION_NONE;
    out.rights = GetParam().rights;
    const FWPS_CLASSIFY_OUT0 before = out;
    GetParam().classify(&indication.fixed, &indication.meta, nullptr, nullptr, &indication.filter, 0, &out);
    EXPECT_EQ(out.actionType, GetParam().expectedAction);
    EXPECT_EQ(out.rights, before.rights);
    EXPECT_EQ(out.flags, before.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyUnitTest,
    ::testing::Values(
        UnitCase{"QuicTcpPasses", AleAuthConnectClassifyFnBlockQUIC, FWPS_LAYER_ALE_AUTH_CONNECT_V4, 6,
                 FWPS_RIGHT_ACTION_WRITE, FWP_ACTION_CONTINUE},
        UnitCase{"QuicNoWriteRight", AleAuthConnectClassifyFnBlockQUIC, FWPS_LAYER_ALE_AUTH_CONNECT_V4, 17, 0,
                 FWP_ACTION_NONE},
        UnitCase{"RecordsUdpPasses", AleAuthConnectClassifyFnRedirectRecords, FWPS_LAYER_ALE_AUTH_CONNECT_V6, 17,
                 FWPS_RIGHT_ACTION_WRITE, FWP_ACTION_CONTINUE},
        UnitCase{"RecordsNoWriteRight", AleAuthConnectClassifyFnRedirectRecords, FWPS_LAYER_ALE_AUTH_CONNECT_V4, 6, 0,
                 FWP_ACTION_NONE},
        UnitCase{"RecordsWithoutBlobPasses", AleAuthConnectClassifyFnRedirectRecords, FWPS_LAYER_ALE_AUTH_CONNECT_V4,
                 6, FWPS_RIGHT_ACTION_WRITE, FWP_ACTION_CONTINUE},
        UnitCase{"DiscardNeverDecides", DiscardClassifyFn, FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD, 6,
                 FWPS_RIGHT_ACTION_WRITE, FWP_ACTION_NONE}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RedirectTest, DiscardWithoutDiscardMetadataTracesOneError)
{
    winsim::TraceSession session(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_VERBOSE);
    Indication indication(FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD, 17);
    FWPS_CLASSIFY_OUT0 out{};
    DiscardClassifyFn(&indication.fixed, &indication.meta, nullptr, nullptr, &indication.filter, 0, &out);
    std::vector<winsim::TraceRecord> records = session.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, TRACE_LEVEL_ERROR);
}

}  // namespace classify_unit

}  // namespace
}  // namespace redirect_test
