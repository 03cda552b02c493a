/*
 * process_rescan.cpp
 *
 * Rebuilding the process table after a rule change. A rescan fills a second table from a
 * snapshot of all running processes while queries keep reading the current one, then
 * swaps the two under the lock, so a query sees either every old flag or every new one.
 * A failed rescan keeps the current table and moves into it the processes that started
 * meanwhile. Rescans run one at a time: there is a single Rebuild slot.
 */
#include "process_table.h"
#include "process_sysinfo.h"
#include "../trace/trace.h"
#include "process_rescan.tmh"

/* A list that keeps growing between the size query and the fill is not chased forever. */
#define SNAPSHOT_ATTEMPTS 16

/* Room beyond the answer of the size query for processes that start before the fill: a
   quarter more, and at least 16 KB, so the attempts above are rarely all used up. */
#define SNAPSHOT_SLACK(Required) ((Required) / 4 > 16384 ? (Required) / 4 : 16384)

/*
 * Takes a snapshot of all processes into a new paged buffer sized by the kernel's answer,
 * asking again while the list grows between the size query and the fill.
 */
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS QueryProcessSnapshot(_Outptr_result_bytebuffer_(*Size) PVOID *Snapshot, _Out_ PULONG Size)
{
    NTSTATUS status;
    ULONG required = 0;
    ULONG written = 0;
    ULONG attempt;
    PVOID buffer = nullptr;

    *Snapshot = nullptr;
    *Size = 0;
    status = ZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &required);
    for (attempt = 0; status == STATUS_INFO_LENGTH_MISMATCH && attempt < SNAPSHOT_ATTEMPTS; ++attempt) {
        if (required < sizeof(SYSTEM_PROCESS_INFORMATION)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (required <= MAXULONG - SNAPSHOT_SLACK(required)) {
            required += SNAPSHOT_SLACK(required);
        }
        buffer = ExAllocatePoolWithTag(PagedPool, required, PROCESS_TABLE_TAG);
        if (buffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(buffer, required);
        status = ZwQuerySystemInformation(SystemProcessInformation, buffer, required, &written);
        if (status == STATUS_INFO_LENGTH_MISMATCH) {
            // Processes started since the size query; ask again.
            ExFreePoolWithTag(buffer, PROCESS_TABLE_TAG);
            buffer = nullptr;
            status = ZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &required);
        }
    }
    if (NT_SUCCESS(status) && buffer == nullptr) {
        // Every answer asked for more room, or the size query itself claimed success.
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        if (buffer != nullptr) {
            ExFreePoolWithTag(buffer, PROCESS_TABLE_TAG);
        }
        return status;
    }
    *Snapshot = buffer;
    *Size = (written != 0 && written <= required) ? written : required;
    return status;
}

/* Enters every process of the snapshot; records that would run past its end stop the walk. */
_IRQL_requires_(PASSIVE_LEVEL)
static VOID AddSnapshotProcesses(_In_reads_bytes_(Size) PVOID Snapshot, _In_ ULONG Size)
{
    ULONG offset = 0;
    PSYSTEM_PROCESS_INFORMATION record;

    for (;;) {
        if (Size - offset < sizeof(SYSTEM_PROCESS_INFORMATION)) {
            break;
        }
        record = reinterpret_cast<PSYSTEM_PROCESS_INFORMATION>(static_cast<PUCHAR>(Snapshot) + offset);
        // Ended processes and the idle process fail here; that is expected.
        (VOID)
            AddProcess(static_cast<UINT64>(static_cast<LONG64>(reinterpret_cast<LONG_PTR>(record->UniqueProcessId))));
        if (record->NextEntryOffset == 0 || record->NextEntryOffset > Size - offset) {
            break;
        }
        offset += record->NextEntryOffset;
    }
}

/*
 * With Lock held, after a failed rescan: the processes that started while it ran are only
 * in Rebuild; each moves into Current (under the usual replacement rule) so that Current,
 * which stays in force, knows them. Returns how many moved; Rebuild is left empty.
 */
