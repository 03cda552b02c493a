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

using namespace winsim::wfp::detail;

namespace {

bool ReferencedByFilterLocked(Engine &e, const std::function<bool(const Filter &)> &uses)
{
    for (auto &entry : e.filters) {
        if (uses(*entry.second)) {
            return true;
        }
    }
    return false;
}

template <typename Context>
DWORD AddProviderContext(const char *call, HANDLE engineHandle, const Context *in, UINT64 *id)
{
    DWORD error;
    if (FailUserMode(call, &error)) {
        return error;
    }
    if (in == nullptr) {
        return FWP_E_NULL_POINTER;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckSessionLocked(e, engineHandle, &s)) != ERROR_SUCCESS) {
        return error;
    }
    if (in->displayData.name == nullptr) {
        return FWP_E_NULL_DISPLAY_NAME;
    }
    if (in->providerKey != nullptr && e.providers.count(*in->providerKey) == 0) {
        return FWP_E_PROVIDER_NOT_FOUND;
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

DWORD DeleteProviderContextWhere(HANDLE engineHandle, const std::function<bool(const ProviderContext &)> &pick)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    DWORD error = CheckSessionLocked(e, engineHandle, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    for (auto it = e.providerContexts.begin(); it != e.providerContexts.end(); ++it) {
        if (pick(*it->second)) {
            const ProviderContext *c = it->second.get();
            if (ReferencedByFilterLocked(e, [c](const Filter &f) { return f.providerContext.get() == c; })) {
                return FWP_E_IN_USE;
            }
            e.providerContexts.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return FWP_E_PROVIDER_CONTEXT_NOT_FOUND;
}

DWORD DeleteCalloutWhere(HANDLE engineHandle, const std::function<bool(const ManagementCallout &)> &pick)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    DWORD error = CheckSessionLocked(e, engineHandle, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    for (auto it = e.managementCallouts.begin(); it != e.managementCallouts.end(); ++it) {
        if (pick(*it->second)) {
            GUID key = it->second->key;
            if (ReferencedByFilterLocked(e, [&key](const Filter &f) {
                    return (f.action & FWP_ACTION_FLAG_CALLOUT) != 0 && f.calloutKey == key;
                })) {
                return FWP_E_IN_USE;
            }
            e.managementCallouts.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return FWP_E_CALLOUT_NOT_FOUND;
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
    if ((gone->action & FWP_ACTION_FLAG_CALLOUT) != 0) {
        NotifyCallout(gone->runtime.action.calloutId, FWPS_CALLOUT_NOTIFY_DELETE_FILTER, nullptr, *gone);
    }
    return ERROR_SUCCESS;
}

bool WantsPostCommit(UINT32 calloutId)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Callout *c = FindCalloutLocked(e, calloutId);
    return c != nullptr && !c->unregistering && (c->flags & FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY) != 0;
}

}  // namespace

// ---- management-side callouts ----------------------------------------------------------------

DWORD WINAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0 *callout, PSECURITY_DESCRIPTOR sd, UINT32 *id)
{
    (void)sd;
    DWORD error;
    if (FailUserMode("FwpmCalloutAdd0", &error)) {
        return error;
    }
    if (callout == nullptr) {
        return FWP_E_NULL_POINTER;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckSessionLocked(e, engineHandle, &s)) != ERROR_SUCCESS) {
        return error;
    }
    if (callout->displayData.name == nullptr) {
        return FWP_E_NULL_DISPLAY_NAME;
    }
    if (callout->providerKey != nullptr && e.providers.count(*callout->providerKey) == 0) {
        return FWP_E_PROVIDER_NOT_FOUND;
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
    DWORD fault;
    if (FailUserMode("FwpmCalloutDeleteByKey0", &fault)) {
        return fault;
    }
    if (key == nullptr) {
        return FWP_E_NULL_POINTER;
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
    DWORD fault;
    if (FailUserMode("FwpmProviderContextDeleteByKey0", &fault)) {
        return fault;
    }
    if (key == nullptr) {
        return FWP_E_NULL_POINTER;
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
    DWORD error;
    if (FailUserMode("FwpmFilterAdd0", &error)) {
        return error;
    }
    if (filter == nullptr) {
        return FWP_E_NULL_POINTER;
    }
    Engine &e = GetEngine();
    auto f = std::make_shared<Filter>();
    bool inTransaction;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        Session *s;
        if ((error = CheckSessionLocked(e, engineHandle, &s)) != ERROR_SUCCESS) {
            return error;
        }
        if (filter->displayData.name == nullptr) {
            return FWP_E_NULL_DISPLAY_NAME;
        }
        if ((filter->flags & ~0x7Fu) != 0 ||
            ((filter->flags & FWPM_FILTER_FLAG_PERSISTENT) != 0 && (filter->flags & FWPM_FILTER_FLAG_BOOTTIME) != 0)) {
            return FWP_E_INVALID_FLAGS;
        }
        if (filter->providerKey != nullptr && e.providers.count(*filter->providerKey) == 0) {
            return FWP_E_PROVIDER_NOT_FOUND;
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
    if (callout && !inTransaction && WantsPostCommit(f->runtime.action.calloutId)) {
        NotifyCallout(f->runtime.action.calloutId, FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT, &f->key, *f);
    }
    if (id != nullptr) {
        *id = f->id;
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD fault;
    if (FailUserMode("FwpmFilterDeleteByKey0", &fault)) {
        return fault;
    }
    if (key == nullptr) {
        return FWP_E_NULL_POINTER;
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
