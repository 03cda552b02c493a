/*
 * connect_redirect.cpp
 *
 * The connect-redirect classify of both ALE connect-redirect layers: decides whether an
 * outbound TCP connection belongs to a covered process and, if so, redirects it to the
 * agent's local proxy at once (port in the filter's blob) or pends it for the port query
 * (deferred_work.cpp). Also the application of a redirect to the connect request and the
 * callouts' notify function.
 */
#include "connect_redirect.h"

#include <fwpmk.h>

#include "deferred_work.h"
#include "wfp_context.h"
#include "classify_values.h"
#include "classify_trace.h"
#include "../trace/trace.h"
#include "connect_redirect.tmh"

/* Process ids up to this one are the idle and the system process. */
#define LAST_SYSTEM_PROCESS_ID 4

/* Offsets inside a SOCKADDR_STORAGE shaped like SOCKADDR_INET. */
#define SOCKADDR_PORT_OFFSET 2
#define SOCKADDR_IPV4_OFFSET 4
#define SOCKADDR_IPV6_OFFSET 8
#define IPV6_ADDRESS_SIZE    16
#define IPV4_ADDRESS_SIZE    4

/* The release routine of the pended path's deferred work. */
_Function_class_(DEFERRED_WORK_RELEASE)
static VOID ReleaseRedirectPayload(_Inout_ PVOID *Payload)
{
    PREDIRECT_REQUEST request = static_cast<PREDIRECT_REQUEST>(*Payload);

    *Payload = nullptr;
    ReleaseRedirectRequest(&request);
}

static BOOLEAN IsUnspecifiedAddress(_In_ const SOCKADDR_STORAGE *Address, _In_ ADDRESS_FAMILY Family)
{
    static const UCHAR zero[IPV6_ADDRESS_SIZE] = {0};
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(Address);

    if (Family == AF_INET6) {
        return RtlEqualMemory(bytes + SOCKADDR_IPV6_OFFSET, zero, IPV6_ADDRESS_SIZE);
    }
    return RtlEqualMemory(bytes + SOCKADDR_IPV4_OFFSET, zero, IPV4_ADDRESS_SIZE);
}

/* Loopback in the remote's family, port 0; the rest of the socket address is zeroed. */
static VOID SetLoopbackAddress(_Inout_ SOCKADDR_STORAGE *Remote)
{
    UCHAR *bytes = reinterpret_cast<UCHAR *>(Remote);
    ADDRESS_FAMILY family = Remote->ss_family;

    if (family == AF_INET6) {
        RtlZeroMemory(bytes, sizeof(SOCKADDR_IN6));
        Remote->ss_family = AF_INET6;
        bytes[SOCKADDR_IPV6_OFFSET + IPV6_ADDRESS_SIZE - 1] = 1;
        return;
    }
    RtlZeroMemory(bytes, sizeof(SOCKADDR_IN));
    Remote->ss_family = AF_INET;
    bytes[SOCKADDR_IPV4_OFFSET] = 127;
    bytes[SOCKADDR_IPV4_OFFSET + 3] = 1;
}

/* The requested destination is the one the context record carries; Port is the new one. */
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID TraceRedirect(_In_ const PREDIRECT_REQUEST Request, _In_ UINT16 Port)
{
    const UCHAR *from =
        reinterpret_cast<const UCHAR *>(Request->Context) + FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, RequestedRemote);

    if (Request->Context->RequestedRemote.ss_family == AF_INET) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "redirect %ws: %u.%u.%u.%u:%u -> port %u of process %u",
                    GetFileNamePart(Request->Context->AppPath), from[4], from[5], from[6], from[7],
                    ((unsigned)from[SOCKADDR_PORT_OFFSET] << 8) | from[SOCKADDR_PORT_OFFSET + 1], (unsigned)Port,
                    (unsigned)Request->TargetBlob.TargetProcessId);
    } else {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "redirect %ws: [IPv6]:%u -> port %u of process %u",
                    GetFileNamePart(Request->Context->AppPath),
                    ((unsigned)from[SOCKADDR_PORT_OFFSET] << 8) | from[SOCKADDR_PORT_OFFSET + 1], (unsigned)Port,
                    (unsigned)Request->TargetBlob.TargetProcessId);
    }
}

/*
 * Points the connection at the redirect target: its own local address in the remote's
 * family (loopback when the local one is unspecified) and Port.
 */
