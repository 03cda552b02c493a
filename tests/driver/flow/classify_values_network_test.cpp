// The accessors on incoming values that winsim's filtering platform fills while it
// classifies a connection, at the connect-redirect and auth-connect layers of both
// families. Test callouts registered through the driver's callout registration read every
// fact with the accessors; the test compares them with what the connecting process asked
// for.

#include "driver_fixture.h"

#include <winsim/network.h>
#include <winsim/wfp.h>

#include "classify_values_service.h"
#include "driver/redirect/classify_values.h"
#include "driver/flow/wfp_callouts.h"
#include "driver/flow/wfp_lifecycle.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What one classify saw through the accessors.
struct Seen {
    UINT16 layerId = 0;
    UINT16 family = 0;
    SOCKADDR_STORAGE local{};
    SOCKADDR_STORAGE remote{};
    NTSTATUS endpoints = STATUS_UNSUCCESSFUL;
    UINT16 localPort = 0;
    UINT16 remotePort = 0;
    UINT32 flags = 0;
    std::u16string appId;
    std::u16string effectiveAppId;
    std::u16string effectiveFileName;
    BOOLEAN loopback = FALSE;
    NTSTATUS loopbackStatus = STATUS_UNSUCCESSFUL;
};

std::mutex seenMutex;
std::vector<Seen> seen;

std::u16string Text(PCWSTR text, UINT32 length)
{
    // The blob's length counts the terminating NUL.
    std::u16string s(reinterpret_cast<const char16_t *>(text), length);
    while (!s.empty() && s.back() == u'\0') {
        s.pop_back();
    }
    return s;
}

VOID NTAPI RecordingClassify(const FWPS_INCOMING_VALUES0 *inFixedValues, const FWPS_INCOMING_METADATA_VALUES0 *,
                             void *, const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    Seen s;
    s.layerId = inFixedValues->layerId;
    (void)GetAddressFamily(inFixedValues->layerId, &s.family);
    NTSTATUS local = GetLocalEndpoint(inFixedValues, &s.local);
    NTSTATUS remote = GetRemoteEndpoint(inFixedValues, &s.remote);
    s.endpoints = NT_SUCCESS(local) ? remote : local;
    (void)GetLocalPort(inFixedValues, &s.localPort);
    (void)GetRemotePort(inFixedValues, &s.remotePort);
    (void)GetConditionFlags(inFixedValues, &s.flags);
    PCWSTR text = nullptr;
    UINT32 length = 0;
    if (NT_SUCCESS(GetAppId(inFixedValues, &text, &length))) {
        s.appId = Text(text, length);
    }
    if (NT_SUCCESS(GetEffectiveAppId(inFixedValues, &text, &length))) {
        s.effectiveAppId = Text(text, length);
    }
    s.effectiveFileName = reinterpret_cast<const char16_t *>(GetEffectiveAppFileName(inFixedValues));
    s.loopbackStatus = IsLoopbackConnection(inFixedValues, &s.loopback);
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        seen.push_back(s);
    }
    if (classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) {
        classifyOut->actionType = FWP_ACTION_CONTINUE;
    }
}

NTSTATUS NTAPI AcceptingNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *) { return STATUS_SUCCESS; }

const GUID kConnectRedirectV4 = {0x1d0c5a01, 0x7a3e, 0x4c4f, {0x9a, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x01}};
const GUID kConnectRedirectV6 = {0x1d0c5a01, 0x7a3e, 0x4c4f, {0x9a, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x02}};
const GUID kAuthConnectV4 = {0x1d0c5a01, 0x7a3e, 0x4c4f, {0x9a, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x03}};
const GUID kAuthConnectV6 = {0x1d0c5a01, 0x7a3e, 0x4c4f, {0x9a, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x04}};
const GUID *const kKeys[] = {&kConnectRedirectV4, &kConnectRedirectV6, &kAuthConnectV4, &kAuthConnectV6};

class ClassifyValuesNetworkTest : public qvr_test::DriverTest {
protected:
    void SetUp() override
    {
        qvr_test::DriverTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        seen.clear();
        ASSERT_EQ(RegisterCalloutGroup(WfpContext.DeviceObject, 4, kKeys, RecordingClassify, AcceptingNotify, nullptr,
                                       registrations_),
                  STATUS_SUCCESS);
        engine_ = classify_values_test::AddInspectionFilters({{kConnectRedirectV4, FWPS_LAYER_ALE_CONNECT_REDIRECT_V4},
                                                              {kConnectRedirectV6, FWPS_LAYER_ALE_CONNECT_REDIRECT_V6},
                                                              {kAuthConnectV4, FWPS_LAYER_ALE_AUTH_CONNECT_V4},
                                                              {kAuthConnectV6, FWPS_LAYER_ALE_AUTH_CONNECT_V6}});
    }

