/*
 * classify_values.cpp
 *
 * Maps a WFP layer id to the fields of its incoming values that the driver reads, and
 * reads them in one fixed form. WFP fills incomingValue in the order of the layer's
 * FWPS_FIELD_* enumeration, so one row per layer family (the V4 and V6 layers and their
 * discard layers share the numbering) is all the accessors need.
 */
#include "classify_values.h"

#include "../trace/trace.h"
#include "classify_values.tmh"

/* Marks a fact that the layer family does not carry. */
#define NO_FIELD MAXULONG

/* The field indexes of one family of layers. */
typedef struct _LAYER_FIELDS {
    UINT32 LocalAddress;       // IP_LOCAL_ADDRESS
    UINT32 RemoteAddress;      // IP_REMOTE_ADDRESS
    UINT32 LocalPort;          // IP_LOCAL_PORT
    UINT32 RemotePort;         // IP_REMOTE_PORT
    UINT32 Flags;              // FLAGS
    UINT32 InterfaceIndex;     // INTERFACE_INDEX, NO_FIELD where the layer has none
    UINT32 SubInterfaceIndex;  // SUB_INTERFACE_INDEX, NO_FIELD where the layer has none
    UINT32 AppId;              // ALE_APP_ID, NO_FIELD below the ALE layers
    UINT32 OriginalAppId;      // ALE_ORIGINAL_APP_ID where the effective app id prefers it
} LAYER_FIELDS;

/* The V6 enumerations number their fields like the V4 ones; the rows rely on it. */
#define SAME_V4_V6_FIELD(Layer, Field) \
    C_ASSERT((UINT32)FWPS_FIELD_##Layer##_V4_##Field == (UINT32)FWPS_FIELD_##Layer##_V6_##Field)
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, IP_LOCAL_ADDRESS);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, IP_REMOTE_ADDRESS);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, IP_LOCAL_PORT);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, IP_REMOTE_PORT);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, FLAGS);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, INTERFACE_INDEX);
SAME_V4_V6_FIELD(INBOUND_TRANSPORT, SUB_INTERFACE_INDEX);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, IP_LOCAL_ADDRESS);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, IP_REMOTE_ADDRESS);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, IP_LOCAL_PORT);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, IP_REMOTE_PORT);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, FLAGS);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, INTERFACE_INDEX);
SAME_V4_V6_FIELD(OUTBOUND_TRANSPORT, SUB_INTERFACE_INDEX);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, IP_LOCAL_ADDRESS);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, IP_REMOTE_ADDRESS);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, IP_LOCAL_PORT);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, IP_REMOTE_PORT);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, FLAGS);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, INTERFACE_INDEX);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, SUB_INTERFACE_INDEX);
SAME_V4_V6_FIELD(ALE_AUTH_RECV_ACCEPT, ALE_APP_ID);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, IP_LOCAL_ADDRESS);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, IP_REMOTE_ADDRESS);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, IP_LOCAL_PORT);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, IP_REMOTE_PORT);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, FLAGS);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, INTERFACE_INDEX);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, SUB_INTERFACE_INDEX);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, ALE_APP_ID);
SAME_V4_V6_FIELD(ALE_AUTH_CONNECT, ALE_ORIGINAL_APP_ID);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, IP_LOCAL_ADDRESS);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, IP_REMOTE_ADDRESS);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, IP_LOCAL_PORT);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, IP_REMOTE_PORT);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, FLAGS);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, ALE_APP_ID);
SAME_V4_V6_FIELD(ALE_CONNECT_REDIRECT, ALE_ORIGINAL_APP_ID);

static const LAYER_FIELDS InboundTransportFields = {
    FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_PORT,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_FLAGS,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_INTERFACE_INDEX,
    FWPS_FIELD_INBOUND_TRANSPORT_V4_SUB_INTERFACE_INDEX,
    NO_FIELD,
    NO_FIELD,
};

