/*
 * wfp_redirect_test.cpp
 *
 * Connect redirection through the stand-in, with a test callout doing what a local-proxy
 * redirector does: the connection reaches the listener of the target process, the
 * listener reads the context the callout attached, the proxy's own connection carrying
 * the records is seen as redirected by self, and a pended redirect completes from outside
 * the classify. The version chain of the connect request is checked along the way.
 */
#include "wfp_test_support.h"

#include <winsim/verifier.h>

#include <algorithm>
#include <cstring>

using namespace wfptest;

namespace {

constexpr UINT32 kProxyPid = 2000;
constexpr UINT32 kAppPid = 1000;
constexpr UINT16 kProxyPort = 8080;
const GUID kProviderKey = MakeGuid(0x100);
constexpr ULONG kTestTag = 0x74736554;  // "Test" in memory

struct Redirector {
    HANDLE redirectHandle = nullptr;
    std::vector<FWPS_CONNECTION_REDIRECT_STATE> states;
    std::vector<UINT8> attached;  // the context bytes this callout attached

    Redirector()
    {
        EXPECT_EQ(FwpsRedirectHandleCreate0(&kProviderKey, 0, &redirectHandle), STATUS_SUCCESS);
        const char text[] = "requested 203.0.113.7:443";
        attached.assign(text, text + sizeof(text));
    }
    ~Redirector() { FwpsRedirectHandleDestroy0(redirectHandle); }

    // Rewrites the request to loopback:8080 for the proxy and attaches the context.
    void Rewrite(FWPS_CONNECT_REQUEST0 *request)
    {
        auto *remote = reinterpret_cast<SOCKADDR_IN *>(&request->remoteAddressAndPort);
        remote->sin_addr.s_addr = RtlUlongByteSwap(0x7F000001);
        remote->sin_port = RtlUshortByteSwap(kProxyPort);
        request->localRedirectTargetPID = kProxyPid;
        request->localRedirectHandle = redirectHandle;
        void *context = ExAllocatePoolWithTag(NonPagedPoolNx, attached.size(), kTestTag);
        std::memcpy(context, attached.data(), attached.size());
        request->localRedirectContext = context;
        request->localRedirectContextSize = attached.size();
    }

    // The inline classify of a local-proxy redirector.
    void Classify(const FWPS_INCOMING_METADATA_VALUES0 *meta, const void *classifyContext, const FWPS_FILTER1 *filter,
                  FWPS_CLASSIFY_OUT0 *out)
    {
        if ((out->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
            return;
        }
        if (FWPS_IS_METADATA_FIELD_PRESENT(meta, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)) {
            FWPS_CONNECTION_REDIRECT_STATE state =
                FwpsQueryConnectionRedirectState0(meta->redirectRecords, redirectHandle, nullptr);
            states.push_back(state);
            if (state == FWPS_CONNECTION_REDIRECTED_BY_SELF ||
                state == FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF) {
                out->actionType = FWP_ACTION_PERMIT;
                return;
            }
        }
        UINT64 handle = 0;
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(classifyContext), 0, &handle), STATUS_SUCCESS);
        PVOID data = nullptr;
        ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(handle, filter->filterId, 0, &data, out), STATUS_SUCCESS);
        EXPECT_EQ(out->actionType, (FWP_ACTION_TYPE)FWP_ACTION_BLOCK);  // documented side effect
        EXPECT_EQ(out->rights & FWPS_RIGHT_ACTION_WRITE, 0u);
        auto *request = static_cast<FWPS_CONNECT_REQUEST0 *>(data);
        EXPECT_EQ(request->previousVersion, nullptr);
        Rewrite(request);
        FwpsApplyModifiedLayerData0(handle, data, 0);
        out->actionType = FWP_ACTION_PERMIT;
        FwpsReleaseClassifyHandle0(handle);
    }
};

