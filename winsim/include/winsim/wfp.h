/*
 * winsim/wfp.h
 *
 * The filtering platform as a test plays it: the Base Filtering Engine's service state,
 * a look at what callout drivers registered and what the engine holds, and the reset
 * between tests. The management objects themselves (providers, sublayers, callouts,
 * provider contexts, filters) are added through the user-mode fwpmu.h calls, as the
 * agent's service does; connections go through winsim/network.h. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntdef.h>
#include <fwpmtypes.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace winsim::wfp {

// Moves the BFE to `state` and calls every subscribed FWPM_SERVICE_STATE_CHANGE_CALLBACK0
// on this thread (PASSIVE_LEVEL), in subscription order. Reaching FWPM_SERVICE_STOPPED
// aborts every open management session and deletes every management object that is not
// persistent (filters first, with their callouts' DELETE_FILTER notifications).
// The BFE starts out running.
void SetBfeState(FWPM_SERVICE_STATE state);
// START_PENDING then RUNNING; STOP_PENDING then STOPPED.
void StartBfe();
void StopBfe();
FWPM_SERVICE_STATE BfeState();
std::size_t BfeSubscriptionCount();
// Runs on the caller's thread inside FwpmBfeStateGet0, after the state is read and before it
// is returned (a test makes the state change in that moment). Empty removes it; Reset too.
void SetBfeStateQueryHook(std::function<void()> hook);

// Open management sessions (kernel-mode and user-mode).
std::size_t OpenSessionCount();
std::size_t OpenKernelSessionCount();

// What callout drivers registered.
struct RegisteredCallout {
    GUID key;                  // the callout key
    std::uint32_t id;          // run-time id
    int version;               // 0, 1 or 2: which FwpsCalloutRegisterN registered it
    std::uint32_t flags;       // FWP_CALLOUT_FLAG_*
    bool unregistering;        // refused with STATUS_DEVICE_BUSY, waiting for its flow contexts
    std::size_t flowContexts;  // flow contexts associated under it
    bool unregisterWaiting;    // an unregistration waits for its classifyFn/notifyFn calls to end
};
std::vector<RegisteredCallout> RegisteredCallouts();
std::optional<RegisteredCallout> FindRegisteredCallout(const GUID &key);

// What the engine holds.
std::size_t FilterCount();
std::size_t ProviderContextCount();
std::size_t ManagementCalloutCount();
std::size_t RedirectHandleCount();
std::size_t FlowContextCount();
std::size_t PendedClassifyCount();
std::size_t PendedOperationCount();
std::size_t HeldClassifyHandleCount();

// Between tests: closes every connection and listener of the network (ending flows calls
// the flowDeleteFn of their remaining contexts), deletes every management object, closes
// every session and sets the BFE running. What a driver holds (callout registrations, BFE
// subscriptions, redirect handles, classify handles, pended classifies and operations) is
// left alone: that is the driver's to give back, and the verifier reports it.
void Reset();

}  // namespace winsim::wfp
