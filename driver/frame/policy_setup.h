/*
 * policy_setup.h
 *
 * Bringing the process policy up and down as one piece: the rule store first, then the
 * process table that consults it; teardown in the reverse order.
 */
#pragma once

#include <ntddk.h>

// Creates the rule store and then the process table. On failure both are torn down again
// and the failing step's status is returned.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitProcessPolicy(VOID);

// Frees the process table, then the rule store. Safe when neither exists, and twice.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CleanupProcessPolicy(VOID);
