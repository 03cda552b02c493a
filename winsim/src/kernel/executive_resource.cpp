/*
 * executive_resource.cpp (winsim kernel)
 *
 * Executive resources (ERESOURCE): a reader/writer lock with owner tracking and per-thread
 * recursion counts. Shared requests wait while an exclusive request waits (no writer
 * starvation); an exclusive owner may also acquire shared (counted as exclusive); a shared
 * owner asking for exclusive would deadlock on Windows and is reported instead. Acquiring
 * outside a critical region or above APC_LEVEL, releasing what the thread does not own,
 * and deleting or freeing a held or live resource are violations.
 */
#include "kernel_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>
#include <winsim/schedule.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::kernel {
namespace {

struct ResourceImpl {
    std::mutex mutex;
    std::condition_variable changed;
    const ThreadState *exclusiveOwner = nullptr;
    ULONG exclusiveCount = 0;
    std::vector<std::pair<const ThreadState *, ULONG>> sharedOwners;
    ULONG exclusiveWaiters = 0;
    const void *initialisedBy = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::map<const void *, ResourceImpl *> live;  // keyed by the ERESOURCE address
};

Registry &Resources()
{
    static auto *registry = new Registry();
    return *registry;
}

std::string Hex(const void *address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

ResourceImpl *Lookup(const char *call, PERESOURCE resource)
{
    Registry &registry = Resources();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.live.find(resource);
    if (it == registry.live.end() || it->second != resource->Implementation) {
        ReportViolation(call, "ERESOURCE " + Hex(resource) + " is not initialised (ExInitializeResourceLite)");
        return nullptr;
    }
    return it->second;
}

bool CheckAcquireContext(const char *call)
{
    if (!RequireIrqlAtMost(call, APC_LEVEL)) {
        return false;
    }
    const ThreadState &state = CurrentThreadState();
    if (state.criticalRegion == 0 && state.irql < APC_LEVEL) {
        ReportViolation(call, "acquires an executive resource outside a critical region (KeEnterCriticalRegion)");
    }
    return true;
}

ULONG *SharedCount(ResourceImpl &impl, const ThreadState *me)
{
    for (auto &owner : impl.sharedOwners) {
        if (owner.first == me) {
            return &owner.second;
        }
    }
    return nullptr;
}

// The start every acquire shares: the caller's context is checked, then the resource looked
// up. nullptr when the acquire cannot go ahead (the violation is already reported).
ResourceImpl *StartAcquire(const char *call, PERESOURCE resource)
{
    winsim::schedule::At(winsim::schedule::Point::LockAcquire, resource);
    return CheckAcquireContext(call) ? Lookup(call, resource) : nullptr;
}

BOOLEAN AcquireShared(const char *call, PERESOURCE resource, BOOLEAN wait)
{
    ResourceImpl *impl = StartAcquire(call, resource);
    if (impl == nullptr) {
        return FALSE;
    }
    const ThreadState *me = &CurrentThreadState();
    std::unique_lock<std::mutex> lock(impl->mutex);
    if (impl->exclusiveOwner == me) {
        ++impl->exclusiveCount;
        return TRUE;
    }
    if (ULONG *count = SharedCount(*impl, me)) {
        ++*count;
        return TRUE;
    }
    auto grantable = [&] { return impl->exclusiveOwner == nullptr && impl->exclusiveWaiters == 0; };
    if (!grantable()) {
        if (!wait) {
            return FALSE;
        }
        impl->changed.wait(lock, grantable);
    }
    impl->sharedOwners.emplace_back(me, 1);
    return TRUE;
}

BOOLEAN AcquireExclusive(const char *call, PERESOURCE resource, BOOLEAN wait)
{
    ResourceImpl *impl = StartAcquire(call, resource);
    if (impl == nullptr) {
        return FALSE;
    }
    const ThreadState *me = &CurrentThreadState();
    std::unique_lock<std::mutex> lock(impl->mutex);
    if (impl->exclusiveOwner == me) {
        ++impl->exclusiveCount;
        return TRUE;
    }
    if (SharedCount(*impl, me) != nullptr) {
        ReportViolation(call, "a shared owner asks for exclusive access to ERESOURCE " + Hex(resource) +
                                  " (no upgrade: a deadlock on Windows)");
        return FALSE;
    }
    auto grantable = [&] { return impl->exclusiveOwner == nullptr && impl->sharedOwners.empty(); };
    if (!grantable()) {
        if (!wait) {
            return FALSE;
        }
        ++impl->exclusiveWaiters;
        impl->changed.wait(lock, grantable);
        --impl->exclusiveWaiters;
    }
    impl->exclusiveOwner = me;
    impl->exclusiveCount = 1;
    return TRUE;
}

void ReleaseImpl(const char *call, PERESOURCE resource)
{
    RequireIrqlAtMost(call, DISPATCH_LEVEL);
    ResourceImpl *impl = Lookup(call, resource);
    if (impl == nullptr) {
        return;
    }
    const ThreadState *me = &CurrentThreadState();
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->exclusiveOwner == me) {
        if (--impl->exclusiveCount == 0) {
            impl->exclusiveOwner = nullptr;
        }
    } else if (ULONG *count = SharedCount(*impl, me)) {
        if (--*count == 0) {
            for (auto it = impl->sharedOwners.begin(); it != impl->sharedOwners.end(); ++it) {
                if (it->first == me) {
                    impl->sharedOwners.erase(it);
                    break;
                }
            }
        }
    } else {
        ReportViolation(call, "releases ERESOURCE " + Hex(resource) + " that this thread does not own");
        return;
    }
    impl->changed.notify_all();
}

void Release(const char *call, PERESOURCE resource)
{
    ReleaseImpl(call, resource);
    winsim::schedule::At(winsim::schedule::Point::LockRelease, resource);
}

}  // namespace

