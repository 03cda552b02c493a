/*
 * wfp_test_support.cpp
 *
 * The scriptable test callout (callbacks dispatched by run-time callout id), the user-mode
 * service helpers and the fixture of the WFP stand-in's tests.
 */
#include "wfp_test_support.h"

#include <map>
#include <mutex>

namespace wfptest {

namespace {

std::mutex registryMutex;
std::map<UINT32, TestCallout *> registry;

TestCallout *Lookup(UINT32 id)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find(id);
    return it == registry.end() ? nullptr : it->second;
}

void NTAPI Classify(const FWPS_INCOMING_VALUES0 *fixed, const FWPS_INCOMING_METADATA_VALUES0 *meta, void *layerData,
                    const void *classifyContext, const FWPS_FILTER1 *filter, UINT64 flowContext,
                    FWPS_CLASSIFY_OUT0 *out)
{
    (void)layerData;
    TestCallout *c = Lookup(filter->action.calloutId);
    ASSERT_NE(c, nullptr);
    c->classifyCalls++;
    if (c->classify) {
        c->classify(fixed, meta, classifyContext, filter, flowContext, out);
    } else if ((out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
        out->actionType = FWP_ACTION_CONTINUE;
    }
}

NTSTATUS NTAPI Notify(FWPS_CALLOUT_NOTIFY_TYPE type, const GUID *filterKey, FWPS_FILTER1 *filter)
{
    TestCallout *c = Lookup(filter->action.calloutId);
    if (c == nullptr) {
        return STATUS_SUCCESS;
    }
    c->notifications.push_back(type);
    return c->notify ? c->notify(type, filterKey, filter) : STATUS_SUCCESS;
}

void NTAPI FlowDelete(UINT16 layerId, UINT32 calloutId, UINT64 flowContext)
{
    TestCallout *c = Lookup(calloutId);
    if (c != nullptr && c->flowDelete) {
        c->flowDelete(layerId, calloutId, flowContext);
    }
}

}  // namespace

TestCallout::~TestCallout()
{
    if (registered_) {
        Unregister();
    }
}

NTSTATUS TestCallout::Register(bool withFlowDelete, UINT32 flags)
{
    FWPS_CALLOUT1 callout = {};
    callout.calloutKey = key_;
    callout.flags = flags;
    callout.classifyFn = Classify;
    callout.notifyFn = Notify;
    callout.flowDeleteFn = withFlowDelete ? FlowDelete : nullptr;
    NTSTATUS status = FwpsCalloutRegister1(WfpTest::Device(), &callout, &id_);
    if (NT_SUCCESS(status)) {
        registered_ = true;
        std::lock_guard<std::mutex> lock(registryMutex);
        registry[id_] = this;
    }
    return status;
}

NTSTATUS TestCallout::Unregister()
{
    NTSTATUS status = FwpsCalloutUnregisterByKey0(&key_);
    if (status == STATUS_SUCCESS) {
        registered_ = false;
        std::lock_guard<std::mutex> lock(registryMutex);
        registry.erase(id_);
    }
    return status;
}

Service::Service()
{
    FWPM_SESSION0 session = {};
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine_), (DWORD)ERROR_SUCCESS);
}

Service::~Service()
{
    if (engine_ != nullptr) {
        FwpmEngineClose0(engine_);
    }
}

namespace {

WCHAR *Name()
{
    static WCHAR name[] = u"winsim test";
    return name;
}

}  // namespace

