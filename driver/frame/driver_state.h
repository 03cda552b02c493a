/*
 * driver_state.h
 *
 * Where the driver-wide variables are declared: each with the part that reads or writes
 * it. RuleStore (rule_store.h), ProcessTable (process_table.h), CallbackTable
 * (callback_table.h), FlowContextTable (flow_context_table.h), WfpContext (wfp_context.h),
 * the trace control block (trace.h), and QuicBlockingEnabled, the switch that the control
 * request sets and the QUIC classify reads (quic_discard.h), which this header brings in.
 */
#pragma once

#include "../flow/quic_discard.h"
