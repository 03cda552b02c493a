/*
 * auth_connect.cpp
 *
 * The redirect-records classify of both ALE auth-connect layers, with its flow context:
 * the first classify of a redirected connection associates a context, pends the operation
 * and asks the agent's service about the connection's redirect records; the
 * re-authorization that follows the service's reply permits or blocks the connection and
 * removes the context. Also the callouts' flow-delete and notify functions and the drain
 * step that takes the contexts off their flows at teardown.
 */
#include "auth_connect.h"

#include "../redirect/classify_values.h"
#include "pool_tags.h"
#include "../redirect/redirect_records.h"
#include "wfp_callout_groups.h"
#include "../redirect/classify_trace.h"
#include "../trace/trace.h"
#include "auth_connect.tmh"

/* How often the teardown's drain asks WFP to take one context off its flow. */
#define DRAIN_REMOVE_ATTEMPTS 3

_Use_decl_annotations_
NTSTATUS GetAuthCalloutId(UINT16 Family, UINT32 *CalloutId)
{
    PCALLOUT_REGISTRATION registration;

    *CalloutId = 0;
    if (Family == AF_INET) {
        registration = RedirectRecordsRegistrations[0];
    } else if (Family == AF_INET6) {
        registration = RedirectRecordsRegistrations[1];
    } else {
        return STATUS_UNSUCCESSFUL;
    }
    if (registration == nullptr || registration->CalloutId == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    *CalloutId = registration->CalloutId;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS CreateAuthFlowContext(const FWPS_INCOMING_VALUES0 *FixedValues,
                               const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, PAUTH_FLOW_CONTEXT *Context)
{
    NTSTATUS status;
    UINT16 family = 0;
    PAUTH_FLOW_CONTEXT context;

    *Context = nullptr;
    status = GetAddressFamily(FixedValues->layerId, &family);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: layer %u %!STATUS!", (unsigned)FixedValues->layerId,
                    status);
        return status;
    }
    context =
        static_cast<PAUTH_FLOW_CONTEXT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(AUTH_FLOW_CONTEXT), QVR_TAG_WFP));
    if (context == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: %!STATUS!", status);
        return status;
    }
    RtlZeroMemory(context, sizeof(*context));
    status = GetAuthCalloutId(family, &context->CalloutId);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no callout for family %u %!STATUS!", (unsigned)family,
                    status);
        ExFreePoolWithTag(context, QVR_TAG_WFP);
        return status;
    }
    context->FlowHandle = MetaValues->flowHandle;
    context->LayerId = FixedValues->layerId;
    context->References = 1;
    *Context = context;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID FreeAuthFlowContext(PAUTH_FLOW_CONTEXT *Owner)
{
    PAUTH_FLOW_CONTEXT context;

    if (Owner == nullptr || *Owner == nullptr) {
        return;
    }
    context = *Owner;
    *Owner = nullptr;
    if (InterlockedDecrement(&context->References) == 0) {
        ExFreePoolWithTag(context, QVR_TAG_WFP);
    }
}