class RedirectTest : public WfpTest {
protected:
    void SetUp() override
    {
        WfpTest::SetUp();
        ASSERT_EQ(redirect.Register(), STATUS_SUCCESS);
        ASSERT_EQ(auth.Register(), STATUS_SUCCESS);
        FilterSpec redirectTcp443 = CalloutFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, redirect.Key());
        redirectTcp443.protocol = IPPROTO_TCP;
        redirectTcp443.remotePort = 443;
        redirectFilter = service.AddCalloutAndFilter(redirectTcp443);
        FilterSpec authTcp = CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, auth.Key(), FWP_ACTION_CALLOUT_INSPECTION);
        authTcp.protocol = IPPROTO_TCP;
        service.AddCalloutAndFilter(authTcp);
        auth.classify = [this](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                               const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
            authFlags.push_back(v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32);
            authRemotePort = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT].value.uint16;
            authRemoteAddress = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS].value.uint32;
            authMetadata = m->currentMetadataValues;
            authTargetPid = m->localRedirectTargetPID;
            if (FWPS_IS_METADATA_FIELD_PRESENT(m, FWPS_METADATA_FIELD_ORIGINAL_DESTINATION)) {
                auto *original = reinterpret_cast<const SOCKADDR_IN *>(m->originalDestination);
                originalPort = RtlUshortByteSwap(original->sin_port);
            }
            out->actionType = FWP_ACTION_CONTINUE;
        };
        redirect.classify = [this](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *m,
                                   const void *ctx, const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
            redirector.Classify(m, ctx, f, out);
        };
    }

    void TearDown() override
    {
        WfpTest::TearDown();
        EXPECT_EQ(winsim::OutstandingAllocations("Test"), 0u) << "WFP frees the redirect context at flow end";
    }

    // The redirect callout pends each classify, keeping the pended handle and the classify's
    // output for the test to complete it with.
    void PendEveryRedirect(UINT64 *handle, FWPS_CLASSIFY_OUT0 *saved)
    {
        redirect.classify = [handle, saved](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *,
                                            const void *ctx, const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
            ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, handle), STATUS_SUCCESS);
            *saved = *out;
            ASSERT_EQ(FwpsPendClassify0(*handle, f->filterId, 0, out), STATUS_SUCCESS);
            FwpsReleaseClassifyHandle0(*handle);  // the pend holds its own reference
            out->actionType = FWP_ACTION_BLOCK;
            out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        };
    }

    static ConnectRequest AppConnect()
    {
        ConnectRequest r;
        r.processId = kAppPid;
        r.remote = Endpoint::Parse("203.0.113.7:443");
        r.appId = AppPath("browser.exe");
        return r;
    }

    TestCallout redirect{MakeGuid(1)};
    TestCallout auth{MakeGuid(2)};
    Service service;
    Redirector redirector;
    UINT64 redirectFilter = 0;
    std::vector<UINT32> authFlags;
    UINT16 authRemotePort = 0;
    UINT32 authRemoteAddress = 0;
    UINT32 authMetadata = 0;
    DWORD authTargetPid = 0;
    UINT16 originalPort = 0;
};

TEST_F(RedirectTest, ListenerOfTheTargetProcessReadsTheContextTheCalloutAttached)
{
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("0.0.0.0:8080"));
    ASSERT_TRUE(proxy.Valid());

    winsim::network::Connection c = Connect(AppConnect());

    ASSERT_EQ(c.State(), Outcome::Connected);
    EXPECT_TRUE(c.Redirected());
    EXPECT_EQ(c.Remote(), Endpoint::Parse("127.0.0.1:8080"));
    EXPECT_EQ(c.AcceptedByProcessId(), kProxyPid);
    std::optional<winsim::network::Accepted> accepted = proxy.Accept();
    ASSERT_TRUE(accepted.has_value());
    std::vector<std::uint8_t> context;
    ASSERT_EQ(accepted->QueryRedirectContext(&context), STATUS_SUCCESS);
    EXPECT_EQ(context, redirector.attached);

    // auth-connect saw the redirected connection as WFP presents it
    ASSERT_EQ(authFlags.size(), 1u);
    EXPECT_NE(authFlags[0] & FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED, 0u);
    EXPECT_NE(authFlags[0] & FWP_CONDITION_FLAG_IS_LOOPBACK, 0u);
    EXPECT_EQ(authRemoteAddress, 0x7F000001u);
    EXPECT_EQ(authRemotePort, kProxyPort);
    const UINT32 redirectedMetadata = FWPS_METADATA_FIELD_LOCAL_REDIRECT_TARGET_PID |
                                      FWPS_METADATA_FIELD_ORIGINAL_DESTINATION |
                                      FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE | FWPS_METADATA_FIELD_FLOW_HANDLE |
                                      FWPS_METADATA_FIELD_COMPLETION_HANDLE | FWPS_METADATA_FIELD_PROCESS_ID;
    EXPECT_EQ(authMetadata & redirectedMetadata, redirectedMetadata);
    EXPECT_EQ(authTargetPid, kProxyPid);
    EXPECT_EQ(originalPort, 443);
}

