// The per-connection trace records: the classify record and the discard record in their
// field order and forms at each layer family, the layer-name table, and what is written
// when an accessor fails, when the families differ and at each session level.
#include "driver_fixture.h"
#include "incoming_values.h"

#include <winsim/trace_session.h>

#include "driver/redirect/classify_trace.h"

#include <cstring>

namespace qvr_test {
namespace {

using winsim::TraceArgument;
using winsim::TraceRecord;

constexpr UINT64 kFilterId = 77;
constexpr UINT32 kDiscardModule = FWPS_DISCARD_MODULE_TRANSPORT;
constexpr UINT32 kDiscardReason = 5;
constexpr UINT64 kDiscardFilterId = 0x1234567890ull;

// The driver loaded for its trace provider, with a session that hears everything.
class ClassifyTraceTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        filter_.filterId = kFilterId;
        classifyOut_.actionType = FWP_ACTION_PERMIT;
        classifyOut_.rights = FWPS_RIGHT_ACTION_WRITE;
        session_.Clear();
    }

    // Values as WFP fills them at the layer, with an original application id where the
    // layer has one, so that the two names differ.
    static IncomingValues ValuesAt(UINT16 layerId)
    {
        IncomingValues values(Row(layerId));
        if (Row(layerId).originalAppId != kNone) {
            values.SetText(Row(layerId).originalAppId, kOriginalAppPath);
        }
        return values;
    }

    winsim::TraceSession session_{kDriverTraceGuid, kTraceDriver | kTraceRules, TRACE_LEVEL_VERBOSE};
    FWPS_FILTER1 filter_{};
    FWPS_CLASSIFY_OUT0 classifyOut_{};
};

// What a record's argument says, in one comparable form.
std::string Arg(const TraceArgument &argument)
{
    switch (argument.kind) {
    case TraceArgument::Kind::Text: return argument.text;
    case TraceArgument::Kind::Bytes: return std::string(argument.bytes.begin(), argument.bytes.end());
    default:
        return argument.isSigned ? std::to_string(static_cast<std::int64_t>(argument.value))
                                 : std::to_string(argument.value);
    }
}

std::vector<std::string> Args(const TraceRecord &record)
{
    std::vector<std::string> args;
    for (const TraceArgument &argument : record.arguments) {
        args.push_back(Arg(argument));
    }
    return args;
}

std::string N(std::uint64_t value) { return std::to_string(value); }
std::string Bytes16(const UCHAR (&bytes)[16]) { return std::string(bytes, bytes + 16); }
std::string NetworkOrder(UINT32 hostOrder) { return N(RtlUlongByteSwap(hostOrder)); }

struct LayerNameCase {
    UINT16 layerId;
    const char *name;
};

TEST(LayerNameTest, NamesTheTableAndNothingElse)
{
    const LayerNameCase cases[] = {
        {12, "FWPS_LAYER_INBOUND_TRANSPORT_V4"},
        {13, "FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD"},
        {14, "FWPS_LAYER_INBOUND_TRANSPORT_V6"},
        {15, "FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD"},
        {16, "FWPS_LAYER_OUTBOUND_TRANSPORT_V4"},
        {17, "FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD"},
        {18, "FWPS_LAYER_OUTBOUND_TRANSPORT_V6"},
        {19, "FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD"},
        {45, "FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD"},
        {47, "FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD"},
        {48, "FWPS_LAYER_ALE_AUTH_CONNECT_V4"},
        {49, "FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD"},
        {50, "FWPS_LAYER_ALE_AUTH_CONNECT_V6"},
        {51, "FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD"},
        {66, "FWPS_LAYER_ALE_CONNECT_REDIRECT_V4"},
        {67, "FWPS_LAYER_ALE_CONNECT_REDIRECT_V6"},
        // The receive-accept layers themselves have no row; nor has anything around the table.
        {44, "UNKNOWN"}, {46, "UNKNOWN"}, {0, "UNKNOWN"}, {11, "UNKNOWN"}, {20, "UNKNOWN"},
        {43, "UNKNOWN"}, {52, "UNKNOWN"}, {65, "UNKNOWN"}, {68, "UNKNOWN"}, {0xFFFF, "UNKNOWN"},
    };
    for (const LayerNameCase &c : cases) {
        EXPECT_STREQ(GetLayerName(c.layerId), c.name) << c.layerId;
    }
    // Every id the header's enumeration names after its FWPS_LAYER_ text is named exactly so.
    EXPECT_STREQ(GetLayerName(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6), "FWPS_LAYER_ALE_CONNECT_REDIRECT_V6");
}

