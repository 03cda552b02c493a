/*
 * etw_provider.cpp (winsim WPP)
 *
 * ETW's classic-provider registration and the trace sessions that enable providers. A
 * registration is tracked as a held item, so an unload that leaves the provider
 * registered (a missing WPP_CLEANUP) shows in the verifier's leak report. Enable and
 * disable callbacks run under the registry's lock, so none runs after EtwUnregister
 * has returned.
 */
#include <ntddk.h>
#include <evntrace.h>

#include <winsim/trace_session.h>
#include <winsim/verifier.h>

#include "wpp_internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

namespace winsim {

struct TraceSession::State {
    GUID provider{};
    USHORT loggerId = 0;
    std::uint32_t flags = 0;
    std::uint8_t level = 0;
    bool enabled = false;
    mutable std::mutex recordsLock;
    std::vector<TraceRecord> records;
};

namespace {

struct Registration {
    GUID provider;
    PETW_CLASSIC_CALLBACK callback;
    PVOID context;
    bool background;  // WINSIM_TRACE=all when it registered: the background session hears it
};

// The background session's logger id; the ids of TraceSessions never reach it.
constexpr USHORT kBackgroundLoggerId = 0xFFFF;

bool BackgroundWanted()
{
    const char *setting = std::getenv("WINSIM_TRACE");
    return setting != nullptr && std::string(setting) == "all";
}

const TraceSession::State &BackgroundSession()
{
    static TraceSession::State *background = [] {
        TraceSession::State *state = new TraceSession::State();
        state->loggerId = kBackgroundLoggerId;
        state->flags = 0xFFFFFFFFu;
        state->level = 0xFF;
        state->enabled = true;
        return state;
    }();
    return *background;
}

struct Registry {
    std::recursive_mutex lock;
    std::map<REGHANDLE, Registration> providers;
    std::map<USHORT, std::shared_ptr<TraceSession::State>> sessions;  // by logger id
    REGHANDLE nextHandle = 1;
    USHORT nextLoggerId = 1;
};

Registry &TheRegistry()
{
    static Registry *registry = new Registry();
    return *registry;
}

std::shared_ptr<TraceSession::State> SessionFor(Registry &registry, const GUID &provider)
{
    for (auto &entry : registry.sessions) {
        if (entry.second->provider == provider) {
            return entry.second;
        }
    }
    return nullptr;
}

// Tells one registration what its session wants; called with the registry locked.
void Notify(const Registration &registration, const TraceSession::State *session)
{
    if (session != nullptr && session->enabled) {
        TRACE_ENABLE_CONTEXT context{};
        context.LoggerId = session->loggerId;
        context.Level = session->level;
        context.EnableFlags = session->flags;
        registration.callback(&registration.provider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, &context,
                              registration.context);
    } else {
        registration.callback(&registration.provider, EVENT_CONTROL_CODE_DISABLE_PROVIDER, nullptr,
                              registration.context);
    }
}

void NotifyProviders(Registry &registry, const TraceSession::State &session)
{
    for (auto &entry : registry.providers) {
        if (entry.second.provider == session.provider) {
            Notify(entry.second, &session);
        }
    }
}

// After a session ended: its providers go back to the background session, or off.
void ReleaseProviders(Registry &registry, const TraceSession::State &session)
{
    for (auto &entry : registry.providers) {
        if (entry.second.provider == session.provider) {
            Notify(entry.second, entry.second.background ? &BackgroundSession() : nullptr);
        }
    }
}

}  // namespace

TraceSession::TraceSession(const GUID &provider, std::uint32_t flags, std::uint8_t level)
    : state_(std::make_shared<State>())
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    if (SessionFor(registry, provider) != nullptr) {
        throw std::logic_error("a classic provider can be enabled by one trace session at a time");
    }
    state_->provider = provider;
    state_->loggerId = registry.nextLoggerId++;
    if (registry.nextLoggerId == kBackgroundLoggerId) {
        registry.nextLoggerId = 1;
    }
    state_->flags = flags;
    state_->level = level;
    state_->enabled = true;
    registry.sessions[state_->loggerId] = state_;
    NotifyProviders(registry, *state_);
}

TraceSession::~TraceSession()
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    state_->enabled = false;
    registry.sessions.erase(state_->loggerId);
    ReleaseProviders(registry, *state_);
}

void TraceSession::Enable(std::uint32_t flags, std::uint8_t level)
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    state_->flags = flags;
    state_->level = level;
    state_->enabled = true;
    NotifyProviders(registry, *state_);
}

