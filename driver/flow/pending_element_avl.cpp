/*
 * pending_element_avl.cpp
 *
 * The allocate routine shared by the driver's AVL tables (the node was allocated by the
 * inserter beforehand, so nothing is allocated while the table's lock is held) and their
 * shared compare routine for UINT64 keys.
 */
#include <ntddk.h>

#include "pending_element_avl.h"

PVOID NTAPI AllocatePendingElement(PRTL_AVL_TABLE Table, CLONG ByteSize)
{
    UNREFERENCED_PARAMETER(ByteSize);
    PAVL_TABLE_WITH_PENDING head = static_cast<PAVL_TABLE_WITH_PENDING>(Table->TableContext);

    return head != nullptr ? head->PendingElement : nullptr;
}

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareUint64Keys(PRTL_AVL_TABLE Table, PVOID First, PVOID Second)
{
    UNREFERENCED_PARAMETER(Table);
    const UINT64 first = *static_cast<const UINT64 *>(First);
    const UINT64 second = *static_cast<const UINT64 *>(Second);

    if (first < second) {
        return GenericLessThan;
    }
    if (first > second) {
        return GenericGreaterThan;
    }
    return GenericEqual;
}
