/*
 * classify_trace.h
 *
 * The per-connection trace records of the classify functions: the parameters of a
 * classify (TraceClassifyParameters) and what a discard layer says about a dropped packet
 * (TraceDiscard), and the layer-name table both use. The values are collected on every
 * call, on the stack and without allocating; only the writing depends on a trace session.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

EXTERN_C_START

/* The FWPS_LAYER_* name of the layers the records describe; "UNKNOWN" for any other id. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Ret_z_
PCSTR GetLayerName(_In_ UINT16 LayerId);

/*
 * Verbose record of a classify's parameters under Name: layer, filter, action, rights,
 * flags, interface indexes, application file names and both endpoints. An accessor that
 * fails is traced (warning) and leaves its field zero; local and remote endpoints of
 * different families give one error point and no record. Changes nothing.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID TraceClassifyParameters(_In_ const FWPS_INCOMING_VALUES0 *InFixedValues, _In_ const FWPS_FILTER1 *Filter,
                             _In_ const FWPS_CLASSIFY_OUT0 *ClassifyOut, _In_opt_z_ PCSTR Name);

/* Verbose record of a discard: layer, filter, flags, interface indexes, the discarding
   module, reason and filter, and both endpoints; failures as for TraceClassifyParameters. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID TraceDiscard(_In_ const FWPS_INCOMING_VALUES0 *InFixedValues, _In_ const FWPS_FILTER1 *Filter,
                  _In_ UINT32 DiscardModule, _In_ UINT32 DiscardReason, _In_ UINT64 DiscardFilterId);

EXTERN_C_END
