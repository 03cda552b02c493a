/*
 * rtl_avl_table.cpp (winsim kernel)
 *
 * The AVL generic-table package. Nodes are RTL_BALANCED_LINKS headers followed by the
 * caller's element in one allocation from the table's allocate routine (asked for the
 * header plus the element size); the free routine gets the header pointer back. The root
 * hangs off BalancedRoot.RightChild. Compare routines are called as (table, caller's
 * buffer, element in the tree). The package takes no lock: callers serialise, and a debug
 * check reports a table entered by two threads at once.
 */
#include "thread_context.h"

#include <ntddk.h>

#include <winsim/verifier.h>

#include <atomic>
#include <cstddef>

namespace winsim::kernel {
namespace {

struct TABLE_ENTRY_HEADER {
    RTL_BALANCED_LINKS BalancedLinks;
    LONGLONG UserData;
};
constexpr std::size_t kUserDataOffset = offsetof(TABLE_ENTRY_HEADER, UserData);

PVOID UserData(PRTL_BALANCED_LINKS node) { return reinterpret_cast<char *>(node) + kUserDataOffset; }

// Concurrent-entry detection: a table being modified claims a slot; anyone else entering
// the same table meanwhile is reported. Different tables hashing to one slot are not checked.
constexpr std::size_t kSlots = 64;
std::atomic<const void *> gActiveTables[kSlots];

std::atomic<const void *> &SlotFor(const void *table)
{
    return gActiveTables[(reinterpret_cast<ULONG_PTR>(table) >> 4) % kSlots];
}

class TableEntry {
public:
    TableEntry(PRTL_AVL_TABLE table, const char *call, bool modifies) : table_(table)
    {
        std::atomic<const void *> &slot = SlotFor(table);
        if (slot.load(std::memory_order_acquire) == table) {
            ReportViolation(call, "the AVL table is in use by another caller at the same time "
                                  "(callers must serialise access to a generic table)");
            return;
        }
        if (modifies) {
            const void *expected = nullptr;
            claimed_ = slot.compare_exchange_strong(expected, table, std::memory_order_acq_rel);
        }
    }
    ~TableEntry()
    {
        if (claimed_) {
            SlotFor(table_).store(nullptr, std::memory_order_release);
        }
    }
    TableEntry(const TableEntry &) = delete;
    TableEntry &operator=(const TableEntry &) = delete;

private:
    PRTL_AVL_TABLE table_;
    bool claimed_ = false;
};

PRTL_BALANCED_LINKS Root(PRTL_AVL_TABLE table) { return table->BalancedRoot.RightChild; }

PRTL_BALANCED_LINKS Leftmost(PRTL_BALANCED_LINKS node)
{
    while (node != nullptr && node->LeftChild != nullptr) {
        node = node->LeftChild;
    }
    return node;
}

PRTL_BALANCED_LINKS Rightmost(PRTL_BALANCED_LINKS node)
{
    while (node != nullptr && node->RightChild != nullptr) {
        node = node->RightChild;
    }
    return node;
}

PRTL_BALANCED_LINKS Successor(PRTL_AVL_TABLE table, PRTL_BALANCED_LINKS node)
{
    if (node->RightChild != nullptr) {
        return Leftmost(node->RightChild);
    }
    for (;;) {
        PRTL_BALANCED_LINKS parent = node->Parent;
        if (parent == &table->BalancedRoot) {
            return nullptr;
        }
        if (parent->LeftChild == node) {
            return parent;
        }
        node = parent;
    }
}

PRTL_BALANCED_LINKS Predecessor(PRTL_AVL_TABLE table, PRTL_BALANCED_LINKS node)
{
    if (node->LeftChild != nullptr) {
        return Rightmost(node->LeftChild);
    }
    for (;;) {
        PRTL_BALANCED_LINKS parent = node->Parent;
        if (parent == &table->BalancedRoot) {
            return nullptr;
        }
        if (parent->RightChild == node) {
            return parent;
        }
        node = parent;
    }
}

void ReplaceChild(PRTL_BALANCED_LINKS parent, PRTL_BALANCED_LINKS oldChild, PRTL_BALANCED_LINKS newChild)
{
    if (parent->LeftChild == oldChild) {
        parent->LeftChild = newChild;
    } else {
        parent->RightChild = newChild;
    }
}

void RotateLeft(PRTL_BALANCED_LINKS x)
{
    PRTL_BALANCED_LINKS y = x->RightChild;
    x->RightChild = y->LeftChild;
    if (y->LeftChild != nullptr) {
        y->LeftChild->Parent = x;
    }
    y->Parent = x->Parent;
    ReplaceChild(x->Parent, x, y);
    y->LeftChild = x;
    x->Parent = y;
}

void RotateRight(PRTL_BALANCED_LINKS x)
{
    PRTL_BALANCED_LINKS y = x->LeftChild;
    x->LeftChild = y->RightChild;
    if (y->RightChild != nullptr) {
        y->RightChild->Parent = x;
    }
    y->Parent = x->Parent;
    ReplaceChild(x->Parent, x, y);
    y->RightChild = x;
    x->Parent = y;
}

// Restores balance at a node whose Balance is +2 or -2. Returns the subtree's new root;
// *shorter tells whether the subtree lost height.
PRTL_BALANCED_LINKS Rebalance(PRTL_BALANCED_LINKS node, bool *shorter)
{
    const CHAR sign = node->Balance > 0 ? 1 : -1;
    PRTL_BALANCED_LINKS heavy = sign > 0 ? node->RightChild : node->LeftChild;
    if (heavy->Balance != -sign) {
        if (sign > 0) {
            RotateLeft(node);
        } else {
            RotateRight(node);
        }
        if (heavy->Balance == 0) {
            node->Balance = sign;
            heavy->Balance = static_cast<CHAR>(-sign);
            *shorter = false;
        } else {
            node->Balance = 0;
            heavy->Balance = 0;
            *shorter = true;
        }
        return heavy;
    }
    PRTL_BALANCED_LINKS inner = sign > 0 ? heavy->LeftChild : heavy->RightChild;
    if (sign > 0) {
        RotateRight(heavy);
        RotateLeft(node);
    } else {
        RotateLeft(heavy);
        RotateRight(node);
    }
    node->Balance = inner->Balance == sign ? static_cast<CHAR>(-sign) : 0;
    heavy->Balance = inner->Balance == -sign ? sign : 0;
    inner->Balance = 0;
    *shorter = true;
    return inner;
}

void RetraceInsert(PRTL_AVL_TABLE table, PRTL_BALANCED_LINKS node)
{
    while (node->Parent != &table->BalancedRoot) {
        PRTL_BALANCED_LINKS parent = node->Parent;
        parent->Balance = static_cast<CHAR>(parent->Balance + (parent->LeftChild == node ? -1 : 1));
        if (parent->Balance == 0) {
            return;
        }
        if (parent->Balance == 2 || parent->Balance == -2) {
            bool shorter = false;
            Rebalance(parent, &shorter);
            return;
        }
        node = parent;
    }
}

void RetraceDelete(PRTL_AVL_TABLE table, PRTL_BALANCED_LINKS node, bool leftShrunk)
{
    while (node != &table->BalancedRoot) {
        node->Balance = static_cast<CHAR>(node->Balance + (leftShrunk ? 1 : -1));
        if (node->Balance == 1 || node->Balance == -1) {
            return;
        }
        if (node->Balance != 0) {
            bool shorter = false;
            node = Rebalance(node, &shorter);
            if (!shorter) {
                return;
            }
        }
        PRTL_BALANCED_LINKS parent = node->Parent;
        leftShrunk = parent->LeftChild == node;
        node = parent;
    }
}

// Puts y (the in-order successor of z, without a left child) where z is, and z where y was.
void SwapWithSuccessor(PRTL_BALANCED_LINKS z, PRTL_BALANCED_LINKS y)
{
    PRTL_BALANCED_LINKS zParent = z->Parent;
    PRTL_BALANCED_LINKS zLeft = z->LeftChild;
    PRTL_BALANCED_LINKS zRight = z->RightChild;
    PRTL_BALANCED_LINKS yParent = y->Parent;
    PRTL_BALANCED_LINKS yRight = y->RightChild;
    CHAR zBalance = z->Balance;
    ReplaceChild(zParent, z, y);
    y->Parent = zParent;
    y->LeftChild = zLeft;
    zLeft->Parent = y;
    if (yParent == z) {
        y->RightChild = z;
        z->Parent = y;
    } else {
        y->RightChild = zRight;
        zRight->Parent = y;
        yParent->LeftChild = z;
        z->Parent = yParent;
    }
    z->LeftChild = nullptr;
    z->RightChild = yRight;
    if (yRight != nullptr) {
        yRight->Parent = z;
    }
    z->Balance = y->Balance;
    y->Balance = zBalance;
}

void InvalidateOrderCache(PRTL_AVL_TABLE table)
{
    table->OrderedPointer = nullptr;
    table->WhichOrderedElement = 0;
}

TABLE_SEARCH_RESULT Find(PRTL_AVL_TABLE table, PVOID buffer, PRTL_BALANCED_LINKS *nodeOrParent)
{
    PRTL_BALANCED_LINKS node = Root(table);
    if (node == nullptr) {
        *nodeOrParent = nullptr;
        return TableEmptyTree;
    }
    for (;;) {
        RTL_GENERIC_COMPARE_RESULTS result = table->CompareRoutine(table, buffer, UserData(node));
        if (result == GenericEqual) {
            *nodeOrParent = node;
            return TableFoundNode;
        }
        PRTL_BALANCED_LINKS next = result == GenericLessThan ? node->LeftChild : node->RightChild;
        if (next == nullptr) {
            *nodeOrParent = node;
            return result == GenericLessThan ? TableInsertAsLeft : TableInsertAsRight;
        }
        node = next;
    }
}

PVOID InsertAt(PRTL_AVL_TABLE table, PVOID buffer, CLONG bufferSize, PBOOLEAN newElement,
               PRTL_BALANCED_LINKS nodeOrParent, TABLE_SEARCH_RESULT searchResult)
{
    if (newElement != nullptr) {
        *newElement = FALSE;
    }
    if (searchResult == TableFoundNode) {
        return UserData(nodeOrParent);
    }
    auto node = static_cast<PRTL_BALANCED_LINKS>(
        table->AllocateRoutine(table, static_cast<CLONG>(bufferSize + kUserDataOffset)));
    if (node == nullptr) {
        return nullptr;
    }
    node->LeftChild = nullptr;
    node->RightChild = nullptr;
    node->Balance = 0;
    if (searchResult == TableEmptyTree) {
        node->Parent = &table->BalancedRoot;
        table->BalancedRoot.RightChild = node;
    } else {
        node->Parent = nodeOrParent;
        if (searchResult == TableInsertAsLeft) {
            nodeOrParent->LeftChild = node;
        } else {
            nodeOrParent->RightChild = node;
        }
        RetraceInsert(table, node);
    }
    ++table->NumberGenericTableElements;
    InvalidateOrderCache(table);
    if (bufferSize != 0) {
        __builtin_memmove(UserData(node), buffer, bufferSize);
    }
    if (newElement != nullptr) {
        *newElement = TRUE;
    }
    return UserData(node);
}

}  // namespace
}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

