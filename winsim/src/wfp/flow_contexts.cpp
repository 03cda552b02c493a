/*
 * flow_contexts.cpp (winsim WFP)
 *
 * Flows and the contexts callouts associate with them: FwpsFlowAssociateContext0,
 * FwpsFlowRemoveContext0 (flowDeleteFn at once, or after a classify of the flow that is
 * running, with STATUS_PENDING), and the end of a flow, which removes every context and
 * calls its flowDeleteFn (after a classify of the flow that is running returns).
 */
#include "wfp_internal.h"

#include "kernel/kernel_internal.h"

#include <cstdio>

using namespace winsim::wfp::detail;

namespace {

void CallFlowDelete(const FlowKey &key, const FlowContextEntry &entry)
{
    Engine &e = GetEngine();
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 fn = nullptr;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Callout *c = FindCalloutLocked(e, key.calloutId);
        if (c != nullptr && c->driverGone) {
            Violation("flowDeleteFn", "WFP calls the flowDeleteFn of callout " + GuidText(c->key) +
                                          " of a driver that has unloaded");
        } else if (c != nullptr) {
            fn = c->flowDelete;
        }
    }
    if (fn != nullptr) {
        fn(key.layerId, key.calloutId, entry.context);
    }
    std::lock_guard<std::mutex> lock(e.mu);
    winsim::Untrack("flow-context", entry.token.get());
    NoteFlowContextGoneLocked(e, key.calloutId);
}

}  // namespace

namespace winsim::wfp::detail {

std::shared_ptr<Flow> CreateFlow()
{
    Engine &e = GetEngine();
    auto flow = std::make_shared<Flow>();
    std::lock_guard<std::mutex> lock(e.mu);
    flow->id = e.nextFlowId;
    e.nextFlowId += 4;
    e.flows.emplace(flow->id, flow);
    return flow;
}

bool RemoveFlowContext(Flow &flow, const FlowKey &key, bool fromFlowEnd)
{
    Engine &e = GetEngine();
    FlowContextEntry entry;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = flow.contexts.find(key);
        if (it == flow.contexts.end()) {
            return true;
        }
        entry = it->second;
        flow.contexts.erase(it);
        if (flow.activeClassifies != 0 && !fromFlowEnd) {
            flow.deferred.push_back(PendingFlowDelete{key, entry});
            return false;
        }
    }
    CallFlowDelete(key, entry);
    return true;
}

void RunDeferredFlowDeletes(const std::shared_ptr<Flow> &flow)
{
    Engine &e = GetEngine();
    std::vector<PendingFlowDelete> due;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (flow->activeClassifies != 0) {
            return;
        }
        due.swap(flow->deferred);
    }
    for (const PendingFlowDelete &d : due) {
        CallFlowDelete(d.key, d.entry);
    }
}

void EndFlow(const std::shared_ptr<Flow> &flow)
{
    Engine &e = GetEngine();
    std::vector<PendingFlowDelete> due;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (flow->ended) {
            return;
        }
        flow->ended = true;
        e.flows.erase(flow->id);
        // A classifyFn of the flow that is running holds the flow: as with
        // FwpsFlowRemoveContext0, its contexts go when that classify returns.
        std::vector<PendingFlowDelete> &to = flow->activeClassifies != 0 ? flow->deferred : due;
        for (auto &entry : flow->contexts) {
            to.push_back(PendingFlowDelete{entry.first, entry.second});
        }
        flow->contexts.clear();
        if (flow->activeClassifies == 0) {
            for (PendingFlowDelete &d : flow->deferred) {
                due.push_back(d);
            }
            flow->deferred.clear();
        }
    }
    for (const PendingFlowDelete &d : due) {
        CallFlowDelete(d.key, d.entry);
    }
}

}  // namespace winsim::wfp::detail

extern "C" NTSTATUS NTAPI FwpsFlowAssociateContext0(UINT64 flowId, UINT16 layerId, UINT32 calloutId, UINT64 flowContext)
{
    RequireIrqlAtMost("FwpsFlowAssociateContext0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsFlowAssociateContext0", &status)) {
        return status;
    }
    if (flowContext == 0 || layerId >= FWPS_BUILTIN_LAYER_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    auto flowIt = e.flows.find(flowId);
    if (flowIt == e.flows.end() || flowIt->second->ended) {
        return STATUS_FWP_NOT_FOUND;
    }
    Callout *c = FindCalloutLocked(e, calloutId);
    if (c == nullptr) {
        return STATUS_FWP_CALLOUT_NOT_FOUND;
    }
    if (c->unregistering) {
        return STATUS_FWP_IN_USE;
    }
    if (c->flowDelete == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Flow &flow = *flowIt->second;
    FlowKey key{layerId, calloutId};
    if (flow.contexts.count(key) != 0) {
        // Informational: the earlier context stays; the caller must remove it first.
        return STATUS_OBJECT_NAME_EXISTS;
    }
    FlowContextEntry entry;
    entry.context = flowContext;
    entry.token = std::make_shared<UINT8>(0);
    flow.contexts.emplace(key, entry);
    c->flowContexts++;
    winsim::Track("flow-context", entry.token.get(),
                  "flow context 0x" + [&] {
                      char text[32];
                      std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(flowContext));
                      return std::string(text);
                  }() + " of callout " + GuidText(c->key) + " on flow " + std::to_string(flowId) + " (layer " +
                      std::to_string(layerId) + "), associated by " +
                      winsim::kernel::CallerForReport(__builtin_return_address(0)));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsFlowRemoveContext0(UINT64 flowId, UINT16 layerId, UINT32 calloutId)
{
    RequireIrqlAtMost("FwpsFlowRemoveContext0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsFlowRemoveContext0", &status)) {
        return status;
    }
    Engine &e = GetEngine();
    std::shared_ptr<Flow> flow;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = e.flows.find(flowId);
        if (it == e.flows.end() || it->second->contexts.count(FlowKey{layerId, calloutId}) == 0) {
            return STATUS_UNSUCCESSFUL;
        }
        flow = it->second;
    }
    return RemoveFlowContext(*flow, FlowKey{layerId, calloutId}, false) ? STATUS_SUCCESS : STATUS_PENDING;
}
