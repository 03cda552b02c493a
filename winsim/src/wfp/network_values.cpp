/*
 * network_values.cpp (winsim network)
 *
 * The incoming values and metadata the stack hands each layer, in the field order of the
 * layer's FWPS_FIELDS_* enumeration: ALE connect-redirect (the request as the socket made
 * it), ALE auth-connect (where the connection now goes, with the redirect metadata of a
 * redirected connection) and the discard layers (with the discard metadata).
 */
#include "network_internal.h"

namespace winsim::network {

using namespace winsim::wfp::detail;

namespace {

constexpr UINT32 kLoopbackInterfaceIndex = 1;
constexpr UINT32 kEthernetInterfaceIndex = 11;
constexpr UINT32 kIfTypeEthernet = 6;
constexpr UINT32 kIfTypeLoopback = 24;

std::vector<UINT8> Utf16Blob(const std::u16string &text)
{
    std::vector<UINT8> bytes((text.size() + 1) * sizeof(char16_t));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());  // NUL included in the size
    return bytes;
}

void SetAddress(ValueSet &v, UINT32 index, const Address &a)
{
    if (a.family == 2) {
        v.SetUint32(index, a.V4HostOrder());
    } else {
        v.SetArray16(index, a.bytes.data());
    }
}

void SetInterface(ValueSet &v, bool loopback, UINT32 luidIndex, UINT32 typeIndex, UINT32 tunnelIndex,
                  UINT32 indexIndex, UINT32 subIndexIndex)
{
    UINT32 type = loopback ? kIfTypeLoopback : kIfTypeEthernet;
    UINT32 index = loopback ? kLoopbackInterfaceIndex : kEthernetInterfaceIndex;
    v.SetUint64(luidIndex, (static_cast<UINT64>(type) << 48) | (static_cast<UINT64>(index) << 24));
    v.SetUint32(typeIndex, type);
    v.SetUint32(tunnelIndex, 0);
    v.SetUint32(indexIndex, index);
    v.SetUint32(subIndexIndex, index);
}

// Traffic to any address of the machine is loopback traffic for WFP, not only 127/8 and ::1.
bool IsLocalAddress(const Address &a, const Address &boundLocal)
{
    return a.IsLoopback() || a == HostAddress(a.family) || (!boundLocal.IsUnspecified() && a == boundLocal);
}

std::unique_ptr<LayerRun> NewRun(UINT16 layerId, UINT32 count, KIRQL irql)
{
    auto run = std::make_unique<LayerRun>();
    run->layerId = layerId;
    run->values = std::make_unique<ValueSet>(layerId, count);
    run->irql = irql;
    run->order = FiltersForLayer(layerId);
    return run;
}

void AddProcess(LayerRun &run, std::uint64_t processId, const std::u16string &appId, bool withPath)
{
    run.meta.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
    run.meta.processId = processId;
    if (withPath && !appId.empty()) {
        run.meta.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_PATH;
        run.meta.processPath = run.values->NewBlob(Utf16Blob(appId));
    }
}

}  // namespace

void ToSockaddr(const Endpoint &endpoint, SOCKADDR_STORAGE *out)
{
    std::memset(out, 0, sizeof(*out));
    if (endpoint.address.family == 2) {
        auto *in = reinterpret_cast<SOCKADDR_IN *>(out);
        in->sin_family = AF_INET;
        in->sin_port = RtlUshortByteSwap(endpoint.port);
        std::memcpy(&in->sin_addr, endpoint.address.bytes.data(), 4);
    } else {
        auto *in6 = reinterpret_cast<SOCKADDR_IN6 *>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = RtlUshortByteSwap(endpoint.port);
        std::memcpy(&in6->sin6_addr, endpoint.address.bytes.data(), 16);
    }
}

Endpoint FromSockaddr(const SOCKADDR_STORAGE &in)
{
    Endpoint e;
    if (in.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const SOCKADDR_IN6 *>(&in);
        e.address.family = 23;
        std::memcpy(e.address.bytes.data(), &in6->sin6_addr, 16);
        e.port = RtlUshortByteSwap(in6->sin6_port);
    } else {
        const auto *in4 = reinterpret_cast<const SOCKADDR_IN *>(&in);
        e.address.family = in.ss_family == AF_INET ? 2 : in.ss_family;
        std::memcpy(e.address.bytes.data(), &in4->sin_addr, 4);
        e.port = RtlUshortByteSwap(in4->sin_port);
    }
    return e;
}

