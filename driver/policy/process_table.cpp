/*
 * process_table.cpp
 *
 * The process table: the AVL routines both of its tables share, entering a process (image
 * path query, rule lookup, insert), removing one, the process notification routine and the
 * classify path's query. Its creation and teardown are in process_table_setup.cpp.
 */
#include "process_table.h"
#include "../flow/pending_element_avl.h"
#include "rule_store.h"
#include "../trace/trace.h"
#include "process_table.tmh"

PPROCESS_TABLE ProcessTable = nullptr;
EX_RUNDOWN_REF ProcessNotifyRundown;

/* The entry's fixed part, up to where the image-name query writes its answer. */
#define PROCESS_ENTRY_FIXED_SIZE ((ULONG)FIELD_OFFSET(PROCESS_ENTRY, ImagePath))

/* Room beyond the size the image-name query asks for. */
#define PROCESS_ENTRY_SLACK 8

static UINT64 ProcessIdFromHandle(_In_ HANDLE ProcessId)
{
    return static_cast<UINT64>(static_cast<LONG64>(reinterpret_cast<LONG_PTR>(ProcessId)));
}

static HANDLE HandleFromProcessId(_In_ UINT64 ProcessId)
{
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ProcessId));
}

_Function_class_(RTL_AVL_ALLOCATE_ROUTINE)
static PVOID NTAPI AllocateProcessEntry(_In_ PRTL_AVL_TABLE Table, _In_ CLONG ByteSize)
{
    UNREFERENCED_PARAMETER(Table);
    UNREFERENCED_PARAMETER(ByteSize);
    // Inserts never allocate: the inserter parked the whole entry here under Lock.
    return ProcessTable->PendingElement;
}

_Use_decl_annotations_
VOID FreeProcessEntry(PPROCESS_ENTRY Entry)
{
    if (Entry->Process != nullptr) {
        ObDereferenceObject(Entry->Process);
    }
    ExFreePoolWithTag(Entry, PROCESS_TABLE_TAG);
}

_Function_class_(RTL_AVL_FREE_ROUTINE)
static VOID NTAPI FreeProcessEntryRoutine(_In_ PRTL_AVL_TABLE Table, _In_ PVOID Buffer)
{
    UNREFERENCED_PARAMETER(Table);
    // An entry moving to the other table leaves this one without being freed.
    if (Buffer == ProcessTable->MovingElement) {
        return;
    }
    FreeProcessEntry(static_cast<PPROCESS_ENTRY>(Buffer));
}

_Use_decl_annotations_
PRTL_AVL_TABLE AllocateProcessAvlTable(VOID)
{
    PRTL_AVL_TABLE table =
        static_cast<PRTL_AVL_TABLE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(RTL_AVL_TABLE), PROCESS_TABLE_TAG));
    if (table != nullptr) {
        RtlInitializeGenericTableAvl(table, CompareUint64Keys, AllocateProcessEntry, FreeProcessEntryRoutine, nullptr);
    }
    return table;
}

_Use_decl_annotations_
VOID FreeProcessAvlTable(PRTL_AVL_TABLE *Table)
{
    PRTL_AVL_TABLE table = *Table;
    PVOID element;

    if (table == nullptr) {
        return;
    }
    *Table = nullptr;
    while ((element = RtlEnumerateGenericTableAvl(table, TRUE)) != nullptr) {
        RtlDeleteElementGenericTableAvl(table, element);
    }
    ExFreePoolWithTag(table, PROCESS_TABLE_TAG);
}

