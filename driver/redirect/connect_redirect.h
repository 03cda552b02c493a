/*
 * connect_redirect.h
 *
 * The connect-redirect classify: for an outbound TCP connection of a process that the
 * policy covers, rewrite the connect request so that the connection goes to the agent's
 * local proxy (the redirect target named by the filter's RedirectTargetBlob), with a
 * RedirectContextRecord that tells the proxy where the application wanted to go. The port
 * comes from the blob (immediate redirect) or from the agent's service (pended redirect,
 * deferred_work.h). Also the lookup that finds, in a connection's redirect records, the
 * process id of an earlier RedirectContextRecord.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#include "redirect_request.h"

EXTERN_C_START

/* classifyFn of both connect-redirect callouts (IPv4 and IPv6 layers alike). */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI AleConnectRedirectClassifyFn(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                                        _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                        _Inout_opt_ void *LayerData, _In_opt_ const void *ClassifyContext,
                                        _In_ const FWPS_FILTER1 *Filter, _In_ UINT64 FlowContext,
                                        _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut);

/* notifyFn of both connect-redirect callouts: accepts every notification and traces it. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI ConnectRedirectNotifyFn(_In_ FWPS_CALLOUT_NOTIFY_TYPE NotifyType, _In_ const GUID *FilterKey,
                                       _Inout_ FWPS_FILTER1 *Filter);

/*
 * Rewrites the request's connect request to the redirect target (the connection's own local
 * address, or loopback when that is unspecified, on the target port; the target process,
 * the redirect handle and the context record), then releases the request, which applies
 * the layer data and completes a pended classify. With AskAgentForPort the port is asked
 * from the agent's service first; when that fails the request is released unchanged and the
 * failure returned. *Request is null on return.
 */
_When_((*Request)->TargetBlob.AskAgentForPort != 0, _IRQL_requires_(PASSIVE_LEVEL))
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ApplyRedirect(_Inout_ PREDIRECT_REQUEST *Request);

/* IO_WORKITEM_ROUTINE of a pended redirect; Context is its DeferredWork. */
_IRQL_requires_(PASSIVE_LEVEL)
_Function_class_(IO_WORKITEM_ROUTINE)
VOID NTAPI RedirectWorkRoutine(_In_ PDEVICE_OBJECT DeviceObject, _In_opt_ PVOID Context);

/*
 * The ProcessId of the first valid RedirectContextRecord (version 4, whole) in the
 * connection's redirect records. *ProcessId is 0 unless it succeeds. STATUS_NOT_FOUND when
 * there are no records or no valid record; STATUS_INSUFFICIENT_RESOURCES when the copy of
 * the records cannot be allocated; else the failure of the records query.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS LookupRedirectedProcessId(_In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, _Out_ UINT64 *ProcessId);

/*
 * The first position in Buffer at which Pattern's bytes occur; null when any argument is
 * null or 0, when the buffer is shorter than the pattern, or when there is none.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
const UCHAR *FindByteSequence(_In_reads_bytes_opt_(BufferLength) const UCHAR *Buffer,
                              _In_reads_bytes_opt_(PatternLength) const UCHAR *Pattern, _In_ SIZE_T BufferLength,
                              _In_ SIZE_T PatternLength);

EXTERN_C_END
