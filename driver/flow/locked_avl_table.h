/*
 * locked_avl_table.h
 *
 * A spin-locked AVL table of the kernel's generic-table package that maps a 64-bit key to
 * a pointer-sized value, with a 64-bit element count and a closed flag that refuses inserts
 * once teardown has begun. Inserts never allocate under the lock: the inserter allocates
 * the whole node first and the table's allocate routine hands out that node.
 *
 * The flow-context table and the callback table are both built on this container.
 */
#pragma once

#include <ntddk.h>

#include "pending_element_avl.h"

/*
 * The user data of one node. On the 32-bit target Value is a ULONG, so a node is the
 * 16-byte link header followed by this 16-byte element; on a 64-bit build Value widens to
 * hold a pointer (the callback table keeps its completion record there).
 */
typedef struct _LOCKED_AVL_ELEMENT {
    UINT64 Key;       // ordering key, compared as an unsigned 64-bit number
    ULONG_PTR Value;  // the owner's value; the table does not interpret it
} LOCKED_AVL_ELEMENT, *PLOCKED_AVL_ELEMENT;

/*
 * Called by ForEach for each element in key order, at DISPATCH_LEVEL with the table's lock
 * held; it may change *Value but must neither insert nor remove.
 */
typedef _IRQL_requires_(DISPATCH_LEVEL)
_Function_class_(LOCKED_AVL_VISIT_ROUTINE)
VOID LOCKED_AVL_VISIT_ROUTINE(_In_ PLOCKED_AVL_ELEMENT Element, _Inout_ PULONG_PTR Value, _In_opt_ PVOID Context);
typedef LOCKED_AVL_VISIT_ROUTINE *PLOCKED_AVL_VISIT_ROUTINE;

/*
 * Lock order: Lock is a leaf; nothing else is acquired while it is held, and nothing is
 * allocated, waited on or called out to under it, except the visit routine of ForEach.
 *
 * The object has no constructor, so a driver-wide instance needs no compiler-run global
 * constructor: the owner calls Construct before first use.
 */
class LockedAvlTable
{
  public:
    // Prepares an empty, open table. FreeRoutine releases a node (the link header address);
    // null selects the plain one, ExFreePoolWithTag(node, 0).
    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID Construct(_In_opt_ PRTL_AVL_FREE_ROUTINE FreeRoutine = nullptr);

    // STATUS_UNSUCCESSFUL when closed or when Key is already present, STATUS_NO_MEMORY
    // when no node can be allocated; the table is unchanged in every failure.
    _Must_inspect_result_
    _IRQL_requires_max_(DISPATCH_LEVEL)
    NTSTATUS Insert(_In_ UINT64 Key, _In_ ULONG_PTR Value, _Out_opt_ PUINT64 NewCount);

    // Deletes the element of Key through the free routine. STATUS_NOT_FOUND when absent;
    // NewCount receives the count in both cases.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    NTSTATUS Remove(_In_ UINT64 Key, _Out_opt_ PUINT64 NewCount);

    // Like Remove, but the element's Value passes to the caller instead of to the free
    // routine (which then sees a zero Value). Whoever takes a key owns what it refers to,
    // and only one caller can take it.
    _Must_inspect_result_
    _IRQL_requires_max_(DISPATCH_LEVEL)
    NTSTATUS Take(_In_ UINT64 Key, _Out_ PULONG_PTR Value, _Out_opt_ PUINT64 NewCount);

    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID ForEach(_In_ PLOCKED_AVL_VISIT_ROUTINE Visit, _In_opt_ PVOID Context);

    // Lets Visit see the element of Key under the lock (it must neither insert nor remove).
    // STATUS_NOT_FOUND, and no call, when the key is absent.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    NTSTATUS Visit(_In_ UINT64 Key, _In_ PLOCKED_AVL_VISIT_ROUTINE Visit, _In_opt_ PVOID Context);

    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID SetClosed(_In_ BOOLEAN Closed);

    // Deletes every element under the lock and sets the count to 0.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID Clear();

    // Deletes every element without taking the lock; only for the final teardown, when
    // nothing else can reach the table. The count is left as it was.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID DeleteAllUnlocked();

    // Closes the table, lets Visit see every element in key order, then clears it.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    VOID Drain(_In_opt_ PLOCKED_AVL_VISIT_ROUTINE Visit, _In_opt_ PVOID Context);

    _IRQL_requires_max_(DISPATCH_LEVEL)
    UINT64 GetCount();

    _IRQL_requires_max_(DISPATCH_LEVEL)
    BOOLEAN IsClosed();

  private:
    static RTL_AVL_FREE_ROUTINE FreeNode;

    _Requires_lock_not_held_(Lock) _Acquires_lock_(Lock) VOID AcquireLock();
    _Requires_lock_held_(Lock) _Releases_lock_(Lock) VOID ReleaseLock();

    // Avl (the elements, ordered by Key) and PendingElement (the node of the insert in
    // progress), shaped for the shared allocate routine; the table context.
    _Guarded_by_(Lock) AVL_TABLE_WITH_PENDING Head;
    KIRQL SavedIrql;                    // IRQL to restore when Lock is released
    KSPIN_LOCK Lock;                    // guards Avl, PendingElement, Count, Closed
    _Guarded_by_(Lock) UINT64 Count;    // number of elements in Avl
    _Guarded_by_(Lock) BOOLEAN Closed;  // while TRUE, every insert fails
};

// Where the element lies inside a node: right behind the package's link header.
#define LOCKED_AVL_NODE_SIZE (sizeof(RTL_BALANCED_LINKS) + sizeof(LOCKED_AVL_ELEMENT))

FORCEINLINE PLOCKED_AVL_ELEMENT LockedAvlElementOfNode(_In_ PVOID Node)
{
    return reinterpret_cast<PLOCKED_AVL_ELEMENT>(static_cast<PUCHAR>(Node) + sizeof(RTL_BALANCED_LINKS));
}
