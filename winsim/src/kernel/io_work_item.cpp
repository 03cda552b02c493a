/*
 * io_work_item.cpp (winsim kernel)
 *
 * I/O work items on the delayed work queue: a FIFO served by system worker threads that
 * run each routine at PASSIVE_LEVEL. A queued item holds a reference on its device object
 * until its routine returns; the item is dequeued before the routine runs, so the routine
 * may free or re-queue it. Queueing an item twice, freeing a queued item and a routine that
 * returns at raised IRQL, holding a lock or inside a critical region are violations; an
 * item allocated and never freed is outstanding.
 *
 * The worker threads are a shared pool as on Windows: a few static threads, and a dynamic
 * thread more whenever an item is queued while every worker is busy, up to a cap, so
 * routines that block do not hold back the rest of the system's work (docs/kernel.md).
 * A routine that runs for more than a second of the kernel's clock is reported as a
 * blocking work item (winsim::BlockedWorkItems()).
 */
#include <winsim/kernel.h>

#include "kernel_internal.h"
#include "object_manager.h"
#include "thread_context.h"

#include <winsim/schedule.h>
#include <winsim/verifier.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;      // device the item belongs to
    PIO_WORKITEM_ROUTINE Routine;     // routine of the current queueing
    PVOID Context;                    // its context
    bool Queued;                      // in the queue, routine not started
    const void *AllocatedBy;          // caller of IoAllocateWorkItem
};

namespace winsim::kernel {
namespace {

constexpr unsigned kStaticWorkerThreads = 3;
constexpr unsigned kMaxWorkerThreads = 1024;
constexpr std::int64_t kBlockingReport100ns = 10 * 1000 * 1000;  // one second

struct WorkQueue {
    std::mutex mutex;
    std::condition_variable ready;   // an item was queued
    std::condition_variable idle;    // the queue became empty and nothing runs
    std::deque<PIO_WORKITEM> queue;
    std::deque<std::function<void()>> systemWork;  // the system's own work (the framework's deferrals)
    std::unordered_map<PIO_WORKITEM, bool> live;  // allocated items
    unsigned running = 0;            // routines running now
    unsigned threads = 0;            // worker threads started (they never end)
    std::vector<std::string> blocked;  // routines that ran for more than a second
};

WorkQueue &Work()
{
    static auto *queue = new WorkQueue();
    return *queue;
}

void WorkerThread()
{
    ThreadState &state = CurrentThreadState();
    state.isSystemThread = true;
    state.isWorkerThread = true;
    WorkQueue &work = Work();
    for (;;) {
        PDEVICE_OBJECT device = nullptr;
        PIO_WORKITEM_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        std::function<void()> system;
        {
            std::unique_lock<std::mutex> lock(work.mutex);
            work.ready.wait(lock, [&] { return !work.queue.empty() || !work.systemWork.empty(); });
            if (!work.systemWork.empty()) {
                system = std::move(work.systemWork.front());
                work.systemWork.pop_front();
                ++work.running;
            }
        }
        if (system) {
            ResetCurrentThreadState();
            system();
            ResetCurrentThreadState();
            std::lock_guard<std::mutex> lock(work.mutex);
            --work.running;
            if (work.running == 0 && work.queue.empty() && work.systemWork.empty()) {
                work.idle.notify_all();
            }
            continue;
        }
        {
            std::unique_lock<std::mutex> lock(work.mutex);
            if (work.queue.empty()) {
                continue;
            }
            PIO_WORKITEM item = work.queue.front();
            work.queue.pop_front();
            item->Queued = false;
            device = item->DeviceObject;
            routine = item->Routine;
            context = item->Context;
            ++work.running;
        }
        ResetCurrentThreadState();
        winsim::schedule::At(winsim::schedule::Point::WorkItem, reinterpret_cast<const void *>(routine));
        const std::int64_t started = InterruptTimeNow();
        routine(device, context);
        const std::int64_t ran = InterruptTimeNow() - started;
        if (ran > kBlockingReport100ns) {
            std::lock_guard<std::mutex> lock(work.mutex);
            work.blocked.push_back("work item routine " + DescribeCodeAddress(reinterpret_cast<const void *>(routine)) +
                                   " held a system worker thread for " + std::to_string(ran / 10000) + " ms");
        }
        std::string unclean = DescribeUncleanThreadState();
        if (!unclean.empty()) {
            ReportViolation("IoQueueWorkItem", "work item routine " + DescribeCodeAddress(reinterpret_cast<const void *>(routine)) +
                                                   " returned " + unclean);
            ResetCurrentThreadState();
        }
        DereferenceObject(device);
        std::lock_guard<std::mutex> lock(work.mutex);
        --work.running;
        if (work.running == 0 && work.queue.empty() && work.systemWork.empty()) {
            work.idle.notify_all();
        }
    }
}

// The static threads at first use; then one dynamic thread more for an item that finds
// every worker busy (as the executive adds worker threads while its queue backs up).
void StartWorkersLocked(WorkQueue &work)
{
    while (work.threads < kStaticWorkerThreads) {
        ++work.threads;
        std::thread(WorkerThread).detach();
    }
    if (work.running + work.queue.size() + work.systemWork.size() > work.threads && work.threads < kMaxWorkerThreads) {
        ++work.threads;
        std::thread(WorkerThread).detach();
    }
}

}  // namespace

void QueueSystemWork(std::function<void()> routine)
{
    WorkQueue &work = Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    work.systemWork.push_back(std::move(routine));
    StartWorkersLocked(work);
    work.ready.notify_one();
}

void CollectWorkItemOutstanding(std::vector<OutstandingItem> &items)
{
    WorkQueue &work = Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    for (const auto &entry : work.live) {
        PIO_WORKITEM item = entry.first;
        items.push_back(OutstandingItem{"work-item", item,
                                        std::string(item->Queued ? "queued " : "") + "I/O work item allocated by " +
                                            DescribeCodeAddress(item->AllocatedBy) + " was never freed (IoFreeWorkItem)"});
    }
}

}  // namespace winsim::kernel

