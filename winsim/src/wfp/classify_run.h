/*
 * classify_run.h (winsim WFP, internal)
 *
 * One classification of one layer: the incoming values and metadata of the indication,
 * the matching filters in evaluation order, and the arbitration state carried from
 * filter to filter and sublayer to sublayer. A run stops when it is decided, when a
 * callout pends the classify (it resumes when the callout completes it), or when a callout
 * absorbs the indication. Also the classify handles and the connect request's version
 * chain that the writable-layer-data calls work on.
 */
#pragma once

#include "value_set.h"
#include "wfp_internal.h"

#include <optional>

namespace winsim::wfp::detail {

// The writable data of the connect-redirect layers: the request as the socket made it and
// every version a callout applied since, oldest first.
struct ConnectRequestChain {
    FWPS_CONNECT_REQUEST0 original{};
    std::deque<FWPS_CONNECT_REQUEST0> versions;
    // localRedirectContext memory WFP owns and frees at flow end. Guarded by the engine's
    // mutex: a pended classify's work item applies while the connection may be ending.
    std::set<void *> contexts;
    bool ended = false;          // the connection ended: a context applied now is freed at once
    std::set<UINT64> watchers;   // filters that applied with REAUTHORIZE_IF_MODIFIED_BY_OTHERS
    bool reauthorizeRequested = false;

    const FWPS_CONNECT_REQUEST0 &Current() const { return versions.empty() ? original : versions.back(); }
    FWPS_CONNECT_REQUEST0 *Acquire();
    // Applies a writable copy; reports misuse as violations. Frees `copy`.
    void Apply(FWPS_CONNECT_REQUEST0 *copy, UINT64 filterId, UINT32 flags, bool pended);
};

struct LayerRun;

// A classify handle: one per classifyFn call that acquired one.
class ClassifyHandleState {
public:
    UINT64 handle = 0;
    struct ClassifyCall *call = nullptr;  // the classifyFn call, while it runs
    LayerRun *run = nullptr;
    std::shared_ptr<void> keepAlive;      // keeps the run's owner alive while pended
    int driverReferences = 0;             // acquires not yet released
    bool pended = false;                  // FwpsPendClassify0 succeeded, not yet completed
    bool completed = false;
    UINT64 pendFilterId = 0;
    FWPS_CONNECT_REQUEST0 *writable = nullptr;  // acquired, not yet applied
    UINT64 writableFilterId = 0;                // the filterId given when it was acquired
    std::optional<FWPS_CLASSIFY_OUT0> completion;  // what FwpsCompleteClassify0 gave (nullopt: NULL)
    std::function<void(std::optional<FWPS_CLASSIFY_OUT0>)> onComplete;
    bool completionDelivered = false;
};

// What classifyContext points at while a classifyFn runs.
struct ClassifyCall {
    LayerRun *run = nullptr;
    Filter *filter = nullptr;
    std::shared_ptr<ClassifyHandleState> handle;
    bool pended = false;
};

enum class RunStop { Finished, PendedClassify, Absorbed };

struct LayerRun {
    UINT16 layerId = 0;
    std::unique_ptr<ValueSet> values;
    FWPS_INCOMING_METADATA_VALUES0 meta{};
    KIRQL irql = DISPATCH_LEVEL;
    std::shared_ptr<Flow> flow;            // where flow contexts come from; may be null
    ConnectRequestChain *chain = nullptr;  // connect-redirect layers only
    std::weak_ptr<void> owner;             // kept alive by a pended classify handle

    std::vector<std::shared_ptr<Filter>> order;
    std::size_t next = 0;
    GUID subLayer{};
    bool inSubLayer = false;
    bool subLayerDone = false;

    bool haveDecision = false;
    FWP_ACTION_TYPE decision = FWP_ACTION_NONE;
    bool writeRight = true;
    UINT64 decidingFilter = 0;
    bool absorbed = false;
    std::shared_ptr<ClassifyHandleState> pendedHandle;
    Filter *pendedFilter = nullptr;
    int calloutCalls = 0;

    FWP_ACTION_TYPE FinalAction() const { return haveDecision ? decision : FWP_ACTION_PERMIT; }
};

// Evaluates the run's filters from where it stopped.
RunStop RunLayer(LayerRun &run);

// Takes the completion of the pended classify as the pending callout's decision; the run
// then continues with RunLayer.
void MergeCompletedClassify(LayerRun &run, const FWPS_CLASSIFY_OUT0 &out);

// Sets what happens when the run's pended classify is completed; runs it at once when the
// driver already completed it.
void OnPendedClassifyCompleted(const std::shared_ptr<ClassifyHandleState> &handle,
                               std::function<void(std::optional<FWPS_CLASSIFY_OUT0>)> fn);

}  // namespace winsim::wfp::detail
