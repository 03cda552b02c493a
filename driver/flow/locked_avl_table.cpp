/*
 * locked_avl_table.cpp
 *
 * The spin-locked AVL container: the generic-table routines (unsigned 64-bit compare, the
 * shared allocate routine that only hands out the node the inserter parked in
 * PendingElement, a plain free) and the locked operations on top of them. The table
 * context is the table's head, the first member of the LockedAvlTable.
 */
#include "locked_avl_table.h"

static_assert(__is_trivially_constructible(LockedAvlTable),
              "a driver-wide LockedAvlTable must not need a global constructor");

_Function_class_(RTL_AVL_FREE_ROUTINE)
VOID NTAPI LockedAvlTable::FreeNode(_In_ PRTL_AVL_TABLE Table, _In_ __drv_freesMem(Mem) _Post_invalid_ PVOID Buffer)
{
    UNREFERENCED_PARAMETER(Table);
    ExFreePoolWithTag(Buffer, 0);
}

VOID LockedAvlTable::AcquireLock()
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Lock, &oldIrql);
    SavedIrql = oldIrql;
}

VOID LockedAvlTable::ReleaseLock()
{
    // Read the saved IRQL before releasing: the next owner overwrites it.
    const KIRQL oldIrql = SavedIrql;
    KeReleaseSpinLock(&Lock, oldIrql);
}

VOID LockedAvlTable::Construct(PRTL_AVL_FREE_ROUTINE FreeRoutine)
{
    Head.PendingElement = nullptr;
    RtlInitializeGenericTableAvl(&Head.Avl, CompareUint64Keys, AllocatePendingElement,
                                 FreeRoutine != nullptr ? FreeRoutine : FreeNode, &Head);
    KeInitializeSpinLock(&Lock);
    Count = 0;
    Closed = FALSE;
}

NTSTATUS LockedAvlTable::Insert(UINT64 Key, ULONG_PTR Value, PUINT64 NewCount)
{
    NTSTATUS status = STATUS_SUCCESS;
    PVOID node = nullptr;
    PVOID inserted;
    BOOLEAN isNew = FALSE;
    BOOLEAN closed;

    // Refuse early so that a closed table costs no allocation.
    AcquireLock();
    closed = Closed;
    ReleaseLock();
    if (closed) {
        status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }

    // Untagged by contract: nodes and callback entries are the one untagged allocation of
    // the driver, so pool tools attribute them to the default tag.
    node = ExAllocatePool(NonPagedPoolNx, LOCKED_AVL_NODE_SIZE);
    if (node == nullptr) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(node, LOCKED_AVL_NODE_SIZE);
    LockedAvlElementOfNode(node)->Key = Key;
    LockedAvlElementOfNode(node)->Value = Value;

    AcquireLock();
    if (Closed) {
        ReleaseLock();
        status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    // Buffer size 0: the element is already in place, the package copies nothing.
    Head.PendingElement = node;
    inserted = RtlInsertElementGenericTableAvl(&Head.Avl, LockedAvlElementOfNode(node), 0, &isNew);
    Head.PendingElement = nullptr;
    if (inserted == nullptr || !isNew) {
        ReleaseLock();
        status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    Count += 1;
    if (NewCount != nullptr) {
        *NewCount = Count;
    }
    ReleaseLock();
    node = nullptr;  // the table owns it now

Exit:
    if (node != nullptr) {
        ExFreePoolWithTag(node, 0);
    }
    return status;
}

NTSTATUS LockedAvlTable::Remove(UINT64 Key, PUINT64 NewCount)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    LOCKED_AVL_ELEMENT probe = {Key, 0};

    AcquireLock();
    if (RtlDeleteElementGenericTableAvl(&Head.Avl, &probe)) {
        Count -= 1;
        status = STATUS_SUCCESS;
    }
    if (NewCount != nullptr) {
        *NewCount = Count;
    }
    ReleaseLock();
    return status;
}

NTSTATUS LockedAvlTable::Take(UINT64 Key, PULONG_PTR Value, PUINT64 NewCount)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    LOCKED_AVL_ELEMENT probe = {Key, 0};

    *Value = 0;
    AcquireLock();
    PLOCKED_AVL_ELEMENT element = static_cast<PLOCKED_AVL_ELEMENT>(RtlLookupElementGenericTableAvl(&Head.Avl, &probe));
    if (element != nullptr) {
        // Cleared before the delete so that the free routine leaves the value alone.
        *Value = element->Value;
        element->Value = 0;
        (VOID) RtlDeleteElementGenericTableAvl(&Head.Avl, &probe);
        Count -= 1;
        status = STATUS_SUCCESS;
    }
    if (NewCount != nullptr) {
        *NewCount = Count;
    }
    ReleaseLock();
    return status;
}

