/*
 * rule_store.h
 *
 * The process rule store: the executable file names the service sent last, with the mode
 * that says whether they are the processes to intercept (Mode TRUE) or the processes to
 * leave alone (Mode FALSE). The process table asks it once per process it enters. The
 * store lives in paged pool behind an executive resource: every routine here runs below
 * DISPATCH_LEVEL.
 */
#pragma once

#include <ntddk.h>

#include "../flow/pending_element_avl.h"

// The longest name the store keeps: its counted string needs room for a terminating zero
// within a 16-bit MaximumLength. No path component can be longer anyway.
#define RULE_STORE_MAX_NAME_CHARS 32766

// One listed name (paged pool, tag "QVPM"); the AVL link header precedes it in the node.
typedef struct _NAME_ENTRY {
    UNICODE_STRING Name;  // Length without the terminator; MaximumLength = Length + 2; own buffer
} NAME_ENTRY, *PNAME_ENTRY;

/*
 * Lock order: Lock is taken inside a critical region and no other lock is taken while it
 * is held; the process table's spin lock is never held while calling in here.
 */
typedef struct _RULE_STORE {
    _Guarded_by_(Lock) PAVL_TABLE_WITH_PENDING Names;  // the current list; never null while the store exists
    PERESOURCE Lock;                                   // readers-writer lock over Names and Mode
    _Guarded_by_(Lock) BOOLEAN Mode;                   // TRUE: listed names are intercepted, others not
} RULE_STORE, *PRULE_STORE;

// The driver-wide rule store; null until InitRuleStore and after FreeRuleStore.
extern PRULE_STORE RuleStore;

// Creates the store with an empty list and Mode FALSE. STATUS_NO_MEMORY; nothing is left
// behind on failure.
_Must_inspect_result_
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS InitRuleStore(VOID);

// Frees the store and every name in it and clears RuleStore. Safe without a store.
_IRQL_requires_max_(APC_LEVEL)
VOID FreeRuleStore(VOID);

/*
 * Replaces the whole list and Mode. NamesArea holds Count UTF-16 names, each followed by
 * one zero character, back to back; AreaSize is its size in bytes (an odd last byte is
 * ignored, as are bytes after the Count-th name). The new list is built aside and swapped
 * in whole, so a lookup sees the complete old or the complete new list with its own Mode.
 * STATUS_INVALID_PARAMETER: the area ends before Count terminated names, a name is longer
 * than RULE_STORE_MAX_NAME_CHARS or the area is not WCHAR-aligned. STATUS_UNSUCCESSFUL:
 * two names are equal without regard to case. STATUS_NO_MEMORY. On failure the store is
 * unchanged.
 */
_Must_inspect_result_
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ReplaceRules(_In_reads_bytes_opt_(AreaSize) const VOID *NamesArea, _In_ SIZE_T AreaSize, _In_ ULONG Count,
                      _In_ BOOLEAN Mode);

// TRUE when FileName (an executable's file name) is intercepted: listed and Mode TRUE, or
// not listed and Mode FALSE. Names compare without regard to case.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN IsNameIntercepted(_In_ PCUNICODE_STRING FileName);

// IsNameIntercepted of the path's last component (after the last "\" or "/"). An empty
// path, one without a separator and one that ends in a separator are never intercepted.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN IsImageIntercepted(_In_ PCUNICODE_STRING ImagePath);
