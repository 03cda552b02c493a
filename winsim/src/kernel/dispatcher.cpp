/*
 * dispatcher.cpp (winsim kernel)
 *
 * Dispatcher objects and waits: events (notification and synchronization), and the waits
 * on any object whose body starts with a DISPATCHER_HEADER (threads, processes). One
 * dispatcher lock guards every object's signal state and wait list, as the NT dispatcher
 * database does; each waiting thread blocks on its own condition variable and re-checks
 * under the lock when woken, so a synchronization event releases exactly one waiter. Timed
 * waits are measured on winsim's clock; a manual clock's Advance() wakes them.
 */
#include "dispatcher_internal.h"
#include "kernel_internal.h"
#include "object_manager.h"
#include "thread_context.h"

#include <winsim/schedule.h>
#include <winsim/verifier.h>

#include <condition_variable>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace winsim::kernel {
namespace {

struct Waiter {
    std::condition_variable wake;  // signalled when an object of the wait changes
};

// Our wait block, linked into an object's WaitListHead while the thread waits on it.
struct WaitLink {
    LIST_ENTRY entry;  // must stay first: the list links point here
    Waiter *waiter;
};

std::set<Waiter *> &TimedWaiters()
{
    static auto *waiters = new std::set<Waiter *>();
    return *waiters;
}

bool ValidHeader(const char *call, PDISPATCHER_HEADER header)
{
    if (header == nullptr) {
        ReportViolation(call, "dispatcher object pointer is NULL");
        return false;
    }
    if (header->Reserved1 != kDispatcherHeaderMarker || header->WaitListHead.Flink == nullptr) {
        ReportViolation(call, "the object is not an initialised dispatcher object");
        return false;
    }
    return true;
}

void WakeObjectWaitersLocked(PDISPATCHER_HEADER header)
{
    for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead; entry = entry->Flink) {
        reinterpret_cast<WaitLink *>(entry)->waiter->wake.notify_one();
    }
}

void LinkWait(PDISPATCHER_HEADER header, WaitLink *link)
{
    PLIST_ENTRY head = &header->WaitListHead;
    link->entry.Flink = head;
    link->entry.Blink = head->Blink;
    head->Blink->Flink = &link->entry;
    head->Blink = &link->entry;
}

void UnlinkWait(WaitLink *link)
{
    link->entry.Blink->Flink = link->entry.Flink;
    link->entry.Flink->Blink = link->entry.Blink;
}

bool IsSignalledLocked(PDISPATCHER_HEADER header) { return header->SignalState > 0; }

void SatisfyLocked(PDISPATCHER_HEADER header)
{
    if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject) {
        header->SignalState = 0;
    }
}

// Returns true and sets *status when the wait can complete now.
bool TrySatisfyLocked(PDISPATCHER_HEADER *objects, ULONG count, WAIT_TYPE waitType, NTSTATUS *status)
{
    if (count == 0) {
        return false;
    }
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalledLocked(objects[i])) {
                SatisfyLocked(objects[i]);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!IsSignalledLocked(objects[i])) {
            return false;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        SatisfyLocked(objects[i]);
    }
    *status = STATUS_SUCCESS;
    return true;
}

// Checks the IRQL and lock rules of a wait; returns true when the wait must become a poll
// because it was made where it may not block.
bool WaitMustPoll(const char *call, const LARGE_INTEGER *timeout)
{
    if (timeout != nullptr && timeout->QuadPart == 0) {
        return !RequireIrqlAtMost(call, DISPATCH_LEVEL);
    }
    ThreadState &state = CurrentThreadState();
    if (state.heldCount != 0) {
        ReportViolation(call, std::string("waits ") + (timeout == nullptr ? "without a time-out" : "with a non-zero time-out") +
                                  " while holding " + std::to_string(state.heldCount) + " spin lock(s)");
        return true;
    }
    if (state.irql > APC_LEVEL) {
        ReportViolation(call, std::string("waits ") + (timeout == nullptr ? "without a time-out" : "with a non-zero time-out") +
                                  " at " + IrqlName(state.irql) + "; only a zero time-out is allowed above APC_LEVEL");
        return true;
    }
    return false;
}

NTSTATUS WaitCore(PDISPATCHER_HEADER *objects, ULONG count, WAIT_TYPE waitType, const LARGE_INTEGER *timeout,
                  bool poll)
{
    const bool timed = timeout != nullptr;
    std::int64_t deadline = 0;
    if (timed && !poll) {
        std::int64_t value = timeout->QuadPart;
        deadline = value < 0 ? InterruptTimeNow() - value : InterruptTimeNow() + (value - SystemTimeNow());
    }
    Waiter waiter;
    std::vector<WaitLink> links(count);
    bool registered = false;
    NTSTATUS status = STATUS_TIMEOUT;
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    for (;;) {
        if (TrySatisfyLocked(objects, count, waitType, &status)) {
            break;
        }
        if (poll || (timed && InterruptTimeNow() >= deadline)) {
            status = STATUS_TIMEOUT;
            break;
        }
        if (!registered) {
            for (ULONG i = 0; i < count; ++i) {
                links[i].waiter = &waiter;
                LinkWait(objects[i], &links[i]);
            }
            if (timed) {
                TimedWaiters().insert(&waiter);
            }
            registered = true;
        }
        if (timed && !ClockIsManual()) {
            waiter.wake.wait_until(lock, SteadyDeadline(deadline));
        } else {
            waiter.wake.wait(lock);
        }
    }
    if (registered) {
        for (ULONG i = 0; i < count; ++i) {
            UnlinkWait(&links[i]);
        }
        TimedWaiters().erase(&waiter);
    }
    return status;
}

