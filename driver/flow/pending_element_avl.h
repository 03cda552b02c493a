/*
 * pending_element_avl.h
 *
 * AVL generic tables whose inserts never allocate. The inserter allocates the whole node
 * (the package's link header followed by the element), parks it in PendingElement right
 * before the insert and clears it right after, under the table's lock; the insert is made
 * with a buffer size of 0, since the element already sits in the node. The table's
 * allocate routine, AllocatePendingElement, only hands the parked node out; the tables
 * keyed by a UINT64 share one compare routine, CompareUint64Keys.
 */
#pragma once

#include <ntddk.h>

/*
 * The head of every table that uses AllocatePendingElement. The table's context is the
 * structure that begins with this head (usually the table itself).
 */
typedef struct _AVL_TABLE_WITH_PENDING {
    RTL_AVL_TABLE Avl;     // the tree
    PVOID PendingElement;  // the node being inserted; null at all other times
} AVL_TABLE_WITH_PENDING, *PAVL_TABLE_WITH_PENDING;

// Returns the context's PendingElement; never allocates. A null return fails the insert.
RTL_AVL_ALLOCATE_ROUTINE AllocatePendingElement;

// Orders elements whose user data begins with a UINT64 key (a bare key compares the same
// way); the compare routine of the driver's tables.
RTL_AVL_COMPARE_ROUTINE CompareUint64Keys;