VOID NTAPI RtlInitializeGenericTableAvl(PRTL_AVL_TABLE Table, PRTL_AVL_COMPARE_ROUTINE CompareRoutine,
                                        PRTL_AVL_ALLOCATE_ROUTINE AllocateRoutine, PRTL_AVL_FREE_ROUTINE FreeRoutine,
                                        PVOID TableContext)
{
    __builtin_memset(Table, 0, sizeof(*Table));
    Table->CompareRoutine = CompareRoutine;
    Table->AllocateRoutine = AllocateRoutine;
    Table->FreeRoutine = FreeRoutine;
    Table->TableContext = TableContext;
}

PVOID NTAPI RtlInsertElementGenericTableFullAvl(PRTL_AVL_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                                PBOOLEAN NewElement, PVOID NodeOrParent,
                                                TABLE_SEARCH_RESULT SearchResult)
{
    TableEntry entry(Table, "RtlInsertElementGenericTableFullAvl", true);
    return InsertAt(Table, Buffer, BufferSize, NewElement, static_cast<PRTL_BALANCED_LINKS>(NodeOrParent),
                    SearchResult);
}

PVOID NTAPI RtlInsertElementGenericTableAvl(PRTL_AVL_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                            PBOOLEAN NewElement)
{
    TableEntry entry(Table, "RtlInsertElementGenericTableAvl", true);
    PRTL_BALANCED_LINKS nodeOrParent = nullptr;
    TABLE_SEARCH_RESULT result = Find(Table, Buffer, &nodeOrParent);
    return InsertAt(Table, Buffer, BufferSize, NewElement, nodeOrParent, result);
}

