/*
 * process_notify.cpp (winsim processes)
 *
 * PsSetCreateProcessNotifyRoutine and the calls of the registered routines: on the
 * creating or ending thread, at PASSIVE_LEVEL inside a critical region, in registration
 * order. Removal waits until calls of that routine still running have returned (the
 * kernel's rundown protection), so a driver may unload once it has removed its routine.
 */
#include "process_internal.h"

#include "kernel/kernel_internal.h"
#include "kernel/thread_context.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace winsim::process {
namespace {

constexpr std::size_t kMaxNotifyRoutines = 64;
constexpr const char *kTrackKind = "process-notify-routine";

struct Registration {
    PCREATE_PROCESS_NOTIFY_ROUTINE routine;  // the driver's routine
    std::size_t inFlight = 0;                // calls running now
};

struct NotifyState {
    std::mutex mutex;
    std::condition_variable drained;
    std::vector<std::shared_ptr<Registration>> registrations;  // registration order
};

NotifyState &State()
{
    static NotifyState *state = new NotifyState();
    return *state;
}

// Routines this thread is inside of: removing one of them from itself would deadlock.
thread_local std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> tlsRunning;

std::string DescribeRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine)
{
    return kernel::DescribeCodeAddress(reinterpret_cast<const void *>(routine));
}

NTSTATUS AddRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine)
{
    NotifyState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const auto &registration : state.registrations) {
        if (registration->routine == routine) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (state.registrations.size() >= kMaxNotifyRoutines) {
        return STATUS_INVALID_PARAMETER;
    }
    auto registration = std::make_shared<Registration>();
    registration->routine = routine;
    state.registrations.push_back(registration);
    Track(kTrackKind, reinterpret_cast<const void *>(routine),
          "create-process notify routine " + DescribeRoutine(routine) + " still registered");
    return STATUS_SUCCESS;
}

NTSTATUS RemoveRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE routine)
{
    NotifyState &state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    auto it = std::find_if(state.registrations.begin(), state.registrations.end(),
                           [routine](const auto &registration) { return registration->routine == routine; });
    if (it == state.registrations.end()) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    std::shared_ptr<Registration> registration = *it;
    state.registrations.erase(it);
    Untrack(kTrackKind, reinterpret_cast<const void *>(routine));
    if (std::find(tlsRunning.begin(), tlsRunning.end(), routine) != tlsRunning.end()) {
        ReportViolation("PsSetCreateProcessNotifyRoutine",
                        "routine " + DescribeRoutine(routine) +
                            " removed from inside its own call; the removal would wait for itself for ever");
        return STATUS_SUCCESS;
    }
    state.drained.wait(lock, [&registration] { return registration->inFlight == 0; });
    return STATUS_SUCCESS;
}

}  // namespace

void CallCreateProcessNotifyRoutines(ProcessId parentId, ProcessId processId, bool create)
{
    NotifyState &state = State();
    std::vector<std::shared_ptr<Registration>> routines;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        routines = state.registrations;
        for (const auto &registration : routines) {
            ++registration->inFlight;
        }
    }
    kernel::ThreadState &thread = kernel::CurrentThreadState();
    for (const auto &registration : routines) {
        KeEnterCriticalRegion();
        const KIRQL irqlBefore = thread.irql;
        const ULONG regionBefore = thread.criticalRegion;
        const ULONG locksBefore = thread.heldCount;
        tlsRunning.push_back(registration->routine);
        registration->routine(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(parentId)),
                              reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(processId)), create ? TRUE : FALSE);
        tlsRunning.pop_back();
        if (thread.irql != irqlBefore || thread.criticalRegion != regionBefore || thread.heldCount != locksBefore) {
            std::ostringstream message;
            message << "routine " << DescribeRoutine(registration->routine) << " returned at "
                    << kernel::IrqlName(thread.irql) << " with critical-region depth " << thread.criticalRegion
                    << " and " << thread.heldCount << " spin lock(s) held; it was called at "
                    << kernel::IrqlName(irqlBefore) << ", depth " << regionBefore << ", " << locksBefore
                    << " lock(s)";
            ReportViolation("PsSetCreateProcessNotifyRoutine", message.str());
        }
        KeLeaveCriticalRegion();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            --registration->inFlight;
        }
        state.drained.notify_all();
    }
}

std::size_t DropNotifyRoutines()
{
    NotifyState &state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    const std::size_t dropped = state.registrations.size();
    for (const auto &registration : state.registrations) {
        Untrack(kTrackKind, reinterpret_cast<const void *>(registration->routine));
    }
    std::vector<std::shared_ptr<Registration>> registrations;
    registrations.swap(state.registrations);
    for (const auto &registration : registrations) {
        state.drained.wait(lock, [&registration] { return registration->inFlight == 0; });
    }
    return dropped;
}

std::size_t RegisteredNotifyRoutines()
{
    NotifyState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.registrations.size();
}

}  // namespace winsim::process

extern "C" NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                                          BOOLEAN Remove)
{
    if (!winsim::kernel::RequireIrqlExactly("PsSetCreateProcessNotifyRoutine", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NotifyRoutine == nullptr) {
        winsim::ReportViolation("PsSetCreateProcessNotifyRoutine", "NotifyRoutine is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    if (Remove) {
        // Windows documents no failure for removing a registered routine, but a driver must
        // not depend on it for the memory its routine reads: an injected failure leaves the
        // routine registered, so it may still be called.
        if (winsim::faults::ShouldFail("PsSetCreateProcessNotifyRoutine", &status)) {
            return status;
        }
        return winsim::process::RemoveRoutine(NotifyRoutine);
    }
    if (winsim::faults::ShouldFail("PsSetCreateProcessNotifyRoutine", &status)) {
        return status;
    }
    return winsim::process::AddRoutine(NotifyRoutine);
}
