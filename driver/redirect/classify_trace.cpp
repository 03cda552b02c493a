/*
 * classify_trace.cpp
 *
 * The classify and discard records and the layer-name table. The classify record is asked
 * for on every connection, so it collects nothing unless a session listens at a level that
 * writes some of it, and walks the application paths for their file names only for the
 * verbose record; what it collects stays on the stack (two socket addresses and a few
 * words) and reads each incoming value once.
 */
#include "classify_trace.h"

#include "classify_values.h"
#include "../trace/trace.h"
#include "classify_trace.tmh"

/* A case of GetLayerName: the layer id's own name, so the two cannot disagree. */
#define LAYER_NAME_CASE(LayerId) \
    case LayerId:                \
        return #LayerId

/* What both records carry besides their own fields. */
typedef struct _TRACE_CONNECTION {
    SOCKADDR_STORAGE Local;    // local address and port, zero-filled where not read
    SOCKADDR_STORAGE Remote;   // remote address and port, likewise
    UINT32 Flags;              // the layer's flags value, 0 when not read
    UINT32 InterfaceIndex;     // 0 at layers without one
    UINT32 SubInterfaceIndex;  // 0 at layers without one
} TRACE_CONNECTION;

_Use_decl_annotations_
PCSTR GetLayerName(UINT16 LayerId)
{
    // The receive-accept layers other than their discard layers have no records here.
    switch (LayerId) {
        LAYER_NAME_CASE(FWPS_LAYER_INBOUND_TRANSPORT_V4);
        LAYER_NAME_CASE(FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_INBOUND_TRANSPORT_V6);
        LAYER_NAME_CASE(FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_OUTBOUND_TRANSPORT_V4);
        LAYER_NAME_CASE(FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_OUTBOUND_TRANSPORT_V6);
        LAYER_NAME_CASE(FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_CONNECT_V6);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
        LAYER_NAME_CASE(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6);
    default:
        return "UNKNOWN";
    }
}

/* Port of a socket address in host byte order, widened as the records write ports. */
static ULONG PortOf(_In_ const SOCKADDR_STORAGE *Address)
{
    return RtlUshortByteSwap(reinterpret_cast<const SOCKADDR_IN *>(Address)->sin_port);
}

static ULONG Ipv4Of(_In_ const SOCKADDR_STORAGE *Address)
{
    return reinterpret_cast<const SOCKADDR_IN *>(Address)->sin_addr.S_un.S_addr;
}

static const IN6_ADDR *Ipv6Of(_In_ const SOCKADDR_STORAGE *Address)
{
    return &reinterpret_cast<const SOCKADDR_IN6 *>(Address)->sin6_addr;
}

static ULONG ScopeIdOf(_In_ const SOCKADDR_STORAGE *Address)
{
    return reinterpret_cast<const SOCKADDR_IN6 *>(Address)->sin6_scope_id;
}

/* Interface indexes and flags. Named is FALSE for the discard record, whose warnings carry
   the status only (a classify's Name may itself be null, and is then written as "NULL"). */
static VOID CollectLayerFacts(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ BOOLEAN Named, _In_opt_z_ PCSTR Name,
                              _Inout_ TRACE_CONNECTION *Connection)
{
    NTSTATUS status;

    Connection->InterfaceIndex = 0;
    Connection->SubInterfaceIndex = 0;
    GetInterfaceIndexes(Values, &Connection->InterfaceIndex, &Connection->SubInterfaceIndex);
    status = GetConditionFlags(Values, &Connection->Flags);
    if (!NT_SUCCESS(status)) {
        Connection->Flags = 0;
        if (Named) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%s: flags not read %!STATUS!", Name, status);
        } else {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "discard: flags not read %!STATUS!", status);
        }
    }
}

static VOID CollectEndpoints(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ BOOLEAN Named, _In_opt_z_ PCSTR Name,
                             _Inout_ TRACE_CONNECTION *Connection)
{
    NTSTATUS status;

    RtlZeroMemory(&Connection->Local, sizeof(Connection->Local));
    RtlZeroMemory(&Connection->Remote, sizeof(Connection->Remote));
    status = GetLocalEndpoint(Values, &Connection->Local);
    if (!NT_SUCCESS(status)) {
        if (Named) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%s: local endpoint not read %!STATUS!", Name, status);
        } else {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "discard: local endpoint not read %!STATUS!", status);
        }
    }
    status = GetRemoteEndpoint(Values, &Connection->Remote);
    if (!NT_SUCCESS(status)) {
        if (Named) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%s: remote endpoint not read %!STATUS!", Name, status);
        } else {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "discard: remote endpoint not read %!STATUS!", status);
        }
    }
}

