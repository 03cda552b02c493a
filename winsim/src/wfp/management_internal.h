/*
 * management_internal.h (winsim WFP, internal)
 *
 * What the two halves of the user-mode management calls share: status conversion, the
 * checks each call starts with, stamping an object with its session, transaction and
 * provider, building a filter's run-time form and telling its callout about it.
 */
#pragma once

#include "filter_conditions.h"

#include <fwpmu.h>

#include <algorithm>
#include <mutex>

namespace winsim::wfp::detail {

// NTSTATUS of an injected fault -> the Win32/FWP_E_* code fwpuclnt would return.
DWORD ToWin32(NTSTATUS status);
// True (with the error) when the call is to fail by fault injection.
bool FailUserMode(const char *call, DWORD *error);
// ERROR_SUCCESS when the call may go on: no fault injected into it and `required` not null.
DWORD EnterCall(const char *call, const void *required);
// The calling session, if it is an open user-mode session of a running BFE; lock held.
DWORD CheckSessionLocked(Engine &e, HANDLE engineHandle, Session **session);
// The session check, then the display name every added object carries; lock held.
DWORD CheckAddLocked(Engine &e, HANDLE engineHandle, const FWPM_DISPLAY_DATA0 &displayData, Session **session);
// FWP_E_PROVIDER_NOT_FOUND when the object names a provider that was never added; lock held.
DWORD CheckProviderLocked(Engine &e, const GUID *providerKey);
void Stamp(ManagedObject &o, const Session &s, bool persistent, const GUID *providerKey);
// Fills the filter's action and run-time form from what the service gave; lock held.
DWORD BuildFilterForAdd(const FWPM_FILTER0 &in, const LayerInfo &layer, Filter *f);
// Tells the callout of a committed callout filter, when the callout asked for post-commit
// notifications; lock not held.
void NotifyPostCommit(Filter &f);
// Tells the callout of a deleted callout filter; lock not held.
void NotifyFilterDeleted(Filter &f);

// Deletes the first of the engine's `objects` that `pick` chooses (`notFound` when none),
// unless `refusal(e, object)` names an error (FWP_E_IN_USE, FWP_E_BUILTIN_OBJECT, ...): that
// error is returned and the object stays. Takes the lock and checks the session.
template <typename Objects, typename Pick, typename Refusal>
DWORD DeleteObjectWhere(HANDLE engineHandle, Objects Engine::*objects, DWORD notFound, Pick pick, Refusal refusal)
{
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    Session *s;
    DWORD error = CheckSessionLocked(e, engineHandle, &s);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Objects &map = e.*objects;
    auto it = std::find_if(map.begin(), map.end(), [&pick](const auto &entry) { return pick(*entry.second); });
    if (it == map.end()) {
        return notFound;
    }
    if ((error = refusal(static_cast<const Engine &>(e), *it->second)) != ERROR_SUCCESS) {
        return error;
    }
    map.erase(it);
    return ERROR_SUCCESS;
}

}  // namespace winsim::wfp::detail
