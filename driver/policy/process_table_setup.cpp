/*
 * process_table_setup.cpp
 *
 * The process table's staged creation and teardown: the table, the create-process
 * notification and the watcher thread, in that order, undone in reverse. Kept apart from
 * the table's routines so that the watcher, which polls the table, sits above the table
 * and below its set-up.
 */
#include "process_table.h"
#include "process_watcher.h"
#include "../trace/trace.h"
#include "process_table_setup.tmh"

_Use_decl_annotations_
NTSTATUS InitProcessTable(VOID)
{
    NTSTATUS status = STATUS_SUCCESS;
    PPROCESS_TABLE table;

    if (ProcessTable != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    table =
        static_cast<PPROCESS_TABLE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PROCESS_TABLE), PROCESS_TABLE_TAG));
    if (table == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(table, sizeof(PROCESS_TABLE));
    table->State = PROCESS_TABLE_CREATED;
    // Published at once: the table routines, the notification routine, the watcher and
    // the teardown all find the table through the driver-wide pointer.
    ProcessTable = table;

    table->Current = AllocateProcessAvlTable();
    if (table->Current == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    KeInitializeEvent(&table->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&table->WatcherDone, NotificationEvent, FALSE);
    KeInitializeEvent(&table->RescanGate, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&table->Lock);
    table->Index.Read = ReadProcessIndexElement;
    table->State = PROCESS_TABLE_READY;

    ExInitializeRundownProtection(&ProcessNotifyRundown);
    status = PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    table->State = PROCESS_TABLE_NOTIFY_REGISTERED;

    status = StartProcessWatcher(table);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    table->State = PROCESS_TABLE_WATCHER_RUNNING;

Exit:
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "InitProcessTable failed: %!STATUS!", status);
        FreeProcessTable();
    }
    return status;
}

_Use_decl_annotations_
VOID FreeProcessTable(VOID)
{
    PPROCESS_TABLE table = ProcessTable;
    NTSTATUS status;

    if (table == nullptr) {
        return;
    }
    if (table->State >= PROCESS_TABLE_WATCHER_RUNNING) {
        StopProcessWatcher(table);
    }
    if (table->State >= PROCESS_TABLE_NOTIFY_REGISTERED) {
        // Removal waits for notifications still running, so none can touch the table below.
        status = PsSetCreateProcessNotifyRoutine(ProcessNotify, TRUE);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "Removing ProcessNotify failed: %!STATUS!; the routine is shut out instead", status);
        }
        // A routine still registered returns at once from here on; one already inside the
        // table is waited for.
        ExWaitForRundownProtectionRelease(&ProcessNotifyRundown);
    }
    table->State = PROCESS_TABLE_CREATED;
    FreeProcessAvlTable(&table->Rebuild);
    FreeProcessAvlTable(&table->Current);
    FreeProcessIndex(&table->Index);
    ProcessTable = nullptr;
    ExFreePoolWithTag(table, PROCESS_TABLE_TAG);
}
