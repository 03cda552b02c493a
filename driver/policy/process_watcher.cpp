/*
 * process_watcher.cpp
 *
 * The watcher thread of the process table and its start and stop. Every period it polls
 * the process objects of the current table and, when one has ended, purges every ended
 * process; this catches entries whose exit notification missed them, such as processes
 * that a rescan entered from a snapshot older than their exit. It also retries a rescan
 * that failed, until one succeeds and the flags match the rules in force.
 */
#include "process_watcher.h"
#include "../trace/trace.h"
#include "process_watcher.tmh"

_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN AnyProcessEnded(_In_ PPROCESS_TABLE Table)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    PVOID restartKey = nullptr;
    PVOID element;
    BOOLEAN ended = FALSE;

    KeAcquireInStackQueuedSpinLock(&Table->Lock, &lockHandle);
    // Without splaying: a poll must not reorder the table that queries are reading.
    for (element = RtlEnumerateGenericTableWithoutSplayingAvl(Table->Current, &restartKey);
         element != nullptr && !ended;
         element = RtlEnumerateGenericTableWithoutSplayingAvl(Table->Current, &restartKey)) {
        ended = HasProcessEnded(CONTAINING_RECORD(element, PROCESS_ENTRY, ProcessId)->Process);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return ended;
}

_Use_decl_annotations_
VOID PurgeExitedProcesses(VOID)
{
    PPROCESS_TABLE table = ProcessTable;
    KLOCK_QUEUE_HANDLE lockHandle;
    PVOID restartKey = nullptr;
    PVOID element;
    PVOID next;
    PPROCESS_ENTRY entry;
    UINT64 processId;

    if (table == nullptr) {
        return;
    }
    KeAcquireInStackQueuedSpinLock(&table->Lock, &lockHandle);
    element = RtlEnumerateGenericTableWithoutSplayingAvl(table->Current, &restartKey);
    while (element != nullptr) {
        // Step the cursor past the element first: deleting it must not strand the cursor.
        next = RtlEnumerateGenericTableWithoutSplayingAvl(table->Current, &restartKey);
        entry = CONTAINING_RECORD(element, PROCESS_ENTRY, ProcessId);
        if (HasProcessEnded(entry->Process)) {
            processId = entry->ProcessId;
            RtlDeleteElementGenericTableAvl(table->Current, element);
            UnindexProcessLocked(&table->Index, table->Current, processId);
        }
        element = next;
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

_Use_decl_annotations_
VOID ProcessWatcherThread(PVOID StartContext)
{
    PPROCESS_TABLE table = ProcessTable;
    LARGE_INTEGER period;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(StartContext);
    period.QuadPart = PROCESS_WATCHER_PERIOD;
    for (;;) {
        status = KeWaitForSingleObject(&table->StopEvent, Executive, KernelMode, FALSE, &period);
        // Only the stop event or the period ends the wait; any other result also stops the
        // watcher (traced below), which only polls.
        if (status != STATUS_TIMEOUT) {
            break;
        }
        if (AnyProcessEnded(table)) {
            PurgeExitedProcesses();
        }
        // The rules are in force but a failed rescan left flags from older ones.
        if (ReadAcquire(&table->RescanPending) != 0) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "Process watcher retries the failed process rescan");
            (VOID) RescanProcesses();
        }
    }
    // The table may be freed once this is set: nothing below touches it.
    KeSetEvent(&table->WatcherDone, IO_NO_INCREMENT, FALSE);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Process watcher ends: %!STATUS!", status);
}

_Use_decl_annotations_
NTSTATUS StartProcessWatcher(PPROCESS_TABLE Table)
{
    NTSTATUS status;
    NTSTATUS waitStatus;
    OBJECT_ATTRIBUTES attributes;
    HANDLE threadHandle = nullptr;
    PVOID threadObject = nullptr;

    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = PsCreateSystemThread(&threadHandle, 0, &attributes, nullptr, nullptr, ProcessWatcherThread, nullptr);
    if (!NT_SUCCESS(status)) {
        threadHandle = nullptr;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "PsCreateSystemThread failed: %!STATUS!", status);
        goto Exit;
    }
    status = ObReferenceObjectByHandle(threadHandle, SYNCHRONIZE, *PsThreadType, KernelMode, &threadObject, nullptr);
    if (!NT_SUCCESS(status)) {
        // The thread runs but cannot be waited on through its object. It must not outlive
        // the table it reads, so stop it and wait for it on the handle still open.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Referencing the watcher failed: %!STATUS!", status);
        KeSetEvent(&Table->StopEvent, IO_NO_INCREMENT, FALSE);
        waitStatus = ZwWaitForSingleObject(threadHandle, FALSE, nullptr);
        if (waitStatus != STATUS_SUCCESS) {
            // Not known to have ended: wait for the thread's own word that it has let go
            // of the table (a wait on an event without time-out cannot fail).
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Waiting for the watcher on its handle: %!STATUS!",
                        waitStatus);
            (VOID) KeWaitForSingleObject(&Table->WatcherDone, Executive, KernelMode, FALSE, nullptr);
        }
        goto Exit;
    }
    Table->WatcherThread = static_cast<PETHREAD>(threadObject);

Exit:
    if (threadHandle != nullptr) {
        ZwClose(threadHandle);
    }
    return status;
}

_Use_decl_annotations_
VOID StopProcessWatcher(PPROCESS_TABLE Table)
{
    KeSetEvent(&Table->StopEvent, IO_NO_INCREMENT, FALSE);
    if (Table->WatcherThread != nullptr) {
        (VOID) KeWaitForSingleObject(Table->WatcherThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(Table->WatcherThread);
        Table->WatcherThread = nullptr;
    }
}
