// The spin-locked AVL container: insert and remove results, key order, the closed flag,
// the drain, and the same rules under concurrent inserts and removes.
#include <ntddk.h>

#include <gtest/gtest.h>
#include <winsim/verifier.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "driver/flow/locked_avl_table.h"

namespace {

// ExAllocatePool's allocations carry the tag "None".
constexpr char kUntagged[] = "None";

// Heap-held so that each test starts from a fresh, unconstructed object, as a driver would.
class LockedAvlTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        untaggedBefore_ = winsim::OutstandingAllocations(kUntagged);
        table_ = new LockedAvlTable();
        table_->Construct();
    }
    void TearDown() override
    {
        table_->Clear();
        delete table_;
        EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), untaggedBefore_) << "nodes left behind";
    }

    std::vector<UINT64> Keys()
    {
        std::vector<UINT64> keys;
        table_->ForEach(
            [](PLOCKED_AVL_ELEMENT element, PULONG_PTR, PVOID context) {
                static_cast<std::vector<UINT64> *>(context)->push_back(element->Key);
            },
            &keys);
        return keys;
    }

    LockedAvlTable *table_ = nullptr;
    std::size_t untaggedBefore_ = 0;
};

TEST_F(LockedAvlTableTest, InsertAndRemoveReportStatusAndCount)
{
    struct Step {
        bool insert;
        UINT64 key;
        NTSTATUS status;
        UINT64 count;
    };
    const Step steps[] = {
        {true, 7, STATUS_SUCCESS, 1},
        {true, 7, STATUS_UNSUCCESSFUL, 1},  // duplicate: refused, count unchanged
        {true, 9, STATUS_SUCCESS, 2},
        {false, 8, STATUS_NOT_FOUND, 2},    // absent: reports the unchanged count
        {false, 7, STATUS_SUCCESS, 1},
        {false, 7, STATUS_NOT_FOUND, 1},
        {true, 7, STATUS_SUCCESS, 2},       // a removed key can come back
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(::testing::Message() << (step.insert ? "insert " : "remove ") << step.key);
        UINT64 count = 0xdead;
        NTSTATUS status = step.insert ? table_->Insert(step.key, 0, &count) : table_->Remove(step.key, &count);
        EXPECT_EQ(status, step.status);
        if (step.insert && !NT_SUCCESS(status)) {
            EXPECT_EQ(count, 0xdeadu) << "a refused insert reports no count";
        } else {
            EXPECT_EQ(count, step.count);
        }
        EXPECT_EQ(table_->GetCount(), step.count);
    }
    EXPECT_EQ(Keys(), (std::vector<UINT64>{7, 9}));
}