void Service::AddCallout(const GUID &key, const GUID &layer)
{
    FWPM_CALLOUT0 callout = {};
    callout.calloutKey = key;
    callout.displayData.name = Name();
    callout.applicableLayer = layer;
    ASSERT_EQ(FwpmCalloutAdd0(engine_, &callout, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
}

GUID Service::AddProviderContext(const std::vector<UINT8> &data)
{
    std::vector<UINT8> copy = data;
    FWP_BYTE_BLOB blob = {static_cast<UINT32>(copy.size()), copy.data()};
    FWPM_PROVIDER_CONTEXT1 context = {};
    context.providerContextKey = MakeGuid(0x7000 + static_cast<UINT32>(winsim::wfp::ProviderContextCount()));
    context.displayData.name = Name();
    context.type = FWPM_GENERAL_CONTEXT;
    context.dataBuffer = &blob;
    EXPECT_EQ(FwpmProviderContextAdd1(engine_, &context, nullptr, nullptr), (DWORD)ERROR_SUCCESS);
    return context.providerContextKey;
}

void Service::AddSubLayer(const GUID &key, UINT16 weight)
{
    FWPM_SUBLAYER0 subLayer = {};
    subLayer.subLayerKey = key;
    subLayer.displayData.name = Name();
    subLayer.weight = weight;
    ASSERT_EQ(FwpmSubLayerAdd0(engine_, &subLayer, nullptr), (DWORD)ERROR_SUCCESS);
}

DWORD Service::TryAddFilter(const FilterSpec &filter, UINT64 *id)
{
    FWPM_FILTER0 added = {};
    added.displayData.name = Name();
    added.layerKey = filter.layer;
    added.subLayerKey = filter.subLayer;
    UINT64 weight = filter.weight.value_or(0);
    if (filter.weight) {
        added.weight.type = FWP_UINT64;
        added.weight.uint64 = &weight;
    }
    added.action.type = filter.action;
    added.action.calloutKey = filter.calloutKey;
    added.flags = filter.flags;
    if (filter.providerContext) {
        added.flags |= FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT;
        added.providerContextKey = *filter.providerContext;
    }
    std::vector<FWPM_FILTER_CONDITION0> conditions;
    // An equality condition on `field`; the caller fills in the value of the type given.
    auto addEqual = [&conditions](const GUID &field, FWP_DATA_TYPE type) -> FWP_CONDITION_VALUE0 & {
        FWPM_FILTER_CONDITION0 c = {};
        c.fieldKey = field;
        c.matchType = FWP_MATCH_EQUAL;
        c.conditionValue.type = type;
        conditions.push_back(c);
        return conditions.back().conditionValue;
    };
    if (filter.protocol) {
        addEqual(FWPM_CONDITION_IP_PROTOCOL, FWP_UINT8).uint8 = *filter.protocol;
    }
    if (filter.remotePort) {
        addEqual(FWPM_CONDITION_IP_REMOTE_PORT, FWP_UINT16).uint16 = *filter.remotePort;
    }
    added.numFilterConditions = static_cast<UINT32>(conditions.size());
    added.filterCondition = conditions.empty() ? nullptr : conditions.data();
    return FwpmFilterAdd0(engine_, &added, nullptr, id);
}

UINT64 Service::AddFilter(const FilterSpec &filter)
{
    UINT64 id = 0;
    EXPECT_EQ(TryAddFilter(filter, &id), (DWORD)ERROR_SUCCESS);
    return id;
}

UINT64 Service::AddCalloutAndFilter(const FilterSpec &filter)
{
    AddCallout(filter.calloutKey, filter.layer);
    return AddFilter(filter);
}

FilterSpec CalloutFilter(const GUID &layer, const GUID &calloutKey, FWP_ACTION_TYPE action)
{
    FilterSpec filter;
    filter.layer = layer;
    filter.action = action;
    filter.calloutKey = calloutKey;
    return filter;
}

GUID MakeGuid(UINT32 n)
{
    GUID g = {0x5157a000u + n, 0x1234, 0x4321, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
    return g;
}

void WfpTest::SetUp() {}

void WfpTest::TearDown() { winsim::wfp::Reset(); }

void *WfpTest::Device()
{
    static int device;
    return &device;
}

ConnectRequest PlainRequest()
{
    ConnectRequest r;
    r.processId = 1000;
    r.remote = Endpoint::Parse("198.51.100.1:443");
    return r;
}

std::u16string AppPath(const char *name)
{
    std::u16string path = u"\\device\\harddiskvolume1\\program files\\";
    for (const char *p = name; *p != 0; ++p) {
        path.push_back(static_cast<char16_t>(*p));
    }
    return path;
}

}  // namespace wfptest
