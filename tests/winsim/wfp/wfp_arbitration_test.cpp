/*
 * wfp_arbitration_test.cpp
 *
 * Filter arbitration at auth-connect: weight order inside a sublayer, every sublayer
 * evaluated, the write right carried between them (soft and hard permits and blocks, the
 * callout veto), absorbed classifies, callout filters whose callout is not registered,
 * inspection callouts; filter conditions on protocol and remote port; UDP sends; and the
 * discard layers with their discard metadata.
 */
#include "wfp_test_support.h"

#include <winsim/processes.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace wfptest;

namespace {

// What one filter of a case does.
enum class Kind {
    StaticPermit,
    StaticBlock,
    CalloutPermit,       // PERMIT, write right left as it came
    CalloutPermitHard,   // PERMIT, write right cleared
    CalloutBlock,        // BLOCK, write right cleared
    CalloutBlockSoft,    // BLOCK, write right kept
    CalloutContinue,
    CalloutAbsorb,       // BLOCK + ABSORB
    InspectionBlock,     // an inspection callout that answers BLOCK
    UnregisteredTerminating,
    UnregisteredInspection,
};

struct FilterCase {
    UINT16 subLayerWeight;
    UINT64 weight;
    Kind kind;
    UINT32 flags = 0;  // FWPM_FILTER_FLAG_*
};

struct ArbitrationCase {
    const char *name;
    std::vector<FilterCase> filters;
    Outcome expected;
    int decidingIndex;              // index into filters of the deciding filter, -1: none
    std::vector<int> calledCallouts;  // indexes of callout filters whose classifyFn ran