struct ClassifyCase {
    UINT16 layerId;
    const char *effectiveName;  // field 9
    const char *appName;        // field 10
    UINT32 interfaceIndex;
    UINT32 subInterfaceIndex;
};

// Fields 1 to 16 in their stated order for each family; the connect-redirect layers have no
// interface indexes and write 0, the receive-accept layers have no original application id.
TEST_F(ClassifyTraceTest, ClassifyRecordCarriesItsFieldsInOrder)
{
    const ClassifyCase cases[] = {
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, "svchost.exe", "browser.exe", 0, 0},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, "svchost.exe", "browser.exe", 0, 0},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V4, "svchost.exe", "browser.exe", kInterfaceIndex, kSubInterfaceIndex},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V6, "svchost.exe", "browser.exe", kInterfaceIndex, kSubInterfaceIndex},
        {FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, "browser.exe", "browser.exe", kInterfaceIndex, kSubInterfaceIndex},
        {FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6, "browser.exe", "browser.exe", kInterfaceIndex, kSubInterfaceIndex},
    };
    for (const ClassifyCase &c : cases) {
        SCOPED_TRACE(GetLayerName(c.layerId) + std::string(" (") + N(c.layerId) + ")");
        session_.Clear();
        IncomingValues values = ValuesAt(c.layerId);
        TraceClassifyParameters(values.Get(), &filter_, &classifyOut_, "SomeClassifyFn");

        std::vector<TraceRecord> records = session_.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, TRACE_LEVEL_VERBOSE);
        EXPECT_EQ(records[0].flag, kTraceDriver);
        std::vector<std::string> expected = {
            "SomeClassifyFn", GetLayerName(c.layerId), N(kFilterId), N(FWP_ACTION_PERMIT),
            N(FWPS_RIGHT_ACTION_WRITE), N(kFlags), N(c.interfaceIndex), N(c.subInterfaceIndex),
            c.effectiveName, c.appName};
        if (Row(c.layerId).family == AF_INET) {
            expected.insert(expected.end(),
                            {NetworkOrder(kLocalV4), N(kLocalPort), NetworkOrder(kRemoteV4), N(kRemotePort)});
        } else {
            expected.insert(expected.end(),
                            {Bytes16(kLocalV6), N(kLocalPort), "0", Bytes16(kRemoteV6), N(kRemotePort), "0"});
        }
        EXPECT_EQ(Args(records[0]), expected);
    }
}

// The record as a trace reader sees it, one per family.
TEST_F(ClassifyTraceTest, ClassifyRecordReadsAsText)
{
    IncomingValues v4 = ValuesAt(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
    IncomingValues v6 = ValuesAt(FWPS_LAYER_ALE_AUTH_CONNECT_V6);
    TraceClassifyParameters(v4.Get(), &filter_, &classifyOut_, "AleConnectRedirectClassifyFn");
    TraceClassifyParameters(v6.Get(), &filter_, &classifyOut_, "AleAuthConnectClassifyFnBlockQUIC");

    std::vector<TraceRecord> records = session_.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message,
              "AleConnectRedirectClassifyFn: FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 filter 77 action 0x1002 rights 0x1 "
              "flags 0x100004 interface 0.0 app svchost.exe (browser.exe) 10.0.0.5:49152 -> 203.0.113.7:443");
    EXPECT_EQ(records[1].message,
              "AleAuthConnectClassifyFnBlockQUIC: FWPS_LAYER_ALE_AUTH_CONNECT_V6 filter 77 action 0x1002 rights 0x1 "
              "flags 0x100004 interface 7.9 app svchost.exe (browser.exe) "
              "[2001:db8::5]:49152 scope 0 -> [2001:db8::7]:443 scope 0");
}

