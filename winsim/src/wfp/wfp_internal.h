/*
 * wfp_internal.h (winsim WFP, internal)
 *
 * The state of the stood-in filtering platform shared by its parts: the filter engine's
 * management objects, registered callouts, flows with their contexts, classify handles,
 * pended operations, redirect handles and the BFE. One mutex guards it all; it is never
 * held while a driver callback (classifyFn, notifyFn, flowDeleteFn, BFE callback) runs.
 */
#pragma once

#include <ntddk.h>
#include <ndis.h>
#include <fwpsk.h>
#include <fwpmtypes.h>
#include <fwpmguids.h>

#include <winsim/verifier.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winsim::wfp::detail {

struct GuidLess {
    bool operator()(const GUID &a, const GUID &b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

bool IsNullGuid(const GUID &guid);
std::string GuidText(const GUID &guid);
GUID NewGuid();

// ---- management objects ----------------------------------------------------------------

struct ManagedObject {
    GUID providerKey{};            // owning provider when hasProvider
    bool hasProvider = false;
    bool persistent = false;       // survives a BFE stop
    std::uint64_t sessionId = 0;   // dynamic session that deletes it on close; 0 if none
    std::uint64_t transactionId = 0;  // open transaction that added it; 0 once committed
};

struct Provider : ManagedObject {
    GUID key{};
};

struct SubLayer : ManagedObject {
    GUID key{};
    UINT16 weight = 0;
    bool builtin = false;
};

struct ManagementCallout : ManagedObject {
    GUID key{};
    GUID applicableLayer{};
    UINT16 layerId = 0;
    UINT32 id = 0;
};

struct ProviderContext : ManagedObject {
    GUID key{};
    UINT64 id = 0;
    std::u16string name;
    std::vector<UINT8> data;           // the dataBuffer bytes
    FWP_BYTE_BLOB blob{};              // points into data
    FWPM_PROVIDER_CONTEXT2 context{};  // what FWPS_FILTER*.providerContext points at
};

// A deep copy of one condition value with the storage its pointers refer to.
struct OwnedConditionValue {
    FWP_CONDITION_VALUE0 value{};
    UINT64 u64 = 0;
    INT64 i64 = 0;
    double d = 0;
    FWP_BYTE_ARRAY16 array16{};
    FWP_BYTE_ARRAY6 array6{};
    std::vector<UINT8> bytes;
    FWP_BYTE_BLOB blob{};
    FWP_V4_ADDR_AND_MASK v4{};
    FWP_V6_ADDR_AND_MASK v6{};
    FWP_RANGE0 range{};
    std::unique_ptr<OwnedConditionValue> low;
    std::unique_ptr<OwnedConditionValue> high;
};

struct FilterCondition {
    UINT16 fieldId = 0;
    FWP_MATCH_TYPE matchType = FWP_MATCH_EQUAL;
    std::unique_ptr<OwnedConditionValue> value;
};

struct Filter : ManagedObject {
    GUID key{};
    UINT64 id = 0;
    UINT16 layerId = 0;
    GUID subLayerKey{};
    UINT16 subLayerWeight = 0;
    UINT64 weight = 0;
    UINT32 managementFlags = 0;
    FWP_ACTION_TYPE action = FWP_ACTION_BLOCK;
    GUID calloutKey{};
    std::shared_ptr<ProviderContext> providerContext;
    std::vector<FilterCondition> conditions;
    std::vector<FWPS_FILTER_CONDITION0> runtimeConditions;
    FWPS_FILTER2 runtime{};  // the run-time filter handed to callouts (all versions alike)
    bool postCommitPending = false;
};

// ---- callouts --------------------------------------------------------------------------

struct Callout {
    GUID key{};
    UINT32 id = 0;
    int version = 0;
    UINT32 flags = 0;
    void *deviceObject = nullptr;
    FWPS_CALLOUT_CLASSIFY_FN0 classify0 = nullptr;
    FWPS_CALLOUT_CLASSIFY_FN1 classify1 = nullptr;
    FWPS_CALLOUT_CLASSIFY_FN2 classify2 = nullptr;
    FWPS_CALLOUT_NOTIFY_FN0 notify0 = nullptr;
    FWPS_CALLOUT_NOTIFY_FN1 notify1 = nullptr;
    FWPS_CALLOUT_NOTIFY_FN2 notify2 = nullptr;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDelete = nullptr;
    PDRIVER_OBJECT driverObject = nullptr;  // owner of deviceObject: the driver the callout calls into
    bool unregistering = false;   // refused with STATUS_DEVICE_BUSY; inactive until unregistered again
    bool unregisterRunning = false;  // an unregistration is waiting for the callout's calls to end
    bool driverGone = false;      // its driver unloaded while it was registered: never called again
    int activeCalls = 0;          // classifyFn/notifyFn calls running now
    std::size_t flowContexts = 0; // contexts associated under this callout
};

// ---- flows -----------------------------------------------------------------------------

struct FlowKey {
    UINT16 layerId;
    UINT32 calloutId;
    bool operator<(const FlowKey &o) const
    {
        return layerId != o.layerId ? layerId < o.layerId : calloutId < o.calloutId;
    }
};

struct FlowContextEntry {
    UINT64 context = 0;
    std::shared_ptr<UINT8> token;  // identity of the association for the verifier
};

struct PendingFlowDelete {
    FlowKey key;
    FlowContextEntry entry;
};

struct Flow {
    UINT64 id = 0;
    std::map<FlowKey, FlowContextEntry> contexts;
    int activeClassifies = 0;                  // classifies of this flow running now
    std::vector<PendingFlowDelete> deferred;   // removed while a classify ran; called after it
    bool ended = false;
};

// ---- redirect handles and records ------------------------------------------------------

struct RedirectHandle {
    UINT64 id = 0;
    GUID provider{};
};

struct RedirectRecord {
    UINT64 redirectHandleId = 0;        // 0 when the redirecting callout set no redirect handle
    UINT32 targetProcessId = 0;         // localRedirectTargetPID
    SOCKADDR_STORAGE originalRemote{};  // destination the application asked for
    std::vector<UINT8> context;         // copy of localRedirectContext
};

struct RedirectRecords {
    std::vector<RedirectRecord> records;
};

std::vector<UINT8> SerializeRecords(const RedirectRecords &records);
bool ParseRecords(const UINT8 *data, std::size_t size, RedirectRecords *out);

// ---- the engine ------------------------------------------------------------------------

// FWPM_SERVICE_STATE_CHANGE_CALLBACK0 (fwpmk.h is kept out of the parts that implement
// the user-mode fwpmu.h calls, since both declare the management calls).
using BfeStateCallback = void(NTAPI *)(void *context, FWPM_SERVICE_STATE newState);

struct Subscription {
    BfeStateCallback callback = nullptr;
    void *context = nullptr;
    int activeCalls = 0;     // callbacks of this subscription running now
    bool removed = false;    // unsubscribed: never called again
};

struct Session {
    std::uint64_t id = 0;
    bool kernelMode = false;
    bool dynamic = false;
    bool aborted = false;          // BFE stopped while it was open
    std::uint64_t transactionId = 0;
};

class ClassifyHandleState;
struct ClassifyCall;

// What inMetaValues->completionHandle points at during an auth-connect classify.
struct OperationSite {
    bool inClassify = false;       // the classifyFn calls of the indication are running
    bool reauthorization = false;  // FwpsPendOperation0 refuses to pend a reauthorization
    // Called by FwpsPendOperation0; returns what FwpsCompleteOperation0 must call.
    std::function<std::function<void()>()> pend;
};

struct OperationState {
    std::function<void()> complete;
};

struct Engine {
    std::mutex mu;
    std::condition_variable calloutIdle;  // a callout's activeCalls reached 0

    FWPM_SERVICE_STATE bfeState = FWPM_SERVICE_RUNNING;
    std::map<Subscription *, std::shared_ptr<Subscription>> subscriptions;
    std::condition_variable bfeCallbackDone;  // a subscription's activeCalls went down
    std::function<void()> bfeStateQueryHook;  // a test's look into FwpmBfeStateGet0
    std::map<Session *, std::unique_ptr<Session>> sessions;
    std::uint64_t nextSessionId = 1;
    std::uint64_t nextTransactionId = 1;

    std::map<GUID, UINT32, GuidLess> calloutIds;  // key -> run-time id, shared by both sides
    UINT32 nextCalloutId = 300;
    std::map<UINT32, std::unique_ptr<Callout>> callouts;

    std::map<GUID, std::unique_ptr<Provider>, GuidLess> providers;
    std::map<GUID, std::unique_ptr<SubLayer>, GuidLess> subLayers;
    std::map<GUID, std::unique_ptr<ManagementCallout>, GuidLess> managementCallouts;
    std::map<GUID, std::shared_ptr<ProviderContext>, GuidLess> providerContexts;
    UINT64 nextProviderContextId = 1;
    std::map<UINT64, std::shared_ptr<Filter>> filters;
    UINT64 nextFilterId = 0x10000;
    UINT64 autoWeightSequence = 0;

    std::map<UINT64, std::shared_ptr<Flow>> flows;
    UINT64 nextFlowId = 0x1000;

    std::map<RedirectHandle *, std::unique_ptr<RedirectHandle>> redirectHandles;
    UINT64 nextRedirectHandleId = 1;
    std::set<const RedirectRecords *> liveRecords;

    std::set<ClassifyCall *> liveCalls;       // classifyContext values of running classifyFns
    std::set<OperationSite *> liveSites;      // completionHandle values of live auth-connect classifies
    std::map<UINT64, std::shared_ptr<ClassifyHandleState>> classifyHandles;
    UINT64 nextClassifyHandle = 0x2000;
    std::map<HANDLE, std::shared_ptr<OperationState>> operations;  // pended operations by context
};

Engine &GetEngine();

// Fault injection, IRQL checks and status helpers shared by the calls.
bool Fail(const char *call, NTSTATUS *status);
bool RequireIrqlAtMost(const char *call, KIRQL irql);
bool RequirePassive(const char *call);
void Violation(const char *call, std::string message);

UINT32 CalloutIdForKeyLocked(Engine &e, const GUID &key);
Callout *FindCalloutLocked(Engine &e, UINT32 id);
Callout *FindCalloutByKeyLocked(Engine &e, const GUID &key);

// Removes a context from a flow and calls its flowDeleteFn now (returns true) or, while a
// classify of the flow runs, after that classify (returns false). Takes and drops the lock.
bool RemoveFlowContext(Flow &flow, const FlowKey &key, bool fromFlowEnd);
// Calls the flowDeleteFns deferred on a flow once no classify of it runs any more.
void RunDeferredFlowDeletes(const std::shared_ptr<Flow> &flow);
// Ends a flow: every context is removed (flowDeleteFn called) and the flow forgotten.
void EndFlow(const std::shared_ptr<Flow> &flow);
std::shared_ptr<Flow> CreateFlow();

// Marks the callout's pending unregistration complete when its last context went.
void NoteFlowContextGoneLocked(Engine &e, UINT32 calloutId);
// classifyFn and notifyFn calls running on this thread (an unregistration from inside one
// would wait for itself).
extern thread_local int tlsCalloutCalls;

// Counts a classifyFn/notifyFn call into a callout in and out; lock held. Entering a
// callout whose driver has unloaded is a violation and gives nullptr (the call is not made).
Callout *EnterCalloutLocked(Engine &e, UINT32 calloutId);
void LeaveCalloutLocked(Engine &e, UINT32 calloutId);
// The driver-unload observer: callouts of that driver still registered are a violation
// and are never called again.
void NoteDriverUnloaded(PDRIVER_OBJECT driver);

// Sessions, shared by the kernel-mode and user-mode FwpmEngineOpen0/Close0.
NTSTATUS OpenSession(const WCHAR *serverName, UINT32 authnService, const FWPM_SESSION0 *session,
                     HANDLE *engineHandle, bool kernelMode, const void *caller);
NTSTATUS CloseSession(HANDLE engineHandle);
void DeleteSessionObjects(std::uint64_t sessionId);

// Management-side helpers used when BFE stops and by Reset.
void DeleteNonPersistentObjects(bool everything);
void CloseAllSessionsForReset();

// Filters of a layer, in evaluation order (sublayer weight, then filter weight).
std::vector<std::shared_ptr<Filter>> FiltersForLayer(UINT16 layerId);

// Calls the registered callout's notifyFn (no lock held); returns its status.
NTSTATUS NotifyCallout(UINT32 calloutId, FWPS_CALLOUT_NOTIFY_TYPE type, const GUID *filterKey,
                       Filter &filter);

}  // namespace winsim::wfp::detail
