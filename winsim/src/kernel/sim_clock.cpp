/*
 * sim_clock.cpp (winsim kernel)
 *
 * The clock every kernel wait with a time-out is measured on, and the time queries.
 * Interrupt time runs from the host's monotonic clock by default; a test can freeze it and
 * move it by hand, which wakes every timed wait whose time-out has passed at once. Switching
 * between the two never moves interrupt time backwards. System time is interrupt time plus
 * the wall-clock offset taken at start-up while the clock is manual.
 */
#include "dispatcher_internal.h"
#include "kernel_internal.h"

#include <winsim/verifier.h>

#include <atomic>
#include <chrono>
#include <mutex>

namespace winsim::kernel {
namespace {

// 100-ns units between 1 January 1601 and 1 January 1970.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;

struct ClockState {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::atomic<bool> manual{false};
    std::atomic<std::int64_t> manualNow{0};  // interrupt time while manual
    std::atomic<std::int64_t> realOffset{0}; // added to the steady clock while real
    std::int64_t systemOffset = 0;           // system time minus interrupt time at start
};

std::int64_t WallClockNow()
{
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100 + kEpochDifference;
}

ClockState &Clock()
{
    static ClockState *state = [] {
        auto *created = new ClockState();
        created->systemOffset = WallClockNow();
        return created;
    }();
    return *state;
}

std::int64_t SteadySinceStart(const ClockState &state)
{
    auto elapsed = std::chrono::steady_clock::now() - state.start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

}  // namespace

std::int64_t InterruptTimeNow()
{
    ClockState &state = Clock();
    if (state.manual.load(std::memory_order_acquire)) {
        return state.manualNow.load(std::memory_order_acquire);
    }
    return SteadySinceStart(state) + state.realOffset.load(std::memory_order_acquire);
}

std::int64_t SystemTimeNow()
{
    ClockState &state = Clock();
    if (state.manual.load(std::memory_order_acquire)) {
        return state.systemOffset + state.manualNow.load(std::memory_order_acquire);
    }
    return WallClockNow();
}

std::chrono::steady_clock::time_point SteadyDeadline(std::int64_t interruptDeadline)
{
    ClockState &state = Clock();
    std::int64_t steadyUnits = interruptDeadline - state.realOffset.load(std::memory_order_acquire);
    return state.start + std::chrono::nanoseconds(steadyUnits) * 100;
}

bool ClockIsManual() { return Clock().manual.load(std::memory_order_acquire); }

}  // namespace winsim::kernel

namespace winsim::clock {

void UseReal()
{
    kernel::ClockState &state = kernel::Clock();
    {
        std::lock_guard<std::mutex> lock(kernel::DispatcherMutex());
        if (!state.manual.load()) {
            return;
        }
        state.realOffset.store(state.manualNow.load() - kernel::SteadySinceStart(state));
        state.manual.store(false, std::memory_order_release);
        kernel::WakeTimedWaitersLocked();
    }
}

void UseManual()
{
    kernel::ClockState &state = kernel::Clock();
    std::lock_guard<std::mutex> lock(kernel::DispatcherMutex());
    if (state.manual.load()) {
        return;
    }
    state.manualNow.store(kernel::SteadySinceStart(state) + state.realOffset.load());
    state.manual.store(true, std::memory_order_release);
    kernel::WakeTimedWaitersLocked();
}

void Advance(std::int64_t hundredNs)
{
    kernel::ClockState &state = kernel::Clock();
    if (hundredNs < 0) {
        ReportViolation("winsim::clock::Advance", "time cannot move backwards");
        return;
    }
    std::lock_guard<std::mutex> lock(kernel::DispatcherMutex());
    if (!state.manual.load()) {
        ReportViolation("winsim::clock::Advance", "the clock is not manual (call winsim::clock::UseManual first)");
        return;
    }
    state.manualNow.fetch_add(hundredNs);
    kernel::WakeTimedWaitersLocked();
}

std::int64_t Now() { return kernel::InterruptTimeNow(); }

bool IsManual() { return kernel::ClockIsManual(); }

std::size_t Waiters()
{
    std::lock_guard<std::mutex> lock(kernel::DispatcherMutex());
    return kernel::TimedWaiterCountLocked();
}

}  // namespace winsim::clock

extern "C" {

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(winsim::kernel::InterruptTimeNow()); }

ULONGLONG NTAPI KeQueryInterruptTimePrecise(PULONG64 QpcTimeStamp)
{
    ULONGLONG now = static_cast<ULONGLONG>(winsim::kernel::InterruptTimeNow());
    if (QpcTimeStamp != nullptr) {
        *QpcTimeStamp = now;
    }
    return now;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = winsim::kernel::SystemTimeNow(); }

VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = winsim::kernel::SystemTimeNow();
}

/* The clock tick is 15.625 ms, the usual Windows timer resolution. */
ULONG NTAPI KeQueryTimeIncrement(VOID) { return 156250; }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = winsim::kernel::InterruptTimeNow() / KeQueryTimeIncrement();
}

}  // extern "C"
