/*
 * classify_handles.cpp (winsim WFP)
 *
 * Classify handles and what hangs off them: FwpsAcquireClassifyHandle0 /
 * FwpsReleaseClassifyHandle0, the writable connect request of the connect-redirect layers
 * (FwpsAcquireWritableLayerDataPointer0 / FwpsApplyModifiedLayerData0), and pended
 * classifies (FwpsPendClassify0 / FwpsCompleteClassify0). A pend holds its own reference
 * on the handle, dropped by the completion.
 */
#include "classify_run.h"

#include "kernel/kernel_internal.h"

using namespace winsim::wfp::detail;

namespace {

std::shared_ptr<ClassifyHandleState> FindHandleLocked(Engine &e, UINT64 handle)
{
    auto it = e.classifyHandles.find(handle);
    return it == e.classifyHandles.end() ? nullptr : it->second;
}

// Forgets a handle nobody references any more; lock held.
void DropIfUnreferencedLocked(Engine &e, const std::shared_ptr<ClassifyHandleState> &h)
{
    if (h->driverReferences == 0 && !h->pended && h->writable == nullptr) {
        e.classifyHandles.erase(h->handle);
    }
}

bool IsConnectRedirectLayer(UINT16 layerId)
{
    return layerId == FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 || layerId == FWPS_LAYER_ALE_CONNECT_REDIRECT_V6;
}

}  // namespace

extern "C" NTSTATUS NTAPI FwpsAcquireClassifyHandle0(void *classifyContext, UINT32 flags, UINT64 *classifyHandle)
{
    RequireIrqlAtMost("FwpsAcquireClassifyHandle0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsAcquireClassifyHandle0", &status)) {
        return status;
    }
    if (classifyContext == nullptr || classifyHandle == nullptr || flags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    std::shared_ptr<ClassifyHandleState> h;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto *call = static_cast<ClassifyCall *>(classifyContext);
        if (e.liveCalls.count(call) == 0) {
            Violation("FwpsAcquireClassifyHandle0", "classifyContext is not that of a running classifyFn");
            return STATUS_INVALID_PARAMETER;
        }
        if (!call->handle) {
            call->handle = std::make_shared<ClassifyHandleState>();
            call->handle->handle = e.nextClassifyHandle++;
            call->handle->call = call;
            call->handle->run = call->run;
            e.classifyHandles.emplace(call->handle->handle, call->handle);
        }
        h = call->handle;
        h->driverReferences++;
    }
    if (h->driverReferences == 1) {
        winsim::Track("classify-handle", h.get(),
                      "classify handle " + std::to_string(h->handle) + " acquired by " +
                          winsim::kernel::CallerForReport(__builtin_return_address(0)));
    }
    *classifyHandle = h->handle;
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsReleaseClassifyHandle0(UINT64 classifyHandle)
{
    RequireIrqlAtMost("FwpsReleaseClassifyHandle0", DISPATCH_LEVEL);
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::shared_ptr<ClassifyHandleState> h = FindHandleLocked(e, classifyHandle);
    if (!h || h->driverReferences == 0) {
        Violation("FwpsReleaseClassifyHandle0", "not a classify handle the caller holds (released twice?)");
        return;
    }
    if (h->writable != nullptr) {
        Violation("FwpsReleaseClassifyHandle0",
                  "released while its writable layer data was not applied with FwpsApplyModifiedLayerData0");
    }
    if (--h->driverReferences == 0) {
        winsim::Untrack("classify-handle", h.get());
    }
    DropIfUnreferencedLocked(e, h);
}