bool ForgetLiveResourceInRange(const void *base, std::size_t size, std::string *description)
{
    ResourceImpl *impl = nullptr;
    {
        Registry &registry = Resources();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto begin = static_cast<const char *>(base);
        auto it = registry.live.lower_bound(begin);
        if (it == registry.live.end() || static_cast<const char *>(it->first) >= begin + size) {
            return false;
        }
        *description = "ERESOURCE " + Hex(it->first) + " that was never deleted (ExDeleteResourceLite)";
        impl = it->second;
        registry.live.erase(it);
    }
    delete impl;
    return true;
}

void CollectResourceOutstanding(std::vector<OutstandingItem> &items)
{
    Registry &registry = Resources();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto &[address, impl] : registry.live) {
        items.push_back(OutstandingItem{"resource", address,
                                        "ERESOURCE " + Hex(address) + " initialised by " +
                                            DescribeCodeAddress(impl->initialisedBy) + " was never deleted"});
    }
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource)
{
    RequireIrqlAtMost("ExInitializeResourceLite", DISPATCH_LEVEL);
    Registry &registry = Resources();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.live.count(Resource) != 0) {
        winsim::ReportViolation("ExInitializeResourceLite", "re-initialises a live ERESOURCE " + Hex(Resource));
        return STATUS_SUCCESS;
    }
    auto *impl = new ResourceImpl();
    impl->initialisedBy = __builtin_return_address(0);
    __builtin_memset(Resource, 0, sizeof(*Resource));
    Resource->Implementation = impl;
    registry.live[Resource] = impl;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource)
{
    RequireIrqlAtMost("ExDeleteResourceLite", APC_LEVEL);
    ResourceImpl *impl = Lookup("ExDeleteResourceLite", Resource);
    if (impl == nullptr) {
        return STATUS_SUCCESS;
    }
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (impl->exclusiveOwner != nullptr || !impl->sharedOwners.empty() || impl->exclusiveWaiters != 0) {
            winsim::ReportViolation("ExDeleteResourceLite", "deletes ERESOURCE " + Hex(Resource) + " while it is held");
            return STATUS_SUCCESS;
        }
    }
    {
        Registry &registry = Resources();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.live.erase(Resource);
    }
    Resource->Implementation = nullptr;
    delete impl;
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait)
{
    return AcquireShared("ExAcquireResourceSharedLite", Resource, Wait);
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    return AcquireExclusive("ExAcquireResourceExclusiveLite", Resource, Wait);
}

VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource) { Release("ExReleaseResourceLite", Resource); }

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    RequireIrqlAtMost("ExIsResourceAcquiredExclusiveLite", DISPATCH_LEVEL);
    ResourceImpl *impl = Lookup("ExIsResourceAcquiredExclusiveLite", Resource);
    if (impl == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->exclusiveOwner == &CurrentThreadState() ? TRUE : FALSE;
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource)
{
    RequireIrqlAtMost("ExIsResourceAcquiredSharedLite", DISPATCH_LEVEL);
    ResourceImpl *impl = Lookup("ExIsResourceAcquiredSharedLite", Resource);
    if (impl == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->exclusiveOwner == &CurrentThreadState()) {
        return impl->exclusiveCount;
    }
    ULONG *count = SharedCount(*impl, &CurrentThreadState());
    return count == nullptr ? 0 : *count;
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceExclusive(PERESOURCE Resource)
{
    KeEnterCriticalRegion();
    AcquireExclusive("ExEnterCriticalRegionAndAcquireResourceExclusive", Resource, TRUE);
    return nullptr;
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceShared(PERESOURCE Resource)
{
    KeEnterCriticalRegion();
    AcquireShared("ExEnterCriticalRegionAndAcquireResourceShared", Resource, TRUE);
    return nullptr;
}

VOID FASTCALL ExReleaseResourceAndLeaveCriticalRegion(PERESOURCE Resource)
{
    Release("ExReleaseResourceAndLeaveCriticalRegion", Resource);
    KeLeaveCriticalRegion();
}

}  // extern "C"
