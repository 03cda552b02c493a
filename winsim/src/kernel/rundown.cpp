/*
 * rundown.cpp (winsim kernel)
 *
 * Run-down protection (EX_RUNDOWN_REF): a count of accesses in effect and a run-down flag in
 * one pointer-sized word, as on Windows (the low bit marks run-down, each protection counts
 * two). Acquiring after run-down has begun fails; the wait lets no new access in and returns
 * when the last one is released. Releasing a protection that is not held is reported.
 */
#include "thread_context.h"

#include <winsim/verifier.h>

#include <wdm.h>

#include <atomic>
#include <thread>

namespace {

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kOneProtection = 2;

std::atomic<ULONG_PTR> &Word(PEX_RUNDOWN_REF RunRef)
{
    static_assert(sizeof(std::atomic<ULONG_PTR>) == sizeof(ULONG_PTR), "the block is one word");
    return *reinterpret_cast<std::atomic<ULONG_PTR> *>(&RunRef->Count);
}

}  // namespace

VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    Word(RunRef).store(0);
}

VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    std::atomic<ULONG_PTR> &word = Word(RunRef);
    if (word.load() != kRundownActive) {
        winsim::ReportViolation("ExReInitializeRundownProtection",
                                "the block has not been run down (ExWaitForRundownProtectionRelease)");
    }
    word.store(0);
}

BOOLEAN FASTCALL ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    winsim::kernel::RequireIrqlAtMost("ExAcquireRundownProtection", DISPATCH_LEVEL);
    std::atomic<ULONG_PTR> &word = Word(RunRef);
    ULONG_PTR value = word.load();
    do {
        if ((value & kRundownActive) != 0) {
            return FALSE;
        }
    } while (!word.compare_exchange_weak(value, value + kOneProtection));
    return TRUE;
}

VOID FASTCALL ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    winsim::kernel::RequireIrqlAtMost("ExReleaseRundownProtection", DISPATCH_LEVEL);
    std::atomic<ULONG_PTR> &word = Word(RunRef);
    ULONG_PTR value = word.load();
    do {
        if (value < kOneProtection) {
            winsim::ReportViolation("ExReleaseRundownProtection", "no run-down protection is in effect");
            return;
        }
    } while (!word.compare_exchange_weak(value, value - kOneProtection));
}

VOID FASTCALL ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    winsim::kernel::RequireIrqlAtMost("ExWaitForRundownProtectionRelease", APC_LEVEL);
    std::atomic<ULONG_PTR> &word = Word(RunRef);
    word.fetch_or(kRundownActive);
    // Accesses are short (a notification, a lookup): yield until the last one is released.
    while (word.load() != kRundownActive) {
        std::this_thread::yield();
    }
}