    void TearDown() override
    {
        classify_values_test::CloseService(engine_);
        EXPECT_EQ(UnregisterCalloutGroup(4, registrations_), STATUS_SUCCESS);
        qvr_test::DriverTest::TearDown();
    }

    // The classifies seen at one layer.
    std::vector<Seen> At(UINT16 layerId)
    {
        std::vector<Seen> found;
        std::lock_guard<std::mutex> lock(seenMutex);
        for (const Seen &s : seen) {
            if (s.layerId == layerId) {
                found.push_back(s);
            }
        }
        return found;
    }

    PCALLOUT_REGISTRATION registrations_[4] = {};
    HANDLE engine_ = nullptr;
};

// The bytes of a socket address the accessors write for an endpoint.
std::vector<UINT8> Expected(const winsim::network::Endpoint &endpoint)
{
    std::vector<UINT8> bytes(sizeof(SOCKADDR_STORAGE), 0);
    bytes[0] = static_cast<UINT8>(endpoint.address.family);
    bytes[1] = static_cast<UINT8>(endpoint.address.family >> 8);
    bytes[2] = static_cast<UINT8>(endpoint.port >> 8);
    bytes[3] = static_cast<UINT8>(endpoint.port);
    if (endpoint.address.family == AF_INET) {
        std::memcpy(&bytes[4], endpoint.address.bytes.data(), 4);
    } else {
        std::memcpy(&bytes[8], endpoint.address.bytes.data(), 16);
    }
    return bytes;
}

std::vector<UINT8> Bytes(const SOCKADDR_STORAGE &address)
{
    const UINT8 *p = reinterpret_cast<const UINT8 *>(&address);
    return std::vector<UINT8>(p, p + sizeof(address));
}

struct NetworkCase {
    const char *what;
    const char *local;
    const char *remote;
    std::u16string originalAppId;
    UINT16 connectRedirectLayer;
    UINT16 authConnectLayer;
    bool loopback;
};

TEST_F(ClassifyValuesNetworkTest, AccessorsReadWhatTheConnectionCarriesAtBothLayers)
{
    const std::u16string appId = u"\\device\\harddiskvolume2\\program files\\browser\\browser.exe";
    const NetworkCase cases[] = {
        {"IPv4", "10.0.0.5:49152", "203.0.113.7:443", u"", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
         FWPS_LAYER_ALE_AUTH_CONNECT_V4, false},
        {"IPv4 on behalf of another program", "10.0.0.5:49153", "203.0.113.7:443",
         u"\\device\\harddiskvolume2\\windows\\system32\\svchost.exe", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
         FWPS_LAYER_ALE_AUTH_CONNECT_V4, false},
        {"IPv6", "[2001:db8::5]:50000", "[2001:db8::7]:443", u"", FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
         FWPS_LAYER_ALE_AUTH_CONNECT_V6, false},
        {"IPv4 loopback", "10.0.0.5:49154", "127.0.0.5:8080", u"", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
         FWPS_LAYER_ALE_AUTH_CONNECT_V4, true},
        {"IPv6 loopback", "[2001:db8::5]:50001", "[::1]:8080", u"", FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
         FWPS_LAYER_ALE_AUTH_CONNECT_V6, true},
    };
    for (const NetworkCase &c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> lock(seenMutex);
            seen.clear();
        }
        winsim::network::ConnectRequest request;
        request.processId = 4242;
        request.protocol = 6;
        request.local = winsim::network::Endpoint::Parse(c.local);
        request.remote = winsim::network::Endpoint::Parse(c.remote);
        request.appId = appId;
        request.originalAppId = c.originalAppId;
        winsim::network::Connection connection = winsim::network::Connect(request);
        ASSERT_TRUE(connection.Valid());
        connection.WaitSettled();

        for (UINT16 layerId : {c.connectRedirectLayer, c.authConnectLayer}) {
            SCOPED_TRACE(layerId);
            std::vector<Seen> at = At(layerId);
            ASSERT_EQ(at.size(), 1u);
            const Seen &s = at[0];
            EXPECT_EQ(s.family, request.remote.address.family);
            ASSERT_EQ(s.endpoints, STATUS_SUCCESS);
            EXPECT_EQ(Bytes(s.remote), Expected(request.remote));
            EXPECT_EQ(Bytes(s.local), Expected(*request.local));
            EXPECT_EQ(s.localPort, request.local->port);
            EXPECT_EQ(s.remotePort, request.remote.port);
            EXPECT_EQ(s.appId, appId);
            const std::u16string &effective = c.originalAppId.empty() ? appId : c.originalAppId;
            EXPECT_EQ(s.effectiveAppId, effective);
            EXPECT_EQ(s.effectiveFileName, effective.substr(effective.rfind(u'\\') + 1));
            ASSERT_EQ(s.loopbackStatus, STATUS_SUCCESS);
            EXPECT_EQ(s.loopback != FALSE, c.loopback);
        }
        connection.Close();
    }
}

}  // namespace
