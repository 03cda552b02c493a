/*
 * management_filters.cpp (winsim WFP)
 *
 * The user-mode management calls for management-side callouts, provider contexts and
 * filters. A provider context's data buffer is copied; the run-time filter of every filter
 * that names it points at that copy (FWPS_FILTER*.providerContext), so a callout reads the
 * bytes the service wrote.
 */
#include "management_internal.h"

#include <fwpmu.h>

#include <algorithm>

using namespace winsim::wfp::detail;

namespace {

constexpr UINT32 kKnownFilterFlags = FWPM_FILTER_FLAG_PERSISTENT | FWPM_FILTER_FLAG_BOOTTIME |
                                     FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT | FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT |
                                     FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED | FWPM_FILTER_FLAG_DISABLED |
                                     FWPM_FILTER_FLAG_INDEXED;

template <typename Context>
DWORD AddProviderContext(const char *call, HANDLE engineHandle, const Context *in, UINT64 *id)
{
    DWORD error = EnterCall(call, in);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckAddLocked(e, engineHandle, in->displayData, &s)) != ERROR_SUCCESS ||
        (error = CheckProviderLocked(e, in->providerKey)) != ERROR_SUCCESS) {
        return error;
    }
    if (in->type != FWPM_GENERAL_CONTEXT) {
        return ERROR_NOT_SUPPORTED;  // IPsec and classify-option contexts are not stood in for
    }
    if (in->dataBuffer == nullptr || (in->dataBuffer->size != 0 && in->dataBuffer->data == nullptr)) {
        return FWP_E_NULL_POINTER;
    }
    GUID key = IsNullGuid(in->providerContextKey) ? NewGuid() : in->providerContextKey;
    if (e.providerContexts.count(key) != 0) {
        return FWP_E_ALREADY_EXISTS;
    }
    auto c = std::make_shared<ProviderContext>();
    Stamp(*c, *s, (in->flags & FWPM_PROVIDER_CONTEXT_FLAG_PERSISTENT) != 0, in->providerKey);
    c->key = key;
    c->id = e.nextProviderContextId++;
    c->data.assign(in->dataBuffer->data, in->dataBuffer->data + in->dataBuffer->size);
    c->blob.size = in->dataBuffer->size;
    c->blob.data = c->data.empty() ? nullptr : c->data.data();
    c->context.providerContextKey = key;
    c->context.flags = in->flags;
    c->context.type = FWPM_GENERAL_CONTEXT;
    c->context.dataBuffer = &c->blob;
    c->context.providerContextId = c->id;
    e.providerContexts.emplace(key, c);
    if (id != nullptr) {
        *id = c->id;
    }
    return ERROR_SUCCESS;
}

// The refusal of deleting an object while a filter still uses it (`usedBy(filter, object)`).
template <typename UsedBy> auto RefuseWhileAFilterUses(UsedBy usedBy)
{
    return [usedBy](const Engine &e, const auto &object) -> DWORD {
        for (auto &entry : e.filters) {
            if (usedBy(*entry.second, object)) {
                return FWP_E_IN_USE;
            }
        }
        return ERROR_SUCCESS;
    };
}

template <typename Pick> DWORD DeleteProviderContextWhere(HANDLE engineHandle, Pick pick)
{
    return DeleteObjectWhere(engineHandle, &Engine::providerContexts, FWP_E_PROVIDER_CONTEXT_NOT_FOUND, pick,
                             RefuseWhileAFilterUses([](const Filter &f, const ProviderContext &c) {
                                 return f.providerContext.get() == &c;
                             }));
}

template <typename Pick> DWORD DeleteCalloutWhere(HANDLE engineHandle, Pick pick)
{
    return DeleteObjectWhere(engineHandle, &Engine::managementCallouts, FWP_E_CALLOUT_NOT_FOUND, pick,
                             RefuseWhileAFilterUses([](const Filter &f, const ManagementCallout &c) {
                                 return (f.action & FWP_ACTION_FLAG_CALLOUT) != 0 && f.calloutKey == c.key;
                             }));
}

DWORD DeleteFilterWhere(HANDLE engineHandle, const std::function<bool(const Filter &)> &pick)
{
    Engine &e = GetEngine();
    std::shared_ptr<Filter> gone;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Session *s;
        DWORD error = CheckSessionLocked(e, engineHandle, &s);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        for (auto it = e.filters.begin(); it != e.filters.end(); ++it) {
            if (pick(*it->second)) {
                gone = it->second;
                e.filters.erase(it);
                break;
            }
        }
    }
    if (!gone) {
        return FWP_E_FILTER_NOT_FOUND;
    }
    NotifyFilterDeleted(*gone);
    return ERROR_SUCCESS;
}

}  // namespace

// ---- management-side callouts ----------------------------------------------------------------

DWORD WINAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0 *callout, PSECURITY_DESCRIPTOR sd, UINT32 *id)
{
    (void)sd;
    DWORD error = EnterCall("FwpmCalloutAdd0", callout);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckAddLocked(e, engineHandle, callout->displayData, &s)) != ERROR_SUCCESS ||
        (error = CheckProviderLocked(e, callout->providerKey)) != ERROR_SUCCESS) {
        return error;
    }
    const LayerInfo *layer = FindLayerByKey(callout->applicableLayer);
    if (layer == nullptr) {
        return FWP_E_LAYER_NOT_FOUND;
    }
    if (e.managementCallouts.count(callout->calloutKey) != 0) {
        return FWP_E_ALREADY_EXISTS;
    }
    auto c = std::make_unique<ManagementCallout>();
    Stamp(*c, *s, (callout->flags & FWPM_CALLOUT_FLAG_PERSISTENT) != 0, callout->providerKey);
    c->key = callout->calloutKey;
    c->applicableLayer = callout->applicableLayer;
    c->layerId = layer->layerId;
    c->id = CalloutIdForKeyLocked(e, callout->calloutKey);
    if (id != nullptr) {
        *id = c->id;
    }
    e.managementCallouts.emplace(c->key, std::move(c));
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmCalloutDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD error = EnterCall("FwpmCalloutDeleteByKey0", key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    GUID k = *key;
    return DeleteCalloutWhere(engineHandle, [k](const ManagementCallout &c) { return c.key == k; });
}