NTSTATUS LockedAvlTable::Visit(UINT64 Key, PLOCKED_AVL_VISIT_ROUTINE Visit, PVOID Context)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    LOCKED_AVL_ELEMENT probe = {Key, 0};

    AcquireLock();
    PLOCKED_AVL_ELEMENT element = static_cast<PLOCKED_AVL_ELEMENT>(RtlLookupElementGenericTableAvl(&Head.Avl, &probe));
    if (element != nullptr) {
        Visit(element, &element->Value, Context);
        status = STATUS_SUCCESS;
    }
    ReleaseLock();
    return status;
}

VOID LockedAvlTable::ForEach(PLOCKED_AVL_VISIT_ROUTINE Visit, PVOID Context)
{
    PVOID restartKey = nullptr;

    AcquireLock();
    for (;;) {
        PLOCKED_AVL_ELEMENT element =
            static_cast<PLOCKED_AVL_ELEMENT>(RtlEnumerateGenericTableWithoutSplayingAvl(&Head.Avl, &restartKey));
        if (element == nullptr) {
            break;
        }
        Visit(element, &element->Value, Context);
    }
    ReleaseLock();
}

VOID LockedAvlTable::SetClosed(BOOLEAN IsClosed)
{
    AcquireLock();
    Closed = IsClosed;
    ReleaseLock();
}

VOID LockedAvlTable::Clear()
{
    AcquireLock();
    for (;;) {
        // Always the first element again: a cursor into a deleted node would dangle.
        PVOID restartKey = nullptr;
        PLOCKED_AVL_ELEMENT element =
            static_cast<PLOCKED_AVL_ELEMENT>(RtlEnumerateGenericTableWithoutSplayingAvl(&Head.Avl, &restartKey));
        if (element == nullptr) {
            break;
        }
        // The delete frees the node, so it searches with a copy of the key.
        LOCKED_AVL_ELEMENT probe = {element->Key, 0};
        (VOID) RtlDeleteElementGenericTableAvl(&Head.Avl, &probe);
    }
    Count = 0;
    ReleaseLock();
}

VOID LockedAvlTable::DeleteAllUnlocked()
{
    for (;;) {
        PLOCKED_AVL_ELEMENT element = static_cast<PLOCKED_AVL_ELEMENT>(RtlEnumerateGenericTableAvl(&Head.Avl, TRUE));
        if (element == nullptr) {
            break;
        }
        LOCKED_AVL_ELEMENT probe = {element->Key, 0};
        (VOID) RtlDeleteElementGenericTableAvl(&Head.Avl, &probe);
    }
}

VOID LockedAvlTable::Drain(PLOCKED_AVL_VISIT_ROUTINE Visit, PVOID Context)
{
    SetClosed(TRUE);
    if (Visit != nullptr) {
        ForEach(Visit, Context);
    }
    Clear();
}

UINT64 LockedAvlTable::GetCount()
{
    AcquireLock();
    const UINT64 count = Count;
    ReleaseLock();
    return count;
}

BOOLEAN LockedAvlTable::IsClosed()
{
    AcquireLock();
    const BOOLEAN closed = Closed;
    ReleaseLock();
    return closed;
}