_Use_decl_annotations_
BOOLEAN HasProcessEnded(PEPROCESS Process)
{
    LARGE_INTEGER poll;

    poll.QuadPart = 0;
    return KeWaitForSingleObject(Process, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS;
}

/* Whether Entry must give way to the entry already in the table under its id. */
_IRQL_requires_(DISPATCH_LEVEL)
static BOOLEAN IsNewcomerStale(_In_ const PROCESS_ENTRY *Existing, _In_ const PROCESS_ENTRY *Entry)
{
    if (Existing->Process == Entry->Process) {
        return Existing->RulesGeneration > Entry->RulesGeneration;
    }
    return HasProcessEnded(Entry->Process) && !HasProcessEnded(Existing->Process);
}

_Use_decl_annotations_
PPROCESS_ENTRY InsertProcessEntryLocked(PPROCESS_TABLE Table, PRTL_AVL_TABLE Target, PPROCESS_ENTRY Entry)
{
    PVOID found;
    BOOLEAN newElement = FALSE;

    found = RtlLookupElementGenericTableAvl(Target, &Entry->ProcessId);
    if (found != nullptr) {
        if (IsNewcomerStale(CONTAINING_RECORD(found, PROCESS_ENTRY, ProcessId), Entry)) {
            return Entry;
        }
        RtlDeleteElementGenericTableAvl(Target, &Entry->ProcessId);
    }
    Table->PendingElement = Entry;
    if (RtlInsertElementGenericTableAvl(Target, &Entry->ProcessId, 0, &newElement) == nullptr || !newElement) {
        Table->PendingElement = nullptr;
        if (found != nullptr && Target == Table->Current) {
            UnindexProcessLocked(&Table->Index, Target, Entry->ProcessId);
        }
        return Entry;
    }
    Table->PendingElement = nullptr;
    if (Target == Table->Current) {
        IndexProcessLocked(&Table->Index, Target, Entry->ProcessId, Entry->Intercept);
    }
    return nullptr;
}

_Use_decl_annotations_
VOID ReadProcessIndexElement(PVOID Element, PUINT64 ProcessId, PBOOLEAN Intercept)
{
    const PROCESS_ENTRY *entry = CONTAINING_RECORD(Element, PROCESS_ENTRY, ProcessId);

    *ProcessId = entry->ProcessId;
    *Intercept = entry->Intercept;
}

_Use_decl_annotations_
VOID ReserveProcessIndex(PPROCESS_TABLE Table, ULONG Extra)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    PPROCESS_INDEX_ARRAY fresh = nullptr;
    ULONG capacity;

    if (!ProcessIndexNeedsRoom(&Table->Index, static_cast<ULONG>(ReadAcquire(&Table->Index.Count)) + Extra,
                               &capacity)) {
        return;
    }
    // Allocated before the lock is taken: nothing is allocated under a spin lock.
    if (capacity != 0) {
        fresh = AllocateProcessIndexArray(capacity);
        if (fresh == nullptr) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%!FUNC!: no room for %u slots; the tree answers", capacity);
            return;
        }
    }
    KeAcquireInStackQueuedSpinLock(&Table->Lock, &lockHandle);
    if (InstallProcessIndexLocked(&Table->Index, fresh, Table->Current)) {
        fresh = nullptr;
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    if (fresh != nullptr) {
        FreeProcessIndexArray(fresh);
    }
}

/* Enters Entry into Rebuild while a rescan runs, else into Current. Consumes Entry. */
static VOID InsertProcessEntry(_In_ PPROCESS_TABLE Table, _In_ PPROCESS_ENTRY Entry)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    PPROCESS_ENTRY discard;

    KeAcquireInStackQueuedSpinLock(&Table->Lock, &lockHandle);
    discard = InsertProcessEntryLocked(Table, (Table->Rebuild != nullptr) ? Table->Rebuild : Table->Current, Entry);
    KeReleaseInStackQueuedSpinLock(&lockHandle);

    if (discard != nullptr) {
        FreeProcessEntry(discard);
    }
}

