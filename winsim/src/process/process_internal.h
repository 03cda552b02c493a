/*
 * process_internal.h (winsim processes, internal)
 *
 * The process objects of the simulated machine and what the process calls share: the
 * object body, the listing of the processes the kernel still knows (running ones, and
 * ended ones whose objects are still referenced), the notification routines and the
 * snapshot hook.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include winsim's internal headers"
#endif

#include <winsim/processes.h>
#include <winsim/verifier.h>

#include <ntifs.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace winsim::process {

using processes::ProcessId;

enum class RunState { Running, Ending, Ended };

// What the kernel keeps about a process besides its dispatcher state; owned by the object.
struct ProcessInfo {
    ProcessId id = 0;                  // UniqueProcessId
    ProcessId parentId = 0;            // InheritedFromUniqueProcessId
    std::u16string imagePath;          // NT device path of the image; empty for System
    std::u16string imageName;          // name in the snapshot: the path's last component
    std::uint64_t sequence = 0;        // creation order, the snapshot's order
    std::atomic<RunState> state{RunState::Running};
};

}  // namespace winsim::process

// The body of a process object: a dispatcher object signalled when the process has ended.
struct _KPROCESS {
    DISPATCHER_HEADER Header;              // ProcessObject; signalled once ended
    winsim::process::ProcessInfo *Info;    // deleted with the object
};

namespace winsim::process {

// One process as ZwQuerySystemInformation lists it.
struct ListedProcess {
    ProcessId id;
    ProcessId parentId;
    std::u16string imageName;
    std::uint32_t threads;  // 0 once the process has ended
};

// Idle first, then the processes the kernel knows in creation order.
std::vector<ListedProcess> ListProcesses();

// Runs the registered create-process notification routines on this thread.
void CallCreateProcessNotifyRoutines(ProcessId parentId, ProcessId processId, bool create);
std::size_t RegisteredNotifyRoutines();
std::size_t DropNotifyRoutines();

// The snapshot hook and the pending growth, run by ZwQuerySystemInformation.
void RunSnapshotHook(processes::SnapshotPoint point, std::uint32_t bufferLength);
void ClearSnapshotHooks();  // and the image-query hook
void RunImageQueryHook(processes::ProcessId id, std::uint32_t bufferLength);

}  // namespace winsim::process
