// The process table's lock-free index on its own, over a tree of plain elements: runs of ids
// that share home slots and wrap past the array's end, taken out in different orders, must
// leave every remaining id findable and every removed one unknown.
#include <ntddk.h>

#include <gtest/gtest.h>

#include "driver/policy/process_index.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace
{

struct Element {
    UINT64 Id;
    BOOLEAN Intercept;
};

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareIds(PRTL_AVL_TABLE, PVOID first, PVOID second)
{
    const UINT64 a = static_cast<Element *>(first)->Id;
    const UINT64 b = static_cast<Element *>(second)->Id;
    return a < b ? GenericLessThan : (a > b ? GenericGreaterThan : GenericEqual);
}

PVOID NTAPI AllocateNode(PRTL_AVL_TABLE, CLONG size)
{
    return std::malloc(size);
}
VOID NTAPI FreeNode(PRTL_AVL_TABLE, PVOID node)
{
    std::free(node);
}

VOID ReadElement(PVOID element, PUINT64 id, PBOOLEAN intercept)
{
    *id = static_cast<Element *>(element)->Id;
    *intercept = static_cast<Element *>(element)->Intercept;
}

// The slot an id starts from in the smallest array (64 slots), as the index hashes it.
ULONG HomeIn64(UINT64 id)
{
    return static_cast<ULONG>((id * 0x9E3779B97F4A7C15ULL) >> 58);
}

// Ids (multiples of four, as process ids are) whose home is one of the last two slots or
// the first: their runs collide and wrap around the end of the array.
std::vector<UINT64> CollidingIds(std::size_t count)
{
    std::vector<UINT64> ids;
    for (UINT64 id = 4; ids.size() < count; id += 4) {
        const ULONG home = HomeIn64(id);
        if (home >= 62 || home == 0) {
            ids.push_back(id);
        }
    }
    return ids;
}

class ProcessIndexTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        RtlInitializeGenericTableAvl(&tree_, CompareIds, AllocateNode, FreeNode, nullptr);
        index_.Read = ReadElement;
    }

    void TearDown() override
    {
        FreeProcessIndex(&index_);
        PVOID element;
        while ((element = RtlEnumerateGenericTableAvl(&tree_, TRUE)) != nullptr) {
            RtlDeleteElementGenericTableAvl(&tree_, element);
        }
    }

    void Install(ULONG needed)
    {
        ULONG capacity = 0;
        ASSERT_TRUE(ProcessIndexNeedsRoom(&index_, needed, &capacity));
        PPROCESS_INDEX_ARRAY fresh = AllocateProcessIndexArray(capacity);
        ASSERT_NE(fresh, nullptr);
        ASSERT_TRUE(InstallProcessIndexLocked(&index_, fresh, &tree_));
    }

    void Add(UINT64 id, bool intercept)
    {
        Element element{id, static_cast<BOOLEAN>(intercept)};
        (VOID) RtlInsertElementGenericTableAvl(&tree_, &element, sizeof(element), nullptr);
        IndexProcessLocked(&index_, &tree_, id, element.Intercept);
        expected_[id] = intercept;
    }

    void Remove(UINT64 id)
    {
        Element key{id, FALSE};
        ASSERT_TRUE(RtlDeleteElementGenericTableAvl(&tree_, &key));
        UnindexProcessLocked(&index_, &tree_, id);
        expected_.erase(id);
    }

    void ExpectIndexAgrees(const std::vector<UINT64> &ids, const std::string &when)
    {
        for (UINT64 id : ids) {
            BOOLEAN intercept = 2;
            ASSERT_TRUE(LookupProcessIndex(&index_, id, &intercept)) << when;
            const auto found = expected_.find(id);
            ASSERT_EQ(intercept == TRUE, found != expected_.end() && found->second) << when << ", id " << id;
        }
    }

    RTL_AVL_TABLE tree_{};
    PROCESS_INDEX index_{};
    std::map<UINT64, bool> expected_;
};