NTSTATUS WaitForObjects(const char *call, ULONG count, PVOID *objects, WAIT_TYPE waitType, PLARGE_INTEGER timeout)
{
    bool poll = WaitMustPoll(call, timeout);
    if (timeout != nullptr && timeout->QuadPart == 0) {
        poll = true;
    }
    std::vector<PDISPATCHER_HEADER> headers(count);
    for (ULONG i = 0; i < count; ++i) {
        headers[i] = static_cast<PDISPATCHER_HEADER>(objects[i]);
        if (!ValidHeader(call, headers[i])) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return WaitCore(headers.data(), count, waitType, timeout, poll);
}

}  // namespace

std::mutex &DispatcherMutex()
{
    static auto *mutex = new std::mutex();
    return *mutex;
}

void WakeTimedWaitersLocked()
{
    for (Waiter *waiter : TimedWaiters()) {
        waiter->wake.notify_one();
    }
}

std::size_t TimedWaiterCountLocked() { return TimedWaiters().size(); }

void InitializeDispatcherHeader(PDISPATCHER_HEADER header, UCHAR type, std::size_t objectSize, LONG signalState)
{
    header->Type = type;
    header->Signalling = 0;
    header->Size = static_cast<UCHAR>(objectSize / sizeof(LONG));
    header->Reserved1 = kDispatcherHeaderMarker;
    header->SignalState = signalState;
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
}

void SignalDispatcherObject(PDISPATCHER_HEADER header)
{
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    header->SignalState = 1;
    WakeObjectWaitersLocked(header);
}

bool IsDispatcherObjectSignalled(PDISPATCHER_HEADER header)
{
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    return IsSignalledLocked(header);
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        winsim::ReportViolation("KeInitializeEvent", "unknown event type " + std::to_string(Type));
    }
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    if (Event->Header.Reserved1 == kDispatcherHeaderMarker && Event->Header.WaitListHead.Flink != nullptr &&
        Event->Header.WaitListHead.Flink != &Event->Header.WaitListHead &&
        (Event->Header.Type == EventNotificationObject || Event->Header.Type == EventSynchronizationObject)) {
        winsim::ReportViolation("KeInitializeEvent", "re-initialises an event that threads are waiting on");
        return;
    }
    InitializeDispatcherHeader(&Event->Header,
                               Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject,
                               sizeof(KEVENT), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    RequireIrqlAtMost("KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL);
    winsim::schedule::At(winsim::schedule::Point::EventSet, Event);
    if (!ValidHeader("KeSetEvent", &Event->Header)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeObjectWaitersLocked(&Event->Header);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    RequireIrqlAtMost("KeResetEvent", DISPATCH_LEVEL);
    if (!ValidHeader("KeResetEvent", &Event->Header)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    RequireIrqlAtMost("KeClearEvent", DISPATCH_LEVEL);
    if (!ValidHeader("KeClearEvent", &Event->Header)) {
        return;
    }
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    if (!ValidHeader("KeReadStateEvent", &Event->Header)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    winsim::schedule::At(winsim::schedule::Point::EventWait, Object);
    return WaitForObjects("KeWaitForSingleObject", 1, &Object, WaitAny, Timeout);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        winsim::ReportViolation("KeWaitForMultipleObjects",
                                "waits on " + std::to_string(Count) + " objects (MAXIMUM_WAIT_OBJECTS_EXCEEDED)");
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        winsim::ReportViolation("KeWaitForMultipleObjects", "waits on more than THREAD_WAIT_OBJECTS objects "
                                                            "without a WaitBlockArray");
        return STATUS_INVALID_PARAMETER;
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        winsim::ReportViolation("KeWaitForMultipleObjects", "WaitType must be WaitAll or WaitAny");
        return STATUS_INVALID_PARAMETER;
    }
    winsim::schedule::At(winsim::schedule::Point::EventWait, Object);
    return WaitForObjects("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Interval == nullptr) {
        winsim::ReportViolation("KeDelayExecutionThread", "Interval is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (!RequireIrqlAtMost("KeDelayExecutionThread", APC_LEVEL) || CurrentThreadState().heldCount != 0) {
        if (CurrentThreadState().heldCount != 0) {
            winsim::ReportViolation("KeDelayExecutionThread", "delays while holding a spin lock");
        }
        return STATUS_SUCCESS;
    }
    winsim::schedule::At(winsim::schedule::Point::EventWait, Interval);
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    WaitCore(nullptr, 0, WaitAny, Interval, false);
    return STATUS_SUCCESS;
}

}  // extern "C"
