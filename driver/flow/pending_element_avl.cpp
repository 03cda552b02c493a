/*
 * pending_element_avl.cpp
 *
 * The allocate routine shared by the driver's AVL tables: the node was allocated by the
 * inserter beforehand, so nothing is allocated while the table's lock is held.
 */
#include <ntddk.h>

#include "pending_element_avl.h"

PVOID NTAPI AllocatePendingElement(PRTL_AVL_TABLE Table, CLONG ByteSize)
{
    UNREFERENCED_PARAMETER(ByteSize);
    PAVL_TABLE_WITH_PENDING head = static_cast<PAVL_TABLE_WITH_PENDING>(Table->TableContext);

    return head != nullptr ? head->PendingElement : nullptr;
}