namespace winsim {

std::vector<std::string> BlockedWorkItems()
{
    kernel::WorkQueue &work = kernel::Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    return work.blocked;
}

void ClearBlockedWorkItems()
{
    kernel::WorkQueue &work = kernel::Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    work.blocked.clear();
}

std::size_t WorkerThreadCount()
{
    kernel::WorkQueue &work = kernel::Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    return work.threads;
}

void DrainWorkItems()
{
    kernel::WorkQueue &work = kernel::Work();
    std::unique_lock<std::mutex> lock(work.mutex);
    work.idle.wait(lock, [&] { return work.queue.empty() && work.systemWork.empty() && work.running == 0; });
}

}  // namespace winsim

using namespace winsim::kernel;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost("IoAllocateWorkItem", DISPATCH_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("IoAllocateWorkItem", &status)) {
        return nullptr;
    }
    if (!IsDeviceObject(DeviceObject)) {
        winsim::ReportViolation("IoAllocateWorkItem", "DeviceObject is not a device object");
        return nullptr;
    }
    auto *item = new _IO_WORKITEM{DeviceObject, nullptr, nullptr, false, __builtin_return_address(0)};
    WorkQueue &work = Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    work.live[item] = true;
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    RequireIrqlAtMost("IoQueueWorkItem", DISPATCH_LEVEL);
    winsim::schedule::At(winsim::schedule::Point::WorkItem, IoWorkItem);
    if (QueueType != DelayedWorkQueue) {
        winsim::ReportViolation("IoQueueWorkItem", "drivers must queue I/O work items to DelayedWorkQueue (got " +
                                                       std::to_string(QueueType) + ")");
    }
    WorkQueue &work = Work();
    std::lock_guard<std::mutex> lock(work.mutex);
    if (work.live.count(IoWorkItem) == 0) {
        winsim::ReportViolation("IoQueueWorkItem", "the work item was not allocated or is already freed");
        return;
    }
    if (IoWorkItem->Queued) {
        winsim::ReportViolation("IoQueueWorkItem", "queues a work item that is already queued");
        return;
    }
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->Queued = true;
    ReferenceObject(IoWorkItem->DeviceObject);
    work.queue.push_back(IoWorkItem);
    StartWorkersLocked(work);
    work.ready.notify_one();
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    RequireIrqlAtMost("IoFreeWorkItem", DISPATCH_LEVEL);
    WorkQueue &work = Work();
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        if (work.live.count(IoWorkItem) == 0) {
            winsim::ReportViolation("IoFreeWorkItem", "frees a work item that was not allocated or is already freed");
            return;
        }
        if (IoWorkItem->Queued) {
            winsim::ReportViolation("IoFreeWorkItem", "frees a work item that is still queued");
            return;
        }
        work.live.erase(IoWorkItem);
    }
    delete IoWorkItem;
}

}  // extern "C"
