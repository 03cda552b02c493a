// What the connect-redirect classify leaves in classifyOut, situation by situation. A probe
// callout registered under test keys calls the driver's classify function and records the
// classify result it returned, so every outcome is observed in a real classify of winsim's
// network stack (the filters carry the proxy's blob as the driver's own filters do).
// Situations the stack cannot produce (unreadable flags, no process id) call the classify
// function directly with values built here.

#include "redirect_fixture.h"

#include <fwpsk.h>
#include <winsim/trace_session.h>

#include "driver/redirect/connect_redirect.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace redirect_test {
namespace {

using winsim::network::Outcome;

const GUID kProbeV4 = {0x1b7e0c11, 0x2d44, 0x4e61, {0x9a, 0x10, 0x55, 0x31, 0x0c, 0x7e, 0x42, 0x01}};
const GUID kProbeV6 = {0x1b7e0c11, 0x2d44, 0x4e61, {0x9a, 0x10, 0x55, 0x31, 0x0c, 0x7e, 0x42, 0x02}};
const GUID kHolderV4 = {0x1b7e0c11, 0x2d44, 0x4e61, {0x9a, 0x10, 0x55, 0x31, 0x0c, 0x7e, 0x42, 0x03}};
const GUID kTopSubLayer = {0x1b7e0c11, 0x2d44, 0x4e61, {0x9a, 0x10, 0x55, 0x31, 0x0c, 0x7e, 0x42, 0x04}};
const GUID kHolderProvider = {0x1b7e0c11, 0x2d44, 0x4e61, {0x9a, 0x10, 0x55, 0x31, 0x0c, 0x7e, 0x42, 0x05}};

// The probe callouts register under a device object of their own (the filter engine does
// not look inside it).
void *ProbeDevice()
{
    static int device;
    return &device;
}

struct Observed {
    FWP_ACTION_TYPE action;
    UINT32 rights;
    UINT32 flags;  // the layer's FLAGS value
};

std::mutex observedLock;
std::vector<Observed> observed;

UINT32 FlagsOf(const FWPS_INCOMING_VALUES0 *values)
{
    return values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS].value.uint32;
}

// How a pended classify of a test callout rewrites the connection before completing it.
enum class Rewrite {
    None,           // unchanged
    OwnLocalProxy,  // to a local proxy of its own (127.0.0.1:7070, its redirect handle)
    Elsewhere,      // to another remote address, not a local redirect
};

HANDLE holderRedirectHandle = nullptr;
std::vector<std::thread> holderThreads;

// Pends the classify and, on another thread, rewrites the connection as asked and completes
// it: with "continue" (the rest of the layer then sees a reauthorization), or with NULL (the
// whole layer is classified again as a reauthorization).
void PendRewriteAndComplete(const void *context, const FWPS_FILTER1 *filter, FWPS_CLASSIFY_OUT0 *out, Rewrite rewrite,
                            bool completeWithNull)
{
    UINT64 handle = 0;
    ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(context), 0, &handle), STATUS_SUCCESS);
    FWPS_CLASSIFY_OUT0 saved = *out;
    saved.actionType = FWP_ACTION_CONTINUE;
    ASSERT_EQ(FwpsPendClassify0(handle, filter->filterId, 0, out), STATUS_SUCCESS);
    out->actionType = FWP_ACTION_BLOCK;
    out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    const UINT64 filterId = filter->filterId;
    holderThreads.emplace_back([handle, saved, filterId, rewrite, completeWithNull] {
        if (rewrite != Rewrite::None) {
            void *data = nullptr;
            FWPS_CLASSIFY_OUT0 scratch = saved;  // takes the acquisition's BLOCK; the verdict stays "continue"
            ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(handle, filterId, 0, &data, &scratch), STATUS_SUCCESS);
            auto *request = static_cast<FWPS_CONNECT_REQUEST0 *>(data);
            request->remoteAddressAndPort.ss_family = AF_INET;
            UINT8 *remote = reinterpret_cast<UINT8 *>(&request->remoteAddressAndPort);
            const bool local = rewrite == Rewrite::OwnLocalProxy;
            const UINT8 address[6] = {local ? UINT8(0x1B) : UINT8(0x20), local ? UINT8(0x9E) : UINT8(0xFB),
                                      local ? UINT8(127) : UINT8(198),   local ? UINT8(0) : UINT8(51),
                                      local ? UINT8(0) : UINT8(100),     local ? UINT8(1) : UINT8(9)};
            std::copy(address, address + 6, remote + 2);  // port 7070 at 127.0.0.1, or 8443 at 198.51.100.9
            if (local) {
                request->localRedirectTargetPID = 4242;
                request->localRedirectHandle = holderRedirectHandle;
            }
            FwpsApplyModifiedLayerData0(handle, data, FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS);
        }
        FwpsCompleteClassify0(handle, 0, completeWithNull ? nullptr : &saved);
        FwpsReleaseClassifyHandle0(handle);
    });
}