    // Whether filter i's callout should be offered the write right: not after a hard
    // decision of a higher sublayer.
    bool writeRightFor(std::size_t i) const
    {
        for (std::size_t j = 0; j < i; ++j) {
            const FilterCase &f = filters[j];
            bool hard = f.kind == Kind::StaticBlock || f.kind == Kind::CalloutBlock ||
                        f.kind == Kind::CalloutPermitHard ||
                        (f.kind == Kind::StaticPermit && (f.flags & FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0);
            if (hard && f.subLayerWeight > filters[i].subLayerWeight) {
                return false;
            }
        }
        return true;
    }
};

void PrintTo(const ArbitrationCase &c, std::ostream *os) { *os << c.name; }

class ArbitrationTest : public WfpTest, public testing::WithParamInterface<ArbitrationCase> {};

void Script(TestCallout &c, Kind kind, std::vector<UINT32> *rightsSeen)
{
    c.classify = [kind, rightsSeen](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *,
                                    const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        rightsSeen->push_back(out->rights);
        switch (kind) {
        case Kind::CalloutPermit: out->actionType = FWP_ACTION_PERMIT; break;
        case Kind::CalloutPermitHard:
            out->actionType = FWP_ACTION_PERMIT;
            out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
            break;
        case Kind::CalloutBlock:
        case Kind::InspectionBlock:
            out->actionType = FWP_ACTION_BLOCK;
            out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
            break;
        case Kind::CalloutBlockSoft: out->actionType = FWP_ACTION_BLOCK; break;
        case Kind::CalloutAbsorb:
            out->actionType = FWP_ACTION_BLOCK;
            out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
            out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
            break;
        default: out->actionType = FWP_ACTION_CONTINUE; break;
        }
    };
}

TEST_P(ArbitrationTest, DecidesAsTheFilterArbitrationRulesSay)
{
    const ArbitrationCase &tc = GetParam();
    Service service;
    std::vector<std::unique_ptr<TestCallout>> callouts;
    std::vector<std::vector<UINT32>> rights(tc.filters.size());
    std::vector<UINT64> ids;
    for (std::size_t i = 0; i < tc.filters.size(); ++i) {
        const FilterCase &f = tc.filters[i];
        GUID subLayer = MakeGuid(0x1000 + f.subLayerWeight);
        FilterSpec filter;
        filter.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
        filter.weight = f.weight;
        filter.subLayer = subLayer;
        filter.flags = f.flags;
        bool unregistered = f.kind == Kind::UnregisteredTerminating || f.kind == Kind::UnregisteredInspection;
        if (f.kind == Kind::StaticPermit || f.kind == Kind::StaticBlock) {
            filter.action = f.kind == Kind::StaticPermit ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
            callouts.push_back(nullptr);
        } else {
            auto c = std::make_unique<TestCallout>(MakeGuid(0x300 + static_cast<UINT32>(i)));
            if (!unregistered) {
                ASSERT_EQ(c->Register(), STATUS_SUCCESS);
            }
            Script(*c, f.kind, &rights[i]);
            service.AddCallout(c->Key(), FWPM_LAYER_ALE_AUTH_CONNECT_V4);
            filter.calloutKey = c->Key();
            filter.action = (f.kind == Kind::InspectionBlock || f.kind == Kind::UnregisteredInspection)
                              ? FWP_ACTION_CALLOUT_INSPECTION
                              : FWP_ACTION_CALLOUT_TERMINATING;
            callouts.push_back(std::move(c));
        }
        FWPM_SUBLAYER0 sub = {};
        sub.subLayerKey = subLayer;
        WCHAR name[] = u"case sublayer";
        sub.displayData.name = name;
        sub.weight = f.subLayerWeight;
        DWORD added = FwpmSubLayerAdd0(service.Engine(), &sub, nullptr);
        ASSERT_TRUE(added == ERROR_SUCCESS || added == FWP_E_ALREADY_EXISTS);
        ids.push_back(service.AddFilter(filter));
    }

    ConnectRequest r;
    r.processId = 1000;
    r.remote = Endpoint::Parse("198.51.100.1:80");
    winsim::network::Connection c = Connect(r);

    EXPECT_EQ(c.State(), tc.expected) << tc.name;
    if (tc.decidingIndex >= 0) {
        EXPECT_EQ(c.DecidingFilterId(), ids[tc.decidingIndex]) << tc.name;
    }
    for (std::size_t i = 0; i < callouts.size(); ++i) {
        if (!callouts[i]) {
            continue;
        }
        bool expectCalled = std::find(tc.calledCallouts.begin(), tc.calledCallouts.end(), static_cast<int>(i)) !=
                            tc.calledCallouts.end();
        EXPECT_EQ(callouts[i]->classifyCalls.load(), expectCalled ? 1 : 0) << tc.name << ": callout of filter " << i;
    }
    for (std::size_t i = 0; i < rights.size(); ++i) {
        for (UINT32 seen : rights[i]) {
            // below a hard decision a callout is called without the write right: it may only veto
            EXPECT_EQ((seen & FWPS_RIGHT_ACTION_WRITE) != 0, tc.writeRightFor(i)) << tc.name << ": filter " << i;
        }
    }
}

const FilterCase Hi(UINT64 w, Kind k, UINT32 flags = 0) { return FilterCase{0x200, w, k, flags}; }
const FilterCase Lo(UINT64 w, Kind k, UINT32 flags = 0) { return FilterCase{0x100, w, k, flags}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, ArbitrationTest,
    testing::Values(
        ArbitrationCase{"no filter permits", {}, Outcome::Connected, -1, {}},
        ArbitrationCase{"static block", {Hi(10, Kind::StaticBlock)}, Outcome::Blocked, 0, {}},
        ArbitrationCase{"higher weight permit wins in a sublayer",
                        {Hi(10, Kind::StaticPermit), Hi(5, Kind::StaticBlock)}, Outcome::Connected, 0, {}},
        ArbitrationCase{"higher weight block wins in a sublayer",
                        {Hi(5, Kind::StaticPermit), Hi(10, Kind::StaticBlock)}, Outcome::Blocked, 1, {}},
        ArbitrationCase{"continue falls through to the next filter",
                        {Hi(10, Kind::CalloutContinue), Hi(5, Kind::StaticBlock)}, Outcome::Blocked, 1, {0}},
        ArbitrationCase{"a decided sublayer skips its lower filters",
                        {Hi(10, Kind::StaticPermit), Hi(5, Kind::CalloutBlock)}, Outcome::Connected, 0, {}},
        ArbitrationCase{"soft permit is overridden by a lower sublayer's block",
                        {Hi(1, Kind::StaticPermit), Lo(1, Kind::StaticBlock)}, Outcome::Blocked, 1, {}},
        ArbitrationCase{"hard permit stands against a lower static block",
                        {Hi(1, Kind::StaticPermit, FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT), Lo(1, Kind::StaticBlock)},
                        Outcome::Connected, 0, {}},
        ArbitrationCase{"a lower callout vetoes a hard permit",
                        {Hi(1, Kind::StaticPermit, FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT), Lo(1, Kind::CalloutBlock)},
                        Outcome::Blocked, 1, {1}},
        ArbitrationCase{"a lower callout cannot turn a hard permit into its own permit",
                        {Hi(1, Kind::CalloutPermitHard), Lo(1, Kind::CalloutPermit)}, Outcome::Connected, 0, {0, 1}},
        ArbitrationCase{"hard block is final", {Hi(1, Kind::StaticBlock), Lo(1, Kind::StaticPermit)},
                        Outcome::Blocked, 0, {}},
        ArbitrationCase{"every sublayer is evaluated after a block",
                        {Hi(1, Kind::StaticBlock), Lo(1, Kind::CalloutBlock)}, Outcome::Blocked, 0, {1}},
        ArbitrationCase{"soft block is overridden by a lower permit",
                        {Hi(1, Kind::CalloutBlockSoft), Lo(1, Kind::StaticPermit)}, Outcome::Connected, 1, {0}},
        ArbitrationCase{"an absorbed classify ends the evaluation",
                        {Hi(2, Kind::CalloutAbsorb), Hi(1, Kind::CalloutPermit), Lo(1, Kind::CalloutPermit)},
                        Outcome::Blocked, 0, {0}},
        ArbitrationCase{"an unregistered terminating callout blocks",
                        {Hi(2, Kind::UnregisteredTerminating), Hi(1, Kind::StaticPermit)}, Outcome::Blocked, 0, {}},
        ArbitrationCase{"an unregistered callout permits with PERMIT_IF_CALLOUT_UNREGISTERED",
                        {Hi(2, Kind::UnregisteredTerminating, FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED),
                         Lo(1, Kind::CalloutContinue)},
                        Outcome::Connected, 0, {1}},
        ArbitrationCase{"an unregistered inspection callout is skipped",
                        {Hi(2, Kind::UnregisteredInspection), Hi(1, Kind::StaticBlock)}, Outcome::Blocked, 1, {}},
        ArbitrationCase{"an inspection callout does not decide",
                        {Hi(2, Kind::InspectionBlock), Hi(1, Kind::CalloutContinue)}, Outcome::Connected, -1,
                        {0, 1}}),
    [](const testing::TestParamInfo<ArbitrationCase> &info) { return "Case" + std::to_string(info.index); });

class ConditionTest : public WfpTest {};

TEST_F(ConditionTest, ProtocolAndRemotePortConditionsAllMustHold)
{
    Service service;
    FilterSpec udp443;
    udp443.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    udp443.action = FWP_ACTION_BLOCK;
    udp443.protocol = IPPROTO_UDP;
    udp443.remotePort = 443;
    service.AddFilter(udp443);
    struct Row {
        UINT8 protocol;
        UINT16 port;
        Outcome expected;
    } rows[] = {{IPPROTO_UDP, 443, Outcome::Blocked},
                {IPPROTO_TCP, 443, Outcome::Connected},
                {IPPROTO_UDP, 53, Outcome::Connected}};
    for (const Row &row : rows) {
        ConnectRequest r;
        r.processId = 1000;
        r.protocol = row.protocol;
        r.remote = Endpoint{winsim::network::Address::Parse("198.51.100.9"), row.port};
        EXPECT_EQ(Connect(r).State(), row.expected) << int(row.protocol) << "/" << row.port;
    }
}

TEST_F(ConditionTest, ConditionsOnTheSameFieldAreAlternatives)
{
    Service service;
    FWPM_FILTER_CONDITION0 conditions[2] = {};
    for (int i = 0; i < 2; ++i) {
        conditions[i].fieldKey = FWPM_CONDITION_IP_REMOTE_PORT;
        conditions[i].matchType = FWP_MATCH_EQUAL;
        conditions[i].conditionValue.type = FWP_UINT16;
        conditions[i].conditionValue.uint16 = i == 0 ? 80 : 8080;
    }
    FWPM_FILTER0 filter = {};
    WCHAR name[] = u"either port";
    filter.displayData.name = name;
    filter.layerKey = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    filter.numFilterConditions = 2;
    filter.filterCondition = conditions;
    ASSERT_EQ(FwpmFilterAdd0(service.Engine(), &filter, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
    for (UINT16 port : {80, 8080, 443}) {
        ConnectRequest r;
        r.processId = 1000;
        r.remote = Endpoint{winsim::network::Address::Parse("198.51.100.9"), port};
        EXPECT_EQ(Connect(r).State(), port == 443 ? Outcome::Connected : Outcome::Blocked) << port;
    }
}

TEST_F(ConditionTest, UdpSendReachesAuthConnectWithItsFields)
{
    Service service;
    TestCallout quic(MakeGuid(0x400));
    ASSERT_EQ(quic.Register(), STATUS_SUCCESS);
    FilterSpec udp = CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V6, quic.Key());
    udp.protocol = IPPROTO_UDP;
    service.AddCalloutAndFilter(udp);
    UINT16 layer = 0;
    UINT8 protocol = 0;
    UINT64 pid = 0;
    std::vector<KIRQL> irqls;
    quic.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                        const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        irqls.push_back(KeGetCurrentIrql());
        layer = v->layerId;
        protocol = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_PROTOCOL].value.uint8;
        pid = FWPS_IS_METADATA_FIELD_PRESENT(m, FWPS_METADATA_FIELD_PROCESS_ID) ? m->processId : 0;
        out->actionType = FWP_ACTION_BLOCK;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    ConnectRequest r;
    r.processId = 1234;
    r.protocol = IPPROTO_UDP;
    r.remote = Endpoint::Parse("[2001:db8::99]:443");

    EXPECT_EQ(Connect(r).State(), Outcome::Blocked);
    EXPECT_EQ(layer, FWPS_LAYER_ALE_AUTH_CONNECT_V6);
    EXPECT_EQ(protocol, IPPROTO_UDP);
    EXPECT_EQ(pid, 1234u);
    r.classifyIrql = PASSIVE_LEVEL;
    Connect(r);
    EXPECT_EQ(irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL})) << "DISPATCH_LEVEL unless asked otherwise";
}

