/*
 * management.cpp (winsim WFP)
 *
 * The user-mode management calls of fwpmu.h as the agent's service uses them: sessions,
 * transactions, providers, sublayers, management-side callouts, provider contexts and
 * filters, with the engine's checks and FWP_E_* errors. Adding a filter whose callout is
 * registered asks the callout's notifyFn first (an error rejects the filter); deleting it
 * tells the callout afterwards. Objects of a dynamic session go with the session, objects
 * that are not persistent go when the BFE stops.
 */
#include "management_internal.h"

#include <fwpmu.h>

#include <algorithm>

using namespace winsim::wfp::detail;

namespace winsim::wfp::detail {

DWORD ToWin32(NTSTATUS status)
{
    auto value = static_cast<UINT32>(status);
    if ((value & 0xFFFF0000u) == 0xC0220000u) {
        return 0x80320000u | (value & 0xFFFFu);  // STATUS_FWP_* <-> FWP_E_*
    }
    if (status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (status == RPC_NT_SERVER_UNAVAILABLE) {
        return RPC_S_SERVER_UNAVAILABLE;
    }
    if (status == STATUS_INVALID_PARAMETER) {
        return ERROR_INVALID_PARAMETER;
    }
    if (status == STATUS_INVALID_HANDLE) {
        return ERROR_INVALID_HANDLE;
    }
    return value | 0x10000000u;  // HRESULT_FROM_NT
}

bool FailUserMode(const char *call, DWORD *error)
{
    NTSTATUS status;
    if (Fail(call, &status)) {
        *error = ToWin32(status);
        return true;
    }
    return false;
}

DWORD EnterCall(const char *call, const void *required)
{
    DWORD error;
    if (FailUserMode(call, &error)) {
        return error;
    }
    return required == nullptr ? FWP_E_NULL_POINTER : ERROR_SUCCESS;
}

DWORD CheckSessionLocked(Engine &e, HANDLE engineHandle, Session **session)
{
    auto it = e.sessions.find(static_cast<Session *>(engineHandle));
    if (it == e.sessions.end() || it->second->kernelMode) {
        return ERROR_INVALID_HANDLE;
    }
    if (it->second->aborted || e.bfeState != FWPM_SERVICE_RUNNING) {
        return FWP_E_SESSION_ABORTED;
    }
    *session = it->second.get();
    return ERROR_SUCCESS;
}

DWORD CheckAddLocked(Engine &e, HANDLE engineHandle, const FWPM_DISPLAY_DATA0 &displayData, Session **session)
{
    DWORD error = CheckSessionLocked(e, engineHandle, session);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return displayData.name == nullptr ? FWP_E_NULL_DISPLAY_NAME : ERROR_SUCCESS;
}

DWORD CheckProviderLocked(Engine &e, const GUID *providerKey)
{
    return providerKey == nullptr || e.providers.count(*providerKey) != 0 ? ERROR_SUCCESS : FWP_E_PROVIDER_NOT_FOUND;
}

void Stamp(ManagedObject &o, const Session &s, bool persistent, const GUID *providerKey)
{
    o.persistent = persistent;
    o.sessionId = s.dynamic ? s.id : 0;
    o.transactionId = s.transactionId;
    o.hasProvider = providerKey != nullptr;
    if (providerKey != nullptr) {
        o.providerKey = *providerKey;
    }
}

}  // namespace winsim::wfp::detail

namespace {

// Removes filters chosen by `pick` and tells their callouts, outside the lock.
void DeleteFiltersWhere(const std::function<bool(const Filter &)> &pick)
{
    Engine &e = GetEngine();
    std::vector<std::shared_ptr<Filter>> gone;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        for (auto it = e.filters.begin(); it != e.filters.end();) {
            if (pick(*it->second)) {
                gone.push_back(it->second);
                it = e.filters.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::shared_ptr<Filter> &f : gone) {
        NotifyFilterDeleted(*f);
    }
}

template <typename Map, typename Pred> void EraseWhere(Map &map, Pred pred)
{
    for (auto it = map.begin(); it != map.end();) {
        it = pred(*it->second) ? map.erase(it) : std::next(it);
    }
}

void DeleteObjectsWhere(const std::function<bool(const ManagedObject &)> &pick)
{
    DeleteFiltersWhere([&](const Filter &f) { return pick(f); });
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    EraseWhere(e.providerContexts, pick);
    EraseWhere(e.managementCallouts, pick);
    EraseWhere(e.subLayers, [&](const SubLayer &s) { return !s.builtin && pick(s); });
    EraseWhere(e.providers, pick);
}

UINT64 EffectiveWeight(Engine &e, const FWP_VALUE0 &weight, std::size_t conditions, DWORD *error)
{
    UINT64 automatic = (static_cast<UINT64>(std::min<std::size_t>(conditions, 255)) << 40) |
                       (++e.autoWeightSequence & 0xFFFFFFFFFFull);
    switch (weight.type) {
    case FWP_EMPTY: return automatic;
    case FWP_UINT8:
        if (weight.uint8 > 15) {
            *error = FWP_E_INVALID_WEIGHT;
            return 0;
        }
        return (static_cast<UINT64>(weight.uint8) << 60) | automatic;
    case FWP_UINT64:
        if (weight.uint64 == nullptr) {
            *error = FWP_E_NULL_POINTER;
            return 0;
        }
        return *weight.uint64;
    default: *error = FWP_E_INVALID_WEIGHT; return 0;
    }
}

}  // namespace

namespace winsim::wfp::detail {

DWORD BuildFilterForAdd(const FWPM_FILTER0 &in, const LayerInfo &layer, Filter *f)
{
    Engine &e = GetEngine();
    bool calloutAction = in.action.type == FWP_ACTION_CALLOUT_TERMINATING ||
                         in.action.type == FWP_ACTION_CALLOUT_INSPECTION || in.action.type == FWP_ACTION_CALLOUT_UNKNOWN;
    if (!calloutAction && in.action.type != FWP_ACTION_BLOCK && in.action.type != FWP_ACTION_PERMIT) {
        return FWP_E_INVALID_ACTION_TYPE;
    }
    if (calloutAction) {
        auto it = e.managementCallouts.find(in.action.calloutKey);
        if (it == e.managementCallouts.end()) {
            return FWP_E_CALLOUT_NOT_FOUND;
        }
        if (it->second->layerId != layer.layerId) {
            return FWP_E_INCOMPATIBLE_LAYER;
        }
        f->calloutKey = in.action.calloutKey;
    }
    if ((in.flags & FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT) != 0) {
        auto it = e.providerContexts.find(in.providerContextKey);
        if (it == e.providerContexts.end()) {
            return FWP_E_PROVIDER_CONTEXT_NOT_FOUND;
        }
        f->providerContext = it->second;
    }
    GUID subLayerKey = IsNullGuid(in.subLayerKey) ? FWPM_SUBLAYER_UNIVERSAL : in.subLayerKey;
    auto sub = e.subLayers.find(subLayerKey);
    if (sub == e.subLayers.end()) {
        return FWP_E_SUBLAYER_NOT_FOUND;
    }
    DWORD error = ERROR_SUCCESS;
    f->weight = EffectiveWeight(e, in.weight, in.numFilterConditions, &error);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    f->key = IsNullGuid(in.filterKey) ? NewGuid() : in.filterKey;
    f->id = e.nextFilterId++;
    f->layerId = layer.layerId;
    f->subLayerKey = subLayerKey;
    f->subLayerWeight = sub->second->weight;
    f->managementFlags = in.flags;
    f->action = in.action.type;
    f->runtime.filterId = f->id;
    f->runtime.weight.type = FWP_UINT64;
    f->runtime.weight.uint64 = &f->weight;
    f->runtime.subLayerWeight = f->subLayerWeight;
    f->runtime.flags |= (in.flags & FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0 ? FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT : 0;
    f->runtime.flags |= (in.flags & FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED) != 0
                            ? FWPS_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED
                            : 0;
    f->runtime.action.type = f->action;
    f->runtime.action.calloutId = calloutAction ? CalloutIdForKeyLocked(e, f->calloutKey) : 0;
    f->runtime.context = f->providerContext ? 0 : in.rawContext;
    f->runtime.providerContext = f->providerContext ? &f->providerContext->context : nullptr;
    return ERROR_SUCCESS;
}

}  // namespace winsim::wfp::detail

namespace winsim::wfp::detail {

void NotifyPostCommit(Filter &f)
{
    if ((f.action & FWP_ACTION_FLAG_CALLOUT) == 0) {
        return;
    }
    bool wanted;
    {
        Engine &e = GetEngine();
        std::lock_guard<std::mutex> lock(e.mu);
        Callout *c = FindCalloutLocked(e, f.runtime.action.calloutId);
        wanted = c != nullptr && (c->flags & FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY) != 0;
    }
    if (wanted) {
        NotifyCallout(f.runtime.action.calloutId, FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT, &f.key, f);
    }
}

void NotifyFilterDeleted(Filter &f)
{
    if ((f.action & FWP_ACTION_FLAG_CALLOUT) != 0) {
        NotifyCallout(f.runtime.action.calloutId, FWPS_CALLOUT_NOTIFY_DELETE_FILTER, nullptr, f);
    }
}

}  // namespace winsim::wfp::detail

// ---- engine internals used elsewhere -------------------------------------------------------

namespace winsim::wfp::detail {

void DeleteSessionObjects(std::uint64_t sessionId)
{
    DeleteObjectsWhere([sessionId](const ManagedObject &o) { return o.sessionId == sessionId; });
}

void DeleteNonPersistentObjects(bool everything)
{
    DeleteObjectsWhere([everything](const ManagedObject &o) { return everything || !o.persistent; });
}

std::vector<std::shared_ptr<Filter>> FiltersForLayer(UINT16 layerId)
{
    Engine &e = GetEngine();
    std::vector<std::shared_ptr<Filter>> out;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        for (auto &entry : e.filters) {
            const Filter &f = *entry.second;
            if (f.layerId == layerId && (f.managementFlags & FWPM_FILTER_FLAG_DISABLED) == 0 &&
                f.transactionId == 0) {
                out.push_back(entry.second);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const std::shared_ptr<Filter> &a, const std::shared_ptr<Filter> &b) {
        if (a->subLayerWeight != b->subLayerWeight) {
            return a->subLayerWeight > b->subLayerWeight;
        }
        int bySubLayer = std::memcmp(&a->subLayerKey, &b->subLayerKey, sizeof(GUID));
        if (bySubLayer != 0) {
            return bySubLayer < 0;
        }
        if (a->weight != b->weight) {
            return a->weight > b->weight;
        }
        return a->id < b->id;
    });
    return out;
}

}  // namespace winsim::wfp::detail

// ---- sessions and transactions -------------------------------------------------------------

namespace {

// Ends the session's transaction, handing back its id; lock held.
DWORD EndTransactionLocked(Engine &e, HANDLE engineHandle, std::uint64_t *transactionId)
{
    Session *s;
    DWORD error = CheckSessionLocked(e, engineHandle, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (s->transactionId == 0) {
        return FWP_E_NO_TXN_IN_PROGRESS;
    }
    *transactionId = s->transactionId;
    s->transactionId = 0;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD WINAPI FwpmEngineOpen0(const WCHAR *serverName, UINT32 authnService, SEC_WINNT_AUTH_IDENTITY_W *authIdentity,
                             const FWPM_SESSION0 *session, HANDLE *engineHandle)
{
    (void)authIdentity;
    DWORD error;
    if (FailUserMode("FwpmEngineOpen0", &error)) {
        return error;
    }
    NTSTATUS status =
        OpenSession(serverName, authnService, session, engineHandle, false, __builtin_return_address(0));
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ToWin32(status);
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle)
{
    DWORD error;
    if (FailUserMode("FwpmEngineClose0", &error)) {
        return error;
    }
    NTSTATUS status = CloseSession(engineHandle);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ToWin32(status);
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags)
{
    DWORD fault;
    if (FailUserMode("FwpmTransactionBegin0", &fault)) {
        return fault;
    }
    (void)flags;
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    DWORD error = CheckSessionLocked(e, engineHandle, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (s->transactionId != 0) {
        return FWP_E_TXN_IN_PROGRESS;
    }
    s->transactionId = e.nextTransactionId++;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle)
{
    DWORD fault;
    if (FailUserMode("FwpmTransactionCommit0", &fault)) {
        return fault;
    }
    Engine &e = GetEngine();
    std::vector<std::shared_ptr<Filter>> committed;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        std::uint64_t txn;
        DWORD error = EndTransactionLocked(e, engineHandle, &txn);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        auto clear = [txn](ManagedObject &o) {
            if (o.transactionId == txn) {
                o.transactionId = 0;
            }
        };
        for (auto &p : e.providers) clear(*p.second);
        for (auto &p : e.subLayers) clear(*p.second);
        for (auto &p : e.managementCallouts) clear(*p.second);
        for (auto &p : e.providerContexts) clear(*p.second);
        for (auto &p : e.filters) {
            if (p.second->transactionId == txn) {
                p.second->transactionId = 0;
                committed.push_back(p.second);
            }
        }
    }
    for (const std::shared_ptr<Filter> &f : committed) {
        NotifyPostCommit(*f);
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle)
{
    DWORD fault;
    if (FailUserMode("FwpmTransactionAbort0", &fault)) {
        return fault;
    }
    Engine &e = GetEngine();
    std::uint64_t txn;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        DWORD error = EndTransactionLocked(e, engineHandle, &txn);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    DeleteObjectsWhere([txn](const ManagedObject &o) { return o.transactionId == txn; });
    return ERROR_SUCCESS;
}

// ---- providers and sublayers ---------------------------------------------------------------

DWORD WINAPI FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0 *provider, PSECURITY_DESCRIPTOR sd)
{
    (void)sd;
    DWORD error = EnterCall("FwpmProviderAdd0", provider);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckAddLocked(e, engineHandle, provider->displayData, &s)) != ERROR_SUCCESS) {
        return error;
    }
    if (e.providers.count(provider->providerKey) != 0) {
        return FWP_E_ALREADY_EXISTS;
    }
    auto p = std::make_unique<Provider>();
    Stamp(*p, *s, (provider->flags & FWPM_PROVIDER_FLAG_PERSISTENT) != 0, nullptr);
    p->key = provider->providerKey;
    e.providers.emplace(p->key, std::move(p));
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD error = EnterCall("FwpmProviderDeleteByKey0", key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    GUID k = *key;
    auto refusal = [k](const Engine &e, const Provider &) -> DWORD {
        auto uses = [k](const ManagedObject &o) { return o.hasProvider && o.providerKey == k; };
        for (auto &p : e.subLayers) if (uses(*p.second)) return FWP_E_IN_USE;
        for (auto &p : e.managementCallouts) if (uses(*p.second)) return FWP_E_IN_USE;
        for (auto &p : e.providerContexts) if (uses(*p.second)) return FWP_E_IN_USE;
        for (auto &p : e.filters) if (uses(*p.second)) return FWP_E_IN_USE;
        return ERROR_SUCCESS;
    };
    return DeleteObjectWhere(engineHandle, &Engine::providers, FWP_E_PROVIDER_NOT_FOUND,
                             [k](const Provider &p) { return p.key == k; }, refusal);
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0 *subLayer, PSECURITY_DESCRIPTOR sd)
{
    (void)sd;
    DWORD error = EnterCall("FwpmSubLayerAdd0", subLayer);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    if ((error = CheckAddLocked(e, engineHandle, subLayer->displayData, &s)) != ERROR_SUCCESS) {
        return error;
    }
    if ((error = CheckProviderLocked(e, subLayer->providerKey)) != ERROR_SUCCESS) {
        return error;
    }
    GUID key = IsNullGuid(subLayer->subLayerKey) ? NewGuid() : subLayer->subLayerKey;
    if (e.subLayers.count(key) != 0) {
        return FWP_E_ALREADY_EXISTS;
    }
    auto l = std::make_unique<SubLayer>();
    Stamp(*l, *s, (subLayer->flags & FWPM_SUBLAYER_FLAG_PERSISTENT) != 0, subLayer->providerKey);
    l->key = key;
    l->weight = subLayer->weight;
    e.subLayers.emplace(key, std::move(l));
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID *key)
{
    DWORD error = EnterCall("FwpmSubLayerDeleteByKey0", key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    GUID k = *key;
    auto refusal = [k](const Engine &e, const SubLayer &l) -> DWORD {
        if (l.builtin) {
            return FWP_E_BUILTIN_OBJECT;
        }
        for (auto &f : e.filters) {
            if (f.second->subLayerKey == k) {
                return FWP_E_IN_USE;
            }
        }
        return ERROR_SUCCESS;
    };
    return DeleteObjectWhere(engineHandle, &Engine::subLayers, FWP_E_SUBLAYER_NOT_FOUND,
                             [k](const SubLayer &l) { return l.key == k; }, refusal);
}