// When set, the probe's first classify does not reach the driver: the probe rewrites the
// connection itself (a version made under the probe's own filter, with no redirect handle)
// and has the layer classified again.
std::atomic<bool> probeRewritesFirst{false};

void NTAPI ProbeClassify(const FWPS_INCOMING_VALUES0 *values, const FWPS_INCOMING_METADATA_VALUES0 *meta, void *data,
                         const void *context, const FWPS_FILTER1 *filter, UINT64 flow, FWPS_CLASSIFY_OUT0 *out)
{
    if ((FlagsOf(values) & FWP_CONDITION_FLAG_IS_REAUTHORIZE) == 0 && probeRewritesFirst.exchange(false)) {
        PendRewriteAndComplete(context, filter, out, Rewrite::Elsewhere, true);
        return;
    }
    AleConnectRedirectClassifyFn(values, meta, data, context, filter, flow, out);
    std::lock_guard<std::mutex> lock(observedLock);
    observed.push_back({out->actionType, out->rights, FlagsOf(values)});
}

NTSTATUS NTAPI ProbeNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *) { return STATUS_SUCCESS; }

// A higher-priority callout that pends every classify and completes it from another thread
// with "continue", after rewriting the connection as holderRewrite says (elsewhere: the
// first time only).
std::atomic<Rewrite> holderRewrite{Rewrite::None};

