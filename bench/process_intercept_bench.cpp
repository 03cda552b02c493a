// QueryProcessIntercept, the classify path's question to the process table, against the
// least any such query costs: one in-stack queued spin lock acquire and release, measured
// in the same run. The ratio printed at the end is what the tree lookup adds to the lock.
#include <ntifs.h>

#include <benchmark/benchmark.h>
#include <winsim/processes.h>

#include "bench/bench_ratios.h"
#include "driver/policy/process_table.h"
#include "driver/policy/rule_store.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The process table filled with `count` running processes, half of them intercepted.
class PopulatedTable {
public:
    explicit PopulatedTable(std::size_t count)
    {
        if (!NT_SUCCESS(InitRuleStore()) || !NT_SUCCESS(InitProcessTable())) {
            std::fprintf(stderr, "process table could not be created\n");
            std::abort();
        }
        const std::u16string name = u"browser.exe";
        std::vector<WCHAR> area(name.begin(), name.end());
        area.push_back(0);
        (void)ReplaceRules(area.data(), area.size() * sizeof(WCHAR), 1, TRUE);
        for (std::size_t i = 0; i < count; ++i) {
            ids_.push_back(winsim::processes::Start(i % 2 == 0 ? u"\\Device\\HarddiskVolume2\\Browser\\browser.exe"
                                                               : u"\\Device\\HarddiskVolume2\\Tools\\editor.exe"));
        }
    }
    ~PopulatedTable()
    {
        winsim::processes::Reset();
        FreeProcessTable();
        FreeRuleStore();
    }
    const std::vector<winsim::processes::ProcessId> &Ids() const { return ids_; }

private:
    std::vector<winsim::processes::ProcessId> ids_;
};

void QueryIntercept(benchmark::State &state)
{
    PopulatedTable table(static_cast<std::size_t>(state.range(0)));
    const auto &ids = table.Ids();
    std::size_t i = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // where the classify path asks
    for (auto _ : state) {
        BOOLEAN intercept = FALSE;
        benchmark::DoNotOptimize(QueryProcessIntercept(ids[i], &intercept));
        benchmark::DoNotOptimize(intercept);
        i = (i + 7) % ids.size();
    }
    KeLowerIrql(old);
}

void SpinLockBaseline(benchmark::State &state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        benchmark::DoNotOptimize(handle);
        KeReleaseInStackQueuedSpinLock(&handle);
    }
    KeLowerIrql(old);
}

BENCHMARK(QueryIntercept)->Name("QueryProcessIntercept/query")->Arg(64)->Arg(1024);
BENCHMARK(SpinLockBaseline)->Name("QueryProcessIntercept/baseline");

// Each query is measured against the bare in-stack spin lock acquire and release.
std::string BaselineOf(const std::string &name)
{
    return name.rfind("QueryProcessIntercept/query/", 0) == 0 ? "QueryProcessIntercept/baseline" : "";
}

}  // namespace

int main(int argc, char **argv)
{
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
