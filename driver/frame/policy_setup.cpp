/*
 * policy_setup.cpp
 *
 * The process policy's lifecycle within DriverEntry and DriverUnload. The process table
 * computes each process's intercept flag from the rule store, so the store is created
 * before the table and freed after it.
 */
#include <ntddk.h>

#include "policy_setup.h"
#include "../policy/process_table.h"
#include "../policy/rule_store.h"
#include "../trace/trace.h"
#include "policy_setup.tmh"

NTSTATUS InitProcessPolicy(VOID)
{
    NTSTATUS status;

    status = InitRuleStore();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: rule store %!STATUS!", status);
        goto Exit;
    }
    // The process table comes after the rule store that it consults.
    status = InitProcessTable();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: process table %!STATUS!", status);
        goto Exit;
    }

Exit:
    if (!NT_SUCCESS(status)) {
        CleanupProcessPolicy();
    }
    return status;
}

VOID CleanupProcessPolicy(VOID)
{
    // The process table goes first: it stops the notifications that consult the rule store.
    FreeProcessTable();
    FreeRuleStore();
}