_Use_decl_annotations_
NTSTATUS ApplyAuthVerdict(UINT64 FlowContext, FWPS_CLASSIFY_OUT0 *ClassifyOut, const FWPS_FILTER1 *Filter)
{
    PAUTH_FLOW_CONTEXT context = static_cast<PAUTH_FLOW_CONTEXT>(FlowContextFromKey(FlowContext));
    UINT64 flowHandle;
    UINT16 layerId;
    UINT32 calloutId;

    if (context == nullptr) {
        return STATUS_SUCCESS;
    }
    if (!context->Answered) {
        // Completed by the teardown or because the service went away: no verdict of ours.
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%!FUNC!: flow %I64u unanswered, left to other filters",
                    context->FlowHandle);
    } else if (context->Block) {
        ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        ClassifyOut->actionType = FWP_ACTION_BLOCK;
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: flow %I64u blocked", context->FlowHandle);
    } else {
        ClassifyOut->actionType = FWP_ACTION_PERMIT;
        if ((Filter->flags & FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0) {
            ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: flow %I64u permitted", context->FlowHandle);
    }
    // Copied first: the flow-delete callback may free the context before the call returns.
    flowHandle = context->FlowHandle;
    layerId = context->LayerId;
    calloutId = context->CalloutId;
    return FwpsFlowRemoveContext0(flowHandle, layerId, calloutId);
}

_Use_decl_annotations_
VOID NTAPI RedirectRecordsFlowDeleteFn(UINT16 LayerId, UINT32 CalloutId, UINT64 FlowContext)
{
    PAUTH_FLOW_CONTEXT context = static_cast<PAUTH_FLOW_CONTEXT>(FlowContextFromKey(FlowContext));
    NTSTATUS status;

    UNREFERENCED_PARAMETER(LayerId);
    UNREFERENCED_PARAMETER(CalloutId);
    if (context == nullptr) {
        return;
    }
    context->Associated = FALSE;
    // The drain clears InTable before it removes a context with the table's lock held.
    if (context->InTable) {
        context->InTable = FALSE;
        status = FlowContextTable.Remove(FlowContext, nullptr);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: table %!STATUS!", status);
        }
    }
    // WFP's reference; a pended operation may still hold its own.
    FreeAuthFlowContext(&context);
}

_Use_decl_annotations_
NTSTATUS NTAPI RedirectRecordsNotifyFn(FWPS_CALLOUT_NOTIFY_TYPE NotifyType, const GUID *FilterKey, FWPS_FILTER1 *Filter)
{
    UNREFERENCED_PARAMETER(FilterKey);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: type %u, filter %I64u, callout %u", (unsigned)NotifyType,
                Filter != nullptr ? Filter->filterId : 0, Filter != nullptr ? Filter->action.calloutId : 0);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID RemoveAuthFlowContextForDrain(UINT64 Key, PVOID Context)
{
    PAUTH_FLOW_CONTEXT context = static_cast<PAUTH_FLOW_CONTEXT>(FlowContextFromKey(Key));
    NTSTATUS status = STATUS_SUCCESS;
    UINT64 flowHandle;
    UINT16 layerId;
    UINT32 calloutId;
    ULONG attempt;

    UNREFERENCED_PARAMETER(Context);
    if (!context->Associated) {
        return;
    }
    // The flow-delete callback runs inside the call below, under the table's lock: it must
    // see that the context is no longer in the table. It may free the context, so the call
    // (and each retry) works from copies.
    context->InTable = FALSE;
    context->Associated = FALSE;
    flowHandle = context->FlowHandle;
    layerId = context->LayerId;
    calloutId = context->CalloutId;
    // A context left on its flow keeps WFP from letting the callout go until the flow ends,
    // so a failed removal is asked again; "no context on the flow" means it is gone already.
    for (attempt = 0; attempt < DRAIN_REMOVE_ATTEMPTS; ++attempt) {
        status = FwpsFlowRemoveContext0(flowHandle, layerId, calloutId);
        if (NT_SUCCESS(status) || status == STATUS_UNSUCCESSFUL) {
            break;
        }
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "drain: FwpsFlowRemoveContext0 %!STATUS! (attempt %u)", status,
                    attempt + 1);
    }
}

const PFLOW_CONTEXT_DRAIN_STEP FlowContextDrainStep = RemoveAuthFlowContextForDrain;

