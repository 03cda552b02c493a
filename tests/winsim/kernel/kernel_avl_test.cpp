/*
 * kernel_avl_test.cpp
 *
 * The AVL generic-table contract: ordering, duplicates, the allocation and free routines'
 * arguments (counted through the table's own routines), deletion with rebalancing, the two
 * enumerations and their cursors, indexed access, and the pre-allocated-node pattern.
 */
#include <ntddk.h>

#include <gtest/gtest.h>

#include "kernel_test_util.h"

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

using kerneltest::Tag;

struct Element {
    ULONG Key;    // ordering key
    ULONG Value;  // payload, not part of the key
};

struct Counters {
    std::vector<CLONG> allocationSizes;  // ByteSize of every allocate call
    std::set<PVOID> allocated;           // nodes handed out and not yet freed
    std::vector<PVOID> freed;            // nodes the free routine received
    std::vector<PVOID> compareFirst;     // FirstStruct of every compare call
    bool failAllocation = false;
};

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareElements(PRTL_AVL_TABLE table, PVOID first, PVOID second)
{
    static_cast<Counters *>(table->TableContext)->compareFirst.push_back(first);
    ULONG a = static_cast<Element *>(first)->Key;
    ULONG b = static_cast<Element *>(second)->Key;
    return a < b ? GenericLessThan : (a > b ? GenericGreaterThan : GenericEqual);
}

PVOID NTAPI AllocateNode(PRTL_AVL_TABLE table, CLONG byteSize)
{
    auto *counters = static_cast<Counters *>(table->TableContext);
    counters->allocationSizes.push_back(byteSize);
    if (counters->failAllocation) {
        return nullptr;
    }
    PVOID node = ExAllocatePoolWithTag(NonPagedPoolNx, byteSize, Tag("AVLt"));
    counters->allocated.insert(node);
    return node;
}

VOID NTAPI FreeNode(PRTL_AVL_TABLE table, PVOID buffer)
{
    auto *counters = static_cast<Counters *>(table->TableContext);
    counters->freed.push_back(buffer);
    counters->allocated.erase(buffer);
    ExFreePoolWithTag(buffer, Tag("AVLt"));
}

class AvlTableTest : public testing::Test {
protected:
    void SetUp() override { RtlInitializeGenericTableAvl(&table_, CompareElements, AllocateNode, FreeNode, &counters_); }

    void TearDown() override
    {
        for (PVOID element = RtlGetElementGenericTableAvl(&table_, 0); element != nullptr;
             element = RtlGetElementGenericTableAvl(&table_, 0)) {
            RtlDeleteElementGenericTableAvl(&table_, element);
        }
    }

    Element *Insert(ULONG key, ULONG value = 0, BOOLEAN *isNew = nullptr)
    {
        Element element{key, value};
        return static_cast<Element *>(RtlInsertElementGenericTableAvl(&table_, &element, sizeof(element), isNew));
    }

    bool Delete(ULONG key)
    {
        Element probe{key, 0};
        return RtlDeleteElementGenericTableAvl(&table_, &probe) == TRUE;
    }

    std::vector<ULONG> KeysInOrder()
    {
        std::vector<ULONG> keys;
        PVOID restart = nullptr;
        for (PVOID element = RtlEnumerateGenericTableWithoutSplayingAvl(&table_, &restart); element != nullptr;
             element = RtlEnumerateGenericTableWithoutSplayingAvl(&table_, &restart)) {
            keys.push_back(static_cast<Element *>(element)->Key);
        }
        return keys;
    }

    // Checks parent links, balance factors and AVL height bounds; returns the height.
    int CheckSubtree(PRTL_BALANCED_LINKS node, PRTL_BALANCED_LINKS parent)
    {
        if (node == nullptr) {
            return 0;
        }
        EXPECT_EQ(node->Parent, parent);
        int left = CheckSubtree(node->LeftChild, node);
        int right = CheckSubtree(node->RightChild, node);
        EXPECT_EQ(node->Balance, right - left);
        EXPECT_LE(std::abs(right - left), 1);
        return 1 + std::max(left, right);
    }

    void CheckShape() { CheckSubtree(table_.BalancedRoot.RightChild, &table_.BalancedRoot); }

    RTL_AVL_TABLE table_;
    Counters counters_;
};

TEST_F(AvlTableTest, AllocateRoutineIsAskedForTheNodeHeaderPlusTheElement)
{
    BOOLEAN isNew = FALSE;
    Element *element = Insert(7, 70, &isNew);
    ASSERT_NE(element, nullptr);
    EXPECT_TRUE(isNew);
    ASSERT_EQ(counters_.allocationSizes.size(), 1u);
    EXPECT_EQ(counters_.allocationSizes[0], sizeof(RTL_BALANCED_LINKS) + sizeof(Element));
    PVOID node = *counters_.allocated.begin();
    EXPECT_EQ(reinterpret_cast<char *>(element), static_cast<char *>(node) + sizeof(RTL_BALANCED_LINKS));
    EXPECT_EQ(element->Value, 70u);
    ASSERT_TRUE(Delete(7));
    ASSERT_EQ(counters_.freed.size(), 1u);
    EXPECT_EQ(counters_.freed[0], node);  // the free routine gets the node header back
}

