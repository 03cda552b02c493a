/*
 * engine_state.cpp (winsim WFP)
 *
 * The engine singleton and the calls around it: the Base Filtering Engine's state and its
 * change subscriptions, kernel-mode management sessions, redirect handles, the control
 * surface's BFE and introspection calls, and the checks every stood-in call shares
 * (fault injection, IRQL, violations).
 */
#include "wfp_internal.h"

#include <fwpmk.h>

#include "kernel/kernel_internal.h"
#include "kernel/object_manager.h"
#include "kernel/thread_context.h"

#include <winsim/wfp.h>

#include <atomic>
#include <cstdio>
#include <random>

namespace winsim::wfp::detail {

// BFE state-change callbacks running on this thread.
thread_local int tlsBfeCallbacks = 0;

Engine &GetEngine()
{
    // Never destroyed: callbacks may still run while the process exits.
    static Engine *engine = [] {
        auto *e = new Engine();
        auto universal = std::make_unique<SubLayer>();
        universal->key = FWPM_SUBLAYER_UNIVERSAL;
        universal->weight = 0;
        universal->builtin = true;
        universal->persistent = true;
        e->subLayers.emplace(FWPM_SUBLAYER_UNIVERSAL, std::move(universal));
        winsim::kernel::AddDriverUnloadObserver(NoteDriverUnloaded);
        return e;
    }();
    return *engine;
}

bool IsNullGuid(const GUID &guid)
{
    static const GUID zero{};
    return std::memcmp(&guid, &zero, sizeof(GUID)) == 0;
}

std::string GuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

GUID NewGuid()
{
    static std::mt19937_64 random(0x5157'4650ULL);
    static std::mutex mu;
    std::lock_guard<std::mutex> lock(mu);
    GUID g;
    UINT64 a = random();
    UINT64 b = random();
    std::memcpy(&g, &a, 8);
    std::memcpy(reinterpret_cast<UINT8 *>(&g) + 8, &b, 8);
    return g;
}

bool Fail(const char *call, NTSTATUS *status) { return winsim::faults::ShouldFail(call, status); }

bool RequireIrqlAtMost(const char *call, KIRQL irql) { return winsim::kernel::RequireIrqlAtMost(call, irql); }

bool RequirePassive(const char *call) { return winsim::kernel::RequireIrqlExactly(call, PASSIVE_LEVEL); }

void Violation(const char *call, std::string message) { winsim::ReportViolation(call, std::move(message)); }

UINT32 CalloutIdForKeyLocked(Engine &e, const GUID &key)
{
    auto it = e.calloutIds.find(key);
    if (it != e.calloutIds.end()) {
        return it->second;
    }
    UINT32 id = e.nextCalloutId++;
    e.calloutIds.emplace(key, id);
    return id;
}

Callout *FindCalloutLocked(Engine &e, UINT32 id)
{
    auto it = e.callouts.find(id);
    return it == e.callouts.end() ? nullptr : it->second.get();
}

Callout *FindCalloutByKeyLocked(Engine &e, const GUID &key)
{
    auto it = e.calloutIds.find(key);
    return it == e.calloutIds.end() ? nullptr : FindCalloutLocked(e, it->second);
}

}  // namespace winsim::wfp::detail

using namespace winsim::wfp::detail;

namespace {

std::string Caller(const void *address) { return winsim::kernel::DescribeCodeAddress(address); }

}  // namespace

// ---- BFE state -------------------------------------------------------------------------

extern "C" FWPM_SERVICE_STATE NTAPI FwpmBfeStateGet0(void)
{
    RequireIrqlAtMost("FwpmBfeStateGet0", DISPATCH_LEVEL);
    Engine &e = GetEngine();
    FWPM_SERVICE_STATE state;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (e.subscriptions.empty()) {
            Violation("FwpmBfeStateGet0",
                      "called before FwpmBfeStateSubscribeChanges0: a callout driver must subscribe to BFE state "
                      "changes before it queries the state");
        }
        state = e.bfeState;
        hook = e.bfeStateQueryHook;
    }
    if (hook) {
        hook();
    }
    return state;
}

