/*
 * flow_context_table.cpp
 *
 * The driver-wide FlowContextTable: its static initialiser, its exit-list destructor and
 * the drain that the WFP teardown runs before unregistering callouts.
 */
#include "flow_context_table.h"

LockedAvlTable FlowContextTable;

typedef struct _FLOW_CONTEXT_DRAIN {
    PFLOW_CONTEXT_DRAIN_STEP Step;  // the WFP side's per-element step
    PVOID Context;                  // its context
} FLOW_CONTEXT_DRAIN, *PFLOW_CONTEXT_DRAIN;

VOID ConstructFlowContextTable()
{
    FlowContextTable.Construct();
}

VOID DestroyFlowContextTable()
{
    FlowContextTable.DeleteAllUnlocked();
}

static _Function_class_(LOCKED_AVL_VISIT_ROUTINE)
VOID VisitFlowContextForDrain(_In_ PLOCKED_AVL_ELEMENT Element, _Inout_ PULONG_PTR Value, _In_opt_ PVOID Context)
{
    UNREFERENCED_PARAMETER(Value);
    const FLOW_CONTEXT_DRAIN *drain = static_cast<PFLOW_CONTEXT_DRAIN>(Context);
    drain->Step(Element->Key, drain->Context);
}

VOID DrainFlowContextTable(PFLOW_CONTEXT_DRAIN_STEP Step, PVOID Context)
{
    FLOW_CONTEXT_DRAIN drain = {Step, Context};

    FlowContextTable.Drain(VisitFlowContextForDrain, &drain);
}
