/*
 * process_table.h
 *
 * The table of running processes with the intercept flag computed once per process from
 * the rule store. Process notifications enter and remove processes, a rescan rebuilds the
 * whole table from a system snapshot after a rule change, and a watcher thread purges
 * processes that ended without their exit reaching the table. The classify path asks
 * QueryProcessIntercept, which reads the table's lock-free index (process_index.h) and
 * only falls back to a tree lookup under the spin lock when there is no index.
 */
#pragma once

#include <ntifs.h>

#include "pool_tags.h"
#include "process_index.h"

/*
 * One known process. The AVL link header comes first, so the table's user data begins at
 * ProcessId, the key. The image path's characters follow in the same allocation.
 */
typedef struct _PROCESS_ENTRY {
    RTL_BALANCED_LINKS Links;  // AVL link header, owned by the table
    UINT64 ProcessId;          // key: the kernel's id, sign-extended from handle width
    PEPROCESS Process;         // the process object; the entry holds one reference
    ULONG RulesGeneration;     // ProcessTable->RulesGeneration read before Intercept
    BOOLEAN Intercept;         // IsImageIntercepted(ImagePath) when the entry was made
    UNICODE_STRING ImagePath;  // image file name in NT device form; characters follow
} PROCESS_ENTRY, *PPROCESS_ENTRY;

/* How far InitProcessTable got; FreeProcessTable undoes exactly that much. */
#define PROCESS_TABLE_CREATED           0  // allocated and zeroed
#define PROCESS_TABLE_READY             1  // Current, Lock and the events initialised
#define PROCESS_TABLE_NOTIFY_REGISTERED 2  // ProcessNotify registered
#define PROCESS_TABLE_WATCHER_RUNNING   3  // watcher thread running and referenced

/*
 * Lock order: RescanGate, then the rule store's resource, then Lock. Lock is a leaf:
 * under it only non-paged memory is touched and only zero time-out waits are made, and the
 * rule store is always consulted before it is taken.
 */
typedef struct _PROCESS_TABLE {
    ULONG State;                                       // PROCESS_TABLE_*: how far initialisation got
    _Guarded_by_(Lock) PRTL_AVL_TABLE Current;         // the table that queries read
    _Guarded_by_(Lock) PRTL_AVL_TABLE Rebuild;         // the table a rescan fills; else null
    KSPIN_LOCK Lock;                                   // queued spin lock, always acquired in-stack
    _Guarded_by_(Lock) PPROCESS_ENTRY PendingElement;  // entry being inserted
    _Guarded_by_(Lock) PPROCESS_ENTRY MovingElement;   // entry leaving a table without being freed
    _Guarded_by_(Lock) ULONG RulesGeneration;          // bumped when a rescan installs Rebuild
    LONG volatile RescanPending;                       // non-zero while the last rescan failed: the watcher retries
    PETHREAD WatcherThread;                            // referenced watcher thread, waited on at teardown
    KEVENT StopEvent;                                  // notification event: the watcher ends when set
    KEVENT WatcherDone;                                // notification event: the watcher no longer uses the table
    KEVENT RescanGate;                                 // synchronization event, set while no rescan runs
    PROCESS_INDEX Index;                               // Current's flags for lock-free reads; changed under Lock
} PROCESS_TABLE, *PPROCESS_TABLE;

/* The driver-wide process table; null until InitProcessTable, null again after Free. */
extern PPROCESS_TABLE ProcessTable;

/* Held by every run of ProcessNotify: the teardown runs it down before it frees what the
   routine reads, so even a routine whose removal failed never sees freed memory. */
extern EX_RUNDOWN_REF ProcessNotifyRundown;

/* The process table's allocations carry the process policy's tag, "QVPM". */
#define PROCESS_TABLE_TAG QVR_TAG_POLICY

EXTERN_C_START

_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitProcessTable(VOID);

_IRQL_requires_(PASSIVE_LEVEL)
VOID FreeProcessTable(VOID);

/* Always STATUS_SUCCESS; an unknown process is not intercepted. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QueryProcessIntercept(_In_ UINT64 ProcessId, _Out_ PBOOLEAN Intercept);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AddProcess(_In_ UINT64 ProcessId);

_IRQL_requires_(PASSIVE_LEVEL)
VOID RemoveProcess(_In_ UINT64 ProcessId);

_IRQL_requires_(PASSIVE_LEVEL)
VOID NTAPI ProcessNotify(_In_ HANDLE ParentId, _In_ HANDLE ProcessId, _In_ BOOLEAN Create);

/*
 * Rebuilds the table from a process snapshot under the current rules; STATUS_SUCCESS. A
 * failed rescan keeps Current, merges into it the starts seen meanwhile (exits were
 * applied to both tables) and leaves RescanPending set, so the watcher tries again.
 */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RescanProcesses(VOID);

/* Table plumbing shared with the rescan and the watcher. */
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
PRTL_AVL_TABLE AllocateProcessAvlTable(VOID);

/* Deletes every entry (each dereferencing its process) and frees the table; clears it. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeProcessAvlTable(_Inout_ PRTL_AVL_TABLE *Table);

/*
 * With Lock held: enters Entry into Target. An entry already there under the same id gives
 * way (a reused id, or a process met twice during a rescan), unless the newcomer is the
 * one to drop: the same process with a flag computed under older rules (its rule lookup
 * raced with a rule change), or a different process that has already ended while the
 * entry's process runs (a late insert must not evict the process that reused its id).
 * Returns the entry to free once Lock is released (Entry or nothing); consumes Entry.
 */
_IRQL_requires_(DISPATCH_LEVEL)
_Must_inspect_result_
PPROCESS_ENTRY InsertProcessEntryLocked(_Inout_ PPROCESS_TABLE Table, _Inout_ PRTL_AVL_TABLE Target,
                                        _In_ PPROCESS_ENTRY Entry);

/*
 * Without Lock: room in the index for Extra processes more than Current holds, allocated
 * before Lock is taken; when there is none the tree answers until a later call finds room.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReserveProcessIndex(_Inout_ PPROCESS_TABLE Table, _In_ ULONG Extra);

/* The index's reader of a table element (PROCESS_INDEX_READ_ROUTINE). */
VOID ReadProcessIndexElement(_In_ PVOID Element, _Out_ PUINT64 ProcessId, _Out_ PBOOLEAN Intercept);

/* Frees an entry that is in no table, dropping its process reference. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeProcessEntry(_In_ PPROCESS_ENTRY Entry);

/* A process object is signalled once the process has ended; polls without waiting. */
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN HasProcessEnded(_In_ PEPROCESS Process);

EXTERN_C_END