/*
 * Asks for the image file name of the open process into a new entry sized by the
 * kernel's answer to an empty query.
 */
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS QueryImageIntoNewEntry(_In_ HANDLE ProcessHandle, _Outptr_ PPROCESS_ENTRY *Entry)
{
    NTSTATUS status;
    ULONG required = 0;
    ULONG bufferSize;
    PPROCESS_ENTRY entry = nullptr;

    *Entry = nullptr;
    status = ZwQueryInformationProcess(ProcessHandle, ProcessImageFileName, nullptr, 0, &required);
    if (status != STATUS_INFO_LENGTH_MISMATCH) {
        // An empty buffer cannot hold the answer; a success here would leave no entry
        // behind a success status.
        if (NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
        }
        goto Exit;
    }
    if (required > MAXULONG - PROCESS_ENTRY_FIXED_SIZE - PROCESS_ENTRY_SLACK) {
        status = STATUS_INTEGER_OVERFLOW;
        goto Exit;
    }
    bufferSize = required + PROCESS_ENTRY_SLACK;
    entry = static_cast<PPROCESS_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPoolNx, PROCESS_ENTRY_FIXED_SIZE + bufferSize, PROCESS_TABLE_TAG));
    if (entry == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(entry, sizeof(PROCESS_ENTRY));
    status = ZwQueryInformationProcess(ProcessHandle, ProcessImageFileName, &entry->ImagePath, bufferSize, &required);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    *Entry = entry;
    entry = nullptr;

Exit:
    if (entry != nullptr) {
        ExFreePoolWithTag(entry, PROCESS_TABLE_TAG);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS AddProcess(UINT64 ProcessId)
{
    NTSTATUS status;
    PPROCESS_TABLE table = ProcessTable;
    PEPROCESS process = nullptr;
    HANDLE processHandle = nullptr;
    PPROCESS_ENTRY entry = nullptr;
    KLOCK_QUEUE_HANDLE lockHandle;

    if (table == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
        goto Exit;
    }
    status = PsLookupProcessByProcessId(HandleFromProcessId(ProcessId), &process);
    if (!NT_SUCCESS(status)) {
        process = nullptr;
        goto Exit;
    }
    status = ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &processHandle);
    if (!NT_SUCCESS(status)) {
        processHandle = nullptr;
        goto Exit;
    }
    status = QueryImageIntoNewEntry(processHandle, &entry);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    entry->ProcessId = ProcessId;
    // Read the generation before the rules are: a rescan that starts after this point
    // may have newer rules than the flag below was computed from.
    KeAcquireInStackQueuedSpinLock(&table->Lock, &lockHandle);
    entry->RulesGeneration = table->RulesGeneration;
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    entry->Intercept = IsImageIntercepted(&entry->ImagePath);
    ObReferenceObject(process);
    entry->Process = process;
    ReserveProcessIndex(table, 1);
    InsertProcessEntry(table, entry);
    entry = nullptr;

Exit:
    if (entry != nullptr) {
        FreeProcessEntry(entry);
    }
    if (processHandle != nullptr) {
        ZwClose(processHandle);
    }
    if (process != nullptr) {
        ObDereferenceObject(process);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "AddProcess %I64u: %!STATUS!", ProcessId, status);
    }
    return status;
}

_Use_decl_annotations_
VOID RemoveProcess(UINT64 ProcessId)
{
    PPROCESS_TABLE table = ProcessTable;
    KLOCK_QUEUE_HANDLE lockHandle;

    if (table == nullptr) {
        return;
    }
    // From both tables while a rescan runs: if the rescan fails, Current stays in force and
    // must not keep a process that has ended.
    KeAcquireInStackQueuedSpinLock(&table->Lock, &lockHandle);
    if (table->Rebuild != nullptr) {
        RtlDeleteElementGenericTableAvl(table->Rebuild, &ProcessId);
    }
    if (RtlDeleteElementGenericTableAvl(table->Current, &ProcessId)) {
        UnindexProcessLocked(&table->Index, table->Current, ProcessId);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

_Use_decl_annotations_
VOID NTAPI ProcessNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    UNREFERENCED_PARAMETER(ParentId);
    if (!ExAcquireRundownProtection(&ProcessNotifyRundown)) {
        return;
    }
    if (Create) {
        (VOID) AddProcess(ProcessIdFromHandle(ProcessId));
    } else {
        RemoveProcess(ProcessIdFromHandle(ProcessId));
    }
    ExReleaseRundownProtection(&ProcessNotifyRundown);
}

_Use_decl_annotations_
NTSTATUS QueryProcessIntercept(UINT64 ProcessId, PBOOLEAN Intercept)
{
    PPROCESS_TABLE table = ProcessTable;
    KLOCK_QUEUE_HANDLE lockHandle;
    PVOID found;
    BOOLEAN intercept = FALSE;

    if (table != nullptr && !LookupProcessIndex(&table->Index, ProcessId, &intercept)) {
        KeAcquireInStackQueuedSpinLock(&table->Lock, &lockHandle);
        found = RtlLookupElementGenericTableAvl(table->Current, &ProcessId);
        if (found != nullptr) {
            intercept = CONTAINING_RECORD(found, PROCESS_ENTRY, ProcessId)->Intercept;
        }
        KeReleaseInStackQueuedSpinLock(&lockHandle);
    }
    *Intercept = intercept;
    return STATUS_SUCCESS;
}
