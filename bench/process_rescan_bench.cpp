// A rule change as the service makes it: the rule store swapped for N names and the process
// table rebuilt from a snapshot of P running processes (ReplaceRules, then RescanProcesses),
// against building the same std::set of names and std::map from process id to intercept
// flag from the same processes' image paths, in the same run, in turn (counters
// measured_ns, baseline_ns, ratio). Run with WINSIM_MODE=release to leave winsim's
// bookkeeping out.
#include <ntifs.h>

#include <benchmark/benchmark.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>

#include "bench/bench_ratios.h"
#include "bench/process_world.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using qvrbench::ProcessWorld;

std::u16string Lower(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

void RuleSwapAndRescan(benchmark::State &state)
{
    const std::size_t names = static_cast<std::size_t>(state.range(0));
    const std::size_t processes = static_cast<std::size_t>(state.range(1));
    ProcessWorld &world = ProcessWorld::Get();
    world.ResizeTo(processes);
    const std::vector<std::u16string> rules = qvrbench::RuleNames(names);
    std::vector<std::pair<UINT64, std::u16string>> images;
    for (winsim::processes::ProcessId id : world.Ids()) {
        images.emplace_back(id, winsim::processes::ImagePath(id).value_or(u""));
    }
    bool failed = false;
    std::size_t intercepted = 0;
    qvrbench::Paired(
        state, 1,
        [&](std::size_t) {
            failed = !ProcessWorld::SetRules(rules) || !NT_SUCCESS(RescanProcesses()) || failed;
        },
        [&](std::size_t) {
            std::set<std::u16string> store;
            for (const std::u16string &name : rules) {
                store.insert(Lower(name));
            }
            std::map<UINT64, bool> table;
            for (const auto &[id, path] : images) {
                const std::size_t slash = path.find_last_of(u'\\');
                table[id] = store.count(Lower(path.substr(slash == std::u16string::npos ? 0 : slash + 1))) != 0;
            }
            intercepted += table.size();
        });
    benchmark::DoNotOptimize(intercepted);
    BOOLEAN intercept = FALSE;
    if (failed || !NT_SUCCESS(QueryProcessIntercept(world.Ids().front(), &intercept)) || !intercept) {
        state.SkipWithError("the rescan did not leave the first process intercepted");
    }
}

void RegisterAll()
{
    for (long processes : {1000L, 10000L}) {
        for (long names : {10L, 100L, 1000L}) {
            benchmark::RegisterBenchmark("RuleSwapRescan", RuleSwapAndRescan)
                ->Args({names, processes})
                ->ArgNames({"names", "processes"})
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.1);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    return qvrbench::RunProcessSuite(argc, argv, RegisterAll);
}