TEST_F(RedirectTest, ProxysOwnConnectionCarryingTheRecordsIsRedirectedBySelf)
{
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("127.0.0.1:8080"));
    winsim::network::Connection c = Connect(AppConnect());
    std::optional<winsim::network::Accepted> accepted = proxy.Accept();
    ASSERT_TRUE(accepted.has_value());
    std::vector<std::uint8_t> records;
    ASSERT_EQ(accepted->QueryRedirectRecords(&records), STATUS_SUCCESS);

    ConnectRequest upstream;
    upstream.processId = kProxyPid;
    upstream.remote = Endpoint::Parse("203.0.113.7:443");
    upstream.appId = AppPath("proxy.exe");
    upstream.redirectRecords = records;
    winsim::network::Connection out = Connect(upstream);

    EXPECT_EQ(out.State(), Outcome::Connected);
    EXPECT_FALSE(out.Redirected());
    EXPECT_EQ(out.Remote(), Endpoint::Parse("203.0.113.7:443"));
    ASSERT_EQ(redirector.states.size(), 1u);
    EXPECT_EQ(redirector.states[0], FWPS_CONNECTION_REDIRECTED_BY_SELF);
}

TEST_F(RedirectTest, AnotherRedirectHandleSeesTheProxyConnectionRedirectedByOther)
{
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("127.0.0.1:8080"));
    Connect(AppConnect());
    std::vector<std::uint8_t> records;
    ASSERT_EQ(proxy.Accept()->QueryRedirectRecords(&records), STATUS_SUCCESS);
    Redirector other;
    std::swap(other.redirectHandle, redirector.redirectHandle);  // the callout now uses a fresh handle

    ConnectRequest upstream = AppConnect();
    upstream.processId = kProxyPid;
    upstream.redirectRecords = records;
    winsim::network::Connection out = Connect(upstream);

    ASSERT_FALSE(redirector.states.empty());
    EXPECT_EQ(redirector.states[0], FWPS_CONNECTION_REDIRECTED_BY_OTHER);
    EXPECT_TRUE(out.Redirected());  // so it redirected again
}

