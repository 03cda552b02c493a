// kernel_primitives_bench.cpp
//
// What winsim's checked kernel primitives cost on the classify path, as ratios against host
// baselines measured in the same run: a spin-lock acquire/release (executive and in-stack
// queued) against an uncontended std::mutex, and a pool allocation/free against malloc/free.
#include <ntddk.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr ULONG kTag = 0x52564F51;  // "QOVR" in memory

void MutexBaseline(benchmark::State &state)
{
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}

void ExecutiveSpinLock(benchmark::State &state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&lock, &oldIrql);
        benchmark::ClobberMemory();
        KeReleaseSpinLock(&lock, oldIrql);
    }
}

void InStackQueuedSpinLock(benchmark::State &state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        benchmark::ClobberMemory();
        KeReleaseInStackQueuedSpinLock(&handle);
    }
}

void MallocBaseline(benchmark::State &state)
{
    for (auto _ : state) {
        void *block = std::malloc(64);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}

void PoolAllocateFree(benchmark::State &state)
{
    for (auto _ : state) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
        benchmark::DoNotOptimize(block);
        ExFreePoolWithTag(block, kTag);
    }
}

BENCHMARK(MutexBaseline)->Name("lock/baseline");
BENCHMARK(ExecutiveSpinLock)->Name("lock/KeAcquireSpinLock");
BENCHMARK(InStackQueuedSpinLock)->Name("lock/KeAcquireInStackQueuedSpinLock");
BENCHMARK(MallocBaseline)->Name("pool/baseline");
BENCHMARK(PoolAllocateFree)->Name("pool/ExAllocatePoolWithTag");

// Prints each primitive's time as a ratio of its family's baseline from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const
    {
        for (const auto &[name, time] : times_) {
            std::string family = name.substr(0, name.find('/'));
            auto baseline = times_.find(family + "/baseline");
            if (baseline == times_.end() || baseline->second <= 0 || baseline->first == name) {
                continue;
            }
            std::printf("%s: %.2f x %s\n", name.c_str(), time / baseline->second, baseline->first.c_str());
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