_IRQL_requires_(DISPATCH_LEVEL)
static ULONG MoveRebuildIntoCurrentLocked(_Inout_ PPROCESS_TABLE Table)
{
    PVOID element;
    PPROCESS_ENTRY entry;
    PPROCESS_ENTRY discard;
    ULONG moved = 0;

    while ((element = RtlEnumerateGenericTableAvl(Table->Rebuild, TRUE)) != nullptr) {
        entry = CONTAINING_RECORD(element, PROCESS_ENTRY, ProcessId);
        Table->MovingElement = entry;
        RtlDeleteElementGenericTableAvl(Table->Rebuild, element);
        Table->MovingElement = nullptr;
        discard = InsertProcessEntryLocked(Table, Table->Current, entry);
        if (discard != nullptr) {
            // As a replaced entry is freed under the lock: non-paged, no waiting.
            FreeProcessEntry(discard);
        } else {
            ++moved;
        }
    }
    return moved;
}

/*
 * Ends the rebuild under the table's lock: a complete rebuild replaces Current; after a
 * failed snapshot Current stays and takes in the starts the rebuild saw meanwhile (their
 * count in *Moved). Returns the table that nobody can reach any more, for freeing outside
 * the lock.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static PRTL_AVL_TABLE EndRebuild(_Inout_ PPROCESS_TABLE Table, _In_ BOOLEAN Complete, _Out_ PULONG Moved)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    PRTL_AVL_TABLE retired;

    *Moved = 0;
    KeAcquireInStackQueuedSpinLock(&Table->Lock, &lockHandle);
    if (Complete) {
        retired = Table->Current;
        Table->Current = Table->Rebuild;
        ReindexProcessesLocked(&Table->Index, Table->Current);
    } else {
        *Moved = MoveRebuildIntoCurrentLocked(Table);
        retired = Table->Rebuild;
    }
    Table->Rebuild = nullptr;
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return retired;
}

/* Room in the index for whichever table stays in force, before EndRebuild takes the lock. */
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ReserveIndexForRebuild(_Inout_ PPROCESS_TABLE Table)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    ULONG rebuilt;

    KeAcquireInStackQueuedSpinLock(&Table->Lock, &lockHandle);
    rebuilt = RtlNumberGenericTableElementsAvl(Table->Rebuild);
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    ReserveProcessIndex(Table, rebuilt);
}

_Use_decl_annotations_
NTSTATUS RescanProcesses(VOID)
{
    NTSTATUS status;
    PPROCESS_TABLE table = ProcessTable;
    PRTL_AVL_TABLE rebuild;
    PRTL_AVL_TABLE retired = nullptr;
    PVOID snapshot = nullptr;
    ULONG snapshotSize = 0;
    ULONG moved = 0;
    KLOCK_QUEUE_HANDLE lockHandle;

    if (table == nullptr) {
        return STATUS_SUCCESS;
    }
    // Rescans queue up behind the gate: each one fills and swaps the single Rebuild slot
    // alone, and a later rule change is never lost to an earlier rescan still running.
    KeEnterCriticalRegion();
    (VOID) KeWaitForSingleObject(&table->RescanGate, Executive, KernelMode, FALSE, nullptr);

    // Allocated before the lock is taken: nothing is allocated under a spin lock.
    rebuild = AllocateProcessAvlTable();
    if (rebuild == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    KeAcquireInStackQueuedSpinLock(&table->Lock, &lockHandle);
    table->Rebuild = rebuild;
    table->RulesGeneration += 1;
    KeReleaseInStackQueuedSpinLock(&lockHandle);

    status = QueryProcessSnapshot(&snapshot, &snapshotSize);
    if (NT_SUCCESS(status)) {
        AddSnapshotProcesses(snapshot, snapshotSize);
        ExFreePoolWithTag(snapshot, PROCESS_TABLE_TAG);
    }

    ReserveIndexForRebuild(table);
    retired = EndRebuild(table, NT_SUCCESS(status), &moved);

    // Nobody can reach the retired table any more; its entries go outside the lock.
    FreeProcessAvlTable(&retired);

Exit:
    // Until a rescan succeeds the flags may be those of older rules: the watcher retries.
    InterlockedExchange(&table->RescanPending, NT_SUCCESS(status) ? 0 : 1);
    KeSetEvent(&table->RescanGate, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
    if (NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Process rescan done");
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Process rescan failed, old flags stay (%u started meanwhile kept), retried by the watcher: "
                    "%!STATUS!",
                    moved, status);
    }
    return STATUS_SUCCESS;
}
