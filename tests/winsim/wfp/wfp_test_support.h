/*
 * wfp_test_support.h
 *
 * What the WFP stand-in's tests share: a scriptable test callout (its classifyFn, notifyFn
 * and flowDeleteFn are std::functions a test sets), a user-mode service that adds the
 * management objects through fwpmu.h, and the fixture that leaves the engine clean.
 */
#pragma once

#include <ntddk.h>
#include <ndis.h>
#include <fwpsk.h>
#include <fwpmu.h>

#include <winsim/network.h>
#include <winsim/wfp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace wfptest {

using winsim::network::Connect;
using winsim::network::ConnectRequest;
using winsim::network::Endpoint;
using winsim::network::Outcome;

using ClassifyFn = std::function<void(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *,
                                      const void *classifyContext, const FWPS_FILTER1 *, UINT64 flowContext,
                                      FWPS_CLASSIFY_OUT0 *)>;
using NotifyFn = std::function<NTSTATUS(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *)>;
using FlowDeleteFn = std::function<void(UINT16 layerId, UINT32 calloutId, UINT64 flowContext)>;

// A callout registered with FwpsCalloutRegister1 whose callbacks a test scripts.
class TestCallout {
public:
    explicit TestCallout(const GUID &key) : key_(key) {}
    ~TestCallout();  // unregisters if still registered

    NTSTATUS Register(bool withFlowDelete = true, UINT32 flags = 0);
    NTSTATUS Unregister();
    const GUID &Key() const { return key_; }
    UINT32 Id() const { return id_; }

    ClassifyFn classify;     // default: FWP_ACTION_CONTINUE
    NotifyFn notify;         // default: STATUS_SUCCESS
    FlowDeleteFn flowDelete; // default: nothing
    std::atomic<int> classifyCalls{0};  // classifies may run on several threads
    std::vector<FWPS_CALLOUT_NOTIFY_TYPE> notifications;

private:
    GUID key_;
    UINT32 id_ = 0;
    bool registered_ = false;
};

// A filter as a test describes it.
struct FilterSpec {
    GUID layer{};
    FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;
    GUID calloutKey{};
    std::optional<UINT64> weight;  // FWP_EMPTY when absent
    GUID subLayer{};               // zero: the default sublayer
    std::optional<UINT8> protocol;
    std::optional<UINT16> remotePort;
    UINT32 flags = 0;
    std::optional<GUID> providerContext;
};

// A filter at `layer` whose action calls the callout `calloutKey`.
FilterSpec CalloutFilter(const GUID &layer, const GUID &calloutKey,
                         FWP_ACTION_TYPE action = FWP_ACTION_CALLOUT_TERMINATING);

// The agent's side of the engine: one user-mode session.
class Service {
public:
    Service();
    ~Service();
    HANDLE Engine() const { return engine_; }
    void AddCallout(const GUID &key, const GUID &layer);
    GUID AddProviderContext(const std::vector<UINT8> &data);
    void AddSubLayer(const GUID &key, UINT16 weight);
    UINT64 AddFilter(const FilterSpec &filter);
    DWORD TryAddFilter(const FilterSpec &filter, UINT64 *id);
    // Adds the management object of the filter's callout at the filter's layer, then the filter.
    UINT64 AddCalloutAndFilter(const FilterSpec &filter);

private:
    HANDLE engine_ = nullptr;
};

// Keys used across the tests.
GUID MakeGuid(UINT32 n);

// The fixture: resets the engine and the network after each test (members such as a
// Service are built before SetUp, so it does not reset first).
class WfpTest : public testing::Test {
public:
    // A device object pointer for FwpsCalloutRegister (winsim does not look inside it).
    static void *Device();

protected:
    void SetUp() override;
    void TearDown() override;
};

std::u16string AppPath(const char *name);

// The tests' ordinary connection: process 1000 connects over TCP to 198.51.100.1:443.
ConnectRequest PlainRequest();

}  // namespace wfptest
