/*
 * dispatcher_internal.h (winsim kernel, internal)
 *
 * The dispatcher lock that guards every dispatcher object's state and wait list, and the
 * clock's side of timed waits.
 */
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <mutex>

namespace winsim::kernel {

// Guards SignalState and WaitListHead of every dispatcher object, and the timed-waiter set.
std::mutex &DispatcherMutex();

// Wakes every thread in a timed wait so that it re-reads the clock (dispatcher lock held).
void WakeTimedWaitersLocked();
std::size_t TimedWaiterCountLocked();

// The host time point at which interrupt time reaches the given value on the real clock.
std::chrono::steady_clock::time_point SteadyDeadline(std::int64_t interruptDeadline);
bool ClockIsManual();

// Marker stored in DISPATCHER_HEADER.Reserved1 by every initialisation.
constexpr UCHAR kDispatcherHeaderMarker = 0x57;

}  // namespace winsim::kernel