void NTAPI HolderClassify(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, void *,
                          const void *context, const FWPS_FILTER1 *filter, UINT64, FWPS_CLASSIFY_OUT0 *out)
{
    if ((out->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        return;
    }
    Rewrite rewrite = holderRewrite;
    if (rewrite == Rewrite::Elsewhere) {
        holderRewrite = Rewrite::None;  // only once: it does not fight the driver's redirect
    }
    PendRewriteAndComplete(context, filter, out, rewrite, false);
}

class ConnectRedirectOutcomeTest : public RedirectTest {
protected:
    void SetUp() override
    {
        RedirectTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(observedLock);
            observed.clear();
        }
        for (const GUID *key : {&kProbeV4, &kProbeV6}) {
            FWPS_CALLOUT1 callout = {};
            callout.calloutKey = *key;
            callout.classifyFn = ProbeClassify;
            callout.notifyFn = ProbeNotify;
            ASSERT_EQ(FwpsCalloutRegister1(ProbeDevice(), &callout, nullptr), STATUS_SUCCESS);
        }
        ASSERT_EQ(filters_.AddCallout(kProbeV4, FWPM_LAYER_ALE_CONNECT_REDIRECT_V4), (DWORD)ERROR_SUCCESS);
        ASSERT_EQ(filters_.AddCallout(kProbeV6, FWPM_LAYER_ALE_CONNECT_REDIRECT_V6), (DWORD)ERROR_SUCCESS);
        browser_ = StartProcess(kBrowserImage);
        editor_ = StartProcess(kEditorImage);
        InterceptOnly(u"webbrowser.exe");
    }

    void TearDown() override
    {
        winsim::network::Drain();
        for (std::thread &thread : holderThreads) {
            thread.join();
        }
        holderThreads.clear();
        probeRewritesFirst = false;
        winsim::network::Drain();
        FwpsCalloutUnregisterByKey0(&kProbeV4);
        FwpsCalloutUnregisterByKey0(&kProbeV6);
        if (holderRegistered_) {
            FwpsCalloutUnregisterByKey0(&kHolderV4);
        }
        if (holderRedirectHandle != nullptr) {
            FwpsRedirectHandleDestroy0(holderRedirectHandle);
            holderRedirectHandle = nullptr;
        }
        RedirectTest::TearDown();
    }

    qvr::agent::RedirectFilterOptions Probe(bool clearActionRight = false)
    {
        qvr::agent::RedirectFilterOptions options;
        options.calloutV4 = kProbeV4;
        options.calloutV6 = kProbeV6;
        options.clearActionRight = clearActionRight;
        return options;
    }

    void AddProbeFilters(bool ask = false, bool clearActionRight = false)
    {
        ASSERT_EQ(filters_.AddTarget(ProxyTarget(ask), Probe(clearActionRight)), (DWORD)ERROR_SUCCESS);
    }

    // A sublayer above the agent's with one filter at the IPv4 connect-redirect layer.
    void AddTopFilter(FWP_ACTION_TYPE action, const GUID *callout, UINT32 flags)
    {
        FWPM_SUBLAYER0 subLayer = {};
        subLayer.subLayerKey = kTopSubLayer;
        subLayer.displayData.name = const_cast<WCHAR *>(reinterpret_cast<const WCHAR *>(u"top"));
        subLayer.weight = 0xF000;
        ASSERT_EQ(FwpmSubLayerAdd0(filters_.Engine(), &subLayer, nullptr), (DWORD)ERROR_SUCCESS);
        FWPM_FILTER0 filter = {};
        filter.displayData.name = const_cast<WCHAR *>(reinterpret_cast<const WCHAR *>(u"top"));
        filter.layerKey = FWPM_LAYER_ALE_CONNECT_REDIRECT_V4;
        filter.subLayerKey = kTopSubLayer;
        filter.action.type = action;
        if (callout != nullptr) {
            filter.action.calloutKey = *callout;
        }
        filter.flags = flags;
        ASSERT_EQ(FwpmFilterAdd0(filters_.Engine(), &filter, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
    }

    void RegisterHolder(bool redirects) { RegisterHolder(redirects ? Rewrite::OwnLocalProxy : Rewrite::None); }

    void RegisterHolder(Rewrite rewrite)
    {
        FWPS_CALLOUT1 callout = {};
        callout.calloutKey = kHolderV4;
        callout.classifyFn = HolderClassify;
        callout.notifyFn = ProbeNotify;
        ASSERT_EQ(FwpsCalloutRegister1(ProbeDevice(), &callout, nullptr), STATUS_SUCCESS);
        holderRegistered_ = true;
        holderRewrite = rewrite;
        ASSERT_EQ(FwpsRedirectHandleCreate0(&kHolderProvider, 0, &holderRedirectHandle), STATUS_SUCCESS);
        ASSERT_EQ(filters_.AddCallout(kHolderV4, FWPM_LAYER_ALE_CONNECT_REDIRECT_V4), (DWORD)ERROR_SUCCESS);
        AddTopFilter(FWP_ACTION_CALLOUT_UNKNOWN, &kHolderV4, 0);
    }

    std::vector<Observed> Seen()
    {
        winsim::network::Drain();
        std::lock_guard<std::mutex> lock(observedLock);
        return observed;
    }

    std::uint64_t browser_ = 0;
    std::uint64_t editor_ = 0;
    bool holderRegistered_ = false;
};

// The immediate situations, one connection each.
TEST_F(ConnectRedirectOutcomeTest, ClassifyOutcomeBySituation)
{
    enum class Setup { Plain, Blob9, Blob11, ClearRight, Ask, FailWorkItem, FailPend, FailHandle, FailWritable };
    struct Case {
        const char *name;
        Setup setup;
        bool browser;            // the covered process connects (else the uncovered one)
        std::uint8_t protocol;
        const char *remote;
        FWP_ACTION_TYPE action;
        UINT32 rights;
        bool redirected;
    } cases[] = {
        {"not TCP", Setup::Plain, true, 17, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"local destination", Setup::Plain, true, 6, "127.0.0.5:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"blob of 9 bytes", Setup::Blob9, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"blob of 11 bytes", Setup::Blob11, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"policy says no", Setup::Plain, false, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"immediate redirect", Setup::Plain, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, true},
        {"immediate redirect, clear-right filter", Setup::ClearRight, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE,
         FWPS_RIGHT_ACTION_WRITE, true},
        {"pended redirect", Setup::Ask, true, 6, "203.0.113.7:443", FWP_ACTION_BLOCK, 0, true},
        {"work item cannot be allocated", Setup::FailWorkItem, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE,
         FWPS_RIGHT_ACTION_WRITE, false},
        {"pend refused", Setup::FailPend, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE, FWPS_RIGHT_ACTION_WRITE, false},
        {"no classify handle", Setup::FailHandle, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE,
         FWPS_RIGHT_ACTION_WRITE, false},
        {"no writable layer data", Setup::FailWritable, true, 6, "203.0.113.7:443", FWP_ACTION_CONTINUE,
         FWPS_RIGHT_ACTION_WRITE, false},
    };
    StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint64_t> ids;
        switch (c.setup) {
        case Setup::Blob9:
            ASSERT_EQ(filters_.AddRawBlob(std::vector<std::uint8_t>(9, 1), Probe(), &ids), (DWORD)ERROR_SUCCESS);
            break;
        case Setup::Blob11:
            ASSERT_EQ(filters_.AddRawBlob(std::vector<std::uint8_t>(11, 1), Probe(), &ids), (DWORD)ERROR_SUCCESS);
            break;
        default:
            ASSERT_EQ(filters_.AddTarget(ProxyTarget(c.setup != Setup::Plain && c.setup != Setup::ClearRight &&
                                                     c.setup != Setup::FailHandle && c.setup != Setup::FailWritable),
                                         Probe(c.setup == Setup::ClearRight), &ids),
                      (DWORD)ERROR_SUCCESS);
            break;
        }
        switch (c.setup) {
        case Setup::FailWorkItem: winsim::faults::FailCall("IoAllocateWorkItem", STATUS_NO_MEMORY); break;
        case Setup::FailPend: winsim::faults::FailCall("FwpsPendClassify0", STATUS_FWP_CANNOT_PEND); break;
        case Setup::FailHandle: winsim::faults::FailCall("FwpsAcquireClassifyHandle0", STATUS_NO_MEMORY); break;
        case Setup::FailWritable:
            winsim::faults::FailCall("FwpsAcquireWritableLayerDataPointer0", STATUS_FWP_IN_USE);
            break;
        default: break;
        }
        {
            std::lock_guard<std::mutex> lock(observedLock);
            observed.clear();
        }
        winsim::network::Connection connection = Connect(c.browser ? browser_ : editor_, c.remote, nullptr, c.protocol);
        connection.WaitSettled();
        winsim::faults::Clear();
        std::vector<Observed> seen = Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].action, c.action);
        EXPECT_EQ(seen[0].rights, c.rights);
        EXPECT_EQ(connection.Redirected(), c.redirected);
        while (proxy_.Accept()) {
        }
        connection.Close();
        for (std::uint64_t id : ids) {
            ASSERT_EQ(filters_.RemoveFilter(id), (DWORD)ERROR_SUCCESS);
        }
    }
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
    EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
}

