// The process policy's costs: QueryProcessIntercept, the classify path's question to the
// process table, at 100 to 100k processes, warm (the same few ids again and again) and cold
// (every id in a shuffled order), against a bare std::map lookup of the same keys in the
// same order, batch after batch in turn (counters measured_ns, baseline_ns, ratio). Then
// what the table costs as processes come and go: filling it and ending every process
// (seconds for the whole size), and one process started and ended against a std::map
// insert and erase. Run with WINSIM_MODE=release to leave winsim's bookkeeping out; in
// checked mode the 100k size is left out (the checked process lookup sweeps the list).
#include <ntifs.h>

#include <benchmark/benchmark.h>
#include <winsim/verifier.h>

#include "bench/bench_ratios.h"
#include "bench/process_world.h"

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using qvrbench::ProcessWorld;

// The ids to ask for, in order: 16 ids over and over (warm) or all of them shuffled (cold).
std::vector<UINT64> QueryOrder(const std::vector<winsim::processes::ProcessId> &ids, bool cold)
{
    std::vector<UINT64> order(ids.begin(), ids.end());
    std::mt19937_64 random(42);
    std::shuffle(order.begin(), order.end(), random);
    if (!cold) {
        order.resize(std::min<std::size_t>(order.size(), 16));
    }
    return order;
}

void Query(benchmark::State &state, bool cold)
{
    const std::size_t count = static_cast<std::size_t>(state.range(0));
    ProcessWorld &world = ProcessWorld::Get();
    world.ResizeTo(count);
    const std::vector<winsim::processes::ProcessId> &ids = world.Ids();
    std::map<UINT64, bool> baseline;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        baseline[ids[i]] = i % 2 == 0;
    }
    const std::vector<UINT64> order = QueryOrder(ids, cold);
    std::size_t intercepted = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // where the classify path asks
    qvrbench::Paired(
        state, 256,
        [&](std::size_t i) {
            BOOLEAN intercept = FALSE;
            (void)QueryProcessIntercept(order[i % order.size()], &intercept);
            intercepted += intercept ? 1 : 0;
        },
        [&](std::size_t i) {
            const auto found = baseline.find(order[i % order.size()]);
            intercepted += (found != baseline.end() && found->second) ? 1 : 0;
        });
    KeLowerIrql(old);
    benchmark::DoNotOptimize(intercepted);
}

// Fills the table from empty to N processes and ends them all again, once per iteration.
void FillAndTeardown(benchmark::State &state)
{
    const std::size_t count = static_cast<std::size_t>(state.range(0));
    ProcessWorld &world = ProcessWorld::Get();
    double fill = 0;
    double teardown = 0;
    for (auto _ : state) {
        world.EndAll();
        fill += world.ResizeTo(count);
        teardown += world.EndAll();
    }
    state.counters["fill_s"] = fill / static_cast<double>(state.iterations());
    state.counters["teardown_s"] = teardown / static_cast<double>(state.iterations());
}

// One process started and ended (both notified to the table) with N others running,
// against inserting and erasing one key of a std::map of N.
void Churn(benchmark::State &state)
{
    const std::size_t count = static_cast<std::size_t>(state.range(0));
    ProcessWorld &world = ProcessWorld::Get();
    world.ResizeTo(count);
    std::map<UINT64, bool> baseline;
    for (winsim::processes::ProcessId id : world.Ids()) {
        baseline[id] = true;
    }
    qvrbench::Paired(
        state, 64,
        [&](std::size_t) {
            const winsim::processes::ProcessId id = winsim::processes::Start(qvrbench::kInterceptedImage);
            winsim::processes::End(id);
        },
        [&](std::size_t i) {
            const UINT64 key = 0x7FFF0000 + i;
            baseline.emplace(key, true);
            baseline.erase(key);
        });
}

void RegisterAll()
{
    const bool release = winsim::CurrentMode() == winsim::Mode::Release;
    std::vector<long> sizes{100, 1000, 10000};
    if (release) {
        sizes.push_back(100000);
    }
    for (long size : sizes) {
        benchmark::RegisterBenchmark("QueryProcessIntercept/warm", Query, false)->Arg(size);
        benchmark::RegisterBenchmark("QueryProcessIntercept/cold", Query, true)->Arg(size);
    }
    for (long size : sizes) {
        benchmark::RegisterBenchmark("ProcessChurn/start_end", Churn)->Arg(size);
    }
    for (long size : sizes) {
        benchmark::RegisterBenchmark("ProcessTable/fill_teardown", FillAndTeardown)
            ->Arg(size)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    return qvrbench::RunProcessSuite(argc, argv, RegisterAll);
}
