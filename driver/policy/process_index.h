/*
 * process_index.h
 *
 * The classify path's view of the process table: an open-addressed hash from process id to
 * intercept flag that readers probe without taking the table's lock. Writers hold the lock
 * and bracket every change with a sequence count, odd while the change is being made; a
 * reader that saw the count move, or saw it odd, reads again. Slot arrays are freed only
 * with the table, so a reader still probing an array that a larger one replaced reads
 * memory that stays valid; each new array is at least twice the last, so what is kept is
 * less than the array in use. Without an array (none could be allocated, or the table
 * outgrew it before a larger one was in place) readers ask the tree under the lock.
 */
#pragma once

#include <ntifs.h>

/* Reads a tree element's id and flag for the index. */
typedef VOID (*PROCESS_INDEX_READ_ROUTINE)(_In_ PVOID Element, _Out_ PUINT64 ProcessId, _Out_ PBOOLEAN Intercept);

/* One slot: a process id and what is known of it. */
typedef struct _PROCESS_INDEX_SLOT {
    LONG64 volatile ProcessId;  // the key, when State is not PROCESS_SLOT_EMPTY
    LONG volatile State;        // PROCESS_SLOT_*
    LONG Unused;
} PROCESS_INDEX_SLOT;

#define PROCESS_SLOT_EMPTY       0
#define PROCESS_SLOT_KEPT        1  // a process in the table, not intercepted
#define PROCESS_SLOT_INTERCEPTED 2  // a process in the table, intercepted

typedef struct _PROCESS_INDEX_ARRAY {
    struct _PROCESS_INDEX_ARRAY *Older;  // the array this one replaced, kept for its readers
    ULONG Capacity;                      // slots, a power of two
    ULONG Shift;                         // 64 - log2(Capacity): the hash keeps the top bits
    PROCESS_INDEX_SLOT Slots[1];         // Capacity of them
} PROCESS_INDEX_ARRAY, *PPROCESS_INDEX_ARRAY;

typedef struct _PROCESS_INDEX {
    LONG volatile Sequence;                // odd while a writer changes the slots or the array
    PPROCESS_INDEX_ARRAY volatile Array;   // what readers probe; null: they ask the tree
    PPROCESS_INDEX_ARRAY volatile Newest;  // the last array made, head of the kept ones
    LONG volatile Count;                   // processes in the tree it mirrors
    PROCESS_INDEX_READ_ROUTINE Read;       // how that tree's elements are read
} PROCESS_INDEX, *PPROCESS_INDEX;

/*
 * The writers' routines that end in "Locked" run under the lock that guards the tree the
 * index mirrors, after the tree changed; Tree is that tree.
 */
EXTERN_C_START

/*
 * Answers from the index: TRUE with *Intercept set (FALSE for an unknown process), or
 * FALSE when there is no index to ask and the tree must answer.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
BOOLEAN LookupProcessIndex(_In_ PPROCESS_INDEX Index, _In_ UINT64 ProcessId, _Out_ PBOOLEAN Intercept);

/*
 * Without the lock, before a change that may take the tree to Needed processes: whether
 * the index has something to do under the lock, and if so the size of array to allocate
 * first (0 when the last array made has room again and only needs refilling). FALSE when
 * the array in use has room, or when no array may be that large.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
BOOLEAN ProcessIndexNeedsRoom(_In_ PPROCESS_INDEX Index, _In_ ULONG Needed, _Out_ PULONG Capacity);

/* A zeroed array of Capacity slots (from ProcessIndexNeedsRoom), or null. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
PPROCESS_INDEX_ARRAY AllocateProcessIndexArray(_In_ ULONG Capacity);

/* Frees an array the index did not take. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeProcessIndexArray(_In_ PPROCESS_INDEX_ARRAY Array);

/*
 * Fills Fresh from the tree and puts it in use when it is larger than every array before
 * it and holds the tree; without Fresh, puts the last array back in use when the tree fits
 * it again. TRUE when the index took Fresh.
 */
_IRQL_requires_(DISPATCH_LEVEL)
BOOLEAN InstallProcessIndexLocked(_Inout_ PPROCESS_INDEX Index, _In_opt_ PPROCESS_INDEX_ARRAY Fresh,
                                  _In_ PRTL_AVL_TABLE Tree);

/* After the tree took in (or replaced) the process's element. */
_IRQL_requires_(DISPATCH_LEVEL)
VOID IndexProcessLocked(_Inout_ PPROCESS_INDEX Index, _In_ PRTL_AVL_TABLE Tree, _In_ UINT64 ProcessId,
                        _In_ BOOLEAN Intercept);

/* After the process's element left the tree. */
_IRQL_requires_(DISPATCH_LEVEL)
VOID UnindexProcessLocked(_Inout_ PPROCESS_INDEX Index, _In_ PRTL_AVL_TABLE Tree, _In_ UINT64 ProcessId);

/* After the index was given another tree to mirror. */
_IRQL_requires_(DISPATCH_LEVEL)
VOID ReindexProcessesLocked(_Inout_ PPROCESS_INDEX Index, _In_ PRTL_AVL_TABLE Tree);

/* Frees every array; once no reader can reach the index. Can run twice. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeProcessIndex(_Inout_ PPROCESS_INDEX Index);

EXTERN_C_END