void TraceSession::Disable()
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    state_->enabled = false;
    NotifyProviders(registry, *state_);
}

std::vector<TraceRecord> TraceSession::Records() const
{
    std::lock_guard<std::mutex> guard(state_->recordsLock);
    return state_->records;
}

void TraceSession::Clear()
{
    std::lock_guard<std::mutex> guard(state_->recordsLock);
    state_->records.clear();
}

std::vector<TraceRecord> TraceSession::TakeRecords()
{
    std::vector<TraceRecord> taken;
    std::lock_guard<std::mutex> guard(state_->recordsLock);
    taken.swap(state_->records);
    return taken;
}

bool BackgroundTracingOn() { return BackgroundWanted(); }

std::vector<TraceRecord> TraceSession::Matching(const std::string &text) const
{
    std::vector<TraceRecord> matching;
    for (TraceRecord &record : Records()) {
        if (record.message.find(text) != std::string::npos) {
            matching.push_back(std::move(record));
        }
    }
    return matching;
}

bool IsTraceProviderRegistered(const GUID &provider)
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    for (auto &entry : registry.providers) {
        if (entry.second.provider == provider) {
            return true;
        }
    }
    return false;
}

std::size_t RegisteredTraceProviders()
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    return registry.providers.size();
}

namespace wpp {

void RecordTracePoint(TRACEHANDLE logger, TraceRecord record)
{
    const USHORT loggerId = static_cast<USHORT>(logger & 0xFFFF);
    std::shared_ptr<TraceSession::State> session;
    if (loggerId == kBackgroundLoggerId) {
        return;  // rendered, and nobody reads it
    }
    {
        Registry &registry = TheRegistry();
        std::lock_guard<std::recursive_mutex> guard(registry.lock);
        auto found = registry.sessions.find(loggerId);
        if (found == registry.sessions.end()) {
            return;  // the session ended while the point was being written
        }
        session = found->second;
    }
    std::lock_guard<std::mutex> guard(session->recordsLock);
    session->records.push_back(std::move(record));
}

std::string GuidText(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace wpp
}  // namespace winsim

using winsim::TheRegistry;

EXTERN_C NTSTATUS NTAPI EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                                  PETW_CLASSIC_CALLBACK EnableCallback, PVOID CallbackContext,
                                                  PREGHANDLE RegHandle)
{
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(Type);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        winsim::ReportViolation("EtwRegisterClassicProvider",
                                "called at IRQL " + std::to_string(KeGetCurrentIrql()) + ", above PASSIVE_LEVEL");
    }
    if (RegHandle == nullptr || ProviderGuid == nullptr || EnableCallback == nullptr) {
        winsim::ReportViolation("EtwRegisterClassicProvider", "null provider GUID, callback or handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *RegHandle = 0;
    if (winsim::faults::ShouldFail("EtwRegisterClassicProvider", &status)) {
        return status;
    }

    winsim::Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    const REGHANDLE handle = registry.nextHandle++;
    winsim::Registration registration{*ProviderGuid, EnableCallback, CallbackContext, winsim::BackgroundWanted()};
    registry.providers[handle] = registration;
    winsim::Track("etw-provider", reinterpret_cast<const void *>(static_cast<ULONG_PTR>(handle)),
                  "ETW provider " + winsim::wpp::GuidText(*ProviderGuid) +
                      " registered by EtwRegisterClassicProvider and never unregistered (missing WPP_CLEANUP)");
    *RegHandle = handle;
    auto session = winsim::SessionFor(registry, *ProviderGuid);
    if (session != nullptr && session->enabled) {
        winsim::Notify(registration, session.get());
    } else if (session == nullptr && registration.background) {
        winsim::Notify(registration, &winsim::BackgroundSession());
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle)
{
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        winsim::ReportViolation("EtwUnregister",
                                "called at IRQL " + std::to_string(KeGetCurrentIrql()) + ", above PASSIVE_LEVEL");
    }
    winsim::Registry &registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.lock);
    auto found = registry.providers.find(RegHandle);
    if (found == registry.providers.end()) {
        winsim::ReportViolation("EtwUnregister", "handle " + std::to_string(RegHandle) + " is not registered");
        return STATUS_INVALID_HANDLE;
    }
    registry.providers.erase(found);
    winsim::Untrack("etw-provider", reinterpret_cast<const void *>(static_cast<ULONG_PTR>(RegHandle)));
    return STATUS_SUCCESS;
}