std::unique_ptr<LayerRun> BuildConnectRedirectRun(ConnectionState &c, bool reauthorization)
{
    bool v6 = c.requestedRemote.address.family == 23;
    UINT16 layer = v6 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V6 : FWPS_LAYER_ALE_CONNECT_REDIRECT_V4;
    auto run = NewRun(layer, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX, c.request.classifyIrql);
    ValueSet &v = *run->values;
    if (!c.request.appId.empty()) {
        v.SetBlob(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID, Utf16Blob(c.request.appId));
    }
    Endpoint local = FromSockaddr(c.chain.original.localAddressAndPort);
    SetAddress(v, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS, local.address);
    v.SetUint8(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS_TYPE, 0);
    v.SetUint16(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, local.port);
    v.SetUint8(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL, c.request.protocol);
    SetAddress(v, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, c.requestedRemote.address);
    v.SetUint8(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_DESTINATION_ADDRESS_TYPE, 0);
    v.SetUint16(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT, c.requestedRemote.port);
    UINT32 flags = IsLocalAddress(c.requestedRemote.address, local.address) ? FWP_CONDITION_FLAG_IS_LOOPBACK : 0;
    flags |= reauthorization ? FWP_CONDITION_FLAG_IS_REAUTHORIZE : 0;
    v.SetUint32(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS, flags);
    if (!c.request.originalAppId.empty()) {
        v.SetBlob(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_ORIGINAL_APP_ID, Utf16Blob(c.request.originalAppId));
    }
    AddProcess(*run, c.request.processId, c.request.appId, false);
    run->meta.currentMetadataValues |= FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE;
    run->meta.transportEndpointHandle = c.id;
    if (!c.records.records.empty()) {
        run->meta.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
        run->meta.redirectRecords = &c.records;
    }
    run->chain = &c.chain;
    return run;
}