TEST_F(RedirectTest, ListenerOfAnotherProcessIsNotHandedTheRedirectedConnection)
{
    winsim::network::Listener stranger = winsim::network::Listen(kProxyPid + 4, Endpoint::Parse("0.0.0.0:8080"));

    winsim::network::Connection c = Connect(AppConnect());

    EXPECT_EQ(c.State(), Outcome::Refused);
    EXPECT_EQ(c.Status(), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(stranger.Backlog(), 0u);
    EXPECT_EQ(winsim::OutstandingAllocations("Test"), 0u) << "the refused flow ended and its context was freed";
}

TEST_F(RedirectTest, RedirectToTheConnectionsOwnAddressReachesALocalListener)
{
    redirect.classify = [this](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *m,
                               const void *ctx, const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        UINT64 h;
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &h), STATUS_SUCCESS);
        PVOID data;
        ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(h, f->filterId, 0, &data, out), STATUS_SUCCESS);
        auto *request = static_cast<FWPS_CONNECT_REQUEST0 *>(data);
        redirector.Rewrite(request);
        auto *local = reinterpret_cast<SOCKADDR_IN *>(&request->localAddressAndPort);
        reinterpret_cast<SOCKADDR_IN *>(&request->remoteAddressAndPort)->sin_addr = local->sin_addr;
        FwpsApplyModifiedLayerData0(h, data, 0);
        out->actionType = FWP_ACTION_PERMIT;
        FwpsReleaseClassifyHandle0(h);
        (void)m;
    };
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("0.0.0.0:8080"));
    ConnectRequest r = AppConnect();
    r.local = Endpoint::Parse("10.0.0.5:0");

    winsim::network::Connection c = Connect(r);

    EXPECT_EQ(c.State(), Outcome::Connected);
    EXPECT_EQ(c.Remote(), Endpoint::Parse("10.0.0.5:8080"));
    EXPECT_EQ(c.AcceptedByProcessId(), kProxyPid);
    ASSERT_EQ(authFlags.size(), 1u);
    EXPECT_NE(authFlags[0] & FWP_CONDITION_FLAG_IS_LOOPBACK, 0u) << "traffic to an own address is loopback";
}

TEST_F(RedirectTest, ConnectionsTheFilterDoesNotMatchAreLeftAlone)
{
    ConnectRequest r = AppConnect();
    r.remote = Endpoint::Parse("203.0.113.7:80");
    winsim::network::Connection c = Connect(r);
    EXPECT_EQ(c.State(), Outcome::Connected);
    EXPECT_FALSE(c.Redirected());
    EXPECT_EQ(redirect.classifyCalls.load(), 0);
}