TEST_F(ConnectRedirectOutcomeTest, MalformedBlobIsTracedAsCritical)
{
    winsim::TraceSession trace(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_CRITICAL);
    ASSERT_EQ(filters_.AddRawBlob(std::vector<std::uint8_t>(9, 1), Probe()), (DWORD)ERROR_SUCCESS);
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    EXPECT_FALSE(connection.Redirected());
    std::vector<winsim::TraceRecord> records = trace.Matching("target blob");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, TRACE_LEVEL_CRITICAL);
    EXPECT_NE(records[0].message.find("STATUS_INVALID_PARAMETER"), std::string::npos);
}

TEST_F(ConnectRedirectOutcomeTest, NoWriteRightLeavesClassifyOutUntouched)
{
    AddTopFilter(FWP_ACTION_PERMIT, nullptr, FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT);
    AddProbeFilters();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    std::vector<Observed> seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].action, FWP_ACTION_NONE);
    EXPECT_EQ(seen[0].rights, 0u);
    EXPECT_FALSE(connection.Redirected());
}

// The proxy's connection onwards (redirected by self) is permitted; a filter that clears
// the action right makes the permit hard.
TEST_F(ConnectRedirectOutcomeTest, RedirectedBySelfIsPermitted)
{
    AddProbeFilters();
    winsim::network::Connection inbound = Connect(browser_, "203.0.113.7:443");
    std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
    ASSERT_TRUE(accepted.has_value());
    filters_.Close();
    ASSERT_EQ(filters_.Open(), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(filters_.AddCallout(kProbeV4, FWPM_LAYER_ALE_CONNECT_REDIRECT_V4), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(filters_.AddCallout(kProbeV6, FWPM_LAYER_ALE_CONNECT_REDIRECT_V6), (DWORD)ERROR_SUCCESS);

    for (bool clear : {false, true}) {
        SCOPED_TRACE(clear ? "clear action right" : "soft permit");
        std::vector<std::uint64_t> ids;
        ASSERT_EQ(filters_.AddTarget(ProxyTarget(), Probe(clear), &ids), (DWORD)ERROR_SUCCESS);
        {
            std::lock_guard<std::mutex> lock(observedLock);
            observed.clear();
        }
        winsim::network::Connection onward = proxy_.ConnectOnward(*accepted);
        std::vector<Observed> seen = Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].action, FWP_ACTION_PERMIT);
        EXPECT_EQ(seen[0].rights, clear ? 0u : FWPS_RIGHT_ACTION_WRITE);
        EXPECT_FALSE(onward.Redirected());
        onward.Close();
        for (std::uint64_t id : ids) {
            ASSERT_EQ(filters_.RemoveFilter(id), (DWORD)ERROR_SUCCESS);
        }
    }
}