std::unique_ptr<LayerRun> BuildAuthConnectRun(ConnectionState &c, bool reauthorization, bool discard)
{
    bool v6 = c.remote.address.family == 23;
    UINT16 layer = v6 ? (discard ? FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD : FWPS_LAYER_ALE_AUTH_CONNECT_V6)
                      : (discard ? FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD : FWPS_LAYER_ALE_AUTH_CONNECT_V4);
    auto run = NewRun(layer, FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX, c.request.classifyIrql);
    ValueSet &v = *run->values;
    bool loopback = IsLocalAddress(c.remote.address, c.local.address);
    if (!c.request.appId.empty()) {
        v.SetBlob(FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID, Utf16Blob(c.request.appId));
    }
    SetAddress(v, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS, c.local.address);
    v.SetUint8(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS_TYPE, 0);
    v.SetUint16(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT, c.local.port);
    v.SetUint8(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL, c.request.protocol);
    SetAddress(v, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS, c.remote.address);
    v.SetUint16(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT, c.remote.port);
    v.SetUint8(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_DESTINATION_ADDRESS_TYPE, 0);
    UINT32 flags = loopback ? FWP_CONDITION_FLAG_IS_LOOPBACK : 0;
    flags |= c.redirected ? FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED : 0;
    flags |= reauthorization ? FWP_CONDITION_FLAG_IS_REAUTHORIZE : 0;
    v.SetUint32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, flags);
    SetInterface(v, loopback, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_INTERFACE,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_TYPE, FWPS_FIELD_ALE_AUTH_CONNECT_V4_TUNNEL_TYPE,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_INDEX, FWPS_FIELD_ALE_AUTH_CONNECT_V4_SUB_INTERFACE_INDEX);
    SetInterface(v, loopback, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_NEXTHOP_INTERFACE,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_NEXTHOP_INTERFACE_TYPE,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_NEXTHOP_TUNNEL_TYPE,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_NEXTHOP_INTERFACE_INDEX,
                 FWPS_FIELD_ALE_AUTH_CONNECT_V4_NEXTHOP_SUB_INTERFACE_INDEX);
    v.SetUint32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_ORIGINAL_PROFILE_ID, 1);
    v.SetUint32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_CURRENT_PROFILE_ID, 1);
    v.SetUint32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_REAUTHORIZE_REASON,
                reauthorization ? FWP_CONDITION_REAUTHORIZE_REASON_CLASSIFY_COMPLETION : 0);
    v.SetUint64(FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_QUARANTINE_EPOCH, 0);
    if (!c.request.originalAppId.empty()) {
        v.SetBlob(FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_ORIGINAL_APP_ID, Utf16Blob(c.request.originalAppId));
    }
    FWPS_INCOMING_METADATA_VALUES0 &m = run->meta;
    AddProcess(*run, c.request.processId, c.request.appId, true);
    m.currentMetadataValues |= FWPS_METADATA_FIELD_FLOW_HANDLE | FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE |
                               FWPS_METADATA_FIELD_PACKET_DIRECTION | FWPS_METADATA_FIELD_COMPARTMENT_ID;
    m.flowHandle = c.flow ? c.flow->id : 0;
    m.transportEndpointHandle = c.id;
    m.packetDirection = FWP_DIRECTION_OUTBOUND;
    m.compartmentId = 1;
    if (discard) {
        m.currentMetadataValues |= FWPS_METADATA_FIELD_DISCARD_REASON;
        m.discardMetadata.discardModule = FWPS_DISCARD_MODULE_GENERAL;
        m.discardMetadata.discardReason = FWPS_DISCARD_FIREWALL_POLICY;
        m.discardMetadata.filterId = c.decidingFilter;
    } else {
        m.currentMetadataValues |= FWPS_METADATA_FIELD_COMPLETION_HANDLE;
        m.completionHandle = &c.site;
    }
    if (!c.records.records.empty()) {
        m.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
        m.redirectRecords = &c.records;
    }
    if (c.redirected) {
        m.currentMetadataValues |= FWPS_METADATA_FIELD_LOCAL_REDIRECT_TARGET_PID |
                                   FWPS_METADATA_FIELD_ORIGINAL_DESTINATION;
        m.localRedirectTargetPID = c.targetPid;
        m.originalDestination = reinterpret_cast<SOCKADDR *>(&c.originalDestination);
    }
    run->flow = c.flow;
    return run;
}