TEST_F(RedirectTest, SocketControlWithMalformedRecordsIsRefused)
{
    ConnectRequest r = AppConnect();
    r.redirectRecords = std::vector<std::uint8_t>{1, 2, 3};
    winsim::network::Connection c = Connect(r);
    EXPECT_EQ(c.State(), Outcome::Refused);
    EXPECT_EQ(c.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(redirect.classifyCalls.load(), 0);
}

TEST_F(RedirectTest, PendedRedirectCompletesFromOutsideTheClassify)
{
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("0.0.0.0:8080"));
    UINT64 pendedHandle = 0;
    FWPS_CLASSIFY_OUT0 saved = {};
    std::vector<UINT32> flagsSeen;
    redirect.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *,
                            const void *ctx, const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        UINT32 flags = v->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS].value.uint32;
        flagsSeen.push_back(flags);
        if ((flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) != 0) {
            UINT64 h;
            ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &h), STATUS_SUCCESS);
            PVOID data;
            ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(h, f->filterId, 0, &data, out), STATUS_SUCCESS);
            auto *request = static_cast<FWPS_CONNECT_REQUEST0 *>(data);
            ASSERT_NE(request->previousVersion, nullptr);
            EXPECT_EQ(request->previousVersion->modifierFilterId, f->filterId);
            EXPECT_EQ(request->previousVersion->localRedirectHandle, redirector.redirectHandle);
            FwpsApplyModifiedLayerData0(h, data, 0);
            out->actionType = FWP_ACTION_PERMIT;
            out->rights |= FWPS_RIGHT_ACTION_WRITE;
            FwpsReleaseClassifyHandle0(h);
            return;
        }
        out->actionType = FWP_ACTION_CONTINUE;
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &pendedHandle), STATUS_SUCCESS);
        saved = *out;
        ASSERT_EQ(FwpsPendClassify0(pendedHandle, f->filterId, 0, out), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_BLOCK;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };

    winsim::network::Connection c = Connect(AppConnect());
    ASSERT_EQ(c.State(), Outcome::Pending);
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 1u);

    // What a work item does at PASSIVE_LEVEL: rewrite, apply, complete with a NULL result
    // (so the connection is reauthorized), release.
    PVOID data;
    {
        winsim::ViolationCapture capture;
        EXPECT_EQ(FwpsAcquireWritableLayerDataPointer0(pendedHandle, redirectFilter, 0, &data, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(capture.Caught("FwpsAcquireWritableLayerDataPointer0")) << "classifyOut is not optional";
    }
    ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(pendedHandle, redirectFilter, 0, &data, &saved), STATUS_SUCCESS);
    redirector.Rewrite(static_cast<FWPS_CONNECT_REQUEST0 *>(data));
    FwpsApplyModifiedLayerData0(pendedHandle, data, FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS);
    FwpsCompleteClassify0(pendedHandle, 0, nullptr);
    FwpsReleaseClassifyHandle0(pendedHandle);

    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
    EXPECT_TRUE(c.Redirected());
    EXPECT_EQ(c.Remote(), Endpoint::Parse("127.0.0.1:8080"));
    EXPECT_EQ(c.ConnectRedirectClassifies(), 2);
    ASSERT_EQ(flagsSeen.size(), 2u);
    EXPECT_EQ(flagsSeen[0] & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_NE(flagsSeen[1] & FWP_CONDITION_FLAG_IS_REAUTHORIZE, 0u);
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
    EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
}

TEST_F(RedirectTest, PendedClassifyCompletedWithBlockBlocksTheConnection)
{
    UINT64 handle = 0;
    FWPS_CLASSIFY_OUT0 saved = {};
    PendEveryRedirect(&handle, &saved);
    winsim::network::Connection c = Connect(AppConnect());
    ASSERT_EQ(c.State(), Outcome::Pending);

    saved.actionType = FWP_ACTION_BLOCK;
    saved.rights &= ~FWPS_RIGHT_ACTION_WRITE;
    FwpsCompleteClassify0(handle, 0, &saved);

    EXPECT_EQ(c.WaitSettled(), Outcome::Blocked);
    EXPECT_EQ(redirect.classifyCalls.load(), 1);
}

// The application closes its socket after a pended connect-redirect classify completed but
// before the stack made the connection's flow (here: while a lower callout classifies it);
// the flow made after the close is ended at once.
TEST_F(RedirectTest, FlowMadeAfterTheConnectionClosedIsEnded)
{
    TestCallout second(MakeGuid(3));
    ASSERT_EQ(second.Register(), STATUS_SUCCESS);
    FilterSpec lower = CalloutFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, second.Key());
    lower.weight = 1;
    service.AddCalloutAndFilter(lower);
    UINT64 handle = 0;
    FWPS_CLASSIFY_OUT0 saved = {};
    PendEveryRedirect(&handle, &saved);
    winsim::network::Connection c = Connect(AppConnect());
    ASSERT_EQ(c.State(), Outcome::Pending);
    second.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *,
                          const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        c.Close();
        out->actionType = FWP_ACTION_PERMIT;
    };

    saved.actionType = FWP_ACTION_CONTINUE;
    FwpsCompleteClassify0(handle, 0, &saved);
    ASSERT_TRUE(winsim::network::Drain());

    ASSERT_NE(c.FlowHandle(), 0u) << "the stack made a flow after the close";
    EXPECT_EQ(FwpsFlowAssociateContext0(c.FlowHandle(), FWPS_LAYER_ALE_AUTH_CONNECT_V4, auth.Id(), 1),
              STATUS_FWP_NOT_FOUND);
}

