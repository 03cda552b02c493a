/*
 * system_thread.cpp (winsim kernel)
 *
 * Thread objects and system threads. Every host thread that asks for its thread object gets
 * one (a waitable PsThreadType object, signalled when the thread ends). PsCreateSystemThread
 * runs the start routine on a real host thread at PASSIVE_LEVEL inside a critical region;
 * the thread ends when the routine returns or calls PsTerminateSystemThread, and must end
 * at PASSIVE_LEVEL with no lock held. Also the process context of the current thread.
 */
#include "kernel_internal.h"
#include "object_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <unistd.h>

namespace winsim::kernel {
namespace {

const HANDLE kSystemProcessId = reinterpret_cast<HANDLE>(4);

// Thrown by PsTerminateSystemThread and caught by the thread's trampoline.
struct ThreadTermination {};

std::atomic<ULONG_PTR> gNextThreadId{0x100};
std::atomic<PEPROCESS> gSystemProcess{nullptr};
std::atomic<HANDLE> gSystemProcessId{kSystemProcessId};

struct RunningThreads {
    std::mutex mutex;
    std::set<struct _KTHREAD *> running;  // system threads whose routine has not ended
};

RunningThreads &SystemThreads()
{
    static auto *threads = new RunningThreads();
    return *threads;
}

struct _KTHREAD *NewThreadObject(bool system)
{
    ULONG_PTR id = gNextThreadId.fetch_add(4);
    auto *thread = static_cast<struct _KTHREAD *>(
        CreateObject(*PsThreadType, sizeof(struct _KTHREAD), nullptr, "thread " + std::to_string(id)));
    if (thread == nullptr) {
        return nullptr;
    }
    InitializeDispatcherHeader(&thread->Header, ThreadObject, sizeof(struct _KTHREAD), 0);
    thread->ThreadId = reinterpret_cast<HANDLE>(id);
    thread->ProcessId = gSystemProcessId.load();
    thread->Process = nullptr;
    thread->SystemThread = system ? TRUE : FALSE;
    return thread;
}

// Ends the lazily created thread object of a host thread when the host thread exits.
struct HostThreadGuard {
    struct _KTHREAD *thread = nullptr;
    ~HostThreadGuard()
    {
        if (thread != nullptr) {
            SignalDispatcherObject(&thread->Header);
            DereferenceObject(thread);
        }
    }
};
thread_local HostThreadGuard tlsHostThreadGuard;

struct StartBlock {
    struct _KTHREAD *thread;
    PKSTART_ROUTINE routine;
    PVOID context;
    const void *creator;
};

void RunSystemThread(StartBlock block)
{
    ThreadState &state = CurrentThreadState();
    state.irql = PASSIVE_LEVEL;
    state.isSystemThread = true;
    state.criticalRegion = 1;
    state.baseCriticalRegion = 1;
    state.heldCount = 0;
    state.thread = block.thread;
    try {
        block.routine(block.context);
    } catch (const ThreadTermination &) {
    }
    std::string unclean = DescribeUncleanThreadState();
    if (!unclean.empty()) {
        ReportViolation("PsTerminateSystemThread", "system thread started by " + DescribeCodeAddress(block.creator) +
                                                       " ended " + unclean);
    }
    {
        RunningThreads &threads = SystemThreads();
        std::lock_guard<std::mutex> lock(threads.mutex);
        threads.running.erase(block.thread);
    }
    state.thread = nullptr;
    SignalDispatcherObject(&block.thread->Header);
    DereferenceObject(block.thread);
}

}  // namespace

void CollectThreadOutstanding(std::vector<OutstandingItem> &items)
{
    RunningThreads &threads = SystemThreads();
    std::lock_guard<std::mutex> lock(threads.mutex);
    for (struct _KTHREAD *thread : threads.running) {
        items.push_back(OutstandingItem{"system-thread", thread,
                                        "system thread " + std::to_string(reinterpret_cast<ULONG_PTR>(thread->ThreadId)) +
                                            " is still running"});
    }
}

void SetSystemProcess(PEPROCESS process, HANDLE processId)
{
    gSystemProcess.store(process);
    gSystemProcessId.store(processId);
}

PEPROCESS SystemProcess() { return gSystemProcess.load(); }

HANDLE SystemProcessId() { return gSystemProcessId.load(); }

ScopedProcessContext::ScopedProcessContext(PEPROCESS process, HANDLE processId)
{
    struct _KTHREAD *thread = KeGetCurrentThread();
    savedProcess_ = thread->Process;
    savedProcessId_ = thread->ProcessId;
    thread->Process = process;
    thread->ProcessId = processId;
}

ScopedProcessContext::~ScopedProcessContext()
{
    struct _KTHREAD *thread = KeGetCurrentThread();
    thread->Process = savedProcess_;
    thread->ProcessId = savedProcessId_;
}

PEPROCESS CurrentProcess()
{
    struct _KTHREAD *thread = KeGetCurrentThread();
    return thread->Process != nullptr ? thread->Process : gSystemProcess.load();
}

HANDLE CurrentProcessId() { return KeGetCurrentThread()->ProcessId; }

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    ThreadState &state = CurrentThreadState();
    if (state.thread == nullptr) {
        // System worker threads are system threads too; test and caller threads are not.
        state.thread = NewThreadObject(state.isSystemThread);
        // The main thread's object is kept until the process ends: its thread_local
        // destructors run before the atexit handlers and static destructors, which may still
        // call into the kernel (a driver unloaded at exit, say).
        if (gettid() != getpid()) {
            tlsHostThreadGuard.thread = state.thread;
        }
    }
    return state.thread;
}

