/*
 * winsim/processes.h
 *
 * The processes of the simulated machine, as a test or tool plays them: start a process
 * running an image (its path in NT device form), end it with or without the exit reaching
 * the create-process notification routines, reuse an id, and watch what the kernel's
 * process calls answer. The System process (id 4) and the Idle process (id 0) are always
 * present. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::processes {

using ProcessId = std::uint64_t;

inline constexpr ProcessId kIdleProcessId = 0;
inline constexpr ProcessId kSystemProcessId = 4;

// Whether a start or an end reaches the routines registered with
// PsSetCreateProcessNotifyRoutine. Without it the kernel's own state changes just the same
// (the process is listed or ends, its object is signalled); only the driver is not told.
enum class Notify { Yes, No };

// Starts a process under a fresh id (a multiple of 4 never handed out before) with the
// given parent. With Notify::Yes the registered routines are called on this thread, at
// PASSIVE_LEVEL inside a critical region, after the process is listed, as the kernel calls
// them on the creating thread. Must be called at PASSIVE_LEVEL.
ProcessId Start(std::u16string_view imagePath, Notify notify = Notify::Yes,
                ProcessId parentId = kSystemProcessId);

// Starts a process under a chosen id. Refused (false) for 0, 4, or an id that a running
// process holds. An id whose process has ended is given to the new process even while the
// old process object is still referenced; Windows keeps such an id reserved until the
// object goes, so this is the harsher world in which a driver meets a reused id before the
// old process's entry has gone. The old object stays valid for whoever references it, but
// the id no longer finds it.
bool StartWithId(ProcessId id, std::u16string_view imagePath, Notify notify = Notify::Yes,
                 ProcessId parentId = kSystemProcessId);

// Ends a running process: with Notify::Yes the routines are called on this thread (the
// process's last thread) with Create FALSE, then the process object becomes signalled
// (a wait on it is satisfied) and the process leaves the lists once nothing references
// its object. False when no running process has this id. System and Idle cannot end.
bool End(ProcessId id, Notify notify = Notify::Yes);

bool IsRunning(ProcessId id);

// Running processes in id order, Idle and System included.
std::vector<ProcessId> Running();

// The image path of a running process (empty for System and Idle); nullopt if not running.
std::optional<std::u16string> ImagePath(ProcessId id);

// Pointer references to the object of the process that now holds `id` (running or ended
// but still findable), not counting the machine's own reference to a running process;
// nullopt when no object answers to the id.
std::optional<std::uint64_t> ExtraReferences(ProcessId id);

// Routines registered with PsSetCreateProcessNotifyRoutine right now.
std::size_t NotifyRoutineCount();

// Forgets every routine still registered (after the unload report has listed them), as when
// the image that holds them is gone; returns how many there were. For tests and sweeps that
// fail a removal and go on loading drivers in the same process.
std::size_t DropNotifyRoutines();

// A test's look into ZwQuerySystemInformation(SystemProcessInformation): the hook runs on
// the querying thread before the list is measured (BeforeAnswer) and after the answer has
// been written or refused (AfterAnswer), with the caller's buffer length, and may start
// and end processes. Starting one at BeforeAnswer of a call with a buffer makes the list
// outgrow a buffer sized by the preceding size query.
enum class SnapshotPoint { BeforeAnswer, AfterAnswer };
using SnapshotHook = std::function<void(SnapshotPoint point, std::uint32_t bufferLength)>;
void SetSnapshotHook(SnapshotHook hook);  // an empty hook removes it

// The common case of the hook: before the next snapshot that is written into a buffer,
// start `count` processes of `imagePath` (with notifications as given), once.
void GrowBeforeNextFill(std::u16string_view imagePath, unsigned count = 1, Notify notify = Notify::Yes);

// A test's look into ZwQueryInformationProcess(ProcessImageFileName): runs on the querying
// thread, after the handle is resolved and before the answer, with the id of the process
// the handle refers to and the caller's buffer length; may start and end processes (the
// object being asked about stays valid). An empty hook removes it.
using ImageQueryHook = std::function<void(ProcessId id, std::uint32_t bufferLength)>;
void SetImageQueryHook(ImageQueryHook hook);

// Ends every process a test started, without notifications, drops the hooks, and starts
// handing out ids from the beginning again. System and Idle stay. Objects still
// referenced stay alive (and reported) until released.
void Reset();

}  // namespace winsim::processes
