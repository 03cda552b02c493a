/*
 * process_watcher.h
 *
 * The process watcher: a system thread that wakes every 10 seconds and purges the entries
 * of processes that have ended without their exit notification removing them.
 */
#pragma once

#include "process_table.h"

/* The watcher's period, as a relative time-out in 100-ns units. */
#define PROCESS_WATCHER_PERIOD (-100000000LL)

EXTERN_C_START

/*
 * Creates the watcher thread and keeps a reference to its thread object in
 * Table->WatcherThread. On failure no watcher runs: a thread that was created but could
 * not be referenced has been told to stop and has ended before this returns.
 */
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartProcessWatcher(_Inout_ PPROCESS_TABLE Table);

/* Signals StopEvent, waits for the thread to end and releases its reference. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID StopProcessWatcher(_Inout_ PPROCESS_TABLE Table);

KSTART_ROUTINE ProcessWatcherThread;

/* Deletes every entry of Current whose process has ended. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID PurgeExitedProcesses(VOID);

EXTERN_C_END
