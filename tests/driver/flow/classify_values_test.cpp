// Tests of the classify value accessors against incoming values laid out as WFP fills them
// at each layer: the field order of each layer comes from the FWPS_FIELD_* enumerations of
// fwpsk.h, and the expected indexes from the documented field tables, so a wrong row in
// the driver or a wrong enumeration in the header both show.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include <ntddk.h>
#include <fwpsk.h>

#include <winsim/trace_session.h>

#include "driver/redirect/classify_values.h"
#include "driver_fixture.h"
#include "incoming_values.h"

namespace {

using namespace qvr_test;

std::u16string Text(PCWSTR text, UINT32 length)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text), length);
}

std::u16string Text(PCWSTR text)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text));
}

std::string Utf8ForTest(const char16_t *text)
{
    std::string narrow;
    for (; *text != u'\0'; ++text) {
        narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    return narrow;
}

SOCKADDR_STORAGE Filled(UCHAR byte)
{
    SOCKADDR_STORAGE address;
    std::memset(&address, byte, sizeof(address));
    return address;
}

class LayerTest : public ::testing::TestWithParam<LayerRow> {};

TEST_P(LayerTest, IndexAccessorsGiveTheDocumentedFieldsOfTheLayer)
{
    const LayerRow &row = GetParam();
    const UINT32 fromHeader[7] = {row.localAddress, row.remoteAddress, row.localPort, row.remotePort,
                                  row.flags, row.interfaceIndex, row.subInterfaceIndex};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(fromHeader[i], row.documented[i]) << "column " << i << ": fwpsk.h and the field tables differ";
    }

    UINT32 index = kNone;
    ASSERT_EQ(GetLocalAddressIndex(row.layerId, &index), STATUS_SUCCESS);
    EXPECT_EQ(index, row.documented[0]);
    ASSERT_EQ(GetRemoteAddressIndex(row.layerId, &index), STATUS_SUCCESS);
    EXPECT_EQ(index, row.documented[1]);
    ASSERT_EQ(GetLocalPortIndex(row.layerId, &index), STATUS_SUCCESS);
    EXPECT_EQ(index, row.documented[2]);
    ASSERT_EQ(GetRemotePortIndex(row.layerId, &index), STATUS_SUCCESS);
    EXPECT_EQ(index, row.documented[3]);

    UINT32 interfaceField = kNone;
    UINT32 subInterfaceField = kNone;
    NTSTATUS status = GetInterfaceIndexFieldIndexes(row.layerId, &interfaceField, &subInterfaceField);
    if (row.documented[5] == kNone) {
        EXPECT_EQ(status, STATUS_NOT_FOUND);
    } else {
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(interfaceField, row.documented[5]);
        EXPECT_EQ(subInterfaceField, row.documented[6]);
    }

    UINT16 family = 0;
    ASSERT_EQ(GetAddressFamily(row.layerId, &family), STATUS_SUCCESS);
    EXPECT_EQ(family, row.family);
}