_Use_decl_annotations_
VOID TraceClassifyParameters(const FWPS_INCOMING_VALUES0 *InFixedValues, const FWPS_FILTER1 *Filter,
                             const FWPS_CLASSIFY_OUT0 *ClassifyOut, PCSTR Name)
{
    TRACE_CONNECTION connection;
    PCWSTR effectiveAppName;
    PCWSTR appName;

    // Every connection comes through here: with no level that writes any of the record (the
    // error below is the least verbose of it), nothing is collected.
    if (!WPP_LEVEL_FLAGS_ENABLED(TRACE_LEVEL_ERROR, TRACE_DRIVER)) {
        return;
    }
    CollectLayerFacts(InFixedValues, TRUE, Name, &connection);
    CollectEndpoints(InFixedValues, TRUE, Name, &connection);

    if (connection.Local.ss_family != connection.Remote.ss_family) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s: local and remote address families differ", Name);
        return;
    }
    // The file names are found by walking the paths: only for the verbose record.
    if (!WPP_LEVEL_FLAGS_ENABLED(TRACE_LEVEL_VERBOSE, TRACE_DRIVER)) {
        return;
    }
    effectiveAppName = GetEffectiveAppFileName(InFixedValues);
    appName = GetAppFileName(InFixedValues);
    if (connection.Local.ss_family == AF_INET) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER,
                    "%s: %s filter %I64u action 0x%x rights 0x%x flags 0x%x interface %u.%u app %ws (%ws) "
                    "%!IPADDR!:%u -> %!IPADDR!:%u",
                    Name, GetLayerName(InFixedValues->layerId), Filter->filterId, ClassifyOut->actionType,
                    ClassifyOut->rights, connection.Flags, connection.InterfaceIndex, connection.SubInterfaceIndex,
                    effectiveAppName, appName, Ipv4Of(&connection.Local), PortOf(&connection.Local),
                    Ipv4Of(&connection.Remote), PortOf(&connection.Remote));
    } else {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER,
                    "%s: %s filter %I64u action 0x%x rights 0x%x flags 0x%x interface %u.%u app %ws (%ws) "
                    "[%!IPV6ADDR!]:%u scope %u -> [%!IPV6ADDR!]:%u scope %u",
                    Name, GetLayerName(InFixedValues->layerId), Filter->filterId, ClassifyOut->actionType,
                    ClassifyOut->rights, connection.Flags, connection.InterfaceIndex, connection.SubInterfaceIndex,
                    effectiveAppName, appName, Ipv6Of(&connection.Local), PortOf(&connection.Local),
                    ScopeIdOf(&connection.Local), Ipv6Of(&connection.Remote), PortOf(&connection.Remote),
                    ScopeIdOf(&connection.Remote));
    }
}

_Use_decl_annotations_
VOID TraceDiscard(const FWPS_INCOMING_VALUES0 *InFixedValues, const FWPS_FILTER1 *Filter, UINT32 DiscardModule,
                  UINT32 DiscardReason, UINT64 DiscardFilterId)
{
    TRACE_CONNECTION connection;

    CollectLayerFacts(InFixedValues, FALSE, nullptr, &connection);
    CollectEndpoints(InFixedValues, FALSE, nullptr, &connection);

    if (connection.Local.ss_family != connection.Remote.ss_family) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "discard: local and remote address families differ");
    } else if (connection.Local.ss_family == AF_INET) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER,
                    "discard at %s: filter %I64u flags 0x%x interface %u.%u module %u reason %u by filter %I64u "
                    "%!IPADDR!:%u -> %!IPADDR!:%u",
                    GetLayerName(InFixedValues->layerId), Filter->filterId, connection.Flags, connection.InterfaceIndex,
                    connection.SubInterfaceIndex, DiscardModule, DiscardReason, DiscardFilterId,
                    Ipv4Of(&connection.Local), PortOf(&connection.Local), Ipv4Of(&connection.Remote),
                    PortOf(&connection.Remote));
    } else {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER,
                    "discard at %s: filter %I64u flags 0x%x interface %u.%u module %u reason %u by filter %I64u "
                    "[%!IPV6ADDR!]:%u scope %u -> [%!IPV6ADDR!]:%u scope %u",
                    GetLayerName(InFixedValues->layerId), Filter->filterId, connection.Flags, connection.InterfaceIndex,
                    connection.SubInterfaceIndex, DiscardModule, DiscardReason, DiscardFilterId,
                    Ipv6Of(&connection.Local), PortOf(&connection.Local), ScopeIdOf(&connection.Local),
                    Ipv6Of(&connection.Remote), PortOf(&connection.Remote), ScopeIdOf(&connection.Remote));
    }
}