static const LAYER_FIELDS OutboundTransportFields = {
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_REMOTE_PORT,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_FLAGS,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_INTERFACE_INDEX,
    FWPS_FIELD_OUTBOUND_TRANSPORT_V4_SUB_INTERFACE_INDEX,
    NO_FIELD,
    NO_FIELD,
};

/* The receive-accept layers take the application id itself as the effective one. */
static const LAYER_FIELDS RecvAcceptFields = {
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_PORT,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_INDEX,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_SUB_INTERFACE_INDEX,
    FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_ALE_APP_ID,
    NO_FIELD,
};

static const LAYER_FIELDS AuthConnectFields = {
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_INDEX,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_SUB_INTERFACE_INDEX,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_ORIGINAL_APP_ID,
};

static const LAYER_FIELDS ConnectRedirectFields = {
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS,
    NO_FIELD,
    NO_FIELD,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_ORIGINAL_APP_ID,
};

static const WCHAR EmptyText[] = L"";

static const LAYER_FIELDS *GetLayerFields(_In_ UINT16 LayerId)
{
    switch (LayerId) {
    case FWPS_LAYER_INBOUND_TRANSPORT_V4:
    case FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD:
    case FWPS_LAYER_INBOUND_TRANSPORT_V6:
    case FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD:
        return &InboundTransportFields;
    case FWPS_LAYER_OUTBOUND_TRANSPORT_V4:
    case FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD:
    case FWPS_LAYER_OUTBOUND_TRANSPORT_V6:
    case FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD:
        return &OutboundTransportFields;
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4:
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD:
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6:
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD:
        return &RecvAcceptFields;
    case FWPS_LAYER_ALE_AUTH_CONNECT_V4:
    case FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD:
    case FWPS_LAYER_ALE_AUTH_CONNECT_V6:
    case FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD:
        return &AuthConnectFields;
    case FWPS_LAYER_ALE_CONNECT_REDIRECT_V4:
    case FWPS_LAYER_ALE_CONNECT_REDIRECT_V6:
        return &ConnectRedirectFields;
    default:
        return nullptr;
    }
}

/*
 * The value of field Index, or null when the values do not reach that far. WFP always
 * fills a layer's whole enumeration; the test keeps a short array from being overrun.
 */
static const FWP_VALUE0 *GetFieldValue(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ UINT32 Index)
{
    if (Values->incomingValue == nullptr || Index >= Values->valueCount) {
        return nullptr;
    }
    return &Values->incomingValue[Index].value;
}

/* Looks up one field of the layer's row; NO_FIELD counts as a layer outside the rows. */
static NTSTATUS GetRowField(_In_ UINT16 LayerId, _In_ SIZE_T FieldOffset, _In_ PCSTR Accessor, _Out_ UINT32 *Index)
{
    const LAYER_FIELDS *fields = GetLayerFields(LayerId);
    UINT32 index = NO_FIELD;

    *Index = 0;
    if (fields != nullptr) {
        index = *reinterpret_cast<const UINT32 *>(reinterpret_cast<const UCHAR *>(fields) + FieldOffset);
    }
    if (index == NO_FIELD) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s: layer %u has no such field", Accessor, (ULONG)LayerId);
        return STATUS_INVALID_PARAMETER;
    }
    *Index = index;
    return STATUS_SUCCESS;
}

/* The value of one field of the layer's row; fails when the layer has no such field or
   the values stop short of it. */