TEST_F(AvlTableTest, CompareRoutineGetsTheCallersBufferFirst)
{
    Insert(1);
    counters_.compareFirst.clear();
    Element probe{2, 0};
    RtlInsertElementGenericTableAvl(&table_, &probe, sizeof(probe), nullptr);
    ASSERT_FALSE(counters_.compareFirst.empty());
    for (PVOID first : counters_.compareFirst) {
        EXPECT_EQ(first, &probe);
    }
}

TEST_F(AvlTableTest, DuplicateKeyReturnsTheExistingElementWithoutAllocating)
{
    Element *original = Insert(5, 50);
    BOOLEAN isNew = TRUE;
    Element *again = Insert(5, 99, &isNew);
    EXPECT_EQ(again, original);
    EXPECT_FALSE(isNew);
    EXPECT_EQ(again->Value, 50u);  // not overwritten
    EXPECT_EQ(counters_.allocationSizes.size(), 1u);
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 1u);
}

TEST_F(AvlTableTest, FailedAllocationLeavesTheTableUnchanged)
{
    Insert(1);
    counters_.failAllocation = true;
    BOOLEAN isNew = TRUE;
    EXPECT_EQ(Insert(2, 0, &isNew), nullptr);
    EXPECT_FALSE(isNew);
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 1u);
    EXPECT_EQ(KeysInOrder(), std::vector<ULONG>{1});
}

TEST_F(AvlTableTest, DeleteOfAnAbsentKeyReturnsFalseAndFreesNothing)
{
    Insert(1);
    EXPECT_FALSE(Delete(2));
    EXPECT_TRUE(counters_.freed.empty());
    EXPECT_TRUE(Delete(1));
    EXPECT_TRUE(RtlIsGenericTableEmptyAvl(&table_));
    EXPECT_EQ(table_.DeleteCount, 1u);
}

TEST_F(AvlTableTest, RandomInsertsAndDeletesKeepOrderAndBalance)
{
    std::mt19937 random(1234);
    std::set<ULONG> model;
    for (int step = 0; step < 3000; ++step) {
        ULONG key = random() % 500;
        if (random() % 3 != 0) {
            BOOLEAN isNew = FALSE;
            ASSERT_NE(Insert(key, key * 2, &isNew), nullptr);
            EXPECT_EQ(isNew == TRUE, model.insert(key).second);
        } else {
            EXPECT_EQ(Delete(key), model.erase(key) == 1);
        }
        if (step % 100 == 0) {
            CheckShape();
        }
    }
    CheckShape();
    EXPECT_EQ(KeysInOrder(), std::vector<ULONG>(model.begin(), model.end()));
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), model.size());
    EXPECT_EQ(counters_.allocated.size(), model.size());
    for (ULONG key : model) {
        Element probe{key, 0};
        auto *found = static_cast<Element *>(RtlLookupElementGenericTableAvl(&table_, &probe));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->Value, key * 2);
    }
}

TEST_F(AvlTableTest, EnumerateRestartsAndContinuesFromTheTablesCursor)
{
    for (ULONG key : {30u, 10u, 20u}) {
        Insert(key);
    }
    std::vector<ULONG> seen;
    for (PVOID element = RtlEnumerateGenericTableAvl(&table_, TRUE); element != nullptr;
         element = RtlEnumerateGenericTableAvl(&table_, FALSE)) {
        seen.push_back(static_cast<Element *>(element)->Key);
    }
    EXPECT_EQ(seen, (std::vector<ULONG>{10, 20, 30}));
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, FALSE), nullptr);
    auto *first = static_cast<Element *>(RtlEnumerateGenericTableAvl(&table_, TRUE));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Key, 10u);
}

