/*
 * flow_context_table.h
 *
 * The driver-wide table of the flow contexts that the driver has associated with WFP
 * flows, keyed by each context's address widened to 64 bits. WFP will not unregister a
 * callout while flow contexts of it remain, so teardown drains this table first.
 */
#pragma once

#include "locked_avl_table.h"

// A driver-wide static object: built by the driver's static-initialisation step and
// destroyed through the driver's exit list.
extern LockedAvlTable FlowContextTable;

// Static initialiser: builds FlowContextTable. Its counterpart DestroyFlowContextTable is
// what the static-initialisation step enters in the exit list.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ConstructFlowContextTable();

// Exit-list entry: deletes whatever is left without the lock (unload or failed start).
_IRQL_requires_(PASSIVE_LEVEL)
VOID DestroyFlowContextTable();

// The key of a flow context: its address, sign-extended to 64 bits, which is also the
// value handed to WFP as the flow context.
FORCEINLINE UINT64 FlowContextKey(_In_ const VOID *FlowContext)
{
    return static_cast<UINT64>(static_cast<INT64>(reinterpret_cast<LONG_PTR>(FlowContext)));
}

FORCEINLINE PVOID FlowContextFromKey(_In_ UINT64 Key)
{
    return reinterpret_cast<PVOID>(static_cast<LONG_PTR>(static_cast<INT64>(Key)));
}

/*
 * The per-element step of the drain: given the key of one associated flow context, it
 * takes the context off its WFP flow. It runs at DISPATCH_LEVEL with the table's lock
 * held, so WFP's flow-delete callback, called from inside the step, must not touch the
 * table again (the context says it is no longer in the table before WFP is called).
 */
typedef _IRQL_requires_(DISPATCH_LEVEL)
_Function_class_(FLOW_CONTEXT_DRAIN_STEP)
VOID FLOW_CONTEXT_DRAIN_STEP(_In_ UINT64 FlowContextKey, _In_opt_ PVOID Context);
typedef FLOW_CONTEXT_DRAIN_STEP *PFLOW_CONTEXT_DRAIN_STEP;

// Closes the table for good (every later insert fails), runs Step on each element in key
// order, then empties the table. Called by the WFP teardown before any callout is
// unregistered.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID DrainFlowContextTable(_In_ PFLOW_CONTEXT_DRAIN_STEP Step, _In_opt_ PVOID Context);

// The step that takes one of the driver's flow contexts off its WFP flow: the
// redirect-records group's (auth_connect.cpp), the one group that associates flow
// contexts. The WFP teardown and a callout's refused unregistration drain with it.
extern const PFLOW_CONTEXT_DRAIN_STEP FlowContextDrainStep;
