/*
 * callouts.cpp (winsim WFP)
 *
 * Callout registration and unregistration (FwpsCalloutRegister0/1/2,
 * FwpsCalloutUnregisterByKey0/ById0) with the documented refusals, and the calls into a
 * callout's notifyFn. A callout that still has flow contexts is refused with
 * STATUS_DEVICE_BUSY and stays registered, inactive; once its contexts are gone the
 * driver must call again to finish the unregistration, as the documentation says, and
 * until it does the callout counts as left behind at unload. A second registration or
 * unregistration of a key whose unregistration is still waiting for its calls to end is
 * refused with STATUS_FWP_IN_USE. When a driver unloads with callouts still registered
 * that is a violation, and WFP never calls those callouts again (a call would be one).
 */
#include "wfp_internal.h"

#include "kernel/kernel_internal.h"
#include "kernel/object_manager.h"

using namespace winsim::wfp::detail;

namespace {

struct CalloutFunctions {
    int version;
    const GUID *key;
    UINT32 flags;
    FWPS_CALLOUT_CLASSIFY_FN0 classify0;
    FWPS_CALLOUT_CLASSIFY_FN1 classify1;
    FWPS_CALLOUT_CLASSIFY_FN2 classify2;
    FWPS_CALLOUT_NOTIFY_FN0 notify0;
    FWPS_CALLOUT_NOTIFY_FN1 notify1;
    FWPS_CALLOUT_NOTIFY_FN2 notify2;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDelete;
};

NTSTATUS Register(const char *call, void *deviceObject, const CalloutFunctions &f, UINT32 *calloutId,
                  const void *caller)
{
    RequirePassive(call);
    NTSTATUS status;
    if (Fail(call, &status)) {
        return status;
    }
    bool hasClassify = f.classify0 != nullptr || f.classify1 != nullptr || f.classify2 != nullptr;
    bool hasNotify = f.notify0 != nullptr || f.notify1 != nullptr || f.notify2 != nullptr;
    if (deviceObject == nullptr || f.key == nullptr || !hasClassify || !hasNotify) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    Callout *registered;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (Callout *existing = FindCalloutByKeyLocked(e, *f.key)) {
            return existing->unregisterRunning ? STATUS_FWP_IN_USE : STATUS_FWP_ALREADY_EXISTS;
        }
        auto c = std::make_unique<Callout>();
        c->key = *f.key;
        c->id = CalloutIdForKeyLocked(e, *f.key);
        c->version = f.version;
        c->flags = f.flags;
        c->deviceObject = deviceObject;
        if (winsim::kernel::IsDeviceObject(deviceObject)) {
            c->driverObject = static_cast<PDEVICE_OBJECT>(deviceObject)->DriverObject;
        }
        c->classify0 = f.classify0;
        c->classify1 = f.classify1;
        c->classify2 = f.classify2;
        c->notify0 = f.notify0;
        c->notify1 = f.notify1;
        c->notify2 = f.notify2;
        c->flowDelete = f.flowDelete;
        registered = c.get();
        e.callouts.emplace(c->id, std::move(c));
    }
    winsim::Track("callout", registered,
                  "callout " + GuidText(*f.key) + " (id " + std::to_string(registered->id) + ") registered by " +
                      winsim::kernel::DescribeCodeAddress(caller));
    if (calloutId != nullptr) {
        *calloutId = registered->id;
    }
    return STATUS_SUCCESS;
}

// Removes a registered callout for good (no flow contexts left); lock held. Returns the
// record so that the caller can untrack it outside the lock.
std::unique_ptr<Callout> RemoveCalloutLocked(Engine &e, UINT32 id)
{
    auto it = e.callouts.find(id);
    std::unique_ptr<Callout> gone = std::move(it->second);
    e.callouts.erase(it);
    return gone;
}

NTSTATUS Unregister(const char *call, UINT32 id, bool known)
{
    Engine &e = GetEngine();
    std::unique_ptr<Callout> gone;
    {
        std::unique_lock<std::mutex> lock(e.mu);
        Callout *c = known ? FindCalloutLocked(e, id) : nullptr;
        if (c == nullptr) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
        if (c->unregisterRunning) {
            // Another thread's unregistration of this callout is still waiting.
            return STATUS_FWP_IN_USE;
        }
        if (c->activeCalls != 0 && tlsCalloutCalls != 0) {
            Violation(call, "called from inside a callout function while the callout is in use");
            return STATUS_FWP_IN_USE;
        }
        // A classify or notification running in the callout on another thread ends first.
        c->unregisterRunning = true;
        e.calloutIdle.wait(lock, [&] {
            c = FindCalloutLocked(e, id);
            return c == nullptr || c->activeCalls == 0;
        });
        if (c == nullptr) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
        c->unregisterRunning = false;
        if (c->flowContexts != 0) {
            c->unregistering = true;
            return STATUS_DEVICE_BUSY;
        }
        gone = RemoveCalloutLocked(e, id);
    }
    winsim::Untrack("callout", gone.get());
    return STATUS_SUCCESS;
}

}  // namespace