TEST_F(LockedAvlTableTest, DuplicateInsertKeepsTheFirstValueAndFreesItsNode)
{
    ASSERT_EQ(table_->Insert(5, 111, nullptr), STATUS_SUCCESS);
    const std::size_t nodes = winsim::OutstandingAllocations(kUntagged);
    EXPECT_EQ(table_->Insert(5, 222, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), nodes);

    ULONG_PTR value = 0;
    ASSERT_EQ(table_->Take(5, &value, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(value, 111u);
}

TEST_F(LockedAvlTableTest, KeysOrderAsUnsigned64BitNumbers)
{
    const UINT64 keys[] = {0xFFFFFFFF00000000ull, 0x0000000100000000ull, 0x00000000FFFFFFFFull,
                           0x8000000000000000ull, 1, 0x0000000200000001ull};
    for (UINT64 key : keys) {
        ASSERT_EQ(table_->Insert(key, 0, nullptr), STATUS_SUCCESS) << std::hex << key;
    }
    std::vector<UINT64> sorted(std::begin(keys), std::end(keys));
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Keys(), sorted);

    // Keys equal in their low half are still distinct.
    EXPECT_EQ(table_->Remove(0x0000000000000000ull, nullptr), STATUS_NOT_FOUND);
    EXPECT_EQ(table_->Remove(0x0000000100000000ull, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(table_->Remove(0xFFFFFFFF00000000ull, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(table_->GetCount(), 4u);
}

TEST_F(LockedAvlTableTest, ClosedTableRefusesInsertsWithoutAllocating)
{
    ASSERT_EQ(table_->Insert(1, 0, nullptr), STATUS_SUCCESS);
    table_->SetClosed(TRUE);
    const std::size_t nodes = winsim::OutstandingAllocations(kUntagged);
    winsim::faults::FailNthAllocation(1);  // would turn an allocation into STATUS_NO_MEMORY
    EXPECT_EQ(table_->Insert(2, 0, nullptr), STATUS_UNSUCCESSFUL);
    winsim::faults::Clear();
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), nodes);
    EXPECT_EQ(table_->Remove(1, nullptr), STATUS_SUCCESS) << "removal still works when closed";
    table_->SetClosed(FALSE);
    EXPECT_EQ(table_->Insert(2, 0, nullptr), STATUS_SUCCESS);
}

TEST_F(LockedAvlTableTest, OutOfMemoryLeavesTheTableUnchanged)
{
    ASSERT_EQ(table_->Insert(1, 0, nullptr), STATUS_SUCCESS);
    winsim::faults::FailNthAllocation(1);
    UINT64 count = 0xdead;
    EXPECT_EQ(table_->Insert(2, 0, &count), STATUS_NO_MEMORY);
    winsim::faults::Clear();
    EXPECT_EQ(count, 0xdeadu);
    EXPECT_EQ(Keys(), (std::vector<UINT64>{1}));
}

TEST_F(LockedAvlTableTest, DrainVisitsInOrderThenEmptiesAndStaysClosed)
{
    for (UINT64 key : {30, 10, 20}) {
        ASSERT_EQ(table_->Insert(key, key * 2, nullptr), STATUS_SUCCESS);
    }
    std::vector<std::pair<UINT64, ULONG_PTR>> visited;
    table_->Drain(
        [](PLOCKED_AVL_ELEMENT element, PULONG_PTR value, PVOID context) {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "the walk holds the table's lock";
            static_cast<std::vector<std::pair<UINT64, ULONG_PTR>> *>(context)->emplace_back(element->Key, *value);
        },
        &visited);
    EXPECT_EQ(visited, (std::vector<std::pair<UINT64, ULONG_PTR>>{{10, 20}, {20, 40}, {30, 60}}));
    EXPECT_EQ(table_->GetCount(), 0u);
    EXPECT_TRUE(Keys().empty());
    EXPECT_TRUE(table_->IsClosed());
    EXPECT_EQ(table_->Insert(40, 0, nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(LockedAvlTableTest, DeleteAllUnlockedFreesEveryNode)
{
    for (UINT64 key = 0; key < 100; ++key) {
        ASSERT_EQ(table_->Insert(key * 7919, 0, nullptr), STATUS_SUCCESS);
    }
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), untaggedBefore_ + 100);
    table_->DeleteAllUnlocked();
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), untaggedBefore_);
    EXPECT_TRUE(Keys().empty());
}

// A free routine of its own sees a taken element's value cleared, a removed one's intact.
std::atomic<int> valuesSeenByFree{0};

_Function_class_(RTL_AVL_FREE_ROUTINE)
VOID NTAPI CountingFree(PRTL_AVL_TABLE, PVOID node)
{
    if (LockedAvlElementOfNode(node)->Value != 0) {
        ++valuesSeenByFree;
    }
    ExFreePoolWithTag(node, 0);
}

TEST_F(LockedAvlTableTest, TakeHandsTheValueToTheCallerNotToTheFreeRoutine)
{
    table_->Construct(CountingFree);
    valuesSeenByFree = 0;
    ASSERT_EQ(table_->Insert(1, 0x1234, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(table_->Insert(2, 0x5678, nullptr), STATUS_SUCCESS);

    ULONG_PTR value = 0;
    UINT64 count = 0;
    EXPECT_EQ(table_->Take(1, &value, &count), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(valuesSeenByFree, 0);
    EXPECT_EQ(table_->Take(1, &value, &count), STATUS_NOT_FOUND);
    EXPECT_EQ(value, 0u);

    EXPECT_EQ(table_->Remove(2, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(valuesSeenByFree, 1);
}

// Every thread tries every key: each key is inserted exactly once and removed exactly
// once, whatever the interleaving.
TEST_F(LockedAvlTableTest, ConcurrentInsertsAndRemovesAgreeOnEachKey)
{
    constexpr int kThreads = 4;
    constexpr UINT64 kKeys = 2000;
    std::vector<std::atomic<int>> inserted(kKeys), removed(kKeys);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (UINT64 i = 0; i < kKeys; ++i) {
                const UINT64 k = (t % 2 == 0) ? i : kKeys - 1 - i;
                const UINT64 key = k << 32 | (k * 2654435761u & 0xffffffff);
                NTSTATUS status = table_->Insert(key, 0, nullptr);
                if (status == STATUS_SUCCESS) {
                    ++inserted[k];
                } else {
                    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
                }
                if (t >= 2) {
                    status = table_->Remove(key, nullptr);
                    if (status == STATUS_SUCCESS) {
                        ++removed[k];
                    } else {
                        EXPECT_EQ(status, STATUS_NOT_FOUND);
                    }
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    UINT64 present = 0;
    for (UINT64 k = 0; k < kKeys; ++k) {
        ASSERT_GE(inserted[k], 1);
        ASSERT_LE(removed[k], inserted[k]);
        ASSERT_GE(removed[k] + 1, inserted[k]) << "a key can only be re-inserted after a removal";
        present += inserted[k] - removed[k];
    }
    EXPECT_EQ(table_->GetCount(), present);
    EXPECT_EQ(Keys().size(), present);
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), untaggedBefore_ + present);
}

// Inserters racing a drain: whatever got in before the close is visited by the drain,
// nothing gets in after it, and the table ends empty with no node left.
TEST_F(LockedAvlTableTest, DrainRacingInsertsLeavesNothingBehind)
{
    std::atomic<bool> go{false};
    std::atomic<UINT64> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            while (!go) {
            }
            for (UINT64 i = 0; i < 3000; ++i) {
                if (table_->Insert(static_cast<UINT64>(t) << 40 | i, 0, nullptr) == STATUS_SUCCESS) {
                    ++succeeded;
                }
            }
        });
    }
    UINT64 visited = 0;
    go = true;
    std::this_thread::yield();
    table_->Drain([](PLOCKED_AVL_ELEMENT, PULONG_PTR, PVOID context) { ++*static_cast<UINT64 *>(context); },
                  &visited);
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(visited, succeeded.load());
    EXPECT_EQ(table_->GetCount(), 0u);
    EXPECT_EQ(winsim::OutstandingAllocations(kUntagged), untaggedBefore_);
}

}  // namespace
