// kernel_primitives_bench.cpp
//
// What winsim's checked kernel primitives cost on the classify path, as ratios against host
// baselines measured in the same run: a spin-lock acquire/release (executive and in-stack
// queued) against an uncontended std::mutex, and a pool allocation/free against malloc/free.
#include <ntddk.h>

#include <benchmark/benchmark.h>

#include "bench/bench_ratios.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

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

// Each primitive is measured against its family's baseline ("lock/baseline", "pool/baseline").
std::string BaselineOf(const std::string &name)
{
    return name.substr(0, name.find('/')) + "/baseline";
}

}  // namespace

int main(int argc, char **argv)
{
    // glibc takes its mutexes without atomic instructions while a process has never had a
    // second thread; the driver always runs among several, so the baseline must too.
    std::thread([] {}).join();
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
