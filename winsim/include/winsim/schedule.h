/*
 * winsim/schedule.h
 *
 * Points in winsim's synchronisation primitives where a test can step in on the calling
 * thread, and seeded schedule perturbation built on them. The primitives call At() at a
 * lock's acquisition (before it) and release (after it), an event's set and wait (before
 * them), a KMDF queue operation and a work item's queueing and start. With no hook and no
 * perturbation a point costs one relaxed atomic load; both are off by default.
 */
#pragma once

#include <cstdint>
#include <functional>

namespace winsim::schedule {

enum class Point : std::uint8_t {
    LockAcquire,    // spin locks (ordinary and queued) and executive resources, before
    LockRelease,    // the same, after
    EventSet,       // KeSetEvent, before
    EventWait,      // KeWaitForSingleObject / KeWaitForMultipleObjects, before
    QueueOperation, // KMDF: forward, retrieve, presentation of a request
    WorkItem,       // IoQueueWorkItem before queueing; a system worker before running a routine
};

const char *PointName(Point point);

// A hook called at every point on the thread that reached it, with the primitive's
// address (the KSPIN_LOCK, ERESOURCE, event, queue or work item). It may run with spin
// locks held and the IRQL raised: it must not wait for anything those hold. An empty hook
// removes it.
using Hook = std::function<void(Point point, const void *object)>;
void SetHook(Hook hook);

// Seeded perturbation: at each point, with probability 1/oneIn, the thread yields or
// (one time in eight of those) sleeps up to 200 microseconds; the choices come from a
// per-thread generator seeded from `seed` and the order in which threads first reach a
// point. Off until called; StopPerturbing() turns it off again.
void Perturb(std::uint64_t seed, std::uint32_t oneIn);
void StopPerturbing();
std::uint64_t PerturbationCount();  // yields and sleeps made since the last Perturb()

// Used by the primitives.
void At(Point point, const void *object);

}  // namespace winsim::schedule