// A higher callout pends and completes without changing the request: WFP then classifies
// the rest of the layer as a reauthorization that has no previous version. The driver
// treats it as the first classify it is for this connection and redirects.
TEST_F(ConnectRedirectOutcomeTest, ReauthorizationWithoutPreviousVersionRedirects)
{
    RegisterHolder(false);
    AddProbeFilters();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    std::vector<Observed> seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(seen[0].action, FWP_ACTION_CONTINUE);
    EXPECT_TRUE(connection.Redirected());
    EXPECT_EQ(connection.Remote(), Ep("127.0.0.1:8080"));
}

// A higher callout redirected the connection to a local proxy of its own: the driver's
// reauthorization permits it as it stands and takes the write right back.
TEST_F(ConnectRedirectOutcomeTest, ReauthorizationOfAnotherLocalRedirectIsPermitted)
{
    RegisterHolder(true);
    AddProbeFilters();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    connection.WaitSettled();
    std::vector<Observed> seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(seen[0].action, FWP_ACTION_PERMIT);
    EXPECT_EQ(seen[0].rights, FWPS_RIGHT_ACTION_WRITE);
    EXPECT_EQ(connection.Remote(), Ep("127.0.0.1:7070"));
    EXPECT_EQ(connection.RedirectTargetProcessId(), 4242u);
}

// A higher callout sent the connection elsewhere without a local redirect: modified by
// another filter, not redirected by anyone, so the driver's reauthorization redirects it.
TEST_F(ConnectRedirectOutcomeTest, ReauthorizationOfAConnectionModifiedByAnotherFilterRedirects)
{
    RegisterHolder(Rewrite::Elsewhere);
    AddProbeFilters();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    std::vector<Observed> seen = Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen[0].flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(seen[0].action, FWP_ACTION_CONTINUE);
    // The holder asked to hear of later changes: the driver's redirect reauthorizes the
    // connection again, and then it is the driver's own version.
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].action, FWP_ACTION_PERMIT) << "classify " << i;
    }
    EXPECT_TRUE(connection.Redirected());
    EXPECT_EQ(connection.Remote(), Ep("127.0.0.1:8080"));
}