static VOID SetRedirectTarget(_Inout_ FWPS_CONNECT_REQUEST0 *Connect, _In_ UINT16 Port)
{
    ADDRESS_FAMILY localFamily;
    USHORT networkPort;
    UCHAR *remote;
    const UCHAR *local;

    // The local end is not writable at this layer; an unset family reads as the remote's.
    localFamily = Connect->localAddressAndPort.ss_family;
    if (localFamily == 0) {
        localFamily = Connect->remoteAddressAndPort.ss_family;
    }

    // Same interface address the connection would have used, so it stays in its zone; an
    // unspecified one means loopback.
    remote = reinterpret_cast<UCHAR *>(&Connect->remoteAddressAndPort);
    local = reinterpret_cast<const UCHAR *>(&Connect->localAddressAndPort);
    if (IsUnspecifiedAddress(&Connect->localAddressAndPort, localFamily)) {
        SetLoopbackAddress(&Connect->remoteAddressAndPort);
    } else if (Connect->remoteAddressAndPort.ss_family == AF_INET6) {
        RtlCopyMemory(remote + SOCKADDR_IPV6_OFFSET,
                      local + (localFamily == AF_INET6 ? SOCKADDR_IPV6_OFFSET : SOCKADDR_IPV4_OFFSET),
                      IPV6_ADDRESS_SIZE);
    } else {
        RtlCopyMemory(remote + SOCKADDR_IPV4_OFFSET,
                      local + (localFamily == AF_INET6 ? SOCKADDR_IPV6_OFFSET : SOCKADDR_IPV4_OFFSET),
                      IPV4_ADDRESS_SIZE);
    }
    networkPort = RtlUshortByteSwap(Port);
    RtlCopyMemory(remote + SOCKADDR_PORT_OFFSET, &networkPort, sizeof(networkPort));
}

_Use_decl_annotations_
NTSTATUS ApplyRedirect(PREDIRECT_REQUEST *Request)
{
    NTSTATUS status = STATUS_SUCCESS;
    PREDIRECT_REQUEST request = *Request;
    FWPS_CONNECT_REQUEST0 *connect;
    UINT16 port = 0;

    if (request == nullptr || request->ConnectRequest == nullptr || request->Context == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: nothing to redirect %!STATUS!", status);
        goto Exit;
    }
    connect = request->ConnectRequest;
    if (request->TargetBlob.AskAgentForPort == 0) {
        port = request->TargetBlob.TargetPort;
    } else {
        status = QueryTargetPort(request, &port);
        if (!NT_SUCCESS(status)) {
            goto Exit;
        }
    }

    SetRedirectTarget(connect, port);

    connect->localRedirectTargetPID = request->TargetBlob.TargetProcessId;
    if (request->RedirectHandle != nullptr) {
        connect->localRedirectHandle = request->RedirectHandle;
    }
    TraceRedirect(request, port);

    // From here WFP owns the record and frees it with the connection.
    connect->localRedirectContext = request->Context;
    connect->localRedirectContextSize = request->Context->Size;
    request->Context = nullptr;

Exit:
    ReleaseRedirectRequest(Request);
    return status;
}

_Use_decl_annotations_
VOID NTAPI RedirectWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEFERRED_WORK work = static_cast<PDEFERRED_WORK>(Context);
    PREDIRECT_REQUEST request;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (work == nullptr) {
        return;
    }
    // The routine takes the request over; ApplyRedirect always releases it.
    request = static_cast<PREDIRECT_REQUEST>(work->Payload);
    work->Payload = nullptr;
    status = ApplyRedirect(&request);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: pended redirect completed %!STATUS!", status);
    DestroyDeferredWork(&work);
}

_Use_decl_annotations_
NTSTATUS NTAPI ConnectRedirectNotifyFn(FWPS_CALLOUT_NOTIFY_TYPE NotifyType, const GUID *FilterKey, FWPS_FILTER1 *Filter)
{
    UNREFERENCED_PARAMETER(FilterKey);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: type %u, filter %I64u, callout %u", (unsigned)NotifyType,
                Filter != nullptr ? Filter->filterId : 0, Filter != nullptr ? Filter->action.calloutId : 0);
    return STATUS_SUCCESS;
}