extern "C" NTSTATUS NTAPI FwpmBfeStateSubscribeChanges0(void *deviceObject,
                                                         FWPM_SERVICE_STATE_CHANGE_CALLBACK0 callback,
                                                         void *context, HANDLE *changeHandle)
{
    RequirePassive("FwpmBfeStateSubscribeChanges0");
    NTSTATUS status;
    if (Fail("FwpmBfeStateSubscribeChanges0", &status)) {
        return status;
    }
    if (deviceObject == nullptr || callback == nullptr || changeHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto subscription = std::make_shared<Subscription>();
    subscription->callback = callback;
    subscription->context = context;
    Subscription *key = subscription.get();
    Engine &e = GetEngine();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.subscriptions.emplace(key, std::move(subscription));
    }
    winsim::Track("bfe-subscription", key,
                  "BFE state-change subscription made by " + Caller(__builtin_return_address(0)));
    *changeHandle = key;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmBfeStateUnsubscribeChanges0(HANDLE changeHandle)
{
    RequirePassive("FwpmBfeStateUnsubscribeChanges0");
    NTSTATUS status;
    if (Fail("FwpmBfeStateUnsubscribeChanges0", &status)) {
        return status;
    }
    Engine &e = GetEngine();
    std::shared_ptr<Subscription> gone;
    {
        std::unique_lock<std::mutex> lock(e.mu);
        if (tlsBfeCallbacks != 0) {
            Violation("FwpmBfeStateUnsubscribeChanges0",
                      "called from a BFE state-change callback; on Windows this deadlocks");
            return STATUS_UNSUCCESSFUL;
        }
        auto it = e.subscriptions.find(static_cast<Subscription *>(changeHandle));
        if (it == e.subscriptions.end()) {
            Violation("FwpmBfeStateUnsubscribeChanges0", "unknown change handle");
            return STATUS_INVALID_HANDLE;
        }
        gone = it->second;
        gone->removed = true;
        e.subscriptions.erase(it);
        // As on Windows: a callback of this subscription running on another thread ends first.
        e.bfeCallbackDone.wait(lock, [&] { return gone->activeCalls == 0; });
    }
    winsim::Untrack("bfe-subscription", gone.get());
    return STATUS_SUCCESS;
}

// ---- kernel-mode sessions --------------------------------------------------------------

namespace winsim::wfp::detail {

// Shared by both flavours of FwpmEngineOpen0: validates and opens; the caller maps the
// status to its own return convention.
NTSTATUS OpenSession(const WCHAR *serverName, UINT32 authnService, const FWPM_SESSION0 *session,
                     HANDLE *engineHandle, bool kernelMode, const void *caller)
{
    if (engineHandle == nullptr || serverName != nullptr ||
        (authnService != RPC_C_AUTHN_WINNT && authnService != (UINT32)RPC_C_AUTHN_DEFAULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    Engine &e = GetEngine();
    auto s = std::make_unique<Session>();
    Session *key = s.get();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        if (e.bfeState != FWPM_SERVICE_RUNNING) {
            return RPC_NT_SERVER_UNAVAILABLE;
        }
        s->id = e.nextSessionId++;
        s->kernelMode = kernelMode;
        s->dynamic = session != nullptr && (session->flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
        e.sessions.emplace(key, std::move(s));
    }
    // A service's session is its process's, not a driver's: kept apart from the unload report.
    winsim::Track(kernelMode ? "wfp-engine-session" : "user-wfp-engine-session", key,
                  std::string(kernelMode ? "kernel-mode" : "user-mode") + " management session opened by " +
                      Caller(caller));
    *engineHandle = key;
    return STATUS_SUCCESS;
}

void DeleteSessionObjects(std::uint64_t sessionId);

NTSTATUS CloseSession(HANDLE engineHandle)
{
    Engine &e = GetEngine();
    std::unique_ptr<Session> gone;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = e.sessions.find(static_cast<Session *>(engineHandle));
        if (it == e.sessions.end()) {
            return STATUS_INVALID_HANDLE;
        }
        gone = std::move(it->second);
        e.sessions.erase(it);
    }
    winsim::Untrack(gone->kernelMode ? "wfp-engine-session" : "user-wfp-engine-session", gone.get());
    if (gone->dynamic && !gone->aborted) {
        DeleteSessionObjects(gone->id);
    }
    return STATUS_SUCCESS;
}

void CloseAllSessionsForReset()
{
    Engine &e = GetEngine();
    std::vector<Session *> all;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        for (auto &entry : e.sessions) {
            all.push_back(entry.first);
        }
    }
    for (Session *s : all) {
        CloseSession(s);
    }
}

}  // namespace winsim::wfp::detail

extern "C" NTSTATUS NTAPI FwpmEngineOpen0(const WCHAR *serverName, UINT32 authnService,
                                           SEC_WINNT_AUTH_IDENTITY_W *authIdentity, const FWPM_SESSION0 *session,
                                           HANDLE *engineHandle)
{
    (void)authIdentity;
    RequirePassive("FwpmEngineOpen0");
    NTSTATUS status;
    if (Fail("FwpmEngineOpen0", &status)) {
        return status;
    }
    return OpenSession(serverName, authnService, session, engineHandle, true, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI FwpmEngineClose0(HANDLE engineHandle)
{
    RequirePassive("FwpmEngineClose0");
    NTSTATUS status;
    if (Fail("FwpmEngineClose0", &status)) {
        return status;
    }
    status = CloseSession(engineHandle);
    if (status == STATUS_INVALID_HANDLE) {
        Violation("FwpmEngineClose0", "not an open engine handle");
    }
    return status;
}

// ---- redirect handles ------------------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpsRedirectHandleCreate0(const GUID *providerGuid, UINT32 flags, HANDLE *redirectHandle)
{
    RequirePassive("FwpsRedirectHandleCreate0");
    NTSTATUS status;
    if (Fail("FwpsRedirectHandleCreate0", &status)) {
        return status;
    }
    if (providerGuid == nullptr || redirectHandle == nullptr || flags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto handle = std::make_unique<RedirectHandle>();
    RedirectHandle *key = handle.get();
    handle->provider = *providerGuid;
    Engine &e = GetEngine();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        handle->id = e.nextRedirectHandleId++;
        e.redirectHandles.emplace(key, std::move(handle));
    }
    winsim::Track("redirect-handle", key,
                  "redirect handle for provider " + GuidText(*providerGuid) + " created by " +
                      Caller(__builtin_return_address(0)));
    *redirectHandle = key;
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsRedirectHandleDestroy0(HANDLE redirectHandle)
{
    RequirePassive("FwpsRedirectHandleDestroy0");
    Engine &e = GetEngine();
    std::unique_ptr<RedirectHandle> gone;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = e.redirectHandles.find(static_cast<RedirectHandle *>(redirectHandle));
        if (it == e.redirectHandles.end()) {
            Violation("FwpsRedirectHandleDestroy0", "not a live redirect handle");
            return;
        }
        gone = std::move(it->second);
        e.redirectHandles.erase(it);
    }
    winsim::Untrack("redirect-handle", gone.get());
}

// ---- control surface -------------------------------------------------------------------

namespace winsim::wfp {

void SetBfeState(FWPM_SERVICE_STATE state)
{
    Engine &e = GetEngine();
    std::vector<std::shared_ptr<Subscription>> targets;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.bfeState = state;
        if (state == FWPM_SERVICE_STOPPED) {
            for (auto &entry : e.sessions) {
                entry.second->aborted = true;
            }
        }
        for (auto &entry : e.subscriptions) {
            targets.push_back(entry.second);
        }
    }
    if (state == FWPM_SERVICE_STOPPED) {
        DeleteNonPersistentObjects(false);
    }
    for (const std::shared_ptr<Subscription> &s : targets) {
        {
            std::lock_guard<std::mutex> lock(e.mu);
            if (s->removed) {
                continue;  // unsubscribed meanwhile: never called after its unsubscription returned
            }
            s->activeCalls++;
        }
        tlsBfeCallbacks++;
        s->callback(s->context, state);
        tlsBfeCallbacks--;
        std::lock_guard<std::mutex> lock(e.mu);
        s->activeCalls--;
        e.bfeCallbackDone.notify_all();
    }
}

void StartBfe()
{
    SetBfeState(FWPM_SERVICE_START_PENDING);
    SetBfeState(FWPM_SERVICE_RUNNING);
}

void StopBfe()
{
    SetBfeState(FWPM_SERVICE_STOP_PENDING);
    SetBfeState(FWPM_SERVICE_STOPPED);
}

void SetBfeStateQueryHook(std::function<void()> hook)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    e.bfeStateQueryHook = std::move(hook);
}

FWPM_SERVICE_STATE BfeState()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.bfeState;
}

std::size_t BfeSubscriptionCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.subscriptions.size();
}

