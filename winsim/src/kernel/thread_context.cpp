/*
 * thread_context.cpp (winsim kernel)
 *
 * Per-thread IRQL and critical-region bookkeeping: KeGetCurrentIrql, KfRaiseIrql,
 * KfLowerIrql, KeRaiseIrqlToDpcLevel, PAGED_CODE, KeEnterCriticalRegion and
 * KeLeaveCriticalRegion, and the IRQL assertions every other stood-in call uses.
 */
#include "thread_context.h"

#include <winsim/verifier.h>

#include <string>

namespace winsim::kernel {

__thread ThreadState tlsThread;

std::string IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "IRQL 0 (PASSIVE_LEVEL)";
    case APC_LEVEL:
        return "IRQL 1 (APC_LEVEL)";
    case DISPATCH_LEVEL:
        return "IRQL 2 (DISPATCH_LEVEL)";
    default:
        return "IRQL " + std::to_string(irql);
    }
}

bool RequireIrqlAtMost(const char *call, KIRQL maxIrql)
{
    KIRQL current = tlsThread.irql;
    if (current <= maxIrql) {
        return true;
    }
    ReportViolation(call, "called at " + IrqlName(current) + "; the call requires IRQL <= " + std::to_string(maxIrql));
    return false;
}

bool RequireIrqlExactly(const char *call, KIRQL irql)
{
    KIRQL current = tlsThread.irql;
    if (current == irql) {
        return true;
    }
    ReportViolation(call, "called at " + IrqlName(current) + "; the call requires " + IrqlName(irql));
    return false;
}

std::string DescribeUncleanThreadState()
{
    const ThreadState &state = tlsThread;
    std::string problem;
    if (state.heldCount != 0) {
        problem += "holding " + std::to_string(state.heldCount) + " spin lock(s)";
    }
    if (state.irql != PASSIVE_LEVEL) {
        problem += (problem.empty() ? "at " : ", at ") + IrqlName(state.irql);
    }
    if (state.criticalRegion != state.baseCriticalRegion) {
        problem += (problem.empty() ? "" : ", ") + std::string("with critical-region depth ") +
                   std::to_string(state.criticalRegion);
    }
    return problem;
}

void ResetCurrentThreadState()
{
    tlsThread.irql = PASSIVE_LEVEL;
    tlsThread.heldCount = 0;
    tlsThread.criticalRegion = tlsThread.baseCriticalRegion;
}

}  // namespace winsim::kernel

using winsim::kernel::tlsThread;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return tlsThread.irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = tlsThread.irql;
    if (NewIrql < old) {
        winsim::ReportViolation("KeRaiseIrql", "new " + winsim::kernel::IrqlName(NewIrql) +
                                                   " is below the current " + winsim::kernel::IrqlName(old));
        return old;
    }
    tlsThread.irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    KIRQL old = tlsThread.irql;
    if (NewIrql > old) {
        winsim::ReportViolation("KeLowerIrql", "new " + winsim::kernel::IrqlName(NewIrql) +
                                                   " is above the current " + winsim::kernel::IrqlName(old));
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && tlsThread.heldCount != 0) {
        winsim::ReportViolation("KeLowerIrql", "lowers to " + winsim::kernel::IrqlName(NewIrql) + " while holding " +
                                                   std::to_string(tlsThread.heldCount) + " spin lock(s)");
    }
    tlsThread.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    KIRQL old = tlsThread.irql;
    if (old > DISPATCH_LEVEL) {
        winsim::ReportViolation("KeRaiseIrqlToDpcLevel", "called at " + winsim::kernel::IrqlName(old));
        return old;
    }
    tlsThread.irql = DISPATCH_LEVEL;
    return old;
}

VOID WinsimCheckPagedCode(PCSTR Function)
{
    if (tlsThread.irql > APC_LEVEL) {
        winsim::ReportViolation("PAGED_CODE", std::string("pageable function ") + (Function ? Function : "?") +
                                                  " runs at " + winsim::kernel::IrqlName(tlsThread.irql));
    }
}

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    winsim::kernel::RequireIrqlAtMost("KeEnterCriticalRegion", APC_LEVEL);
    ++tlsThread.criticalRegion;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    winsim::kernel::RequireIrqlAtMost("KeLeaveCriticalRegion", APC_LEVEL);
    if (tlsThread.criticalRegion == 0) {
        winsim::ReportViolation("KeLeaveCriticalRegion", "the thread is not in a critical region");
        return;
    }
    --tlsThread.criticalRegion;
}

BOOLEAN NTAPI KeAreApcsDisabled(VOID)
{
    return (tlsThread.criticalRegion != 0 || tlsThread.irql >= APC_LEVEL) ? TRUE : FALSE;
}

}  // extern "C"