TEST_F(ProcessIndexTest, CollidingRunsStayFindableWhateverOrderTheyLeaveIn)
{
    const std::vector<UINT64> ids = CollidingIds(24);
    struct Order {
        const char *name;
        std::vector<std::size_t> positions;
    };
    std::vector<Order> orders = {{"first in, first out", {}}, {"last in, first out", {}}, {"shuffled", {}}};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        orders[0].positions.push_back(i);
        orders[1].positions.push_back(ids.size() - 1 - i);
        orders[2].positions.push_back(i);
    }
    std::shuffle(orders[2].positions.begin(), orders[2].positions.end(), std::mt19937(3));
    // One 64-slot array for every order: the runs wrap around its end.
    Install(static_cast<ULONG>(ids.size()));
    for (const Order &order : orders) {
        SCOPED_TRACE(order.name);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            Add(ids[i], i % 2 == 0);
        }
        ExpectIndexAgrees(ids, "all in");
        for (std::size_t position : order.positions) {
            Remove(ids[position]);
            ExpectIndexAgrees(ids, "after removing " + std::to_string(ids[position]));
        }
    }
}

TEST_F(ProcessIndexTest, ARefilledArrayHoldsOnlyTheNewTree)
{
    const std::vector<UINT64> ids = CollidingIds(12);
    Install(static_cast<ULONG>(ids.size()));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Add(ids[i], true);
    }
    // A rescan puts another tree in force: half the processes, flags turned over. The tree
    // is refilled in place here (an AVL table cannot be moved), then the index with it.
    PVOID element;
    while ((element = RtlEnumerateGenericTableAvl(&tree_, TRUE)) != nullptr) {
        RtlDeleteElementGenericTableAvl(&tree_, element);
    }
    expected_.clear();
    for (std::size_t i = 0; i < ids.size(); i += 2) {
        Element next{ids[i], FALSE};
        (VOID) RtlInsertElementGenericTableAvl(&tree_, &next, sizeof(next), nullptr);
        expected_[ids[i]] = false;
    }
    ReindexProcessesLocked(&index_, &tree_);
    ExpectIndexAgrees(ids, "after the refill");
}

// An array the tree outgrows before a larger one is reserved steps aside and the tree
// answers. Once the tree has shrunk to fit it again, the given-up array is refilled and
// serves without a new allocation; outgrown again, a reservation brings one twice its size.
TEST_F(ProcessIndexTest, OutgrownArrayStepsAsideUntilThereIsRoomAgain)
{
    const std::vector<UINT64> ids = CollidingIds(60);
    BOOLEAN intercept;
    ULONG capacity = 0;
    auto addUntilGivenUp = [&](std::size_t from) {
        std::size_t next = from;
        while (LookupProcessIndex(&index_, ids.front(), &intercept) && next < ids.size()) {
            Add(ids[next], next % 2 == 0);
            ++next;
        }
        return next;
    };
    Install(1);  // the smallest array: 64 slots, given up past three quarters (48)
    std::size_t added = addUntilGivenUp(0);
    ASSERT_EQ(added, 49u) << "the 64-slot array must be given up at its 49th process";

    for (std::size_t i = 20; i < added; ++i) {
        Remove(ids[i]);
    }
    ASSERT_TRUE(ProcessIndexNeedsRoom(&index_, 20, &capacity));
    EXPECT_EQ(capacity, 0u) << "the given-up array holds 20 again";
    EXPECT_FALSE(InstallProcessIndexLocked(&index_, nullptr, &tree_));
    ExpectIndexAgrees(ids, "in the refilled array");

    added = addUntilGivenUp(20);
    ASSERT_EQ(added, 49u);
    ASSERT_TRUE(ProcessIndexNeedsRoom(&index_, static_cast<ULONG>(added), &capacity));
    EXPECT_EQ(capacity, 128u);
    PPROCESS_INDEX_ARRAY larger = AllocateProcessIndexArray(capacity);
    ASSERT_NE(larger, nullptr);
    ASSERT_TRUE(InstallProcessIndexLocked(&index_, larger, &tree_));
    ExpectIndexAgrees(ids, "in the larger array");
}

}  // namespace