TEST_F(ClassifyTraceTest, DiscardRecordCarriesItsFieldsInOrder)
{
    for (UINT16 layerId : {FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD, FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD,
                           FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD, FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD}) {
        SCOPED_TRACE(GetLayerName(layerId));
        session_.Clear();
        IncomingValues values = ValuesAt(layerId);
        TraceDiscard(values.Get(), &filter_, kDiscardModule, kDiscardReason, kDiscardFilterId);

        std::vector<TraceRecord> records = session_.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, TRACE_LEVEL_VERBOSE);
        EXPECT_EQ(records[0].flag, kTraceDriver);
        std::vector<std::string> expected = {GetLayerName(layerId), N(kFilterId),        N(kFlags),
                                             N(kInterfaceIndex),    N(kSubInterfaceIndex), N(kDiscardModule),
                                             N(kDiscardReason),     N(kDiscardFilterId)};
        if (Row(layerId).family == AF_INET) {
            expected.insert(expected.end(),
                            {NetworkOrder(kLocalV4), N(kLocalPort), NetworkOrder(kRemoteV4), N(kRemotePort)});
        } else {
            expected.insert(expected.end(),
                            {Bytes16(kLocalV6), N(kLocalPort), "0", Bytes16(kRemoteV6), N(kRemotePort), "0"});
        }
        EXPECT_EQ(Args(records[0]), expected);
    }
}

// What is written besides (or instead of) the record. Each case breaks the values at a
// connect-redirect or transport layer one way and lists the points expected, in order,
// as level and arguments; "record" stands for the verbose record itself.
struct DegradedCase {
    const char *what;
    UINT16 layerId;
    void (*breakValues)(IncomingValues &values);
    bool discard;
    std::vector<std::pair<UCHAR, std::vector<std::string>>> points;  // level, arguments ("record": any)
};

const std::vector<std::string> kRecord = {"record"};

std::vector<DegradedCase> DegradedCases()
{
    const std::string status = std::to_string(STATUS_INVALID_PARAMETER);
    return {
        {"mixed families: one error point with the name, no record", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
         [](IncomingValues &v) { v.SetBytes16(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, kRemoteV6); },
         false, {{TRACE_LEVEL_ERROR, {"Fn"}}}},
        {"mixed families in a discard: one error point without arguments", FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD,
         [](IncomingValues &v) { v.SetUint32(FWPS_FIELD_INBOUND_TRANSPORT_V6_IP_LOCAL_ADDRESS, kLocalV4); }, true,
         {{TRACE_LEVEL_ERROR, {}}}},
        {"no flags: the accessor's error, a warning with name and status, the record with flags 0",
         FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
         [](IncomingValues &v) { v.Truncate(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS); }, false,
         {{TRACE_LEVEL_ERROR, {"GetConditionFlags", N(9), N(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4)}},
          {TRACE_LEVEL_WARNING, {"Fn", status}},
          {TRACE_LEVEL_VERBOSE, kRecord}}},
        {"no flags in a discard: the warning carries the status only", FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD,
         [](IncomingValues &v) { v.Truncate(FWPS_FIELD_INBOUND_TRANSPORT_V4_FLAGS); }, true,
         {{TRACE_LEVEL_ERROR, {"GetConditionFlags", N(9), N(FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD)}},
          {TRACE_LEVEL_WARNING, {status}},
          {TRACE_LEVEL_VERBOSE, kRecord}}},
        {"an unreadable remote address: a warning, then the families differ", FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
         [](IncomingValues &v) { v.SetEmpty(FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_ADDRESS); }, false,
         {{TRACE_LEVEL_ERROR, {"%!FUNC!: field %u of layer %u has type %u"}},
          {TRACE_LEVEL_WARNING, {"Fn", std::to_string(STATUS_UNSUCCESSFUL)}},
          {TRACE_LEVEL_ERROR, {"Fn"}}}},
    };
}

