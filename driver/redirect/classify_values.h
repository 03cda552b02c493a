/*
 * classify_values.h
 *
 * Accessors for the incoming values that WFP hands a classify function: which field of a
 * layer holds the local and remote address and port, the flags, the interface indexes and
 * the application ids, and small readers that return those facts in one fixed form.
 * Nothing here allocates, locks or keeps state; returned text points into WFP's values
 * (or at a constant empty text) and is valid for the classify only.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

EXTERN_C_START

/*
 * Field-index accessors: layer id -> index into incomingValue. A layer outside the
 * accessor's rows gives STATUS_INVALID_PARAMETER (traced with the layer id).
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetLocalAddressIndex(_In_ UINT16 LayerId, _Out_ UINT32 *Index);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetRemoteAddressIndex(_In_ UINT16 LayerId, _Out_ UINT32 *Index);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetLocalPortIndex(_In_ UINT16 LayerId, _Out_ UINT32 *Index);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetRemotePortIndex(_In_ UINT16 LayerId, _Out_ UINT32 *Index);

/* Interface index and sub-interface index fields; STATUS_NOT_FOUND (untraced) elsewhere. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetInterfaceIndexFieldIndexes(_In_ UINT16 LayerId, _Out_ UINT32 *InterfaceIndexField,
                                       _Out_ UINT32 *SubInterfaceIndexField);

/* The application id field; STATUS_UNSUCCESSFUL when it is not a present blob. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetAppIdIndex(_In_ const FWPS_INCOMING_VALUES0 *Values, _Out_ UINT32 *Index);

/* The original application id field where the layer has one and it is present, else the
   application id field; STATUS_UNSUCCESSFUL when the chosen field is not a present blob. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetEffectiveAppIdIndex(_In_ const FWPS_INCOMING_VALUES0 *Values, _Out_ UINT32 *Index);

/* AF_INET or AF_INET6 for a layer that carries IP addresses; STATUS_UNSUCCESSFUL else. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetAddressFamily(_In_ UINT16 LayerId, _Out_ UINT16 *Family);

/* TRUE unless field Index exists, is an FWP_BYTE_BLOB_TYPE and points at a blob. */
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsBlobFieldMissing(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ UINT32 Index);

/* The part of a NUL-terminated path after its last backslash, or the path itself. */
_IRQL_requires_max_(DISPATCH_LEVEL)
PCWSTR GetFileNamePart(_In_z_ PCWSTR Path);

/* The layer's flags field. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetConditionFlags(_In_ const FWPS_INCOMING_VALUES0 *Values, _Out_ UINT32 *Flags);

/*
 * Writes the address of field Index (IPv4 in network order at offset 4, IPv6 at offset 8)
 * and its family (offset 0: AF_INET for a 32-bit value, AF_INET6 for 16 bytes) into a socket
 * address; the port is not touched. Fails for a layer without IP addresses.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetAddressField(_In_ const FWPS_INCOMING_VALUES0 *Values, _In_ UINT32 Index,
                         _Inout_ SOCKADDR_STORAGE *Address);

/* Address and port (network order at offset 2) of one end of the connection. The port is
   left as the caller set it when the layer has no port field. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetLocalEndpoint(_In_ const FWPS_INCOMING_VALUES0 *Values, _Inout_ SOCKADDR_STORAGE *Address);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetRemoteEndpoint(_In_ const FWPS_INCOMING_VALUES0 *Values, _Inout_ SOCKADDR_STORAGE *Address);

/* Ports in host byte order. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetLocalPort(_In_ const FWPS_INCOMING_VALUES0 *Values, _Out_ UINT16 *Port);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetRemotePort(_In_ const FWPS_INCOMING_VALUES0 *Values, _Out_ UINT16 *Port);

/* Interface and sub-interface index; both outputs stay untouched where the layer has none. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID GetInterfaceIndexes(_In_ const FWPS_INCOMING_VALUES0 *Values, _Inout_ UINT32 *InterfaceIndex,
                         _Inout_ UINT32 *SubInterfaceIndex);

/* Application id text and its length in UTF-16 units (blob size / 2, rounded down). */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetAppId(_In_ const FWPS_INCOMING_VALUES0 *Values, _Outptr_result_maybenull_ PCWSTR *Text,
                  _Out_ UINT32 *Length);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetEffectiveAppId(_In_ const FWPS_INCOMING_VALUES0 *Values, _Outptr_result_maybenull_ PCWSTR *Text,
                           _Out_ UINT32 *Length);

/* File-name part of the (effective) application id; a constant empty text when missing. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Ret_notnull_
PCWSTR GetAppFileName(_In_ const FWPS_INCOMING_VALUES0 *Values);

_IRQL_requires_max_(DISPATCH_LEVEL)
_Ret_notnull_
PCWSTR GetEffectiveAppFileName(_In_ const FWPS_INCOMING_VALUES0 *Values);

/*
 * Whether the connection stays on this machine: the layer's loopback flag, a remote
 * address equal to the local one, 127.0.0.0/8 or ::1. When the flags cannot be read
 * *IsLoopback keeps the caller's value; if that is TRUE, the flags' failure is returned.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS IsLoopbackConnection(_In_ const FWPS_INCOMING_VALUES0 *Values, _Inout_ BOOLEAN *IsLoopback);

EXTERN_C_END