// The newest version of the request was made under the driver's own filter (here with no
// redirect handle): its reauthorization permits the connection as it stands.
TEST_F(ConnectRedirectOutcomeTest, ReauthorizationOfAVersionMadeUnderTheOwnFilterIsPermitted)
{
    probeRewritesFirst = true;
    AddProbeFilters();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    std::vector<Observed> seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(seen[0].action, FWP_ACTION_PERMIT);
    EXPECT_EQ(seen[0].rights, FWPS_RIGHT_ACTION_WRITE);
    EXPECT_EQ(connection.Remote(), Ep("198.51.100.9:8443"));
}

// Values the network stack never produces, through the classify function itself: the
// classify result stays as the outcome table says, and nothing is acquired.
TEST_F(ConnectRedirectOutcomeTest, DirectClassifyRefusals)
{
    std::vector<std::uint8_t> blob = qvr::agent::BuildRedirectTargetBlob(ProxyTarget());
    FWP_BYTE_BLOB data = {static_cast<UINT32>(blob.size()), blob.data()};
    FWPM_PROVIDER_CONTEXT1 providerContext = {};
    providerContext.type = FWPM_GENERAL_CONTEXT;
    providerContext.dataBuffer = &data;
    FWPS_FILTER1 filter = {};
    filter.filterId = 77;
    filter.providerContext = &providerContext;

    FWPS_INCOMING_VALUE0 values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX] = {};
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL].value.type = FWP_UINT8;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL].value.uint8 = 6;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS].value.type = FWP_UINT32;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS].value.type = FWP_UINT32;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS].value.uint32 = 0x0A000005;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS].value.type = FWP_UINT32;
    values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS].value.uint32 = 0xCB007107;
    FWPS_INCOMING_METADATA_VALUES0 meta = {};

    struct Case {
        const char *name;
        UINT16 layerId;
        UINT32 valueCount;
        UINT32 metadata;
        UINT64 processId;
        FWP_ACTION_TYPE action;
    } cases[] = {
        {"flags unreadable", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 0, FWPS_METADATA_FIELD_PROCESS_ID, browser_,
         FWP_ACTION_NONE},
        {"layer without value rows (MAC frame)", FWPS_LAYER_INBOUND_MAC_FRAME_ETHERNET,
         FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX, FWPS_METADATA_FIELD_PROCESS_ID,
         browser_, FWP_ACTION_NONE},
        {"no process id", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX, 0, browser_,
         FWP_ACTION_CONTINUE},
        {"process id 4", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX,
         FWPS_METADATA_FIELD_PROCESS_ID, 4, FWP_ACTION_CONTINUE},
        {"process id 0", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX,
         FWPS_METADATA_FIELD_PROCESS_ID, 0, FWP_ACTION_CONTINUE},
        {"the target process", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX,
         FWPS_METADATA_FIELD_PROCESS_ID, proxy_.ProcessId(), FWP_ACTION_CONTINUE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FWPS_INCOMING_VALUES0 fixed = {c.layerId, c.valueCount, values};
        meta.currentMetadataValues = c.metadata;
        meta.processId = c.processId;
        FWPS_CLASSIFY_OUT0 out = {};
        out.actionType = FWP_ACTION_NONE;
        out.rights = FWPS_RIGHT_ACTION_WRITE;
        AleConnectRedirectClassifyFn(&fixed, &meta, nullptr, nullptr, &filter, 0, &out);
        EXPECT_EQ(out.actionType, c.action);
        EXPECT_EQ(out.rights, FWPS_RIGHT_ACTION_WRITE);
    }
    // The layer without value rows fails on its flags: the classify's status is traced, nothing held.
    EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
}

}  // namespace
}  // namespace redirect_test