std::size_t OpenSessionCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.sessions.size();
}

std::size_t OpenKernelSessionCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::size_t n = 0;
    for (auto &entry : e.sessions) {
        n += entry.second->kernelMode ? 1 : 0;
    }
    return n;
}

namespace {

RegisteredCallout Describe(const Callout &c)
{
    return RegisteredCallout{c.key, c.id, c.version, c.flags, c.unregistering, c.flowContexts, c.unregisterRunning};
}

}  // namespace

std::vector<RegisteredCallout> RegisteredCallouts()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::vector<RegisteredCallout> out;
    for (auto &entry : e.callouts) {
        out.push_back(Describe(*entry.second));
    }
    return out;
}

std::optional<RegisteredCallout> FindRegisteredCallout(const GUID &key)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Callout *c = FindCalloutByKeyLocked(e, key);
    if (c == nullptr) {
        return std::nullopt;
    }
    return Describe(*c);
}

std::size_t FilterCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.filters.size();
}

std::size_t ProviderContextCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.providerContexts.size();
}

std::size_t ManagementCalloutCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.managementCallouts.size();
}

std::size_t RedirectHandleCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.redirectHandles.size();
}

std::size_t FlowContextCount()
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::size_t n = 0;
    for (auto &entry : e.flows) {
        n += entry.second->contexts.size() + entry.second->deferred.size();
    }
    return n;
}

}  // namespace winsim::wfp