extern "C" NTSTATUS NTAPI FwpsAcquireWritableLayerDataPointer0(UINT64 classifyHandle, UINT64 filterId, UINT32 flags,
                                                                PVOID *writableLayerData,
                                                                FWPS_CLASSIFY_OUT0 *classifyOut)
{
    RequireIrqlAtMost("FwpsAcquireWritableLayerDataPointer0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsAcquireWritableLayerDataPointer0", &status)) {
        return status;
    }
    if (writableLayerData == nullptr || flags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (classifyOut == nullptr) {
        // Not optional: the call writes its documented BLOCK side effect through it.
        Violation("FwpsAcquireWritableLayerDataPointer0", "classifyOut is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        std::shared_ptr<ClassifyHandleState> h = FindHandleLocked(e, classifyHandle);
        if (!h || h->driverReferences == 0) {
            Violation("FwpsAcquireWritableLayerDataPointer0", "not a classify handle the caller holds");
            return STATUS_INVALID_PARAMETER;
        }
        if (h->call == nullptr && !(h->pended && !h->completed)) {
            Violation("FwpsAcquireWritableLayerDataPointer0",
                      "the classify is neither running nor pended: its layer data is gone");
            return STATUS_INVALID_PARAMETER;
        }
        if (!IsConnectRedirectLayer(h->run->layerId) || h->run->chain == nullptr) {
            return STATUS_FWP_INCOMPATIBLE_LAYER;
        }
        if (h->writable != nullptr) {
            return STATUS_FWP_IN_USE;
        }
        if ((classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        h->writable = h->run->chain->Acquire();
        h->writableFilterId = filterId;
        *writableLayerData = h->writable;
        winsim::Track("writable-layer-data", h->writable,
                      "writable connect request of classify handle " + std::to_string(classifyHandle) + " (filter " +
                          std::to_string(filterId) + ") not applied");
    }
    // Documented side effect: the classify is blocked until the callout decides again.
    classifyOut->actionType = FWP_ACTION_BLOCK;
    classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsApplyModifiedLayerData0(UINT64 classifyHandle, PVOID modifiedLayerData, UINT32 flags)
{
    RequireIrqlAtMost("FwpsApplyModifiedLayerData0", DISPATCH_LEVEL);
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::shared_ptr<ClassifyHandleState> h = FindHandleLocked(e, classifyHandle);
    if (!h) {
        Violation("FwpsApplyModifiedLayerData0", "not a live classify handle");
        return;
    }
    if (h->writable == nullptr || modifiedLayerData != h->writable) {
        Violation("FwpsApplyModifiedLayerData0",
                  "the pointer is not the writable layer data acquired with this classify handle");
        return;
    }
    auto *copy = static_cast<FWPS_CONNECT_REQUEST0 *>(modifiedLayerData);
    winsim::Untrack("writable-layer-data", copy);
    h->writable = nullptr;
    h->run->chain->Apply(copy, h->writableFilterId, flags, h->pended);
    DropIfUnreferencedLocked(e, h);
}

extern "C" NTSTATUS NTAPI FwpsPendClassify0(UINT64 classifyHandle, UINT64 filterId, UINT32 flags,
                                             FWPS_CLASSIFY_OUT0 *classifyOut)
{
    RequireIrqlAtMost("FwpsPendClassify0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsPendClassify0", &status)) {
        return status;
    }
    if (flags != 0 || classifyOut == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    std::shared_ptr<ClassifyHandleState> h;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        h = FindHandleLocked(e, classifyHandle);
        if (!h || h->driverReferences == 0) {
            Violation("FwpsPendClassify0", "not a classify handle the caller holds");
            return STATUS_INVALID_PARAMETER;
        }
        if (h->call == nullptr) {
            Violation("FwpsPendClassify0", "called outside the classifyFn whose classify it pends");
            return STATUS_INVALID_PARAMETER;
        }
        if (!IsConnectRedirectLayer(h->run->layerId) || h->pended || h->completed) {
            return STATUS_FWP_CANNOT_PEND;
        }
        h->pended = true;
        h->pendFilterId = filterId;
        h->call->pended = true;
        h->keepAlive = h->run->owner.lock();
    }
    winsim::Track("pended-classify", &h->pended,
                  "classify pended with handle " + std::to_string(classifyHandle) + " by " +
                      winsim::kernel::CallerForReport(__builtin_return_address(0)) + ", never completed");
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsCompleteClassify0(UINT64 classifyHandle, UINT32 flags, const FWPS_CLASSIFY_OUT0 *classifyOut)
{
    RequireIrqlAtMost("FwpsCompleteClassify0", DISPATCH_LEVEL);
    Engine &e = GetEngine();
    std::shared_ptr<ClassifyHandleState> h;
    std::function<void(std::optional<FWPS_CLASSIFY_OUT0>)> next;
    std::optional<FWPS_CLASSIFY_OUT0> completion;
    std::shared_ptr<void> keepAlive;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        h = FindHandleLocked(e, classifyHandle);
        if (!h || !h->pended) {
            Violation("FwpsCompleteClassify0", "the classify of this handle is not pended (completed twice?)");
            return;
        }
        if (flags != 0) {
            Violation("FwpsCompleteClassify0", "flags must be 0");
        }
        if (h->writable != nullptr) {
            Violation("FwpsCompleteClassify0",
                      "completed while its writable layer data was not applied with FwpsApplyModifiedLayerData0");
        }
        h->pended = false;
        h->completed = true;
        if (classifyOut != nullptr) {
            h->completion = *classifyOut;
        }
        completion = h->completion;
        keepAlive = std::move(h->keepAlive);
        if (h->onComplete) {
            next = std::move(h->onComplete);
            h->completionDelivered = true;
        }
        DropIfUnreferencedLocked(e, h);
    }
    winsim::Untrack("pended-classify", &h->pended);
    if (next) {
        next(completion);
    }
}
