/*
 * classify_run.cpp (winsim WFP)
 *
 * Filter arbitration for one layer: matching filters are taken sublayer by sublayer
 * (highest weight first) and within a sublayer by filter weight until one permits or
 * blocks; every sublayer is evaluated, and the write right carried between them decides
 * whether a lower sublayer may change the decision (a callout may still veto a permit).
 * Callout filters call the callout's classifyFn at the run's IRQL with the filter, the
 * flow's context and a classifyOut holding the current write right.
 */
#include "classify_run.h"

#include "filter_conditions.h"
#include "kernel/kernel_internal.h"

namespace winsim::wfp::detail {

// ---- connect request versions ------------------------------------------------------------

FWPS_CONNECT_REQUEST0 *ConnectRequestChain::Acquire()
{
    auto *copy = new FWPS_CONNECT_REQUEST0(Current());
    copy->previousVersion = versions.empty() ? nullptr : &versions.back();
    copy->modifierFilterId = 0;
    return copy;
}

namespace {

bool SameWritableFields(const FWPS_CONNECT_REQUEST0 &a, const FWPS_CONNECT_REQUEST0 &b)
{
    return std::memcmp(&a.remoteAddressAndPort, &b.remoteAddressAndPort, sizeof(SOCKADDR_STORAGE)) == 0 &&
           a.portReservationToken == b.portReservationToken &&
           a.localRedirectTargetPID == b.localRedirectTargetPID && a.localRedirectHandle == b.localRedirectHandle &&
           a.localRedirectContext == b.localRedirectContext &&
           a.localRedirectContextSize == b.localRedirectContextSize;
}

}  // namespace

void ConnectRequestChain::Apply(FWPS_CONNECT_REQUEST0 *copy, UINT64 filterId, UINT32 flags, bool pended)
{
    const FWPS_CONNECT_REQUEST0 &current = Current();
    if (std::memcmp(&copy->localAddressAndPort, &current.localAddressAndPort, sizeof(SOCKADDR_STORAGE)) != 0) {
        Violation("FwpsApplyModifiedLayerData0",
                  "localAddressAndPort was changed; at the connect-redirect layers only the remote address "
                  "and port, the port reservation token and the local-redirect fields may be changed");
        copy->localAddressAndPort = current.localAddressAndPort;
    }
    if ((flags & FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS) != 0) {
        if (!pended) {
            Violation("FwpsApplyModifiedLayerData0",
                      "FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS is for pended classifies only");
        }
        watchers.insert(filterId);
    }
    if (!SameWritableFields(*copy, current)) {
        FWPS_CONNECT_REQUEST0 version = *copy;
        version.previousVersion = versions.empty() ? nullptr : &versions.back();
        version.modifierFilterId = filterId;
        versions.push_back(version);
        if (version.localRedirectContext != nullptr) {
            // Documented: the filter engine frees the context; it may outlive the driver.
            winsim::kernel::HandPoolToPlatform(version.localRedirectContext);
            if (ended) {
                ExFreePool(version.localRedirectContext);  // its flow is gone already
            } else {
                contexts.insert(version.localRedirectContext);
            }
        }
        for (UINT64 watcher : watchers) {
            if (watcher != filterId) {
                reauthorizeRequested = true;
            }
        }
    }
    delete copy;
}

// ---- arbitration ---------------------------------------------------------------------------

namespace {

bool IsTerminating(FWP_ACTION_TYPE action) { return action == FWP_ACTION_PERMIT || action == FWP_ACTION_BLOCK; }

// Takes one filter's decision into the run; `fromCallout` allows the veto of a hard permit.
void Decide(LayerRun &run, const Filter &filter, FWP_ACTION_TYPE action, bool writeRightAfter, bool fromCallout)
{
    run.subLayerDone = true;
    if (!run.haveDecision || run.writeRight) {
        run.haveDecision = true;
        run.decision = action;
        run.writeRight = writeRightAfter;
        run.decidingFilter = filter.id;
        return;
    }
    if (fromCallout && run.decision == FWP_ACTION_PERMIT && action == FWP_ACTION_BLOCK) {
        run.decision = FWP_ACTION_BLOCK;
        run.writeRight = false;
        run.decidingFilter = filter.id;
    }
}

// Calls one callout's classifyFn. Returns false when the callout is not registered (or is
// being unregistered) and so was not called.
bool CallClassify(LayerRun &run, Filter &filter, FWPS_CLASSIFY_OUT0 *out, ClassifyCall *call)
{
    Engine &e = GetEngine();
    Callout snapshot;
    UINT64 flowContext = 0;
    UINT32 calloutId = filter.runtime.action.calloutId;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Callout *c = EnterCalloutLocked(e, calloutId);
        if (c == nullptr) {
            return false;
        }
        snapshot = *c;
        if (run.flow) {
            auto it = run.flow->contexts.find(FlowKey{run.layerId, calloutId});
            if (it != run.flow->contexts.end()) {
                flowContext = it->second.context;
            }
            run.flow->activeClassifies++;
        }
        if ((snapshot.flags & FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW) != 0 && flowContext == 0) {
            if (run.flow) {
                run.flow->activeClassifies--;
            }
            LeaveCalloutLocked(e, calloutId);
            return false;
        }
        e.liveCalls.insert(call);
    }
    KIRQL old = KeGetCurrentIrql();
    bool raised = run.irql > old;
    if (raised) {
        KeRaiseIrql(run.irql, &old);
    }
    run.calloutCalls++;
    tlsCalloutCalls++;
    const FWPS_INCOMING_VALUES0 *fixed = run.values->Fixed();
    if (snapshot.classify2 != nullptr) {
        snapshot.classify2(fixed, &run.meta, nullptr, call, &filter.runtime, flowContext, out);
    } else if (snapshot.classify1 != nullptr) {
        snapshot.classify1(fixed, &run.meta, nullptr, call, reinterpret_cast<const FWPS_FILTER1 *>(&filter.runtime),
                           flowContext, out);
    } else {
        snapshot.classify0(fixed, &run.meta, nullptr, reinterpret_cast<const FWPS_FILTER0 *>(&filter.runtime),
                           flowContext, out);
    }
    tlsCalloutCalls--;
    if (KeGetCurrentIrql() != run.irql) {
        Violation("classifyFn", "the callout returned at another IRQL than it was called at");
    }
    if (raised) {
        KeLowerIrql(old);
    }
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.liveCalls.erase(call);
        if (call->handle) {
            call->handle->call = nullptr;
        }
        if (run.flow) {
            run.flow->activeClassifies--;
        }
        LeaveCalloutLocked(e, calloutId);
    }
    if (run.flow) {
        RunDeferredFlowDeletes(run.flow);
    }
    return true;
}

