/*
 * management_internal.h (winsim WFP, internal)
 *
 * What the two halves of the user-mode management calls share: status conversion, the
 * session check, stamping an object with its session, transaction and provider, and
 * building a filter's run-time form.
 */
#pragma once

#include "filter_conditions.h"

namespace winsim::wfp::detail {

// NTSTATUS of an injected fault -> the Win32/FWP_E_* code fwpuclnt would return.
DWORD ToWin32(NTSTATUS status);
// True (with the error) when the call is to fail by fault injection.
bool FailUserMode(const char *call, DWORD *error);
// The calling session, if it is an open user-mode session of a running BFE; lock held.
DWORD CheckSessionLocked(Engine &e, HANDLE engineHandle, Session **session);
void Stamp(ManagedObject &o, const Session &s, bool persistent, const GUID *providerKey);
// Fills the filter's action and run-time form from what the service gave; lock held.
DWORD BuildFilterForAdd(const FWPM_FILTER0 &in, const LayerInfo &layer, Filter *f);

}  // namespace winsim::wfp::detail