static NTSTATUS GetRowValue(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ SIZE_T FieldOffset, _In_ PCSTR Accessor,
                            _Outptr_result_maybenull_ const FWP_VALUE0 **Value)
{
    NTSTATUS status;
    UINT32 index;

    *Value = nullptr;
    status = GetRowField(Values->layerId, FieldOffset, Accessor, &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Value = GetFieldValue(Values, index);
    if (*Value == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s: %u values at layer %u", Accessor, (ULONG)Values->valueCount,
                    (ULONG)Values->layerId);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS GetLocalAddressIndex(UINT16 LayerId, UINT32 *Index)
{
    return GetRowField(LayerId, FIELD_OFFSET(LAYER_FIELDS, LocalAddress), "GetLocalAddressIndex", Index);
}

_Use_decl_annotations_
NTSTATUS GetRemoteAddressIndex(UINT16 LayerId, UINT32 *Index)
{
    return GetRowField(LayerId, FIELD_OFFSET(LAYER_FIELDS, RemoteAddress), "GetRemoteAddressIndex", Index);
}

_Use_decl_annotations_
NTSTATUS GetLocalPortIndex(UINT16 LayerId, UINT32 *Index)
{
    return GetRowField(LayerId, FIELD_OFFSET(LAYER_FIELDS, LocalPort), "GetLocalPortIndex", Index);
}

_Use_decl_annotations_
NTSTATUS GetRemotePortIndex(UINT16 LayerId, UINT32 *Index)
{
    return GetRowField(LayerId, FIELD_OFFSET(LAYER_FIELDS, RemotePort), "GetRemotePortIndex", Index);
}

_Use_decl_annotations_
NTSTATUS GetInterfaceIndexFieldIndexes(UINT16 LayerId, UINT32 *InterfaceIndexField, UINT32 *SubInterfaceIndexField)
{
    const LAYER_FIELDS *fields = GetLayerFields(LayerId);

    *InterfaceIndexField = 0;
    *SubInterfaceIndexField = 0;
    // Asked for by every trace record; the layers without these fields are expected.
    if (fields == nullptr || fields->InterfaceIndex == NO_FIELD) {
        return STATUS_NOT_FOUND;
    }
    *InterfaceIndexField = fields->InterfaceIndex;
    *SubInterfaceIndexField = fields->SubInterfaceIndex;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
BOOLEAN IsBlobFieldMissing(const FWPS_INCOMING_VALUES0 *Values, UINT32 Index)
{
    const FWP_VALUE0 *value = GetFieldValue(Values, Index);

    if (value == nullptr || value->type != FWP_BYTE_BLOB_TYPE || value->byteBlob == nullptr) {
        return TRUE;
    }
    return FALSE;
}

/* A byte-blob field that is present and holds at least one byte. */
static BOOLEAN HasNonEmptyBlob(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ UINT32 Index)
{
    const FWP_BYTE_BLOB *blob;

    if (IsBlobFieldMissing(Values, Index)) {
        return FALSE;
    }
    blob = GetFieldValue(Values, Index)->byteBlob;
    return blob->size != 0 && blob->data != nullptr;
}

_Use_decl_annotations_
NTSTATUS GetAppIdIndex(const FWPS_INCOMING_VALUES0 *Values, UINT32 *Index)
{
    NTSTATUS status;
    UINT32 index;

    *Index = 0;
    status = GetRowField(Values->layerId, FIELD_OFFSET(LAYER_FIELDS, AppId), "GetAppIdIndex", &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsBlobFieldMissing(Values, index)) {
        return STATUS_UNSUCCESSFUL;
    }
    *Index = index;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS GetEffectiveAppIdIndex(const FWPS_INCOMING_VALUES0 *Values, UINT32 *Index)
{
    NTSTATUS status;
    UINT32 index;
    const LAYER_FIELDS *fields;

    *Index = 0;
    status = GetRowField(Values->layerId, FIELD_OFFSET(LAYER_FIELDS, AppId), "GetEffectiveAppIdIndex", &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A connection started on behalf of another program carries that program as the
    // original application id; it names the program the user sees. An empty one names
    // no program and counts as absent.
    fields = GetLayerFields(Values->layerId);
    if (fields->OriginalAppId != NO_FIELD && HasNonEmptyBlob(Values, fields->OriginalAppId)) {
        index = fields->OriginalAppId;
    }
    if (IsBlobFieldMissing(Values, index)) {
        return STATUS_UNSUCCESSFUL;
    }
    *Index = index;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS GetAddressFamily(UINT16 LayerId, UINT16 *Family)
{
    BOOLEAN isV6;

    *Family = 0;
    // FWPS_BUILTIN_LAYERS lists the layers up to the flow-established ones in fours
    // (V4, V4 discard, V6, V6 discard) and the later ones in pairs (V4, V6); the MAC
    // frame and vSwitch Ethernet layers carry no IP addresses.
    if (LayerId <= FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6_DISCARD) {
        isV6 = (LayerId & 2) != 0;
    } else if (LayerId <= FWPS_LAYER_OUTBOUND_MAC_FRAME_NATIVE || LayerId == FWPS_LAYER_INGRESS_VSWITCH_ETHERNET ||
               LayerId == FWPS_LAYER_EGRESS_VSWITCH_ETHERNET || LayerId > FWPS_LAYER_EGRESS_VSWITCH_TRANSPORT_V6) {
        return STATUS_UNSUCCESSFUL;
    } else {
        isV6 = (LayerId & 1) != 0;
    }
    *Family = isV6 ? AF_INET6 : AF_INET;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
PCWSTR GetFileNamePart(PCWSTR Path)
{
    PCWSTR lastBackslash = nullptr;
    PCWSTR cursor;

    if (Path == nullptr) {
        return Path;
    }
    for (cursor = Path; *cursor != L'\0'; ++cursor) {
        if (*cursor == L'\\') {
            lastBackslash = cursor;
        }
    }
    if (lastBackslash != nullptr && lastBackslash[1] != L'\0') {
        return lastBackslash + 1;
    }
    return Path;
}

_Use_decl_annotations_
NTSTATUS GetConditionFlags(const FWPS_INCOMING_VALUES0 *Values, UINT32 *Flags)
{
    NTSTATUS status;
    const FWP_VALUE0 *value;

    *Flags = 0;
    status = GetRowValue(Values, FIELD_OFFSET(LAYER_FIELDS, Flags), "GetConditionFlags", &value);
    if (NT_SUCCESS(status)) {
        *Flags = value->uint32;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS GetAddressField(const FWPS_INCOMING_VALUES0 *Values, UINT32 Index, SOCKADDR_STORAGE *Address)
{
    NTSTATUS status;
    UINT16 family;
    const FWP_VALUE0 *value;

    status = GetAddressFamily(Values->layerId, &family);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The family written is that of the address written, so that a value of the other
    // family than the layer's cannot pass for one of the layer's.
    value = GetFieldValue(Values, Index);
    if (value != nullptr && value->type == FWP_UINT32) {
        ULONG networkOrder = RtlUlongByteSwap(value->uint32);
        RtlCopyMemory(&((SOCKADDR_IN *)Address)->sin_addr, &networkOrder, sizeof(networkOrder));
        family = AF_INET;
    } else if (value != nullptr && value->type == FWP_BYTE_ARRAY16_TYPE && value->byteArray16 != nullptr) {
        RtlCopyMemory(&((SOCKADDR_IN6 *)Address)->sin6_addr, value->byteArray16->byteArray16, 16);
        family = AF_INET6;
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: field %u of layer %u has type %u", Index,
                    (ULONG)Values->layerId, value != nullptr ? (ULONG)value->type : (ULONG)FWP_EMPTY);
        return STATUS_UNSUCCESSFUL;
    }
    Address->ss_family = family;
    return STATUS_SUCCESS;
}

/* Address, then the port if the layer has one; the port does not decide the result. */
static NTSTATUS GetEndpoint(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ SIZE_T AddressField, _In_ SIZE_T PortField,
                            _In_ PCSTR Accessor, _Inout_ SOCKADDR_STORAGE *Address)
{
    NTSTATUS status;
    UINT32 index;
    const FWP_VALUE0 *port;

    status = GetRowField(Values->layerId, AddressField, Accessor, &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = GetAddressField(Values, index, Address);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (NT_SUCCESS(GetRowField(Values->layerId, PortField, Accessor, &index))) {
        port = GetFieldValue(Values, index);
        if (port != nullptr) {
            reinterpret_cast<SOCKADDR_IN *>(Address)->sin_port = RtlUshortByteSwap(port->uint16);
        }
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS GetLocalEndpoint(const FWPS_INCOMING_VALUES0 *Values, SOCKADDR_STORAGE *Address)
{
    return GetEndpoint(Values, FIELD_OFFSET(LAYER_FIELDS, LocalAddress), FIELD_OFFSET(LAYER_FIELDS, LocalPort),
                       "GetLocalEndpoint", Address);
}

_Use_decl_annotations_
NTSTATUS GetRemoteEndpoint(const FWPS_INCOMING_VALUES0 *Values, SOCKADDR_STORAGE *Address)
{
    return GetEndpoint(Values, FIELD_OFFSET(LAYER_FIELDS, RemoteAddress), FIELD_OFFSET(LAYER_FIELDS, RemotePort),
                       "GetRemoteEndpoint", Address);
}

static NTSTATUS GetPort(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ SIZE_T PortField, _In_ PCSTR Accessor,
                        _Out_ UINT16 *Port)
{
    NTSTATUS status;
    const FWP_VALUE0 *value;

    *Port = 0;
    status = GetRowValue(Values, PortField, Accessor, &value);
    if (NT_SUCCESS(status)) {
        *Port = value->uint16;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS GetLocalPort(const FWPS_INCOMING_VALUES0 *Values, UINT16 *Port)
{
    return GetPort(Values, FIELD_OFFSET(LAYER_FIELDS, LocalPort), "GetLocalPort", Port);
}

_Use_decl_annotations_
NTSTATUS GetRemotePort(const FWPS_INCOMING_VALUES0 *Values, UINT16 *Port)
{
    return GetPort(Values, FIELD_OFFSET(LAYER_FIELDS, RemotePort), "GetRemotePort", Port);
}

_Use_decl_annotations_
VOID GetInterfaceIndexes(const FWPS_INCOMING_VALUES0 *Values, UINT32 *InterfaceIndex, UINT32 *SubInterfaceIndex)
{
    UINT32 interfaceField;
    UINT32 subInterfaceField;
    const FWP_VALUE0 *interfaceValue;
    const FWP_VALUE0 *subInterfaceValue;

    if (!NT_SUCCESS(GetInterfaceIndexFieldIndexes(Values->layerId, &interfaceField, &subInterfaceField))) {
        return;
    }
    interfaceValue = GetFieldValue(Values, interfaceField);
    subInterfaceValue = GetFieldValue(Values, subInterfaceField);
    if (interfaceValue == nullptr || subInterfaceValue == nullptr) {
        return;
    }
    *InterfaceIndex = interfaceValue->uint32;
    *SubInterfaceIndex = subInterfaceValue->uint32;
}

/* Reads the blob of an application-id field chosen by IndexAccessor. */
static NTSTATUS GetAppIdText(_In_ const FWPS_INCOMING_VALUES0 *Values,
                             _In_ NTSTATUS (*IndexAccessor)(const FWPS_INCOMING_VALUES0 *, UINT32 *),
                             _In_ PCSTR Accessor, _Outptr_result_maybenull_ PCWSTR *Text, _Out_ UINT32 *Length)
{
    NTSTATUS status;
    UINT32 index;
    const FWP_BYTE_BLOB *blob;

    *Text = nullptr;
    *Length = 0;
    status = IndexAccessor(Values, &index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    blob = Values->incomingValue[index].value.byteBlob;
    if (blob->size == 0 || blob->data == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s: empty application id in field %u at layer %u", Accessor,
                    index, (ULONG)Values->layerId);
        return STATUS_UNSUCCESSFUL;
    }
    *Text = reinterpret_cast<PCWSTR>(blob->data);
    *Length = blob->size / sizeof(WCHAR);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS GetAppId(const FWPS_INCOMING_VALUES0 *Values, PCWSTR *Text, UINT32 *Length)
{
    return GetAppIdText(Values, GetAppIdIndex, "GetAppId", Text, Length);
}

_Use_decl_annotations_
NTSTATUS GetEffectiveAppId(const FWPS_INCOMING_VALUES0 *Values, PCWSTR *Text, UINT32 *Length)
{
    return GetAppIdText(Values, GetEffectiveAppIdIndex, "GetEffectiveAppId", Text, Length);
}

/*
 * The file-name part of an application id, as GetFileNamePart gives it, in one pass that
 * stays inside the blob: an id whose blob holds no NUL gives the empty text instead of a
 * read past the blob. Every classify's trace record asks for two of these.
 */
static PCWSTR GetIdFileName(_In_ NTSTATUS Status, _In_opt_ PCWSTR Text, _In_ UINT32 Length)
{
    UINT32 i;
    UINT32 lastBackslash = MAXULONG;

    if (!NT_SUCCESS(Status) || Text == nullptr) {
        return EmptyText;
    }
    for (i = 0; i < Length; ++i) {
        if (Text[i] == L'\0') {
            return lastBackslash != MAXULONG && lastBackslash + 1 < i ? &Text[lastBackslash + 1] : Text;
        }
        if (Text[i] == L'\\') {
            lastBackslash = i;
        }
    }
    return EmptyText;
}

_Use_decl_annotations_
PCWSTR GetAppFileName(const FWPS_INCOMING_VALUES0 *Values)
{
    PCWSTR text;
    UINT32 length;
    NTSTATUS status = GetAppId(Values, &text, &length);

    return GetIdFileName(status, text, length);
}

_Use_decl_annotations_
PCWSTR GetEffectiveAppFileName(const FWPS_INCOMING_VALUES0 *Values)
{
    PCWSTR text;
    UINT32 length;
    NTSTATUS status = GetEffectiveAppId(Values, &text, &length);

    return GetIdFileName(status, text, length);
}

static const UCHAR Ipv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

_Use_decl_annotations_
NTSTATUS IsLoopbackConnection(const FWPS_INCOMING_VALUES0 *Values, BOOLEAN *IsLoopback)
{
    NTSTATUS status;
    UINT32 flags;
    UINT32 remoteIndex;
    UINT32 localIndex;
    const FWP_VALUE0 *remote;
    const FWP_VALUE0 *local;

    status = GetConditionFlags(Values, &flags);
    if (NT_SUCCESS(status)) {
        *IsLoopback = (flags & FWP_CONDITION_FLAG_IS_LOOPBACK) != 0;
    }
    if (*IsLoopback) {
        return status;
    }
    status = GetRemoteAddressIndex(Values->layerId, &remoteIndex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = GetLocalAddressIndex(Values->layerId, &localIndex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    remote = GetFieldValue(Values, remoteIndex);
    local = GetFieldValue(Values, localIndex);
    // Both addresses must be of one kind: an IPv6 pointer is never read from an IPv4 value.
    if (local != nullptr && remote != nullptr && local->type == FWP_UINT32 && remote->type == FWP_UINT32) {
        *IsLoopback = remote->uint32 == local->uint32 || (remote->uint32 >> 24) == 127;
        return STATUS_SUCCESS;
    }
    if (local != nullptr && remote != nullptr && local->type == FWP_BYTE_ARRAY16_TYPE &&
        remote->type == FWP_BYTE_ARRAY16_TYPE && local->byteArray16 != nullptr && remote->byteArray16 != nullptr) {
        *IsLoopback = RtlEqualMemory(remote->byteArray16->byteArray16, local->byteArray16->byteArray16, 16) ||
                      RtlEqualMemory(remote->byteArray16->byteArray16, Ipv6Loopback, 16);
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%!FUNC!: address types %u and %u at layer %u",
                local != nullptr ? (ULONG)local->type : (ULONG)FWP_EMPTY,
                remote != nullptr ? (ULONG)remote->type : (ULONG)FWP_EMPTY, (ULONG)Values->layerId);
    return STATUS_UNSUCCESSFUL;
}