HANDLE NTAPI PsGetCurrentThreadId(VOID) { return KeGetCurrentThread()->ThreadId; }

HANDLE NTAPI PsGetCurrentProcessId(VOID) { return KeGetCurrentThread()->ProcessId; }

BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) { return Thread->SystemThread; }

PEPROCESS NTAPI IoGetCurrentProcess(VOID) { return CurrentProcess(); }

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    const void *creator = __builtin_return_address(0);
    RequireIrqlAtMost("PsCreateSystemThread", PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("PsCreateSystemThread", &status)) {
        return status;
    }
    if (ProcessHandle != nullptr) {
        winsim::ReportViolation("PsCreateSystemThread", "threads in a process other than System are not supported; "
                                                        "drivers pass a NULL ProcessHandle");
        return STATUS_NOT_SUPPORTED;
    }
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    if ((attributes & OBJ_KERNEL_HANDLE) == 0 && CurrentProcessId() != SystemProcessId()) {
        winsim::ReportViolation("PsCreateSystemThread", "creates a thread handle without OBJ_KERNEL_HANDLE in a user "
                                                        "process's context");
    }
    struct _KTHREAD *thread = NewThreadObject(true);
    if (thread == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = InsertHandle(thread, attributes, DesiredAccess, "PsCreateSystemThread", ThreadHandle);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(thread);
        return status;
    }
    {
        RunningThreads &threads = SystemThreads();
        std::lock_guard<std::mutex> lock(threads.mutex);
        threads.running.insert(thread);
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = thread->ProcessId;
        ClientId->UniqueThread = thread->ThreadId;
    }
    try {
        std::thread(RunSystemThread, StartBlock{thread, StartRoutine, StartContext, creator}).detach();
    } catch (const std::system_error &) {
        {
            RunningThreads &threads = SystemThreads();
            std::lock_guard<std::mutex> lock(threads.mutex);
            threads.running.erase(thread);
        }
        ZwClose(*ThreadHandle);
        *ThreadHandle = nullptr;
        DereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    RequireIrqlAtMost("PsTerminateSystemThread", PASSIVE_LEVEL);
    ThreadState &state = CurrentThreadState();
    if (!state.isSystemThread || state.isWorkerThread || state.thread == nullptr) {
        winsim::ReportViolation("PsTerminateSystemThread", "called on a thread the driver did not create");
        return STATUS_INVALID_PARAMETER;
    }
    state.thread->ExitStatus = ExitStatus;
    throw ThreadTermination{};
}

}  // extern "C"