TEST_F(ConditionTest, ApplicationIdConditionMatchesTheImageOfTheConnectingProcess)
{
    Service service;
    const std::u16string image = u"\\device\\harddiskvolume2\\apps\\blocked.exe";
    std::vector<UINT8> appId((image.size() + 1) * sizeof(char16_t));
    std::memcpy(appId.data(), image.c_str(), appId.size());
    FWP_BYTE_BLOB blob = {static_cast<UINT32>(appId.size()), appId.data()};
    FWPM_FILTER_CONDITION0 condition = {};
    condition.fieldKey = FWPM_CONDITION_ALE_APP_ID;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_BYTE_BLOB_TYPE;
    condition.conditionValue.byteBlob = &blob;
    FWPM_FILTER0 filter = {};
    WCHAR name[] = u"by application";
    filter.displayData.name = name;
    filter.layerKey = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    filter.action.type = FWP_ACTION_BLOCK;
    filter.numFilterConditions = 1;
    filter.filterCondition = &condition;
    ASSERT_EQ(FwpmFilterAdd0(service.Engine(), &filter, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
    winsim::processes::ProcessId blocked = winsim::processes::Start(image);
    winsim::processes::ProcessId other = winsim::processes::Start(u"\\device\\harddiskvolume2\\apps\\other.exe");
    ConnectRequest r;
    r.remote = Endpoint::Parse("198.51.100.9:443");

    r.processId = blocked;
    EXPECT_EQ(Connect(r).State(), Outcome::Blocked);
    r.processId = other;
    EXPECT_EQ(Connect(r).State(), Outcome::Connected);

    winsim::processes::End(blocked);
    winsim::processes::End(other);
}

class DiscardTest : public WfpTest {};

TEST_F(DiscardTest, BlockedConnectionIsClassifiedAtTheDiscardLayerWithTheBlockingFilter)
{
    Service service;
    TestCallout discard(MakeGuid(0x500));
    ASSERT_EQ(discard.Register(), STATUS_SUCCESS);
    service.AddCalloutAndFilter(
        CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4_DISCARD, discard.Key(), FWP_ACTION_CALLOUT_INSPECTION));
    FilterSpec block;
    block.layer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    block.action = FWP_ACTION_BLOCK;
    UINT64 blocking = service.AddFilter(block);
    FWPS_DISCARD_METADATA0 seen = {};
    UINT32 present = 0;
    discard.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *) {
        EXPECT_EQ(v->layerId, FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD);
        present = m->currentMetadataValues;
        seen = m->discardMetadata;
    };
    ConnectRequest r;
    r.processId = 1000;
    r.remote = Endpoint::Parse("198.51.100.1:80");

    EXPECT_EQ(Connect(r).State(), Outcome::Blocked);
    EXPECT_NE(present & FWPS_METADATA_FIELD_DISCARD_REASON, 0u);
    EXPECT_EQ(seen.discardModule, FWPS_DISCARD_MODULE_GENERAL);
    EXPECT_EQ(seen.discardReason, (UINT32)FWPS_DISCARD_FIREWALL_POLICY);
    EXPECT_EQ(seen.filterId, blocking);
}

