/*
 * quic_discard.cpp
 *
 * The QUIC-blocking classify (UDP of intercepted processes, while the switch is on) and the
 * discard-diagnostic classify (a trace of who dropped what), with their notify functions.
 */
#include "quic_discard.h"

#include "../redirect/wfp_context.h"
#include "../redirect/classify_trace.h"
#include "../trace/trace.h"
#include "quic_discard.tmh"

volatile LONG QuicBlockingEnabled = 0;

_Use_decl_annotations_
VOID NTAPI AleAuthConnectClassifyFnBlockQUIC(const FWPS_INCOMING_VALUES0 *FixedValues,
                                             const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, void *LayerData,
                                             const void *ClassifyContext, const FWPS_FILTER1 *Filter,
                                             UINT64 FlowContext, FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status;
    BOOLEAN intercept = FALSE;
    UINT8 protocol;

    UNREFERENCED_PARAMETER(LayerData);
    UNREFERENCED_PARAMETER(ClassifyContext);
    UNREFERENCED_PARAMETER(FlowContext);
    TraceClassifyParameters(FixedValues, Filter, ClassifyOut, "AleAuthConnectClassifyFnBlockQUIC");
    if ((ClassifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: no write right");
        return;
    }
    ClassifyOut->actionType = FWP_ACTION_CONTINUE;
    protocol = FixedValues->valueCount > FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL
                   ? FixedValues->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.uint8
                   : 0;
    if (protocol != IPPROTO_UDP || ReadNoFence(&QuicBlockingEnabled) == 0 ||
        !FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_PROCESS_ID)) {
        return;
    }
    status = WfpContext.QueryProcessIntercept(MetaValues->processId, &intercept);
    if (!NT_SUCCESS(status) || !intercept) {
        return;
    }
    ClassifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    ClassifyOut->actionType = FWP_ACTION_BLOCK;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "QUIC of process %I64u blocked", MetaValues->processId);
}

_Use_decl_annotations_
NTSTATUS NTAPI BlockQuicNotifyFn(FWPS_CALLOUT_NOTIFY_TYPE NotifyType, const GUID *FilterKey, FWPS_FILTER1 *Filter)
{
    UNREFERENCED_PARAMETER(FilterKey);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: type %u", (unsigned)NotifyType);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: filter %I64u, callout %u",
                Filter != nullptr ? Filter->filterId : 0, Filter != nullptr ? Filter->action.calloutId : 0);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID NTAPI DiscardClassifyFn(const FWPS_INCOMING_VALUES0 *FixedValues, const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                             void *LayerData, const void *ClassifyContext, const FWPS_FILTER1 *Filter,
                             UINT64 FlowContext, FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    UNREFERENCED_PARAMETER(LayerData);
    UNREFERENCED_PARAMETER(ClassifyContext);
    UNREFERENCED_PARAMETER(FlowContext);
    UNREFERENCED_PARAMETER(ClassifyOut);
    if (!FWPS_IS_METADATA_FIELD_PRESENT(MetaValues, FWPS_METADATA_FIELD_DISCARD_REASON)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: layer %u without discard information",
                    (unsigned)FixedValues->layerId);
        return;
    }
    TraceDiscard(FixedValues, Filter, static_cast<UINT32>(MetaValues->discardMetadata.discardModule),
                 MetaValues->discardMetadata.discardReason, MetaValues->discardMetadata.filterId);
}

_Use_decl_annotations_
NTSTATUS NTAPI DiscardNotifyFn(FWPS_CALLOUT_NOTIFY_TYPE NotifyType, const GUID *FilterKey, FWPS_FILTER1 *Filter)
{
    UNREFERENCED_PARAMETER(NotifyType);
    UNREFERENCED_PARAMETER(FilterKey);
    UNREFERENCED_PARAMETER(Filter);
    return STATUS_SUCCESS;
}
