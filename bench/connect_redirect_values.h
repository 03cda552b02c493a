// connect_redirect_values.h
//
// A connect-redirect classify's incoming values as WFP fills them (IPv4 or IPv6), owning
// every buffer they point to, for benchmarks that hand them to driver code directly.
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#include <cstring>
#include <vector>

namespace qvrbench {

inline const char16_t kAppPath[] = u"\\device\\harddiskvolume2\\program files\\browser\\browser.exe";
inline const UCHAR kLocalV6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
inline const UCHAR kRemoteV6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07};

// A connect-redirect classify's incoming values (V4 for range 0, V6 for range 1).
struct ConnectRedirectValues {
    std::vector<FWPS_INCOMING_VALUE0> value;
    FWP_BYTE_ARRAY16 local{}, remote{};
    FWP_BYTE_BLOB app{};
    FWPS_INCOMING_VALUES0 fixed{};

    explicit ConnectRedirectValues(bool v6) : value(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX)
    {
        std::memcpy(local.byteArray16, kLocalV6, 16);
        std::memcpy(remote.byteArray16, kRemoteV6, 16);
        app.size = sizeof(kAppPath);
        app.data = reinterpret_cast<UINT8 *>(const_cast<char16_t *>(kAppPath));
        Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID, FWP_BYTE_BLOB_TYPE).byteBlob = &app;
        Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL, FWP_UINT8).uint8 = 6;
        Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, FWP_UINT16).uint16 = 49152;
        Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT, FWP_UINT16).uint16 = 443;
        Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS, FWP_UINT32).uint32 = 0;
        if (v6) {
            Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_LOCAL_ADDRESS, FWP_BYTE_ARRAY16_TYPE).byteArray16 = &local;
            Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_ADDRESS, FWP_BYTE_ARRAY16_TYPE).byteArray16 = &remote;
        } else {
            Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS, FWP_UINT32).uint32 = 0x0A000005;
            Set(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, FWP_UINT32).uint32 = 0xCB007107;
        }
        fixed.layerId = v6 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V6 : FWPS_LAYER_ALE_CONNECT_REDIRECT_V4;
        fixed.valueCount = static_cast<UINT32>(value.size());
        fixed.incomingValue = value.data();
    }

    FWP_VALUE0 &Set(UINT32 index, FWP_DATA_TYPE type)
    {
        value[index].value.type = type;
        return value[index].value;
    }
};

}  // namespace qvrbench