/*
 * Pends the classify and queues the work item that asks for the port and completes it.
 * On success the request and the deferred work belong to the work routine; on failure
 * whatever is left in *Request and *Work is the caller's to release.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS PendRedirect(_Inout_ PREDIRECT_REQUEST *Request, _Inout_ PDEFERRED_WORK *Work,
                             _In_ const FWPS_FILTER1 *Filter, _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status;
    PVOID payload;
    PREDIRECT_REQUEST request;

    status = MoveRedirectRequestToPool(Request, ClassifyOut);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    request = *Request;
    payload = request;
    *Request = nullptr;
    status = CreateDeferredWork(WfpContext.DeviceObject, &payload, ReleaseRedirectPayload, Work);
    if (!NT_SUCCESS(status)) {
        *Request = static_cast<PREDIRECT_REQUEST>(payload);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: CreateDeferredWork %!STATUS!", status);
        return status;
    }
    status = FwpsPendClassify0(request->ClassifyHandle, Filter->filterId, 0, ClassifyOut);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsPendClassify0 failed: %!STATUS!", status);
        return status;
    }
    request->Pended = TRUE;
    ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    ClassifyOut->actionType = FWP_ACTION_BLOCK;
    IoQueueWorkItem((*Work)->WorkItem, RedirectWorkRoutine, DelayedWorkQueue, *Work);
    *Work = nullptr;
    return STATUS_SUCCESS;
}

/*
 * The process the decision is made for: the metadata's, or the one an earlier redirect of
 * ours stored in the connection's redirect records. FALSE (with the reason traced) when the
 * connection is to be left alone.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN GetDecidingProcessId(_In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                    _In_ const REDIRECT_TARGET_BLOB *Blob, _Out_ UINT64 *ProcessId)
{
    UINT64 processId;
    UINT64 recordProcessId = 0;

    *ProcessId = 0;
    if (!FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_PROCESS_ID)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleConnectRedirectClassifyFn: no process id");
        return FALSE;
    }
    processId = MetaValues->processId;
    if (processId <= LAST_SYSTEM_PROCESS_ID || processId == static_cast<UINT64>(Blob->TargetProcessId)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleConnectRedirectClassifyFn: process %I64u is excluded",
                    processId);
        return FALSE;
    }
    if (FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE) &&
        NT_SUCCESS(LookupRedirectedProcessId(MetaValues, &recordProcessId))) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleConnectRedirectClassifyFn: process %I64u for %I64u",
                    recordProcessId, processId);
        processId = recordProcessId;
    }
    *ProcessId = processId;
    return TRUE;
}

/*
 * Whether the connection is TCP to another machine: the cheap tests that come before
 * anything else. Every layer whose flags could be read carries IP addresses, so the family
 * needs no test of its own. A failing lookup's status is returned (traced by the caller).
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS IsRemoteTcpConnection(_In_ const FWPS_INCOMING_VALUES0 *FixedValues, _Out_ BOOLEAN *RemoteTcp)
{
    NTSTATUS status;
    UINT8 protocol;
    BOOLEAN isLocal = FALSE;

    *RemoteTcp = FALSE;
    protocol = FixedValues->valueCount > FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL
                   ? FixedValues->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL].value.uint8
                   : 0;
    if (protocol != IPPROTO_TCP) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleConnectRedirectClassifyFn: protocol %u", (unsigned)protocol);
        return STATUS_SUCCESS;
    }
    status = IsLoopbackConnection(FixedValues, &isLocal);
    if (!NT_SUCCESS(status) || isLocal) {
        return status;
    }
    *RemoteTcp = TRUE;
    return STATUS_SUCCESS;
}

/*
 * A connection carrying records of a redirect of ours: the proxy's own connection onwards
 * (redirected by self) is permitted, one further down a chain (previously redirected by
 * self) is left alone. TRUE when the classify ends here.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN IsOwnRedirect(_In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, _In_ const FWPS_FILTER1 *Filter,
                             _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    FWPS_CONNECTION_REDIRECT_STATE state;

    if (!FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)) {
        return FALSE;
    }
    state = FwpsQueryConnectionRedirectState0(MetaValues->redirectRecords, WfpContext.RedirectHandle, nullptr);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleConnectRedirectClassifyFn: redirect state %u", (unsigned)state);
    if (state == FWPS_CONNECTION_REDIRECTED_BY_SELF) {
        ClassifyOut->actionType = FWP_ACTION_PERMIT;
        if ((Filter->flags & FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0) {
            ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        }
        return TRUE;
    }
    return state == FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF;
}

/*
 * WFP classifies again when a pended classify of a higher filter completes or another
 * callout changed what we applied. A request that we (or another local proxy) already
 * redirected is permitted as it stands (TRUE); one without a history of ours is redirected
 * as on a first classify.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN IsReauthorizedRedirect(_In_ UINT32 Flags, _In_ const REDIRECT_REQUEST *Request,
                                      _In_ const FWPS_FILTER1 *Filter)
{
    const FWPS_CONNECT_REQUEST0 *previous;

    if ((Flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) == 0) {
        return FALSE;
    }
    previous = Request->ConnectRequest->previousVersion;
    return previous != nullptr &&
           (previous->modifierFilterId == Filter->filterId || previous->localRedirectHandle != nullptr);
}

/*
 * The covered connection's redirect: its request, unless this is the re-authorization of
 * our own redirect (permitted as it stands); its context record; then the redirect at once
 * or, when the port is the agent's to give, pended for the port query.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
static NTSTATUS RedirectConnection(_In_ const FWPS_INCOMING_VALUES0 *FixedValues, _In_ const void *ClassifyContext,
                                   _In_ const FWPS_FILTER1 *Filter, _In_ const REDIRECT_TARGET_BLOB *Blob,
                                   _In_ UINT32 Flags, _In_ UINT64 ProcessId, _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status;
    REDIRECT_REQUEST onStack;
    PREDIRECT_REQUEST request = &onStack;
    PDEFERRED_WORK work = nullptr;

    status = CreateRedirectRequest(request, ClassifyContext, Filter, Blob, ClassifyOut, WfpContext.RedirectHandle);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    if (IsReauthorizedRedirect(Flags, request, Filter)) {
        ClassifyOut->actionType = FWP_ACTION_PERMIT;
        ClassifyOut->rights |= FWPS_RIGHT_ACTION_WRITE;
        goto Exit;
    }
    // Built only for a connection that is redirected.
    status = BuildRedirectContextRecord(FixedValues, ProcessId, &request->Context);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    if (request->TargetBlob.AskAgentForPort == 0) {
        status = ApplyRedirect(&request);
    } else {
        status = PendRedirect(&request, &work, Filter, ClassifyOut);
    }

Exit:
    DestroyDeferredWork(&work);
    ReleaseRedirectRequest(&request);
    return status;
}

_Use_decl_annotations_
VOID NTAPI AleConnectRedirectClassifyFn(const FWPS_INCOMING_VALUES0 *FixedValues,
                                        const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, void *LayerData,
                                        const void *ClassifyContext, const FWPS_FILTER1 *Filter, UINT64 FlowContext,
                                        FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status = STATUS_SUCCESS;
    UINT32 flags = 0;
    BOOLEAN remoteTcp = FALSE;
    BOOLEAN intercept = FALSE;
    const REDIRECT_TARGET_BLOB *blob;
    UINT64 processId = 0;

    UNREFERENCED_PARAMETER(LayerData);
    UNREFERENCED_PARAMETER(FlowContext);
    TraceClassifyParameters(FixedValues, Filter, ClassifyOut, "AleConnectRedirectClassifyFn");

    if ((ClassifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        return;
    }
    status = GetConditionFlags(FixedValues, &flags);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    ClassifyOut->actionType = FWP_ACTION_CONTINUE;

    status = IsRemoteTcpConnection(FixedValues, &remoteTcp);
    if (!NT_SUCCESS(status) || !remoteTcp) {
        goto Exit;
    }
    blob = GetRedirectTargetBlob(Filter);
    if (blob == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER,
                    "%!FUNC!: filter %I64u carries no 10-byte target blob %!STATUS!", Filter->filterId, status);
        goto Exit;
    }

    if (IsOwnRedirect(MetaValues, Filter, ClassifyOut)) {
        goto Exit;
    }
    if (!GetDecidingProcessId(MetaValues, blob, &processId)) {
        goto Exit;
    }
    status = WfpContext.QueryProcessIntercept(processId, &intercept);
    if (!NT_SUCCESS(status) || !intercept) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: process %I64u not covered", processId);
        goto Exit;
    }
    status = RedirectConnection(FixedValues, ClassifyContext, Filter, blob, flags, processId, ClassifyOut);

Exit:
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: filter %I64u %!STATUS!", Filter->filterId, status);
    }
}