TEST_F(ClassifyTraceTest, DegradedValuesWriteWhatTheyShould)
{
    for (const DegradedCase &c : DegradedCases()) {
        SCOPED_TRACE(c.what);
        session_.Clear();
        IncomingValues values = ValuesAt(c.layerId);
        c.breakValues(values);
        if (c.discard) {
            TraceDiscard(values.Get(), &filter_, kDiscardModule, kDiscardReason, kDiscardFilterId);
        } else {
            TraceClassifyParameters(values.Get(), &filter_, &classifyOut_, "Fn");
        }
        std::vector<TraceRecord> records = session_.Records();
        ASSERT_EQ(records.size(), c.points.size());
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].level, c.points[i].first) << records[i].message;
            const std::vector<std::string> &args = c.points[i].second;
            if (args == kRecord) {
                EXPECT_EQ(records[i].arguments.size(), c.discard ? 12u : 14u) << records[i].message;
            } else if (args.size() == 1 && args[0].find('%') != std::string::npos) {
                EXPECT_EQ(records[i].format, args[0]);
            } else {
                EXPECT_EQ(Args(records[i]), args) << records[i].message;
            }
        }
        if (!records.empty() && c.points.back().second == kRecord && !c.discard) {
            EXPECT_EQ(Arg(records.back().arguments[5]), "0") << "flags that were not read are written as 0";
        }
    }
}

// No application id: both names are empty texts; a null name is written as "NULL".
TEST_F(ClassifyTraceTest, MissingNamesAreEmptyAndANullNameIsNull)
{
    IncomingValues values = ValuesAt(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
    values.SetEmpty(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID);
    values.SetEmpty(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_ORIGINAL_APP_ID);
    TraceClassifyParameters(values.Get(), &filter_, &classifyOut_, nullptr);

    std::vector<TraceRecord> records = session_.Records();
    ASSERT_EQ(records.size(), 1u);
    std::vector<std::string> args = Args(records[0]);
    ASSERT_EQ(args.size(), 14u);
    EXPECT_EQ(args[0], "NULL");
    EXPECT_EQ(args[8], "");
    EXPECT_EQ(args[9], "");
}

// Level 4 hears the collection's warnings but no per-connection record; flag 0x1 alone hears
// none of it.
TEST_F(ClassifyTraceTest, SessionLevelAndFlagSelectThePoints)
{
    IncomingValues values = ValuesAt(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
    values.Truncate(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS);

    session_.Enable(kTraceDriver | kTraceRules, TRACE_LEVEL_INFORMATION);
    TraceClassifyParameters(values.Get(), &filter_, &classifyOut_, "Fn");
    TraceDiscard(values.Get(), &filter_, kDiscardModule, kDiscardReason, kDiscardFilterId);
    std::vector<TraceRecord> records = session_.Records();
    ASSERT_EQ(records.size(), 4u);  // per call: the accessor's error and the warning
    for (const TraceRecord &record : records) {
        EXPECT_LT(record.level, TRACE_LEVEL_VERBOSE) << record.message;
    }
    EXPECT_EQ(records[1].level, TRACE_LEVEL_WARNING);
    EXPECT_EQ(records[3].level, TRACE_LEVEL_WARNING);

    session_.Clear();
    session_.Enable(kTraceRules, TRACE_LEVEL_VERBOSE);
    TraceClassifyParameters(values.Get(), &filter_, &classifyOut_, "Fn");
    TraceDiscard(values.Get(), &filter_, kDiscardModule, kDiscardReason, kDiscardFilterId);
    EXPECT_TRUE(session_.Records().empty());
}

}  // namespace
}  // namespace qvr_test
