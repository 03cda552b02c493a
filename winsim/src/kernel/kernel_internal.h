/*
 * kernel_internal.h (winsim kernel, internal)
 *
 * Glue between the kernel's own parts: how the verifier gathers each part's outstanding
 * items, how calls name their caller, and the dispatcher's clock hooks.
 */
#pragma once

#include <winsim/verifier.h>

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::kernel {

// Whether the verifier runs in release mode (winsim::SetMode): read on every call, so a
// plain relaxed load.
extern std::atomic<bool> gReleaseMode;
inline bool ReleaseMode() { return gReleaseMode.load(std::memory_order_relaxed); }

void CollectPoolOutstanding(std::vector<OutstandingItem> &items);
// A driver's allocation that the platform took over and frees itself (as WFP does with a
// connection's localRedirectContext): no longer counted as the driver's.
void HandPoolToPlatform(const void *address);
void CollectObjectOutstanding(std::vector<OutstandingItem> &items);
void CollectHandleOutstanding(std::vector<OutstandingItem> &items);
void CollectDeviceOutstanding(std::vector<OutstandingItem> &items);
void CollectThreadOutstanding(std::vector<OutstandingItem> &items);
void CollectWorkItemOutstanding(std::vector<OutstandingItem> &items);
// Runs `routine` on a system worker thread at PASSIVE_LEVEL, as the system's own work item
// (the framework defers a passive-level queue's callbacks this way).
void QueueSystemWork(std::function<void()> routine);
void CollectResourceOutstanding(std::vector<OutstandingItem> &items);

// "Function+0x1c" for a code address (the caller of a stood-in call), or the raw address.
std::string DescribeCodeAddress(const void *address);
// The caller as an outstanding item's description names it: DescribeCodeAddress in checked
// mode; in release mode, which records no call sites, "(unrecorded)".
inline std::string CallerForReport(const void *address)
{
    return ReleaseMode() ? std::string("(unrecorded)") : DescribeCodeAddress(address);
}
// The innermost return address on this thread's stack whose source path contains pathPart
// (nullptr when none does): the caller's own call site, seen through the stood-in call.
const void *FindCallerFrom(std::string_view pathPart);

// Whether an allocation fault (by count or by tag) is armed.
bool AllocationFaultsArmed();

// "ULONG tag as its four bytes in memory": 'Q','V','P','M' -> "QVPM"; 0 -> "".
std::string TagToString(ULONG tag);

// True when [base, base + size) contains an initialised ERESOURCE, which is then forgotten
// (its memory is going away); used by the pool to report freeing a live resource.
bool ForgetLiveResourceInRange(const void *base, std::size_t size, std::string *description);

// Clock hooks for the dispatcher: the interrupt time, and the offset from interrupt time to
// system time (100-ns units since 1601).
std::int64_t InterruptTimeNow();
std::int64_t SystemTimeNow();

}  // namespace winsim::kernel