/*
 * Steps 16 to 20 of the classify: the type-4 question's payload with the connection's
 * redirect records. On success *Buffer (NonPagedPoolNx, "-QVR") and *Length are the
 * caller's; on failure *Buffer is whatever is left to free.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
static NTSTATUS BuildRedirectRecordsRequest(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                                            _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                            _Outptr_result_maybenull_ PREDIRECT_RECORDS_REQUEST *Buffer,
                                            _Out_ UINT32 *Length)
{
    NTSTATUS status;
    SIZE_T needed = 0;
    SIZE_T written = 0;
    UINT16 port = 0;
    UINT16 family = 0;
    PREDIRECT_RECORDS_REQUEST request;

    *Buffer = nullptr;
    *Length = 0;
    status = FwpsQueryConnectionSioFormatRedirectRecords0(MetaValues->redirectRecords, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "redirect records size query %!STATUS!", status);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (needed > MAXULONG - REDIRECT_RECORDS_REQUEST_OVERHEAD) {
        return STATUS_INTEGER_OVERFLOW;
    }
    request = static_cast<PREDIRECT_RECORDS_REQUEST>(
        ExAllocatePoolWithTag(NonPagedPoolNx, needed + REDIRECT_RECORDS_REQUEST_OVERHEAD, QVR_TAG_WFP));
    *Buffer = request;
    if (request == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(request, needed + REDIRECT_RECORDS_REQUEST_OVERHEAD);
    status =
        FwpsQueryConnectionSioFormatRedirectRecords0(MetaValues->redirectRecords, request->Records, needed, &written);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "redirect records query %!STATUS!", status);
        return status;
    }
    request->RecordsLength = static_cast<UINT32>(written);
    status = GetRemotePort(FixedValues, &port);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "remote port %!STATUS!", status);
        return status;
    }
    request->RemotePort = port;
    status = GetAddressFamily(FixedValues->layerId, &family);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "address family %!STATUS!", status);
        return status;
    }
    request->Family = family;
    *Length = static_cast<UINT32>(needed + REDIRECT_RECORDS_REQUEST_OVERHEAD);
    return STATUS_SUCCESS;
}

/*
 * Steps 4 to 12: whether this classify is a first look at a connection to hold. FALSE when
 * the connection is left alone (or the re-authorization was answered here).
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN IsConnectionToHold(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                                  _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                  _In_ const FWPS_FILTER1 *Filter, _In_ UINT64 FlowContext,
                                  _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    UINT32 flags = 0;
    UINT8 protocol;
    const REDIRECT_TARGET_BLOB *blob;
    UINT32 targetProcessId;

    protocol = FixedValues->valueCount > FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL
                   ? FixedValues->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.uint8
                   : 0;
    if (protocol != IPPROTO_TCP || !NT_SUCCESS(GetConditionFlags(FixedValues, &flags))) {
        return FALSE;
    }
    if ((flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) != 0 && FlowContext != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleAuthConnectClassifyFnRedirectRecords: re-authorization");
        ApplyAuthVerdict(FlowContext, ClassifyOut, Filter);
        return FALSE;
    }
    if ((flags & FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED) == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleAuthConnectClassifyFnRedirectRecords: not redirected");
        return FALSE;
    }
    if ((flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER,
                    "AleAuthConnectClassifyFnRedirectRecords: re-authorization without a flow context");
    }
    if (Filter->providerContext == nullptr || Filter->providerContext->dataBuffer == nullptr ||
        Filter->providerContext->dataBuffer->size != REDIRECT_TARGET_BLOB_SIZE ||
        Filter->providerContext->dataBuffer->data == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "AleAuthConnectClassifyFnRedirectRecords: filter %I64u carries no 10-byte target blob",
                    Filter->filterId);
        return FALSE;
    }
    blob = reinterpret_cast<const REDIRECT_TARGET_BLOB *>(Filter->providerContext->dataBuffer->data);
    RtlCopyMemory(&targetProcessId, (const UCHAR *)blob + FIELD_OFFSET(REDIRECT_TARGET_BLOB, TargetProcessId),
                  sizeof(targetProcessId));
    if (FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_LOCAL_REDIRECT_TARGET_PID) &&
        MetaValues->localRedirectTargetPID != targetProcessId) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleAuthConnectClassifyFnRedirectRecords: target pid %u",
                    (unsigned)MetaValues->localRedirectTargetPID);
        return FALSE;
    }
    if (!FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_COMPLETION_HANDLE)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleAuthConnectClassifyFnRedirectRecords: no completion handle");
        return FALSE;
    }
    if (!FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AleAuthConnectClassifyFnRedirectRecords: no redirect records");
        return FALSE;
    }
    return TRUE;
}

/*
 * Associates Context with its WFP flow and enters it in the FlowContextTable. Associated
 * and InTable say how far it got, for the caller's clean-up.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
static NTSTATUS AssociateAuthFlowContext(_Inout_ PAUTH_FLOW_CONTEXT Context)
{
    NTSTATUS status;

    status =
        FwpsFlowAssociateContext0(Context->FlowHandle, Context->LayerId, Context->CalloutId, FlowContextKey(Context));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsFlowAssociateContext0 failed: %!STATUS!", status);
        return status;
    }
    Context->Associated = TRUE;
    // Entered before it is in the table, so the flow-delete callback knows to remove it.
    Context->InTable = TRUE;
    status = FlowContextTable.Insert(FlowContextKey(Context), 0, nullptr);
    if (!NT_SUCCESS(status)) {
        Context->InTable = FALSE;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "flow context table insert %!STATUS!", status);
        return status;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "flow %I64u: context in the table", Context->FlowHandle);
    return STATUS_SUCCESS;
}

/*
 * Pends the classify's operation and asks the service for its verdict with the connection's
 * redirect records. On failure *Operation is what is left to complete.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
static NTSTATUS AskForVerdict(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                              _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, _In_ PAUTH_FLOW_CONTEXT Context,
                              _Outptr_result_maybenull_ PPENDED_AUTH_OPERATION *Operation)
{
    NTSTATUS status;
    PREDIRECT_RECORDS_REQUEST buffer = nullptr;
    UINT32 length = 0;

    *Operation = nullptr;
    status = BuildRedirectRecordsRequest(FixedValues, MetaValues, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = PendAuthOperation(MetaValues, Context, Operation);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "PendAuthOperation %!STATUS!", status);
        goto Exit;
    }
    // At DISPATCH_LEVEL a send without a parked request fails at once instead of waiting.
    status = SendRedirectRecordsQuestion(Operation, buffer, length);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "redirect records question %!STATUS!", status);
        goto Exit;
    }

Exit:
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, QVR_TAG_WFP);
    }
    return status;
}

_Use_decl_annotations_
VOID NTAPI AleAuthConnectClassifyFnRedirectRecords(const FWPS_INCOMING_VALUES0 *FixedValues,
                                                   const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, void *LayerData,
                                                   const void *ClassifyContext, const FWPS_FILTER1 *Filter,
                                                   UINT64 FlowContext, FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status;
    PAUTH_FLOW_CONTEXT context = nullptr;
    PPENDED_AUTH_OPERATION operation = nullptr;

    UNREFERENCED_PARAMETER(LayerData);
    UNREFERENCED_PARAMETER(ClassifyContext);
    TraceClassifyParameters(FixedValues, Filter, ClassifyOut, "AleAuthConnectClassifyFnRedirectRecords");
    if ((ClassifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: no write right");
        return;
    }
    ClassifyOut->actionType = FWP_ACTION_CONTINUE;
    if (!IsConnectionToHold(FixedValues, MetaValues, Filter, FlowContext, ClassifyOut)) {
        return;
    }

    status = CreateAuthFlowContext(FixedValues, MetaValues, &context);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    status = AssociateAuthFlowContext(context);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }

    status = AskForVerdict(FixedValues, MetaValues, context, &operation);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    // WFP and the table hold the context now, the question holds the operation.
    context = nullptr;
    ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    ClassifyOut->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    ClassifyOut->actionType = FWP_ACTION_BLOCK;

Cleanup:
    if (context != nullptr) {
        if (context->Associated) {
            // WFP calls the flow-delete callback, which takes the context out of the table and
            // drops WFP's reference; ours passed to WFP with the association.
            FwpsFlowRemoveContext0(context->FlowHandle, context->LayerId, context->CalloutId);
            context = nullptr;
        } else {
            FreeAuthFlowContext(&context);
        }
    }
    CompleteAuthOperation(&operation);
}