// After a classifyFn returned: checks what it left behind for an inline classify.
void CheckInlineLeftovers(ClassifyCall &call)
{
    if (!call.handle || call.pended) {
        return;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    if (call.handle->writable != nullptr) {
        Violation("classifyFn", "writable layer data acquired in an inline classify was not applied before the "
                                "classifyFn returned");
    }
}

// Evaluates one callout filter; returns true when the run must stop here.
bool EvaluateCalloutFilter(LayerRun &run, const std::shared_ptr<Filter> &filter, RunStop *stop)
{
    FWPS_CLASSIFY_OUT0 out{};
    out.actionType = FWP_ACTION_NONE;
    out.rights = run.writeRight ? FWPS_RIGHT_ACTION_WRITE : 0;
    out.filterId = filter->id;
    ClassifyCall call;
    call.run = &run;
    call.filter = filter.get();
    if (!CallClassify(run, *filter, &out, &call)) {
        if (filter->action == FWP_ACTION_CALLOUT_INSPECTION) {
            return false;
        }
        bool permit = (filter->runtime.flags & FWPS_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED) != 0;
        Decide(run, *filter, permit ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK, permit, false);
        return false;
    }
    CheckInlineLeftovers(call);
    if (call.pended) {
        if (out.actionType != FWP_ACTION_BLOCK || (out.rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
            Violation("FwpsPendClassify0", "a classifyFn that pended its classify must return FWP_ACTION_BLOCK "
                                           "with FWPS_RIGHT_ACTION_WRITE cleared");
        }
        run.pendedHandle = call.handle;
        run.pendedFilter = filter.get();
        *stop = RunStop::PendedClassify;
        return true;
    }
    if ((out.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0) {
        run.absorbed = true;
        run.haveDecision = true;
        run.decision = out.actionType;
        run.writeRight = false;
        run.decidingFilter = filter->id;
        *stop = RunStop::Absorbed;
        return true;
    }
    if (filter->action == FWP_ACTION_CALLOUT_INSPECTION) {
        return false;  // an inspection callout does not decide
    }
    if (IsTerminating(out.actionType)) {
        Decide(run, *filter, out.actionType, (out.rights & FWPS_RIGHT_ACTION_WRITE) != 0, true);
    }
    return false;
}

}  // namespace

RunStop RunLayer(LayerRun &run)
{
    while (run.next < run.order.size()) {
        std::shared_ptr<Filter> filter = run.order[run.next++];
        if (!run.inSubLayer || std::memcmp(&run.subLayer, &filter->subLayerKey, sizeof(GUID)) != 0) {
            run.inSubLayer = true;
            run.subLayer = filter->subLayerKey;
            run.subLayerDone = false;
        }
        if (run.subLayerDone || !FilterMatches(*filter, *run.values)) {
            continue;
        }
        if (filter->action == FWP_ACTION_PERMIT) {
            bool hard = (filter->runtime.flags & FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0;
            Decide(run, *filter, FWP_ACTION_PERMIT, !hard, false);
            continue;
        }
        if (filter->action == FWP_ACTION_BLOCK) {
            Decide(run, *filter, FWP_ACTION_BLOCK, false, false);
            continue;
        }
        RunStop stop;
        if (EvaluateCalloutFilter(run, filter, &stop)) {
            return stop;
        }
    }
    return RunStop::Finished;
}

void MergeCompletedClassify(LayerRun &run, const FWPS_CLASSIFY_OUT0 &out)
{
    Filter *filter = run.pendedFilter;
    run.pendedHandle.reset();
    run.pendedFilter = nullptr;
    if (filter == nullptr || filter->action == FWP_ACTION_CALLOUT_INSPECTION) {
        return;
    }
    if ((out.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0) {
        run.absorbed = true;
    }
    if (IsTerminating(out.actionType)) {
        Decide(run, *filter, out.actionType, (out.rights & FWPS_RIGHT_ACTION_WRITE) != 0, true);
    }
}

void OnPendedClassifyCompleted(const std::shared_ptr<ClassifyHandleState> &handle,
                               std::function<void(std::optional<FWPS_CLASSIFY_OUT0>)> fn)
{
    Engine &e = GetEngine();
    std::optional<FWPS_CLASSIFY_OUT0> completion;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (!handle->completed) {
            handle->onComplete = std::move(fn);
            return;
        }
        handle->completionDelivered = true;
        completion = handle->completion;
    }
    fn(completion);
}

}  // namespace winsim::wfp::detail