TEST_F(RedirectTest, RedirectedConnectionHeldAtAuthConnectWhileItsRecordsAreJudged)
{
    TestCallout holder(MakeGuid(4));
    ASSERT_EQ(holder.Register(), STATUS_SUCCESS);
    FilterSpec holding = CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, holder.Key());
    holding.weight = 1ull << 62;
    service.AddCalloutAndFilter(holding);
    HANDLE completion = nullptr;
    std::vector<UINT8> records;
    NTSTATUS sizeStatus = STATUS_SUCCESS;
    holder.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                          const FWPS_FILTER1 *, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *out) {
        UINT32 flags = v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32;
        if ((flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) != 0) {
            EXPECT_EQ(flowContext, 0x1234u);
            out->actionType = FWP_ACTION_PERMIT;
            EXPECT_EQ(FwpsFlowRemoveContext0(m->flowHandle, v->layerId, holder.Id()), STATUS_PENDING);
            return;
        }
        ASSERT_NE(flags & FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED, 0u);
        SIZE_T needed = 0;
        sizeStatus = FwpsQueryConnectionSioFormatRedirectRecords0(m->redirectRecords, nullptr, 0, &needed);
        std::vector<UINT8> buffer(needed + 11);
        SIZE_T written = 0;
        ASSERT_EQ(FwpsQueryConnectionSioFormatRedirectRecords0(m->redirectRecords, buffer.data() + 10, needed, &written),
                  STATUS_SUCCESS);
        records.assign(buffer.begin() + 10, buffer.begin() + 10 + static_cast<std::ptrdiff_t>(written));
        ASSERT_EQ(FwpsFlowAssociateContext0(m->flowHandle, v->layerId, holder.Id(), 0x1234), STATUS_SUCCESS);
        ASSERT_EQ(FwpsPendOperation0(m->completionHandle, &completion), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("0.0.0.0:8080"));

    winsim::network::Connection c = Connect(AppConnect());
    ASSERT_EQ(c.State(), Outcome::Pending);
    EXPECT_EQ(sizeStatus, STATUS_BUFFER_TOO_SMALL);
    auto found = std::search(records.begin(), records.end(), redirector.attached.begin(), redirector.attached.end());
    EXPECT_NE(found, records.end()) << "the SIO records carry the redirect context";
    EXPECT_EQ(proxy.Backlog(), 0u);

    FwpsCompleteOperation0(completion, nullptr);

    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
    EXPECT_TRUE(proxy.Accept(std::chrono::seconds(5)).has_value());
    ASSERT_TRUE(winsim::network::Drain());
    EXPECT_EQ(winsim::wfp::FlowContextCount(), 0u);
    winsim::wfp::Reset();  // closes the connection before the local callout goes
}

TEST_F(RedirectTest, LowerCalloutSeesTheHigherCalloutsVersionAndItsRedirectHandle)
{
    TestCallout second(MakeGuid(3));
    ASSERT_EQ(second.Register(), STATUS_SUCCESS);
    FilterSpec lower = CalloutFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, second.Key());
    lower.weight = 1;  // below the automatic weight of the redirect filter
    service.AddCalloutAndFilter(lower);
    UINT64 seenModifier = 0;
    HANDLE seenHandle = nullptr;
    UINT16 seenPort = 0;
    redirect.classify = [this](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *m,
                               const void *ctx, const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        redirector.Classify(m, ctx, f, out);
        out->actionType = FWP_ACTION_CONTINUE;  // let the lower callout see the request
        out->rights |= FWPS_RIGHT_ACTION_WRITE;
    };
    second.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *ctx,
                          const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        UINT64 h;
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &h), STATUS_SUCCESS);
        PVOID data;
        ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(h, f->filterId, 0, &data, out), STATUS_SUCCESS);
        auto *request = static_cast<FWPS_CONNECT_REQUEST0 *>(data);
        ASSERT_NE(request->previousVersion, nullptr);
        seenModifier = request->previousVersion->modifierFilterId;
        seenHandle = request->previousVersion->localRedirectHandle;
        seenPort = RtlUshortByteSwap(reinterpret_cast<SOCKADDR_IN *>(&request->remoteAddressAndPort)->sin_port);
        FwpsApplyModifiedLayerData0(h, data, 0);
        out->actionType = FWP_ACTION_PERMIT;
        FwpsReleaseClassifyHandle0(h);
    };
    winsim::network::Listener proxy = winsim::network::Listen(kProxyPid, Endpoint::Parse("0.0.0.0:8080"));

    winsim::network::Connection c = Connect(AppConnect());

    EXPECT_EQ(c.State(), Outcome::Connected);
    EXPECT_EQ(seenModifier, redirectFilter);
    EXPECT_EQ(seenHandle, redirector.redirectHandle);
    EXPECT_EQ(seenPort, kProxyPort);
    winsim::wfp::Reset();  // closes the connection before the local callout goes
}

}  // namespace
