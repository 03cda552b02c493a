/*
 * thread_context.h (winsim kernel, internal)
 *
 * The per-thread state the stood-in kernel keeps for every host thread that enters it:
 * current IRQL, critical-region depth, the spin locks it holds and its thread object.
 * Kept trivially constructible so that a thread_local access costs no initialisation
 * check on the spin-lock path.
 */
#pragma once

#include <wdm.h>

#include <cstddef>
#include <string>

namespace winsim::kernel {

constexpr std::size_t kMaxTrackedHeldLocks = 16;

struct HeldSpinLock {
    PKSPIN_LOCK lock;  // the lock
    bool queued;       // acquired through the in-stack queued routines
};

struct ThreadState {
    KIRQL irql;                                   // current IRQL
    bool isSystemThread;                          // created by PsCreateSystemThread
    bool isWorkerThread;                          // a system worker thread running work items
    ULONG criticalRegion;                         // KeEnterCriticalRegion depth
    ULONG baseCriticalRegion;                     // depth the thread started with
    ULONG heldCount;                              // spin locks held (may exceed the array)
    HeldSpinLock held[kMaxTrackedHeldLocks];      // the first kMaxTrackedHeldLocks of them
    struct _KTHREAD *thread;                      // thread object, created on first use
};

// __thread rather than thread_local: a plain TLS access with no initialisation wrapper.
extern __thread ThreadState tlsThread;

inline ThreadState &CurrentThreadState() { return tlsThread; }

// The token a spin lock stores while this thread owns it (never 0, low two bits clear).
inline ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&tlsThread); }

// "IRQL 2 (DISPATCH_LEVEL)"
std::string IrqlName(KIRQL irql);

// Reports a violation when the current IRQL is above maxIrql; returns false then.
bool RequireIrqlAtMost(const char *call, KIRQL maxIrql);
// Reports a violation when the current IRQL is not exactly irql.
bool RequireIrqlExactly(const char *call, KIRQL irql);

// Returns a description of the problem when the thread holds spin locks, is at raised IRQL
// or in a critical region; empty when the thread is clean. Used at thread and test end.
std::string DescribeUncleanThreadState();
// Puts the calling thread back to PASSIVE_LEVEL with no locks and no critical region.
void ResetCurrentThreadState();

}  // namespace winsim::kernel
