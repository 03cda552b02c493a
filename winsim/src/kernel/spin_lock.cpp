/*
 * spin_lock.cpp (winsim kernel)
 *
 * Executive and in-stack queued spin locks. The KSPIN_LOCK word holds the owner's token
 * (bit 0 set while held, bit 1 for a queued acquisition), so a lock knows its owner without
 * any side table: re-acquiring your own lock, releasing a lock you do not hold, mixing the
 * queued and ordinary routines on one lock, and lowering IRQL below DISPATCH_LEVEL while a
 * lock is held are violations. The fast path is one compare-exchange and thread-local
 * bookkeeping.
 */
#include "thread_context.h"

#include <winsim/schedule.h>
#include <winsim/verifier.h>

#include <cstdio>
#include <string>
#include <thread>

namespace winsim::kernel {
namespace {

constexpr ULONG_PTR kHeldBit = 1;
constexpr ULONG_PTR kQueuedBit = 2;
constexpr ULONG_PTR kOwnerMask = ~static_cast<ULONG_PTR>(3);

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

std::string Hex(const void *address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

void PushHeld(PKSPIN_LOCK lock, bool queued)
{
    ThreadState &state = CurrentThreadState();
    if (state.heldCount < kMaxTrackedHeldLocks) {
        state.held[state.heldCount] = HeldSpinLock{lock, queued};
    }
    ++state.heldCount;
}

void PopHeld(PKSPIN_LOCK lock)
{
    ThreadState &state = CurrentThreadState();
    ULONG tracked = state.heldCount < kMaxTrackedHeldLocks ? state.heldCount : kMaxTrackedHeldLocks;
    for (ULONG i = tracked; i-- > 0;) {
        if (state.held[i].lock == lock) {
            for (ULONG j = i; j + 1 < tracked; ++j) {
                state.held[j] = state.held[j + 1];
            }
            break;
        }
    }
    if (state.heldCount != 0) {
        --state.heldCount;
    }
}

// Takes the lock for the calling thread; false (after a violation) when it cannot.
bool AcquireLock(const char *call, PKSPIN_LOCK lock, bool queued)
{
    if (lock == nullptr) {
        ReportViolation(call, "spin lock pointer is NULL");
        return false;
    }
    winsim::schedule::At(winsim::schedule::Point::LockAcquire, lock);
    const ULONG_PTR token = OwnerToken();
    const ULONG_PTR mine = token | kHeldBit | (queued ? kQueuedBit : 0);
    ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if ((current & kOwnerMask) == token && (current & kHeldBit) != 0) {
        ReportViolation(call, "re-acquires spin lock " + Hex(lock) + " that this thread already holds (a deadlock on Windows)");
        return false;
    }
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, mine, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        if (expected != 0 && (expected & kHeldBit) == 0) {
            ReportViolation(call, "spin lock " + Hex(lock) + " was never initialised (KeInitializeSpinLock)");
            return false;
        }
        if (spins < 64) {
            CpuRelax();
        } else {
            std::this_thread::yield();
        }
    }
    PushHeld(lock, queued);
    return true;
}

void ReleaseLock(const char *call, PKSPIN_LOCK lock, bool queued)
{
    if (lock == nullptr) {
        ReportViolation(call, "spin lock pointer is NULL");
        return;
    }
    ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if ((current & kHeldBit) == 0 || (current & kOwnerMask) != OwnerToken()) {
        ReportViolation(call, "releases spin lock " + Hex(lock) +
                                  ((current & kHeldBit) == 0 ? " that nobody holds" : " that another thread holds"));
        return;
    }
    bool acquiredQueued = (current & kQueuedBit) != 0;
    if (acquiredQueued != queued) {
        ReportViolation(call, "spin lock " + Hex(lock) + " was acquired with the " +
                                  (acquiredQueued ? "queued" : "ordinary") + " routines and released with the " +
                                  (queued ? "queued" : "ordinary") + " ones");
    }
    PopHeld(lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    winsim::schedule::At(winsim::schedule::Point::LockRelease, lock);
}

KIRQL RaiseToDispatch(const char *call)
{
    ThreadState &state = CurrentThreadState();
    KIRQL old = state.irql;
    if (old > DISPATCH_LEVEL) {
        ReportViolation(call, "called at " + IrqlName(old) + "; the call requires IRQL <= 2");
        return old;
    }
    state.irql = DISPATCH_LEVEL;
    return old;
}

void LowerFromDispatch(const char *call, KIRQL newIrql)
{
    ThreadState &state = CurrentThreadState();
    if (state.irql != DISPATCH_LEVEL) {
        ReportViolation(call, "called at " + IrqlName(state.irql) + "; the call requires IRQL 2 (DISPATCH_LEVEL)");
    }
    if (newIrql > DISPATCH_LEVEL) {
        ReportViolation(call, "restores " + IrqlName(newIrql) + ", above DISPATCH_LEVEL");
        return;
    }
    if (newIrql < DISPATCH_LEVEL && state.heldCount != 0) {
        ReportViolation(call, "lowers IRQL to " + IrqlName(newIrql) + " while still holding " +
                                  std::to_string(state.heldCount) + " spin lock(s)");
    }
    state.irql = newIrql;
}

bool RequireDispatchOrAbove(const char *call)
{
    KIRQL irql = CurrentThreadState().irql;
    if (irql >= DISPATCH_LEVEL) {
        return true;
    }
    ReportViolation(call, "called at " + IrqlName(irql) + "; the call requires IRQL >= 2 (DISPATCH_LEVEL)");
    return false;
}

}  // namespace
}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    ULONG_PTR current = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if ((current & kHeldBit) != 0 && (current & kOwnerMask) == OwnerToken()) {
        winsim::ReportViolation("KeInitializeSpinLock", "re-initialises a spin lock that this thread holds");
        PopHeld(SpinLock);
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old = RaiseToDispatch("KeAcquireSpinLock");
    AcquireLock("KeAcquireSpinLock", SpinLock, false);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseLock("KeReleaseSpinLock", SpinLock, false);
    LowerFromDispatch("KeReleaseSpinLock", NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchOrAbove("KeAcquireSpinLockAtDpcLevel");
    AcquireLock("KeAcquireSpinLockAtDpcLevel", SpinLock, false);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchOrAbove("KeReleaseSpinLockFromDpcLevel");
    ReleaseLock("KeReleaseSpinLockFromDpcLevel", SpinLock, false);
}

BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchOrAbove("KeTryToAcquireSpinLockAtDpcLevel");
    winsim::schedule::At(winsim::schedule::Point::LockAcquire, SpinLock);
    const ULONG_PTR token = OwnerToken();
    ULONG_PTR current = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if ((current & kHeldBit) != 0 && (current & kOwnerMask) == token) {
        winsim::ReportViolation("KeTryToAcquireSpinLockAtDpcLevel", "tries a spin lock that this thread already holds");
        return FALSE;
    }
    ULONG_PTR expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, token | kHeldBit, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
        return FALSE;
    }
    PushHeld(SpinLock, false);
    return TRUE;
}

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = nullptr;
    LockHandle->OldIrql = RaiseToDispatch("KeAcquireInStackQueuedSpinLock");
    if (AcquireLock("KeAcquireInStackQueuedSpinLock", SpinLock, true)) {
        LockHandle->LockQueue.Lock = SpinLock;
    }
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    PKSPIN_LOCK lock = LockHandle->LockQueue.Lock;
    if (lock == nullptr) {
        winsim::ReportViolation("KeReleaseInStackQueuedSpinLock", "the lock handle holds no lock");
    } else {
        ReleaseLock("KeReleaseInStackQueuedSpinLock", lock, true);
        LockHandle->LockQueue.Lock = nullptr;
    }
    LowerFromDispatch("KeReleaseInStackQueuedSpinLock", LockHandle->OldIrql);
}

VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = nullptr;
    LockHandle->OldIrql = CurrentThreadState().irql;
    RequireDispatchOrAbove("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    if (AcquireLock("KeAcquireInStackQueuedSpinLockAtDpcLevel", SpinLock, true)) {
        LockHandle->LockQueue.Lock = SpinLock;
    }
}

VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    RequireDispatchOrAbove("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    PKSPIN_LOCK lock = LockHandle->LockQueue.Lock;
    if (lock == nullptr) {
        winsim::ReportViolation("KeReleaseInStackQueuedSpinLockFromDpcLevel", "the lock handle holds no lock");
        return;
    }
    ReleaseLock("KeReleaseInStackQueuedSpinLockFromDpcLevel", lock, true);
    LockHandle->LockQueue.Lock = nullptr;
}

}  // extern "C"
