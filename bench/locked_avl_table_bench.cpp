// LockedAvlTable's classify-time operations against the bare generic-table package doing
// the same work without the lock and without the pre-allocated node, measured in the same
// run. The ratios printed at the end are the cost of the container's locking discipline.
#include <ntddk.h>

#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/bench_ratios.h"
#include "driver/flow/locked_avl_table.h"

#include <string>

namespace {

constexpr UINT64 kStride = 0x9E3779B97F4A7C15ull;  // spreads keys over the whole 64-bit range

UINT64 KeyOf(UINT64 i) { return i * kStride; }

// The baseline: the package with an allocating allocate routine, as a caller with no
// lock and no insert discipline would use it.
struct BareTable {
    RTL_AVL_TABLE avl;

    static RTL_GENERIC_COMPARE_RESULTS NTAPI Compare(PRTL_AVL_TABLE, PVOID first, PVOID second)
    {
        const UINT64 a = static_cast<PLOCKED_AVL_ELEMENT>(first)->Key;
        const UINT64 b = static_cast<PLOCKED_AVL_ELEMENT>(second)->Key;
        return a < b ? GenericLessThan : a > b ? GenericGreaterThan : GenericEqual;
    }
    static PVOID NTAPI Allocate(PRTL_AVL_TABLE, CLONG size) { return ExAllocatePool(NonPagedPoolNx, size); }
    static VOID NTAPI Free(PRTL_AVL_TABLE, PVOID node) { ExFreePoolWithTag(node, 0); }

    BareTable() { RtlInitializeGenericTableAvl(&avl, Compare, Allocate, Free, nullptr); }
    ~BareTable()
    {
        while (PVOID element = RtlGetElementGenericTableAvl(&avl, 0)) {
            LOCKED_AVL_ELEMENT probe = *static_cast<PLOCKED_AVL_ELEMENT>(element);
            RtlDeleteElementGenericTableAvl(&avl, &probe);
        }
    }
    void Insert(UINT64 key)
    {
        LOCKED_AVL_ELEMENT element = {key, 0};
        BOOLEAN isNew = FALSE;
        benchmark::DoNotOptimize(RtlInsertElementGenericTableAvl(&avl, &element, sizeof(element), &isNew));
    }
    bool Remove(UINT64 key)
    {
        LOCKED_AVL_ELEMENT probe = {key, 0};
        return RtlDeleteElementGenericTableAvl(&avl, &probe) != FALSE;
    }
};

void InsertRemoveLocked(benchmark::State &state)
{
    LockedAvlTable table;
    table.Construct();
    const UINT64 size = static_cast<UINT64>(state.range(0));
    for (UINT64 i = 0; i < size; ++i) {
        (void)table.Insert(KeyOf(i), 0, nullptr);
    }
    UINT64 next = size;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.Insert(KeyOf(next), 0, nullptr));
        benchmark::DoNotOptimize(table.Remove(KeyOf(next), nullptr));
        ++next;
    }
    table.Clear();
}

void InsertRemoveBaseline(benchmark::State &state)
{
    BareTable table;
    const UINT64 size = static_cast<UINT64>(state.range(0));
    for (UINT64 i = 0; i < size; ++i) {
        table.Insert(KeyOf(i));
    }
    UINT64 next = size;
    for (auto _ : state) {
        table.Insert(KeyOf(next));
        benchmark::DoNotOptimize(table.Remove(KeyOf(next)));
        ++next;
    }
}

// The reply path: find a question by id and take it out. Each iteration takes a batch of
// keys, timed by hand (manual time), and puts them back untimed: no Pause/ResumeTiming,
// whose own cost would swamp a take.
constexpr UINT64 kTakeBatch = 64;

template <class TakeOne, class PutBack>
void TimedTakes(benchmark::State &state, UINT64 size, TakeOne take, PutBack putBack)
{
    UINT64 next = 0;
    for (auto _ : state) {
        const UINT64 first = next;
        const auto start = std::chrono::steady_clock::now();
        for (UINT64 k = 0; k < kTakeBatch; ++k) {
            take(KeyOf((first + k) % size));
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (UINT64 k = 0; k < kTakeBatch; ++k) {
            putBack(KeyOf((first + k) % size));
        }
        next = (first + kTakeBatch) % size;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTakeBatch));
}

void TakeLocked(benchmark::State &state)
{
    LockedAvlTable table;
    table.Construct();
    const UINT64 size = static_cast<UINT64>(state.range(0));
    for (UINT64 i = 0; i < size; ++i) {
        (void)table.Insert(KeyOf(i), 1, nullptr);
    }
    TimedTakes(
        state, size,
        [&](UINT64 key) {
            ULONG_PTR value = 0;
            benchmark::DoNotOptimize(table.Take(key, &value, nullptr));
        },
        [&](UINT64 key) { (void)table.Insert(key, 1, nullptr); });
    table.Clear();
}

void TakeBaseline(benchmark::State &state)
{
    BareTable table;
    const UINT64 size = static_cast<UINT64>(state.range(0));
    for (UINT64 i = 0; i < size; ++i) {
        table.Insert(KeyOf(i));
    }
    TimedTakes(
        state, size,
        [&](UINT64 key) {
            LOCKED_AVL_ELEMENT probe = {key, 0};
            PVOID found = RtlLookupElementGenericTableAvl(&table.avl, &probe);
            benchmark::DoNotOptimize(found);
            benchmark::DoNotOptimize(table.Remove(probe.Key));
        },
        [&](UINT64 key) { table.Insert(key); });
}

BENCHMARK(InsertRemoveLocked)->Name("InsertRemove/locked")->Arg(64)->Arg(4096);
BENCHMARK(InsertRemoveBaseline)->Name("InsertRemove/baseline")->Arg(64)->Arg(4096);
BENCHMARK(TakeLocked)->Name("Take/locked")->Arg(64)->Arg(4096)->UseManualTime();
BENCHMARK(TakeBaseline)->Name("Take/baseline")->Arg(64)->Arg(4096)->UseManualTime();

// "<op>/locked/<n>" is measured against "<op>/baseline/<n>".
std::string BaselineOf(const std::string &name)
{
    return qvrbench::ReplaceSegment(name, "/locked/", "/baseline/");
}

}  // namespace

int main(int argc, char **argv)
{
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