namespace winsim::wfp::detail {

thread_local int tlsCalloutCalls = 0;

void NoteFlowContextGoneLocked(Engine &e, UINT32 calloutId)
{
    Callout *c = FindCalloutLocked(e, calloutId);
    if (c == nullptr || c->flowContexts == 0) {
        return;
    }
    c->flowContexts--;
}

Callout *EnterCalloutLocked(Engine &e, UINT32 calloutId)
{
    Callout *c = FindCalloutLocked(e, calloutId);
    if (c == nullptr || c->unregistering) {
        return nullptr;
    }
    if (c->driverGone) {
        Violation("classifyFn/notifyFn", "WFP calls callout " + GuidText(c->key) + " (id " + std::to_string(c->id) +
                                             ") of a driver that has unloaded");
        return nullptr;
    }
    c->activeCalls++;
    return c;
}

void LeaveCalloutLocked(Engine &e, UINT32 calloutId)
{
    Callout *c = FindCalloutLocked(e, calloutId);
    if (c == nullptr) {
        return;
    }
    c->activeCalls--;
    if (c->activeCalls == 0) {
        e.calloutIdle.notify_all();
    }
}

NTSTATUS NotifyCallout(UINT32 calloutId, FWPS_CALLOUT_NOTIFY_TYPE type, const GUID *filterKey, Filter &filter)
{
    Engine &e = GetEngine();
    Callout snapshot;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Callout *c = EnterCalloutLocked(e, calloutId);
        if (c == nullptr) {
            return STATUS_SUCCESS;
        }
        snapshot = *c;
    }
    NTSTATUS status = STATUS_SUCCESS;
    tlsCalloutCalls++;
    if (snapshot.notify2 != nullptr) {
        status = snapshot.notify2(type, filterKey, &filter.runtime);
    } else if (snapshot.notify1 != nullptr) {
        status = snapshot.notify1(type, filterKey, reinterpret_cast<FWPS_FILTER1 *>(&filter.runtime));
    } else if (snapshot.notify0 != nullptr) {
        status = snapshot.notify0(type, filterKey, reinterpret_cast<const FWPS_FILTER0 *>(&filter.runtime));
    }
    tlsCalloutCalls--;
    std::lock_guard<std::mutex> lock(e.mu);
    LeaveCalloutLocked(e, calloutId);
    return status;
}

void NoteDriverUnloaded(PDRIVER_OBJECT driver)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    for (auto &entry : e.callouts) {
        Callout &c = *entry.second;
        if (c.driverObject != driver || c.driverGone) {
            continue;
        }
        c.driverGone = true;
        Violation("UnloadDriver", "the driver unloaded with callout " + GuidText(c.key) + " (id " +
                                      std::to_string(c.id) + ") still registered; WFP would go on calling it");
    }
}

}  // namespace winsim::wfp::detail

extern "C" NTSTATUS NTAPI FwpsCalloutRegister0(void *deviceObject, const FWPS_CALLOUT0 *callout, UINT32 *calloutId)
{
    if (callout == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    CalloutFunctions f{0, &callout->calloutKey, callout->flags, callout->classifyFn, nullptr, nullptr,
                       callout->notifyFn, nullptr, nullptr, callout->flowDeleteFn};
    return Register("FwpsCalloutRegister0", deviceObject, f, calloutId, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI FwpsCalloutRegister1(void *deviceObject, const FWPS_CALLOUT1 *callout, UINT32 *calloutId)
{
    if (callout == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    CalloutFunctions f{1, &callout->calloutKey, callout->flags, nullptr, callout->classifyFn, nullptr,
                       nullptr, callout->notifyFn, nullptr, callout->flowDeleteFn};
    return Register("FwpsCalloutRegister1", deviceObject, f, calloutId, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI FwpsCalloutRegister2(void *deviceObject, const FWPS_CALLOUT2 *callout, UINT32 *calloutId)
{
    if (callout == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    CalloutFunctions f{2, &callout->calloutKey, callout->flags, nullptr, nullptr, callout->classifyFn,
                       nullptr, nullptr, callout->notifyFn, callout->flowDeleteFn};
    return Register("FwpsCalloutRegister2", deviceObject, f, calloutId, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI FwpsCalloutUnregisterByKey0(const GUID *calloutKey)
{
    RequirePassive("FwpsCalloutUnregisterByKey0");
    NTSTATUS status;
    if (Fail("FwpsCalloutUnregisterByKey0", &status)) {
        return status;
    }
    if (calloutKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    UINT32 id = 0;
    bool known;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = e.calloutIds.find(*calloutKey);
        known = it != e.calloutIds.end();
        if (known) {
            id = it->second;
        }
    }
    return Unregister("FwpsCalloutUnregisterByKey0", id, known);
}

extern "C" NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId)
{
    RequirePassive("FwpsCalloutUnregisterById0");
    NTSTATUS status;
    if (Fail("FwpsCalloutUnregisterById0", &status)) {
        return status;
    }
    return Unregister("FwpsCalloutUnregisterById0", calloutId, true);
}