TEST_F(DiscardTest, TransportDropCarriesItsModuleReasonAndFields)
{
    Service service;
    TestCallout discard(MakeGuid(0x501));
    ASSERT_EQ(discard.Register(), STATUS_SUCCESS);
    service.AddCalloutAndFilter(
        CalloutFilter(FWPM_LAYER_INBOUND_TRANSPORT_V4_DISCARD, discard.Key(), FWP_ACTION_CALLOUT_INSPECTION));
    UINT32 reason = 0;
    FWPS_DISCARD_MODULE0 module = FWPS_DISCARD_MODULE_MAX;
    UINT16 localPort = 0;
    UINT32 flags = 0;
    discard.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *) {
        reason = m->discardMetadata.discardReason;
        module = m->discardMetadata.discardModule;
        localPort = v->incomingValue[FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_PORT].value.uint16;
        flags = v->incomingValue[FWPS_FIELD_INBOUND_TRANSPORT_V4_FLAGS].value.uint32;
    };
    winsim::network::DiscardEvent event;
    event.layerId = FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD;
    event.protocol = IPPROTO_UDP;
    event.local = Endpoint::Parse("192.0.2.10:5353");
    event.remote = Endpoint::Parse("198.51.100.3:5353");
    event.module = FWPS_DISCARD_MODULE_TRANSPORT;
    event.reason = 7;
    event.flags = FWP_CONDITION_FLAG_IS_FRAGMENT;

    ASSERT_TRUE(winsim::network::ClassifyDiscard(event));
    EXPECT_EQ(module, FWPS_DISCARD_MODULE_TRANSPORT);
    EXPECT_EQ(reason, 7u);
    EXPECT_EQ(localPort, 5353);
    EXPECT_EQ(flags, (UINT32)FWP_CONDITION_FLAG_IS_FRAGMENT);

    event.layerId = FWPS_LAYER_ALE_CONNECT_REDIRECT_V4;
    EXPECT_FALSE(winsim::network::ClassifyDiscard(event)) << "not a discard layer";
}

}  // namespace
