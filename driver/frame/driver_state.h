/*
 * driver_state.h
 *
 * The driver-wide variables that the frame owns. The others belong to the part that
 * writes them and are declared with it: RuleStore (rule_store.h), ProcessTable
 * (process_table.h), CallbackTable (callback_table.h), FlowContextTable
 * (flow_context_table.h), WfpContext (the WFP side) and the trace control block (trace.h).
 */
#pragma once

#include <ntddk.h>

/*
 * The QUIC switch as the service last sent it; nonzero blocks QUIC of intercepted
 * processes. 0 at load. Written by interlocked exchange, read plainly: a classify that runs
 * during a change sees the old or the new value.
 */
extern volatile LONG QuicBlockingEnabled;