TEST_P(LayerTest, ValueReadersReturnTheLayersValuesInTheirFixedForms)
{
    const LayerRow &row = GetParam();
    IncomingValues values(row);

    UINT32 flags = 0;
    ASSERT_EQ(GetConditionFlags(values.Get(), &flags), STATUS_SUCCESS);
    EXPECT_EQ(flags, kFlags);

    UINT16 port = 0;
    ASSERT_EQ(GetLocalPort(values.Get(), &port), STATUS_SUCCESS);
    EXPECT_EQ(port, kLocalPort);
    ASSERT_EQ(GetRemotePort(values.Get(), &port), STATUS_SUCCESS);
    EXPECT_EQ(port, kRemotePort);

    UINT32 interfaceIndex = 0;
    UINT32 subInterfaceIndex = 0;
    GetInterfaceIndexes(values.Get(), &interfaceIndex, &subInterfaceIndex);
    EXPECT_EQ(interfaceIndex, row.interfaceIndex == kNone ? 0u : kInterfaceIndex);
    EXPECT_EQ(subInterfaceIndex, row.interfaceIndex == kNone ? 0u : kSubInterfaceIndex);

    SOCKADDR_STORAGE local{};
    SOCKADDR_STORAGE remote{};
    ASSERT_EQ(GetLocalEndpoint(values.Get(), &local), STATUS_SUCCESS);
    ASSERT_EQ(GetRemoteEndpoint(values.Get(), &remote), STATUS_SUCCESS);
    const UCHAR *l = reinterpret_cast<const UCHAR *>(&local);
    const UCHAR *r = reinterpret_cast<const UCHAR *>(&remote);
    EXPECT_EQ(local.ss_family, row.family);
    EXPECT_EQ(remote.ss_family, row.family);
    EXPECT_EQ(l[2] * 256 + l[3], kLocalPort);  // network order
    EXPECT_EQ(r[2] * 256 + r[3], kRemotePort);
    if (row.family == AF_INET) {
        const UCHAR localBytes[4] = {10, 0, 0, 5};
        const UCHAR remoteBytes[4] = {203, 0, 113, 7};
        EXPECT_EQ(std::memcmp(l + 4, localBytes, 4), 0);
        EXPECT_EQ(std::memcmp(r + 4, remoteBytes, 4), 0);
        EXPECT_EQ(std::memcmp(l + 8, std::string(120, '\0').data(), 120), 0);
    } else {
        EXPECT_EQ(std::memcmp(l + 4, "\0\0\0\0", 4), 0);  // flow info untouched
        EXPECT_EQ(std::memcmp(l + 8, kLocalV6, 16), 0);
        EXPECT_EQ(std::memcmp(r + 8, kRemoteV6, 16), 0);
        EXPECT_EQ(std::memcmp(l + 24, std::string(104, '\0').data(), 104), 0);
    }

    BOOLEAN isLoopback = TRUE;
    ASSERT_EQ(IsLoopbackConnection(values.Get(), &isLoopback), STATUS_SUCCESS);
    EXPECT_FALSE(isLoopback);

    PCWSTR text = nullptr;
    UINT32 length = 0;
    if (row.appId == kNone) {
        EXPECT_EQ(GetAppId(values.Get(), &text, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(GetEffectiveAppId(values.Get(), &text, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(Text(GetAppFileName(values.Get())), u"");
    } else {
        ASSERT_EQ(GetAppId(values.Get(), &text, &length), STATUS_SUCCESS);
        EXPECT_EQ(Text(text, length), kAppPath + u'\0');
        ASSERT_EQ(GetEffectiveAppId(values.Get(), &text, &length), STATUS_SUCCESS);
        EXPECT_EQ(Text(text, length), kAppPath + u'\0');
        EXPECT_EQ(Text(GetAppFileName(values.Get())), u"browser.exe");
        EXPECT_EQ(Text(GetEffectiveAppFileName(values.Get())), u"browser.exe");
    }
}

TEST_P(LayerTest, RemoteEndpointKeepsTheCallersPortWhenThePortFieldIsMissing)
{
    // At every layer the remote port comes after the remote address, so cutting the
    // values before the port leaves the address readable.
    const LayerRow &row = GetParam();
    ASSERT_GT(row.remotePort, row.remoteAddress);
    IncomingValues values(row);
    values.Truncate(row.remotePort);

    SOCKADDR_STORAGE remote{};
    reinterpret_cast<UCHAR *>(&remote)[2] = 0x12;
    reinterpret_cast<UCHAR *>(&remote)[3] = 0x34;
    ASSERT_EQ(GetRemoteEndpoint(values.Get(), &remote), STATUS_SUCCESS);
    EXPECT_EQ(remote.ss_family, row.family);
    EXPECT_EQ(reinterpret_cast<UCHAR *>(&remote)[2], 0x12);
    EXPECT_EQ(reinterpret_cast<UCHAR *>(&remote)[3], 0x34);

    UINT16 port = 1;
    EXPECT_EQ(GetRemotePort(values.Get(), &port), STATUS_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(AllLayers, LayerTest, ::testing::ValuesIn(kLayers),
                         [](const ::testing::TestParamInfo<LayerRow> &info) {
                             return std::string(info.param.name).substr(sizeof("FWPS_LAYER_") - 1);
                         });

// Layers outside the accessors' rows: the stream and datagram layers, the IP packet
// layers, a MAC frame layer and ids past the built-in layers.
const UINT16 kOtherLayers[] = {FWPS_LAYER_INBOUND_IPPACKET_V4, FWPS_LAYER_STREAM_V4, FWPS_LAYER_DATAGRAM_DATA_V6,
                               FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, FWPS_LAYER_INBOUND_MAC_FRAME_ETHERNET,
                               FWPS_LAYER_ALE_BIND_REDIRECT_V4, 103, 0xFFFF};

TEST(ClassifyValueFailures, LayersOutsideTheRowsAreInvalidParameters)
{
    for (UINT16 layerId : kOtherLayers) {
        SCOPED_TRACE(layerId);
        UINT32 index = 1;
        EXPECT_EQ(GetLocalAddressIndex(layerId, &index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(GetRemoteAddressIndex(layerId, &index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(GetLocalPortIndex(layerId, &index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(GetRemotePortIndex(layerId, &index), STATUS_INVALID_PARAMETER);
        UINT32 sub = 1;
        EXPECT_EQ(GetInterfaceIndexFieldIndexes(layerId, &index, &sub), STATUS_NOT_FOUND);

        FWPS_INCOMING_VALUE0 value[40] = {};
        FWPS_INCOMING_VALUES0 values{layerId, 40, value};
        UINT32 flags = 1;
        EXPECT_EQ(GetConditionFlags(&values, &flags), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(flags, 0u);
        UINT32 interfaceIndex = 5;
        UINT32 subInterfaceIndex = 6;
        GetInterfaceIndexes(&values, &interfaceIndex, &subInterfaceIndex);
        EXPECT_EQ(interfaceIndex, 5u);
        EXPECT_EQ(subInterfaceIndex, 6u);
    }
}

TEST(ClassifyValueFailures, TransportLayersHaveNoApplicationId)
{
    for (UINT16 layerId : {FWPS_LAYER_INBOUND_TRANSPORT_V4, FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD}) {
        IncomingValues values(Row(layerId));
        values.SetText(0, kAppPath);  // a blob where the protocol would be: still not an app id
        UINT32 index = 7;
        EXPECT_EQ(GetAppIdIndex(values.Get(), &index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(GetEffectiveAppIdIndex(values.Get(), &index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Text(GetEffectiveAppFileName(values.Get())), u"");
    }
}

TEST(ClassifyValueFailures, AddressFamilyFollowsTheLayerNames)
{
    // Every built-in layer whose name says V6; the MAC frame and vSwitch Ethernet layers
    // carry no addresses.
    const UINT16 v6Layers[] = {
        FWPS_LAYER_INBOUND_IPPACKET_V6, FWPS_LAYER_INBOUND_IPPACKET_V6_DISCARD, FWPS_LAYER_OUTBOUND_IPPACKET_V6,
        FWPS_LAYER_OUTBOUND_IPPACKET_V6_DISCARD, FWPS_LAYER_IPFORWARD_V6, FWPS_LAYER_IPFORWARD_V6_DISCARD,
        FWPS_LAYER_INBOUND_TRANSPORT_V6, FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD, FWPS_LAYER_OUTBOUND_TRANSPORT_V6,
        FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD, FWPS_LAYER_STREAM_V6, FWPS_LAYER_STREAM_V6_DISCARD,
        FWPS_LAYER_DATAGRAM_DATA_V6, FWPS_LAYER_DATAGRAM_DATA_V6_DISCARD, FWPS_LAYER_INBOUND_ICMP_ERROR_V6,
        FWPS_LAYER_INBOUND_ICMP_ERROR_V6_DISCARD, FWPS_LAYER_OUTBOUND_ICMP_ERROR_V6,
        FWPS_LAYER_OUTBOUND_ICMP_ERROR_V6_DISCARD, FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V6,
        FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V6_DISCARD, FWPS_LAYER_ALE_AUTH_LISTEN_V6,
        FWPS_LAYER_ALE_AUTH_LISTEN_V6_DISCARD, FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6,
        FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD, FWPS_LAYER_ALE_AUTH_CONNECT_V6,
        FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD, FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6,
        FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6_DISCARD, FWPS_LAYER_NAME_RESOLUTION_CACHE_V6,
        FWPS_LAYER_ALE_RESOURCE_RELEASE_V6, FWPS_LAYER_ALE_ENDPOINT_CLOSURE_V6, FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
        FWPS_LAYER_ALE_BIND_REDIRECT_V6, FWPS_LAYER_STREAM_PACKET_V6, FWPS_LAYER_INGRESS_VSWITCH_TRANSPORT_V6,
        FWPS_LAYER_EGRESS_VSWITCH_TRANSPORT_V6};
    const UINT16 noAddressLayers[] = {
        FWPS_LAYER_INBOUND_MAC_FRAME_ETHERNET, FWPS_LAYER_OUTBOUND_MAC_FRAME_ETHERNET,
        FWPS_LAYER_INBOUND_MAC_FRAME_NATIVE,   FWPS_LAYER_OUTBOUND_MAC_FRAME_NATIVE,
        FWPS_LAYER_INGRESS_VSWITCH_ETHERNET,   FWPS_LAYER_EGRESS_VSWITCH_ETHERNET};

    for (UINT32 layerId = 0; layerId <= 0xFFFF; ++layerId) {
        bool v6 = std::find(std::begin(v6Layers), std::end(v6Layers), layerId) != std::end(v6Layers);
        bool none = layerId > FWPS_LAYER_EGRESS_VSWITCH_TRANSPORT_V6 ||
                    std::find(std::begin(noAddressLayers), std::end(noAddressLayers), layerId) !=
                        std::end(noAddressLayers);
        UINT16 family = 99;
        NTSTATUS status = GetAddressFamily(static_cast<UINT16>(layerId), &family);
        if (none) {
            ASSERT_EQ(status, STATUS_UNSUCCESSFUL) << layerId;
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS) << layerId;
            ASSERT_EQ(family, v6 ? AF_INET6 : AF_INET) << layerId;
        }
    }
}

TEST(ClassifyValueFailures, ShortValueArraysAreNotReadPastTheirEnd)
{
    IncomingValues values(Row(FWPS_LAYER_ALE_AUTH_CONNECT_V4));
    values.Truncate(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS);

    UINT32 flags = 1;
    EXPECT_EQ(GetConditionFlags(values.Get(), &flags), STATUS_INVALID_PARAMETER);
    SOCKADDR_STORAGE remote = Filled(0xAB);
    EXPECT_EQ(GetRemoteEndpoint(values.Get(), &remote), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::memcmp(&remote, std::string(128, '\xAB').data(), 128), 0);
    BOOLEAN isLoopback = FALSE;
    EXPECT_EQ(IsLoopbackConnection(values.Get(), &isLoopback), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(isLoopback);
    UINT32 interfaceIndex = 5;
    UINT32 subInterfaceIndex = 6;
    GetInterfaceIndexes(values.Get(), &interfaceIndex, &subInterfaceIndex);
    EXPECT_EQ(interfaceIndex, 5u);
}

TEST(ClassifyValueFailures, AnAddressOfAnotherTypeWritesNothing)
{
    for (FWP_DATA_TYPE type : {FWP_EMPTY, FWP_UINT64, FWP_BYTE_BLOB_TYPE}) {
        IncomingValues values(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6));
        values.At(FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_ADDRESS).type = type;
        SOCKADDR_STORAGE remote = Filled(0xAB);
        EXPECT_EQ(GetAddressField(values.Get(), FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_ADDRESS, &remote),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(GetRemoteEndpoint(values.Get(), &remote), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(std::memcmp(&remote, std::string(128, '\xAB').data(), 128), 0);
    }

    // A layer without IP addresses fails on its family before looking at the value.
    IncomingValues values(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4));
    FWPS_INCOMING_VALUES0 macFrame = *values.Get();
    macFrame.layerId = FWPS_LAYER_INBOUND_MAC_FRAME_NATIVE;
    SOCKADDR_STORAGE address = Filled(0xAB);
    EXPECT_EQ(GetAddressField(&macFrame, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, &address),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::memcmp(&address, std::string(128, '\xAB').data(), 128), 0);
}

// Which application id the effective one is, by what the original-id field holds.
struct EffectiveAppIdCase {
    UINT16 layerId;
    UINT32 originalField;  // kNone: the layer has none that counts
    enum { Blob, Absent, NotABlob, NullBlob, EmptyBlob } original;
    bool appIdPresent;
    NTSTATUS expected;
    bool expectOriginal;
};

TEST(EffectiveAppId, FallsBackFromTheOriginalIdToTheApplicationId)
{
    const EffectiveAppIdCase cases[] = {
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 10, EffectiveAppIdCase::Blob, true, STATUS_SUCCESS, true},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, 10, EffectiveAppIdCase::Blob, false, STATUS_SUCCESS, true},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 10, EffectiveAppIdCase::Absent, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 10, EffectiveAppIdCase::NotABlob, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, 10, EffectiveAppIdCase::NullBlob, true, STATUS_SUCCESS, false},
        // A present but empty original id names no program: the application id counts.
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 10, EffectiveAppIdCase::EmptyBlob, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V6, 32, EffectiveAppIdCase::EmptyBlob, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 10, EffectiveAppIdCase::Absent, false, STATUS_UNSUCCESSFUL, false},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V4, 32, EffectiveAppIdCase::Blob, true, STATUS_SUCCESS, true},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD, 32, EffectiveAppIdCase::Blob, true, STATUS_SUCCESS, true},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V6, 32, EffectiveAppIdCase::NotABlob, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_AUTH_CONNECT_V4, 32, EffectiveAppIdCase::Absent, false, STATUS_UNSUCCESSFUL, false},
        // The receive-accept layers take the application id as it is.
        {FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, kNone, EffectiveAppIdCase::Blob, true, STATUS_SUCCESS, false},
        {FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD, kNone, EffectiveAppIdCase::Blob, false, STATUS_UNSUCCESSFUL,
         false},
    };
    for (const EffectiveAppIdCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "layer " << c.layerId << " original " << c.original << " app id "
                                          << c.appIdPresent);
        IncomingValues values(Row(c.layerId));
        // At receive-accept an original id is put where the connect layers keep it, to show
        // it is not taken.
        UINT32 originalField = c.originalField == kNone ? 31 : c.originalField;
        switch (c.original) {
        case EffectiveAppIdCase::Blob:
            values.SetText(originalField, kOriginalAppPath);
            break;
        case EffectiveAppIdCase::Absent:
            values.SetEmpty(originalField);
            break;
        case EffectiveAppIdCase::NotABlob:
            values.SetUint32(originalField, 0x1234);
            break;
        case EffectiveAppIdCase::NullBlob:
            values.At(originalField).type = FWP_BYTE_BLOB_TYPE;
            values.At(originalField).byteBlob = nullptr;
            break;
        case EffectiveAppIdCase::EmptyBlob:
            values.SetBlob(originalField, "", 0);
            break;
        }
        if (!c.appIdPresent) {
            values.SetEmpty(0);
        }

        UINT32 index = 77;
        PCWSTR text = reinterpret_cast<PCWSTR>(u"sentinel");
        UINT32 length = 99;
        EXPECT_EQ(GetEffectiveAppIdIndex(values.Get(), &index), c.expected);
        ASSERT_EQ(GetEffectiveAppId(values.Get(), &text, &length), c.expected);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(text, nullptr);
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(Text(GetEffectiveAppFileName(values.Get())), u"");
            continue;
        }
        EXPECT_EQ(index, c.expectOriginal ? c.originalField : 0u);
        EXPECT_EQ(Text(text, length), (c.expectOriginal ? kOriginalAppPath : kAppPath) + u'\0');
        EXPECT_EQ(Text(GetEffectiveAppFileName(values.Get())), c.expectOriginal ? u"svchost.exe" : u"browser.exe");
    }
}

TEST(AppId, BlobSizesAndPresence)
{
    IncomingValues values(Row(FWPS_LAYER_ALE_AUTH_CONNECT_V4));
    PCWSTR text = nullptr;
    UINT32 length = 0;
    UINT32 index = 9;

    // Present but empty: IsBlobFieldMissing says present, GetAppId fails.
    values.SetBlob(0, "", 0);
    EXPECT_FALSE(IsBlobFieldMissing(values.Get(), 0));
    EXPECT_EQ(GetAppIdIndex(values.Get(), &index), STATUS_SUCCESS);
    EXPECT_EQ(GetAppId(values.Get(), &text, &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(Text(GetAppFileName(values.Get())), u"");

    // An odd byte count is rounded down to whole characters.
    const char16_t odd[] = u"ab";
    values.SetBlob(0, odd, 5);
    ASSERT_EQ(GetAppId(values.Get(), &text, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(Text(text, length), u"ab");

    // A blob without a NUL inside it has no readable file name.
    const char16_t unterminated[] = u"\\dir\\name";
    values.SetBlob(0, unterminated, 9 * sizeof(char16_t));
    ASSERT_EQ(GetAppId(values.Get(), &text, &length), STATUS_SUCCESS);
    EXPECT_EQ(Text(GetAppFileName(values.Get())), u"");

    // Missing: out of range, not a blob, a null blob.
    EXPECT_TRUE(IsBlobFieldMissing(values.Get(), FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX));
    values.SetUint32(0, 5);
    EXPECT_TRUE(IsBlobFieldMissing(values.Get(), 0));
    EXPECT_EQ(GetAppIdIndex(values.Get(), &index), STATUS_UNSUCCESSFUL);
    values.At(0).type = FWP_BYTE_BLOB_TYPE;
    values.At(0).byteBlob = nullptr;
    EXPECT_TRUE(IsBlobFieldMissing(values.Get(), 0));
    EXPECT_EQ(GetAppId(values.Get(), &text, &length), STATUS_UNSUCCESSFUL);
}

TEST(FileNamePart, TakesTheTextAfterTheLastBackslash)
{
    struct {
        const char16_t *path;
        const char16_t *expected;
    } const cases[] = {
        {u"\\device\\harddiskvolume2\\windows\\explorer.exe", u"explorer.exe"},
        {u"explorer.exe", u"explorer.exe"},
        {u"\\device\\harddiskvolume2\\windows\\", u"\\device\\harddiskvolume2\\windows\\"},
        {u"\\x", u"x"},
        {u"\\", u"\\"},
        {u"", u""},
    };
    IncomingValues values(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4));
    for (const auto &c : cases) {
        PCWSTR path = reinterpret_cast<PCWSTR>(c.path);
        PCWSTR part = GetFileNamePart(path);
        EXPECT_EQ(Text(part), c.expected);
        EXPECT_GE(part, path);  // a pointer into the path, not a copy
        EXPECT_LE(part, path + std::char_traits<char16_t>::length(c.path));
        // The application id's file name is the same part of the same text.
        values.SetText(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID, c.path);
        EXPECT_EQ(Text(GetAppFileName(values.Get())), c.expected) << Utf8ForTest(c.path);
    }
}

struct LoopbackCase {
    const char *what;
    UINT16 layerId;
    UINT32 flags;
    UINT32 localV4, remoteV4;
    const UCHAR *localV6, *remoteV6;
    bool expected;
};

TEST(Loopback, FlagsEqualAddressesAndLoopbackRanges)
{
    const UCHAR remoteV6Equal[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
    const UCHAR loopbackLike[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const LoopbackCase cases[] = {
        {"127.0.0.2 from 10.0.0.1", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 0, 0x0A000001, 0x7F000002, nullptr, nullptr,
         true},
        {"128.0.0.1 from 10.0.0.1", FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, 0, 0x0A000001, 0x80000001, nullptr, nullptr,
         false},
        {"to its own address", FWPS_LAYER_ALE_AUTH_CONNECT_V4, 0, 0x80000001, 0x80000001, nullptr, nullptr, true},
        {"flagged loopback", FWPS_LAYER_ALE_AUTH_CONNECT_V4, FWP_CONDITION_FLAG_IS_LOOPBACK, 0x0A000001, 0x80000001,
         nullptr, nullptr, true},
        {"1.0.0.127", FWPS_LAYER_OUTBOUND_TRANSPORT_V4, 0, 0x0A000001, 0x0100007F, nullptr, nullptr, false},
        {"::1", FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, 0, 0, 0, kLocalV6, kLoopbackV6, true},
        {"its own IPv6 address", FWPS_LAYER_ALE_AUTH_CONNECT_V6, 0, 0, 0, kLocalV6, remoteV6Equal, true},
        {"another IPv6 address", FWPS_LAYER_ALE_AUTH_CONNECT_V6, 0, 0, 0, kLocalV6, kRemoteV6, false},
        {"::100", FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, 0, 0, 0, kLocalV6, loopbackLike, false},
        {"flagged IPv6", FWPS_LAYER_INBOUND_TRANSPORT_V6, FWP_CONDITION_FLAG_IS_LOOPBACK, 0, 0, kLocalV6, kRemoteV6,
         true},
    };
    for (const LoopbackCase &c : cases) {
        SCOPED_TRACE(c.what);
        const LayerRow &row = Row(c.layerId);
        IncomingValues values(row);
        values.SetUint32(row.flags, c.flags);
        if (c.localV6 == nullptr) {
            values.SetUint32(row.localAddress, c.localV4);
            values.SetUint32(row.remoteAddress, c.remoteV4);
        } else {
            values.SetBytes16(row.localAddress, *reinterpret_cast<const UCHAR(*)[16]>(c.localV6));
            values.SetBytes16(row.remoteAddress, *reinterpret_cast<const UCHAR(*)[16]>(c.remoteV6));
        }
        BOOLEAN isLoopback = c.expected ? FALSE : TRUE;
        ASSERT_EQ(IsLoopbackConnection(values.Get(), &isLoopback), STATUS_SUCCESS);
        EXPECT_EQ(isLoopback != FALSE, c.expected);
    }
}

TEST(Loopback, AddressesOfAnotherOrMixedTypeFail)
{
    const LayerRow &row = Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);

    // An IPv6 remote beside an IPv4 local is never dereferenced as an address.
    IncomingValues mixed(row);
    mixed.SetBytes16(row.remoteAddress, kLoopbackV6);
    BOOLEAN isLoopback = FALSE;
    EXPECT_EQ(IsLoopbackConnection(mixed.Get(), &isLoopback), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(isLoopback);

    IncomingValues mixedOther(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6));
    mixedOther.SetUint32(row.remoteAddress, 1);
    EXPECT_EQ(IsLoopbackConnection(mixedOther.Get(), &isLoopback), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(isLoopback);

    IncomingValues empty(row);
    empty.SetEmpty(row.localAddress);
    EXPECT_EQ(IsLoopbackConnection(empty.Get(), &isLoopback), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(isLoopback);

    // The loopback flag decides before the addresses are looked at.
    empty.SetUint32(row.flags, FWP_CONDITION_FLAG_IS_LOOPBACK);
    EXPECT_EQ(IsLoopbackConnection(empty.Get(), &isLoopback), STATUS_SUCCESS);
    EXPECT_TRUE(isLoopback);
}

TEST(Loopback, UnreadableFlagsKeepTheCallersAnswer)
{
    IncomingValues values(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4));
    FWPS_INCOMING_VALUES0 stream = *values.Get();
    stream.layerId = FWPS_LAYER_STREAM_V4;

    BOOLEAN isLoopback = TRUE;
    EXPECT_EQ(IsLoopbackConnection(&stream, &isLoopback), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(isLoopback);
    isLoopback = FALSE;
    EXPECT_EQ(IsLoopbackConnection(&stream, &isLoopback), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(isLoopback);

    // Flags beyond a short array: the addresses still decide.
    values.Truncate(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS);
    isLoopback = FALSE;
    EXPECT_EQ(IsLoopbackConnection(values.Get(), &isLoopback), STATUS_SUCCESS);
    EXPECT_FALSE(isLoopback);
}

// The failures the accessors trace, read through the driver's trace provider.
TEST(ClassifyValueTraces, FailuresAreTracedAtTheirLevels)
{
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, qvr_test::kDriverService), STATUS_SUCCESS);
    {
        winsim::TraceSession trace(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_VERBOSE);
        UINT32 index = 0;
        UINT32 sub = 0;

        EXPECT_EQ(GetRemotePortIndex(FWPS_LAYER_STREAM_V4, &index), STATUS_INVALID_PARAMETER);
        std::vector<winsim::TraceRecord> records = trace.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, TRACE_LEVEL_ERROR);
        ASSERT_EQ(records[0].arguments.size(), 2u);
        EXPECT_EQ(records[0].arguments[1].value, static_cast<std::uint64_t>(FWPS_LAYER_STREAM_V4));

        // The trace records ask every layer for its interface fields: no trace for a miss.
        trace.Clear();
        EXPECT_EQ(GetInterfaceIndexFieldIndexes(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, &index, &sub), STATUS_NOT_FOUND);
        EXPECT_TRUE(trace.Records().empty());

        IncomingValues values(Row(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4));
        values.SetBytes16(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, kLoopbackV6);
        BOOLEAN isLoopback = FALSE;
        EXPECT_EQ(IsLoopbackConnection(values.Get(), &isLoopback), STATUS_UNSUCCESSFUL);
        records = trace.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, TRACE_LEVEL_WARNING);

        trace.Clear();
        values.SetBlob(0, "", 0);
        PCWSTR text = nullptr;
        UINT32 length = 0;
        EXPECT_EQ(GetAppId(values.Get(), &text, &length), STATUS_UNSUCCESSFUL);
        records = trace.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, TRACE_LEVEL_ERROR);
    }
    qvr_test::UnloadDriverClean();
}

}  // namespace