TEST_F(AvlTableTest, DeletingTheCursorElementKeepsEnumerationGoing)
{
    for (ULONG key = 1; key <= 6; ++key) {
        Insert(key);
    }
    std::vector<ULONG> seen;
    for (PVOID element = RtlEnumerateGenericTableAvl(&table_, TRUE); element != nullptr;
         element = RtlEnumerateGenericTableAvl(&table_, FALSE)) {
        ULONG key = static_cast<Element *>(element)->Key;
        seen.push_back(key);
        if (key % 2 == 0) {
            Delete(key);  // the cursor's element
        }
    }
    EXPECT_EQ(seen, (std::vector<ULONG>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(KeysInOrder(), (std::vector<ULONG>{1, 3, 5}));
}

TEST_F(AvlTableTest, WithoutSplayingCursorsAreIndependent)
{
    for (ULONG key = 1; key <= 4; ++key) {
        Insert(key);
    }
    PVOID cursorA = nullptr;
    PVOID cursorB = nullptr;
    auto next = [&](PVOID *cursor) {
        auto *element = static_cast<Element *>(RtlEnumerateGenericTableWithoutSplayingAvl(&table_, cursor));
        return element == nullptr ? 0u : element->Key;
    };
    EXPECT_EQ(next(&cursorA), 1u);
    EXPECT_EQ(next(&cursorA), 2u);
    EXPECT_EQ(next(&cursorB), 1u);
    EXPECT_EQ(next(&cursorA), 3u);
    EXPECT_EQ(next(&cursorB), 2u);
    EXPECT_EQ(table_.RestartKey, nullptr);  // the table's own cursor is untouched
}

TEST_F(AvlTableTest, EmptyTableEnumeratesNothing)
{
    PVOID restart = nullptr;
    EXPECT_EQ(RtlEnumerateGenericTableWithoutSplayingAvl(&table_, &restart), nullptr);
    EXPECT_EQ(restart, nullptr);
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, TRUE), nullptr);
    EXPECT_EQ(RtlGetElementGenericTableAvl(&table_, 0), nullptr);
    EXPECT_TRUE(RtlIsGenericTableEmptyAvl(&table_));
}

TEST_F(AvlTableTest, GetElementIndexesInSortOrder)
{
    std::vector<ULONG> keys{50, 10, 40, 20, 30, 60, 0};
    for (ULONG key : keys) {
        Insert(key);
    }
    std::sort(keys.begin(), keys.end());
    // Forwards, backwards and jumping, so the ordered-element cache is exercised both ways.
    for (ULONG i : {0u, 1u, 2u, 6u, 5u, 3u, 0u, 4u}) {
        auto *element = static_cast<Element *>(RtlGetElementGenericTableAvl(&table_, i));
        ASSERT_NE(element, nullptr) << i;
        EXPECT_EQ(element->Key, keys[i]) << i;
    }
    EXPECT_EQ(RtlGetElementGenericTableAvl(&table_, 7), nullptr);
    Delete(30);
    EXPECT_EQ(static_cast<Element *>(RtlGetElementGenericTableAvl(&table_, 3))->Key, 40u);
}

// The driver's tables pre-allocate the whole node, let the allocate routine hand it out and
// insert with a buffer size of 0, so that nothing is allocated under their spin lock.
struct PreallocatedTable {
    RTL_AVL_TABLE Avl;       // the table
    PVOID PendingElement;    // node being inserted
    int AllocateCalls;       // how often the package asked for memory
};

PVOID NTAPI HandOutPending(PRTL_AVL_TABLE table, CLONG /*byteSize*/)
{
    auto *owner = static_cast<PreallocatedTable *>(table->TableContext);
    ++owner->AllocateCalls;
    return owner->PendingElement;
}

VOID NTAPI FreeUntagged(PRTL_AVL_TABLE /*table*/, PVOID buffer) { ExFreePoolWithTag(buffer, 0); }

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareKeys(PRTL_AVL_TABLE /*table*/, PVOID first, PVOID second)
{
    ULONG64 a = *static_cast<ULONG64 *>(first);
    ULONG64 b = *static_cast<ULONG64 *>(second);
    return a < b ? GenericLessThan : (a > b ? GenericGreaterThan : GenericEqual);
}

TEST(AvlPreallocatedNode, InsertWithSizeZeroUsesTheNodeAsItStands)
{
    PreallocatedTable owner{};
    RtlInitializeGenericTableAvl(&owner.Avl, CompareKeys, HandOutPending, FreeUntagged, &owner);
    for (ULONG64 key : {0x200000001ULL, 0x100000002ULL}) {
        auto *node = static_cast<PUCHAR>(ExAllocatePool(NonPagedPoolNx, sizeof(RTL_BALANCED_LINKS) + sizeof(ULONG64)));
        ASSERT_NE(node, nullptr);
        auto *element = reinterpret_cast<ULONG64 *>(node + sizeof(RTL_BALANCED_LINKS));
        *element = key;
        owner.PendingElement = node;
        BOOLEAN isNew = FALSE;
        PVOID inserted = RtlInsertElementGenericTableAvl(&owner.Avl, element, 0, &isNew);
        owner.PendingElement = nullptr;
        EXPECT_EQ(inserted, element);
        EXPECT_TRUE(isNew);
        EXPECT_EQ(*element, key);
    }
    EXPECT_EQ(owner.AllocateCalls, 2);
    // Keys order by their high half first: a plain unsigned 64-bit order.
    PVOID restart = nullptr;
    EXPECT_EQ(*static_cast<ULONG64 *>(RtlEnumerateGenericTableWithoutSplayingAvl(&owner.Avl, &restart)),
              0x100000002ULL);
    for (PVOID element = RtlEnumerateGenericTableAvl(&owner.Avl, TRUE); element != nullptr;
         element = RtlEnumerateGenericTableAvl(&owner.Avl, TRUE)) {
        RtlDeleteElementGenericTableAvl(&owner.Avl, element);
    }
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&owner.Avl), 0u);
}

}  // namespace