namespace {

// The fields of a transport discard layer (inbound or outbound).
std::unique_ptr<LayerRun> BuildTransportDiscardRun(const DiscardEvent &event, bool inbound)
{
    bool loopback = event.remote.address.IsLoopback();
    auto run = NewRun(event.layerId,
                      inbound ? UINT32(FWPS_FIELD_INBOUND_TRANSPORT_V4_MAX) : UINT32(FWPS_FIELD_OUTBOUND_TRANSPORT_V4_MAX),
                      event.classifyIrql);
    ValueSet &v = *run->values;
    // Both transport enumerations start with the same six fields.
    v.SetUint8(FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_PROTOCOL, event.protocol);
    SetAddress(v, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS, event.local.address);
    v.SetUint8(FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS_TYPE, 0);
    SetAddress(v, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_ADDRESS, event.remote.address);
    v.SetUint16(FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_PORT, event.local.port);
    v.SetUint16(FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_PORT, event.remote.port);
    if (inbound) {
        SetInterface(v, loopback, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_INTERFACE,
                     FWPS_FIELD_INBOUND_TRANSPORT_V4_INTERFACE_TYPE, FWPS_FIELD_INBOUND_TRANSPORT_V4_TUNNEL_TYPE,
                     FWPS_FIELD_INBOUND_TRANSPORT_V4_INTERFACE_INDEX,
                     FWPS_FIELD_INBOUND_TRANSPORT_V4_SUB_INTERFACE_INDEX);
        v.SetUint32(FWPS_FIELD_INBOUND_TRANSPORT_V4_FLAGS, event.flags);
        v.SetUint32(FWPS_FIELD_INBOUND_TRANSPORT_V4_PROFILE_ID, 1);
    } else {
        SetInterface(v, loopback, FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_LOCAL_INTERFACE,
                     FWPS_FIELD_OUTBOUND_TRANSPORT_V4_INTERFACE_TYPE,
                     FWPS_FIELD_OUTBOUND_TRANSPORT_V4_TUNNEL_TYPE, FWPS_FIELD_OUTBOUND_TRANSPORT_V4_INTERFACE_INDEX,
                     FWPS_FIELD_OUTBOUND_TRANSPORT_V4_SUB_INTERFACE_INDEX);
        v.SetUint8(FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_DESTINATION_ADDRESS_TYPE, 0);
        v.SetUint32(FWPS_FIELD_OUTBOUND_TRANSPORT_V4_FLAGS, event.flags);
        v.SetUint32(FWPS_FIELD_OUTBOUND_TRANSPORT_V4_PROFILE_ID, 1);
    }
    return run;
}

std::unique_ptr<LayerRun> BuildRecvAcceptDiscardRun(const DiscardEvent &event)
{
    bool loopback = event.remote.address.IsLoopback();
    auto run = NewRun(event.layerId, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_MAX, event.classifyIrql);
    ValueSet &v = *run->values;
    if (!event.appId.empty()) {
        v.SetBlob(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_ALE_APP_ID, Utf16Blob(event.appId));
    }
    SetAddress(v, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS, event.local.address);
    v.SetUint8(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS_TYPE, 0);
    v.SetUint16(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_PORT, event.local.port);
    v.SetUint8(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_PROTOCOL, event.protocol);
    SetAddress(v, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_ADDRESS, event.remote.address);
    v.SetUint16(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_PORT, event.remote.port);
    v.SetUint32(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS, event.flags);
    SetInterface(v, loopback, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_INTERFACE,
                 FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_TYPE, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_TUNNEL_TYPE,
                 FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_INDEX,
                 FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_SUB_INTERFACE_INDEX);
    return run;
}

// The auth-connect fields of a connection that never had a flow or a transport endpoint.
std::unique_ptr<LayerRun> BuildAuthConnectDiscardRun(const DiscardEvent &event)
{
    ConnectionState c;
    c.request.protocol = event.protocol;
    c.request.appId = event.appId;
    c.request.classifyIrql = event.classifyIrql;
    c.request.processId = event.processId;
    c.remote = event.remote;
    c.local = event.local;
    c.decidingFilter = event.filterId;
    auto run = BuildAuthConnectRun(c, false, true);
    run->values->SetUint32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, event.flags);
    run->meta.currentMetadataValues &= ~(FWPS_METADATA_FIELD_FLOW_HANDLE | FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE);
    return run;
}

}  // namespace

std::unique_ptr<LayerRun> BuildDiscardRun(const DiscardEvent &event)
{
    UINT16 id = event.layerId;
    bool transportIn = id == FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD || id == FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD;
    bool transportOut =
        id == FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD || id == FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD;
    bool recvAccept =
        id == FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD || id == FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD;
    bool authConnect = id == FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD || id == FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD;
    std::unique_ptr<LayerRun> run;
    if (transportIn || transportOut) {
        run = BuildTransportDiscardRun(event, transportIn);
    } else if (recvAccept) {
        run = BuildRecvAcceptDiscardRun(event);
    } else if (authConnect) {
        run = BuildAuthConnectDiscardRun(event);
    } else {
        return nullptr;
    }
    FWPS_INCOMING_METADATA_VALUES0 &m = run->meta;
    if ((recvAccept || authConnect) && event.processId != 0) {
        AddProcess(*run, event.processId, event.appId, true);
    } else if (authConnect) {
        m.currentMetadataValues &= ~(FWPS_METADATA_FIELD_PROCESS_ID | FWPS_METADATA_FIELD_PROCESS_PATH);
    }
    m.currentMetadataValues |= FWPS_METADATA_FIELD_DISCARD_REASON;
    m.discardMetadata.discardModule = event.module;
    m.discardMetadata.discardReason = event.reason;
    m.discardMetadata.filterId = event.filterId;
    return run;
}

}  // namespace winsim::network