DWORD WINAPI FwpmCalloutDeleteById0(HANDLE engineHandle, UINT32 id)
{
    DWORD fault;
    if (FailUserMode("FwpmCalloutDeleteById0", &fault)) {
        return fault;
    }
    return DeleteCalloutWhere(engineHandle, [id](const ManagementCallout &c) { return c.id == id; });
}

// ---- provider contexts -----------------------------------------------------------------------

DWORD WINAPI FwpmProviderContextAdd0(HANDLE engineHandle, const FWPM_PROVIDER_CONTEXT0 *providerContext,
                                     PSECURITY_DESCRIPTOR sd, UINT64 *id)
{
    (void)sd;
    return AddProviderContext("FwpmProviderContextAdd0", engineHandle, providerContext, id);
}

DWORD WINAPI FwpmProviderContextAdd1(HANDLE engineHandle, const FWPM_PROVIDER_CONTEXT1 *providerContext,
                                     PSECURITY_DESCRIPTOR sd, UINT64 *id)
{
    (void)sd;
    return AddProviderContext("FwpmProviderContextAdd1", engineHandle, providerContext, id);
}

DWORD WINAPI FwpmProviderContextAdd2(HANDLE engineHandle, const FWPM_PROVIDER_CONTEXT2 *providerContext,
                                     PSECURITY_DESCRIPTOR sd, UINT64 *id)
{
    (void)sd;
    return AddProviderContext("FwpmProviderContextAdd2", engineHandle, providerContext, id);
}

DWORD WINAPI FwpmProviderContextDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD error = EnterCall("FwpmProviderContextDeleteByKey0", key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    GUID k = *key;
    return DeleteProviderContextWhere(engineHandle, [k](const ProviderContext &c) { return c.key == k; });
}

DWORD WINAPI FwpmProviderContextDeleteById0(HANDLE engineHandle, UINT64 id)
{
    DWORD fault;
    if (FailUserMode("FwpmProviderContextDeleteById0", &fault)) {
        return fault;
    }
    return DeleteProviderContextWhere(engineHandle, [id](const ProviderContext &c) { return c.id == id; });
}

// ---- filters ---------------------------------------------------------------------------------

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0 *filter, PSECURITY_DESCRIPTOR sd, UINT64 *id)
{
    (void)sd;
    DWORD error = EnterCall("FwpmFilterAdd0", filter);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Engine &e = GetEngine();
    auto f = std::make_shared<Filter>();
    bool inTransaction;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Session *s;
        if ((error = CheckAddLocked(e, engineHandle, filter->displayData, &s)) != ERROR_SUCCESS) {
            return error;
        }
        if ((filter->flags & ~kKnownFilterFlags) != 0 ||
            ((filter->flags & FWPM_FILTER_FLAG_PERSISTENT) != 0 && (filter->flags & FWPM_FILTER_FLAG_BOOTTIME) != 0)) {
            return FWP_E_INVALID_FLAGS;
        }
        if ((error = CheckProviderLocked(e, filter->providerKey)) != ERROR_SUCCESS) {
            return error;
        }
        const LayerInfo *layer = FindLayerByKey(filter->layerKey);
        if (layer == nullptr) {
            return FWP_E_LAYER_NOT_FOUND;
        }
        for (auto &entry : e.filters) {
            if (!IsNullGuid(filter->filterKey) && entry.second->key == filter->filterKey) {
                return FWP_E_ALREADY_EXISTS;
            }
        }
        if ((error = CopyConditions(*layer, filter->filterCondition, filter->numFilterConditions, f.get())) !=
            ERROR_SUCCESS) {
            return error;
        }
        if ((error = BuildFilterForAdd(*filter, *layer, f.get())) != ERROR_SUCCESS) {
            return error;
        }
        Stamp(*f, *s, (filter->flags & FWPM_FILTER_FLAG_PERSISTENT) != 0, filter->providerKey);
        inTransaction = s->transactionId != 0;
    }
    bool callout = (f->action & FWP_ACTION_FLAG_CALLOUT) != 0;
    if (callout && !NT_SUCCESS(NotifyCallout(f->runtime.action.calloutId, FWPS_CALLOUT_NOTIFY_ADD_FILTER, &f->key, *f))) {
        return FWP_E_CALLOUT_NOTIFICATION_FAILED;
    }
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.filters.emplace(f->id, f);
    }
    if (!inTransaction) {
        NotifyPostCommit(*f);
    }
    if (id != nullptr) {
        *id = f->id;
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD error = EnterCall("FwpmFilterDeleteByKey0", key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    GUID k = *key;
    return DeleteFilterWhere(engineHandle, [k](const Filter &f) { return f.key == k; });
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id)
{
    DWORD fault;
    if (FailUserMode("FwpmFilterDeleteById0", &fault)) {
        return fault;
    }
    return DeleteFilterWhere(engineHandle, [id](const Filter &f) { return f.id == id; });
}
