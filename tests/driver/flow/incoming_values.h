// Incoming values laid out as WFP fills them at each layer the accessors know, for tests
// that hand a classify's values to driver code directly: the field order of each layer comes
// from the FWPS_FIELD_* enumerations of fwpsk.h, and the documented index of each fact is
// kept beside it, so a wrong row in the driver or a wrong enumeration in the header both show.
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#include <cstring>
#include <deque>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvr_test {

constexpr UINT32 kNone = 0xFFFFFFFFu;

// Where a layer keeps each fact, by the header's enumeration, and the index the documented
// field tables give for it.
struct LayerRow {
    UINT16 layerId;
    const char *name;
    UINT16 family;
    UINT32 valueCount;  // the enumeration's _MAX
    UINT32 protocol, localAddress, remoteAddress, localPort, remotePort, flags;
    UINT32 interfaceIndex, subInterfaceIndex, appId, originalAppId;
    // Documented indexes: local address, remote address, local port, remote port, flags,
    // interface index, sub-interface index.
    UINT32 documented[7];
};

inline void PrintTo(const LayerRow &row, std::ostream *os) { *os << row.name; }

#define TRANSPORT_ROW(id, fam, FAMILY, flagsIndex)                                                              \
    LayerRow{id, #id, fam, FWPS_FIELD_##FAMILY##_MAX, FWPS_FIELD_##FAMILY##_IP_PROTOCOL,                        \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_ADDRESS, FWPS_FIELD_##FAMILY##_IP_REMOTE_ADDRESS,                   \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_PORT, FWPS_FIELD_##FAMILY##_IP_REMOTE_PORT,                         \
             FWPS_FIELD_##FAMILY##_FLAGS, FWPS_FIELD_##FAMILY##_INTERFACE_INDEX,                                \
             FWPS_FIELD_##FAMILY##_SUB_INTERFACE_INDEX, kNone, kNone, {1, 3, 4, 5, flagsIndex, 7, 8}}

#define RECV_ACCEPT_ROW(id, fam, FAMILY)                                                                        \
    LayerRow{id, #id, fam, FWPS_FIELD_##FAMILY##_MAX, FWPS_FIELD_##FAMILY##_IP_PROTOCOL,                        \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_ADDRESS, FWPS_FIELD_##FAMILY##_IP_REMOTE_ADDRESS,                   \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_PORT, FWPS_FIELD_##FAMILY##_IP_REMOTE_PORT,                         \
             FWPS_FIELD_##FAMILY##_FLAGS, FWPS_FIELD_##FAMILY##_INTERFACE_INDEX,                                \
             FWPS_FIELD_##FAMILY##_SUB_INTERFACE_INDEX, FWPS_FIELD_##FAMILY##_ALE_APP_ID, kNone,                \
             {2, 6, 4, 7, 11, 16, 17}}

#define AUTH_CONNECT_ROW(id, fam, FAMILY)                                                                       \
    LayerRow{id, #id, fam, FWPS_FIELD_##FAMILY##_MAX, FWPS_FIELD_##FAMILY##_IP_PROTOCOL,                        \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_ADDRESS, FWPS_FIELD_##FAMILY##_IP_REMOTE_ADDRESS,                   \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_PORT, FWPS_FIELD_##FAMILY##_IP_REMOTE_PORT,                         \
             FWPS_FIELD_##FAMILY##_FLAGS, FWPS_FIELD_##FAMILY##_INTERFACE_INDEX,                                \
             FWPS_FIELD_##FAMILY##_SUB_INTERFACE_INDEX, FWPS_FIELD_##FAMILY##_ALE_APP_ID,                       \
             FWPS_FIELD_##FAMILY##_ALE_ORIGINAL_APP_ID, {2, 6, 4, 7, 12, 15, 16}}

#define CONNECT_REDIRECT_ROW(id, fam, FAMILY)                                                                   \
    LayerRow{id, #id, fam, FWPS_FIELD_##FAMILY##_MAX, FWPS_FIELD_##FAMILY##_IP_PROTOCOL,                        \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_ADDRESS, FWPS_FIELD_##FAMILY##_IP_REMOTE_ADDRESS,                   \
             FWPS_FIELD_##FAMILY##_IP_LOCAL_PORT, FWPS_FIELD_##FAMILY##_IP_REMOTE_PORT,                         \
             FWPS_FIELD_##FAMILY##_FLAGS, kNone, kNone, FWPS_FIELD_##FAMILY##_ALE_APP_ID,                       \
             FWPS_FIELD_##FAMILY##_ALE_ORIGINAL_APP_ID, {2, 6, 4, 8, 9, kNone, kNone}}

inline const LayerRow kLayers[] = {
    TRANSPORT_ROW(FWPS_LAYER_INBOUND_TRANSPORT_V4, AF_INET, INBOUND_TRANSPORT_V4, 9),
    TRANSPORT_ROW(FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD, AF_INET, INBOUND_TRANSPORT_V4, 9),
    TRANSPORT_ROW(FWPS_LAYER_INBOUND_TRANSPORT_V6, AF_INET6, INBOUND_TRANSPORT_V6, 9),
    TRANSPORT_ROW(FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD, AF_INET6, INBOUND_TRANSPORT_V6, 9),
    TRANSPORT_ROW(FWPS_LAYER_OUTBOUND_TRANSPORT_V4, AF_INET, OUTBOUND_TRANSPORT_V4, 10),
    TRANSPORT_ROW(FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD, AF_INET, OUTBOUND_TRANSPORT_V4, 10),
    TRANSPORT_ROW(FWPS_LAYER_OUTBOUND_TRANSPORT_V6, AF_INET6, OUTBOUND_TRANSPORT_V6, 10),
    TRANSPORT_ROW(FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD, AF_INET6, OUTBOUND_TRANSPORT_V6, 10),
    RECV_ACCEPT_ROW(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, AF_INET, ALE_AUTH_RECV_ACCEPT_V4),
    RECV_ACCEPT_ROW(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD, AF_INET, ALE_AUTH_RECV_ACCEPT_V4),
    RECV_ACCEPT_ROW(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6, AF_INET6, ALE_AUTH_RECV_ACCEPT_V6),
    RECV_ACCEPT_ROW(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD, AF_INET6, ALE_AUTH_RECV_ACCEPT_V6),
    AUTH_CONNECT_ROW(FWPS_LAYER_ALE_AUTH_CONNECT_V4, AF_INET, ALE_AUTH_CONNECT_V4),
    AUTH_CONNECT_ROW(FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD, AF_INET, ALE_AUTH_CONNECT_V4),
    AUTH_CONNECT_ROW(FWPS_LAYER_ALE_AUTH_CONNECT_V6, AF_INET6, ALE_AUTH_CONNECT_V6),
    AUTH_CONNECT_ROW(FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD, AF_INET6, ALE_AUTH_CONNECT_V6),
    CONNECT_REDIRECT_ROW(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, AF_INET, ALE_CONNECT_REDIRECT_V4),
    CONNECT_REDIRECT_ROW(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, AF_INET6, ALE_CONNECT_REDIRECT_V6),
};

inline const std::u16string kAppPath = u"\\device\\harddiskvolume2\\program files\\browser\\browser.exe";
inline const std::u16string kOriginalAppPath = u"\\device\\harddiskvolume2\\windows\\system32\\svchost.exe";

constexpr UINT32 kLocalV4 = 0x0A000005;   // 10.0.0.5, host order as WFP gives it
constexpr UINT32 kRemoteV4 = 0xCB007107;  // 203.0.113.7
inline const UCHAR kLocalV6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
inline const UCHAR kRemoteV6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07};
inline const UCHAR kLoopbackV6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr UINT16 kLocalPort = 49152;
constexpr UINT16 kRemotePort = 443;
constexpr UINT32 kFlags = FWP_CONDITION_FLAG_IS_REAUTHORIZE | FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED;
constexpr UINT32 kInterfaceIndex = 7;
constexpr UINT32 kSubInterfaceIndex = 9;

// One classify's incoming values, owning every buffer the values point to. Fields the
// accessors do not read carry a UINT32 decoy of their own index, so that an accessor that
// reads the wrong field gets a wrong value or a wrong type.
class IncomingValues {
public:
    explicit IncomingValues(const LayerRow &row) : row_(row), values_(row.valueCount)
    {
        for (UINT32 i = 0; i < row.valueCount; ++i) {
            values_[i].value.type = FWP_UINT32;
            values_[i].value.uint32 = 0xDEC00000u | i;
        }
        SetUint8(row.protocol, 6);
        if (row.family == AF_INET) {
            SetUint32(row.localAddress, kLocalV4);
            SetUint32(row.remoteAddress, kRemoteV4);
        } else {
            SetBytes16(row.localAddress, kLocalV6);
            SetBytes16(row.remoteAddress, kRemoteV6);
        }
        SetUint16(row.localPort, kLocalPort);
        SetUint16(row.remotePort, kRemotePort);
        SetUint32(row.flags, kFlags);
        if (row.interfaceIndex != kNone) {
            SetUint32(row.interfaceIndex, kInterfaceIndex);
            SetUint32(row.subInterfaceIndex, kSubInterfaceIndex);
        }
        if (row.appId != kNone) {
            SetText(row.appId, kAppPath);
        }
        if (row.originalAppId != kNone) {
            SetEmpty(row.originalAppId);
        }
    }

    const FWPS_INCOMING_VALUES0 *Get()
    {
        fixed_.layerId = row_.layerId;
        fixed_.valueCount = static_cast<UINT32>(values_.size());
        fixed_.incomingValue = values_.data();
        return &fixed_;
    }

    FWP_VALUE0 &At(UINT32 index) { return values_.at(index).value; }
    void Truncate(UINT32 count) { values_.resize(count); }

    void SetEmpty(UINT32 index) { At(index) = FWP_VALUE0{}; }
    void SetUint8(UINT32 index, UINT8 v) { At(index).type = FWP_UINT8; At(index).uint8 = v; }
    void SetUint16(UINT32 index, UINT16 v) { At(index).type = FWP_UINT16; At(index).uint16 = v; }
    void SetUint32(UINT32 index, UINT32 v) { At(index).type = FWP_UINT32; At(index).uint32 = v; }
    void SetBytes16(UINT32 index, const UCHAR (&bytes)[16])
    {
        arrays_.emplace_back();
        std::memcpy(arrays_.back().byteArray16, bytes, 16);
        At(index).type = FWP_BYTE_ARRAY16_TYPE;
        At(index).byteArray16 = &arrays_.back();
    }
    // A blob of raw bytes; sizes that are not what WFP writes come through here.
    void SetBlob(UINT32 index, const void *data, UINT32 size)
    {
        blobData_.emplace_back(static_cast<const UINT8 *>(data), static_cast<const UINT8 *>(data) + size);
        blobs_.push_back(FWP_BYTE_BLOB{size, blobData_.back().empty() ? nullptr : blobData_.back().data()});
        At(index).type = FWP_BYTE_BLOB_TYPE;
        At(index).byteBlob = &blobs_.back();
    }
    // An application id as WFP gives it: UTF-16, NUL-terminated, size in bytes with the NUL.
    void SetText(UINT32 index, const std::u16string &text)
    {
        SetBlob(index, text.c_str(), static_cast<UINT32>((text.size() + 1) * sizeof(char16_t)));
    }

private:
    LayerRow row_;
    std::vector<FWPS_INCOMING_VALUE0> values_;
    std::deque<FWP_BYTE_ARRAY16> arrays_;
    std::deque<std::vector<UINT8>> blobData_;
    std::deque<FWP_BYTE_BLOB> blobs_;
    FWPS_INCOMING_VALUES0 fixed_{};
};

inline const LayerRow &Row(UINT16 layerId)
{
    for (const LayerRow &row : kLayers) {
        if (row.layerId == layerId) {
            return row;
        }
    }
    throw std::logic_error("no such layer row");
}


}  // namespace qvr_test