PVOID NTAPI RtlLookupElementGenericTableFullAvl(PRTL_AVL_TABLE Table, PVOID Buffer, PVOID *NodeOrParent,
                                                TABLE_SEARCH_RESULT *SearchResult)
{
    TableEntry entry(Table, "RtlLookupElementGenericTableFullAvl", false);
    PRTL_BALANCED_LINKS node = nullptr;
    *SearchResult = Find(Table, Buffer, &node);
    *NodeOrParent = node;
    return *SearchResult == TableFoundNode ? UserData(node) : nullptr;
}

PVOID NTAPI RtlLookupElementGenericTableAvl(PRTL_AVL_TABLE Table, PVOID Buffer)
{
    TableEntry entry(Table, "RtlLookupElementGenericTableAvl", false);
    PRTL_BALANCED_LINKS node = nullptr;
    return Find(Table, Buffer, &node) == TableFoundNode ? UserData(node) : nullptr;
}

BOOLEAN NTAPI RtlDeleteElementGenericTableAvl(PRTL_AVL_TABLE Table, PVOID Buffer)
{
    TableEntry entry(Table, "RtlDeleteElementGenericTableAvl", true);
    PRTL_BALANCED_LINKS z = nullptr;
    if (Find(Table, Buffer, &z) != TableFoundNode) {
        return FALSE;
    }
    if (Table->RestartKey == z) {
        Table->RestartKey = Predecessor(Table, z);
    }
    if (z->LeftChild != nullptr && z->RightChild != nullptr) {
        SwapWithSuccessor(z, Leftmost(z->RightChild));
    }
    PRTL_BALANCED_LINKS child = z->LeftChild != nullptr ? z->LeftChild : z->RightChild;
    PRTL_BALANCED_LINKS parent = z->Parent;
    bool leftShrunk = parent != &Table->BalancedRoot && parent->LeftChild == z;
    ReplaceChild(parent, z, child);
    if (child != nullptr) {
        child->Parent = parent;
    }
    RetraceDelete(Table, parent, leftShrunk);
    --Table->NumberGenericTableElements;
    ++Table->DeleteCount;
    InvalidateOrderCache(Table);
    Table->FreeRoutine(Table, z);
    return TRUE;
}

