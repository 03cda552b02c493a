/*
 * quic_discard.h
 *
 * Two small callout families beside the redirect-records callouts. The QUIC-blocking
 * callouts of both ALE auth-connect layers block UDP traffic of intercepted processes while
 * the service's QUIC switch is on, so that their traffic falls back to TCP, which is
 * redirected. The eight discard-diagnostic callouts only trace what a layer dropped and why.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

EXTERN_C_START

/*
 * The QUIC switch as the service last sent it; nonzero blocks QUIC of intercepted
 * processes. 0 at load. Written by interlocked exchange, read plainly: a classify that runs
 * during a change sees the old or the new value.
 */
extern volatile LONG QuicBlockingEnabled;

/* classifyFn of both QUIC-blocking callouts. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI AleAuthConnectClassifyFnBlockQUIC(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                                             _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                             _Inout_opt_ void *LayerData, _In_opt_ const void *ClassifyContext,
                                             _In_ const FWPS_FILTER1 *Filter, _In_ UINT64 FlowContext,
                                             _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut);

/* notifyFn of both QUIC-blocking callouts: traces and accepts every notification. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI BlockQuicNotifyFn(_In_ FWPS_CALLOUT_NOTIFY_TYPE NotifyType, _In_ const GUID *FilterKey,
                                 _Inout_ FWPS_FILTER1 *Filter);

/* classifyFn of the eight discard-diagnostic callouts: traces, never touches classifyOut. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI DiscardClassifyFn(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                             _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, _Inout_opt_ void *LayerData,
                             _In_opt_ const void *ClassifyContext, _In_ const FWPS_FILTER1 *Filter,
                             _In_ UINT64 FlowContext, _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut);

/* notifyFn of the discard-diagnostic callouts: accepts every notification. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI DiscardNotifyFn(_In_ FWPS_CALLOUT_NOTIFY_TYPE NotifyType, _In_ const GUID *FilterKey,
                               _Inout_ FWPS_FILTER1 *Filter);

EXTERN_C_END