PVOID NTAPI RtlEnumerateGenericTableWithoutSplayingAvl(PRTL_AVL_TABLE Table, PVOID *RestartKey)
{
    TableEntry entry(Table, "RtlEnumerateGenericTableWithoutSplayingAvl", false);
    PRTL_BALANCED_LINKS node = *RestartKey == nullptr
                                   ? Leftmost(Root(Table))
                                   : Successor(Table, static_cast<PRTL_BALANCED_LINKS>(*RestartKey));
    if (node == nullptr) {
        return nullptr;
    }
    *RestartKey = node;
    return UserData(node);
}

PVOID NTAPI RtlEnumerateGenericTableAvl(PRTL_AVL_TABLE Table, BOOLEAN Restart)
{
    if (Restart) {
        Table->RestartKey = nullptr;
    }
    return RtlEnumerateGenericTableWithoutSplayingAvl(Table, reinterpret_cast<PVOID *>(&Table->RestartKey));
}

PVOID NTAPI RtlGetElementGenericTableAvl(PRTL_AVL_TABLE Table, ULONG I)
{
    TableEntry entry(Table, "RtlGetElementGenericTableAvl", true);
    if (I >= Table->NumberGenericTableElements) {
        return nullptr;
    }
    const ULONG target = I + 1;  // WhichOrderedElement counts from 1
    auto node = static_cast<PRTL_BALANCED_LINKS>(Table->OrderedPointer);
    ULONG which = Table->WhichOrderedElement;
    if (node == nullptr || which == 0 || (which > target && which - target > target - 1)) {
        node = Leftmost(Root(Table));
        which = 1;
    }
    while (which < target) {
        node = Successor(Table, node);
        ++which;
    }
    while (which > target) {
        node = Predecessor(Table, node);
        --which;
    }
    Table->OrderedPointer = node;
    Table->WhichOrderedElement = which;
    return UserData(node);
}

ULONG NTAPI RtlNumberGenericTableElementsAvl(PRTL_AVL_TABLE Table) { return Table->NumberGenericTableElements; }

BOOLEAN NTAPI RtlIsGenericTableEmptyAvl(PRTL_AVL_TABLE Table)
{
    return Table->NumberGenericTableElements == 0 ? TRUE : FALSE;
}

}  // extern "C"
