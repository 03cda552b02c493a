/*
 * filters.cpp
 *
 * The service's connect-redirect objects in the filter engine.
 */
#include "filters.h"

#include <atomic>
#include <cstring>

namespace qvr::agent {

// {6F02977B-40DA-462E-9BE5-D86017BF42C1}
const GUID kConnectRedirectCalloutV4Key = {0x6f02977b, 0x40da, 0x462e, {0x9b, 0xe5, 0xd8, 0x60, 0x17, 0xbf, 0x42, 0xc1}};
// {5F9A8C4F-9184-42DD-A6FD-B833D340948C}
const GUID kConnectRedirectCalloutV6Key = {0x5f9a8c4f, 0x9184, 0x42dd, {0xa6, 0xfd, 0xb8, 0x33, 0xd3, 0x40, 0x94, 0x8c}};
const GUID kRedirectRecordsCalloutKeys[2] = {
    {0xc81fb91a, 0xdfc6, 0x4986, {0x90, 0x5a, 0xf2, 0xa1, 0xbf, 0x70, 0x88, 0x65}},
    {0x28ce63bf, 0xaf6a, 0x4f44, {0x80, 0x55, 0x44, 0xf4, 0x15, 0xd1, 0xa5, 0xc6}},
};
const GUID kBlockQuicCalloutKeys[2] = {
    {0x98b742d3, 0x1509, 0x4e79, {0x82, 0xfd, 0x4a, 0x8b, 0xc6, 0x67, 0x7a, 0x35}},
    {0x0ac25d50, 0x438f, 0x4ec7, {0xa9, 0x97, 0x5b, 0x44, 0xf9, 0x6f, 0x1d, 0xe2}},
};
const GUID kDiscardCalloutKeys[8] = {
    {0x278bdf1a, 0x3f99, 0x4fe6, {0x99, 0x8b, 0xd3, 0xe2, 0x15, 0x35, 0x55, 0x0f}},
    {0x177696f6, 0xa089, 0x49f8, {0xb5, 0x50, 0xbb, 0x9f, 0x11, 0x1e, 0x8b, 0x6b}},
    {0x0a41f5e2, 0x0acd, 0x49df, {0x91, 0xe6, 0x8b, 0xd0, 0x45, 0x2a, 0xc0, 0x5b}},
    {0x9f625434, 0xdfc5, 0x4581, {0xbb, 0x9a, 0xfe, 0xc3, 0xae, 0xfb, 0x05, 0x0a}},
    {0x8f3a0ea1, 0x9caf, 0x451e, {0x98, 0x67, 0x47, 0xe7, 0x84, 0xac, 0x10, 0x80}},
    {0x91a0b7c6, 0xc422, 0x4679, {0xbc, 0x7a, 0x2b, 0xa7, 0x49, 0x7b, 0xe2, 0x75}},
    {0xecfc60f9, 0x7934, 0x471e, {0x80, 0x6f, 0x20, 0x58, 0xc3, 0x4d, 0xca, 0x69}},
    {0xa812e51f, 0x27a6, 0x4480, {0xbe, 0x6a, 0x1e, 0x2c, 0x79, 0x12, 0x7f, 0x87}},
};
const GUID *const kDiscardCalloutLayers[8] = {
    &FWPM_LAYER_INBOUND_TRANSPORT_V4_DISCARD,  &FWPM_LAYER_INBOUND_TRANSPORT_V6_DISCARD,
    &FWPM_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD, &FWPM_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD,
    &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD, &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD,
    &FWPM_LAYER_ALE_AUTH_CONNECT_V4_DISCARD,   &FWPM_LAYER_ALE_AUTH_CONNECT_V6_DISCARD,
};
// {00300459-43CD-4607-968B-FEBF9E4BD4EF}
const GUID kAgentProviderKey = {0x00300459, 0x43cd, 0x4607, {0x96, 0x8b, 0xfe, 0xbf, 0x9e, 0x4b, 0xd4, 0xef}};

namespace {

// The agent's sublayer for its connect-redirect filters.
const GUID kRedirectSubLayerKey = {0x3c1d8a52, 0x7e04, 0x4b9f, {0x8d, 0x31, 0x52, 0x6a, 0x0e, 0x9b, 0x44, 0x17}};

// Provider-context keys: a fixed base, numbered per context.
GUID ProviderContextKey(std::uint32_t n)
{
    return GUID{0x9e3a7c00u + n, 0x51d2, 0x4c6e, {0xa0, 0x4b, 0x6d, 0x2f, 0x19, 0x83, 0xc5, 0x7e}};
}

std::atomic<std::uint32_t> contextCounter{0};

WCHAR *Text(const char16_t *text)
{
    return const_cast<WCHAR *>(reinterpret_cast<const WCHAR *>(text));
}

}  // namespace

std::vector<std::uint8_t> BuildRedirectTargetBlob(const RedirectTarget &target)
{
    std::vector<std::uint8_t> blob(10);
    const std::uint32_t ask = target.askAgentForPort ? 1 : 0;
    blob[0] = static_cast<std::uint8_t>(target.port);
    blob[1] = static_cast<std::uint8_t>(target.port >> 8);
    for (int i = 0; i < 4; ++i) {
        blob[2 + i] = static_cast<std::uint8_t>(target.processId >> (8 * i));
        blob[6 + i] = static_cast<std::uint8_t>(ask >> (8 * i));
    }
    return blob;
}

RedirectFilters::~RedirectFilters() { Close(); }

DWORD RedirectFilters::Open()
{
    Close();
    FWPM_SESSION0 session = {};
    session.displayData.name = Text(u"QVR Agent redirect filters");
    session.flags = FWPM_SESSION_FLAG_DYNAMIC;
    DWORD result = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine_);
    if (result != ERROR_SUCCESS) {
        engine_ = nullptr;
        return result;
    }

    FWPM_PROVIDER0 provider = {};
    provider.providerKey = kAgentProviderKey;
    provider.displayData.name = Text(u"QVR Agent");
    result = FwpmProviderAdd0(engine_, &provider, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }

    FWPM_SUBLAYER0 subLayer = {};
    subLayer.subLayerKey = kRedirectSubLayerKey;
    subLayer.displayData.name = Text(u"QVR Agent connect redirection");
    subLayer.providerKey = const_cast<GUID *>(&kAgentProviderKey);
    subLayer.weight = 0x8000;
    result = FwpmSubLayerAdd0(engine_, &subLayer, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }

    const struct {
        const GUID *key;
        const GUID *layer;
    } callouts[] = {
        {&kConnectRedirectCalloutV4Key, &FWPM_LAYER_ALE_CONNECT_REDIRECT_V4},
        {&kConnectRedirectCalloutV6Key, &FWPM_LAYER_ALE_CONNECT_REDIRECT_V6},
    };
    for (const auto &c : callouts) {
        result = AddCallout(*c.key, *c.layer);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    const GUID *authLayers[2] = {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, &FWPM_LAYER_ALE_AUTH_CONNECT_V6};
    for (int i = 0; i < 2 && result == ERROR_SUCCESS; ++i) {
        result = AddCallout(kRedirectRecordsCalloutKeys[i], *authLayers[i]);
        if (result == ERROR_SUCCESS) {
            result = AddCallout(kBlockQuicCalloutKeys[i], *authLayers[i]);
        }
    }
    for (int i = 0; i < 8 && result == ERROR_SUCCESS; ++i) {
        result = AddCallout(kDiscardCalloutKeys[i], *kDiscardCalloutLayers[i]);
    }
    return result;
}

DWORD RedirectFilters::AddCallout(const GUID &key, const GUID &layer)
{
    if (engine_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    FWPM_CALLOUT0 callout = {};
    callout.calloutKey = key;
    callout.displayData.name = Text(u"QVR Agent connect redirect");
    callout.providerKey = const_cast<GUID *>(&kAgentProviderKey);
    callout.applicableLayer = layer;
    return FwpmCalloutAdd0(engine_, &callout, nullptr, nullptr);
}

void RedirectFilters::Close()
{
    if (engine_ != nullptr) {
        FwpmEngineClose0(engine_);
        engine_ = nullptr;
    }
}

DWORD RedirectFilters::AddTarget(const RedirectTarget &target, const RedirectFilterOptions &options,
                                 std::vector<std::uint64_t> *filterIds)
{
    return AddRawBlob(BuildRedirectTargetBlob(target), options, filterIds);
}

DWORD RedirectFilters::AddRawBlob(const std::vector<std::uint8_t> &blob, const RedirectFilterOptions &options,
                                  std::vector<std::uint64_t> *filterIds)
{
    if (engine_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::uint8_t> data = blob;
    FWP_BYTE_BLOB buffer = {static_cast<UINT32>(data.size()), data.data()};
    FWPM_PROVIDER_CONTEXT1 context = {};
    context.providerContextKey = ProviderContextKey(contextCounter.fetch_add(1));
    context.displayData.name = Text(u"QVR Agent redirect target");
    context.providerKey = const_cast<GUID *>(&kAgentProviderKey);
    context.type = FWPM_GENERAL_CONTEXT;
    context.dataBuffer = &buffer;
    DWORD result = FwpmProviderContextAdd1(engine_, &context, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    std::uint64_t v4 = 0;
    std::uint64_t v6 = 0;
    result = AddFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, options.calloutV4.value_or(kConnectRedirectCalloutV4Key),
                       context.providerContextKey, options, &v4);
    if (result == ERROR_SUCCESS) {
        result = AddFilter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V6, options.calloutV6.value_or(kConnectRedirectCalloutV6Key),
                           context.providerContextKey, options, &v6);
    }
    if (result == ERROR_SUCCESS && options.holdForVerdict) {
        // At auth-connect a redirected connection already goes to the proxy: the port
        // condition of the connect-redirect filters would no longer match it.
        RedirectFilterOptions held = options;
        held.remotePort.reset();
        std::uint64_t ignored = 0;
        result = AddFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, kRedirectRecordsCalloutKeys[0], context.providerContextKey,
                           held, &ignored);
        if (result == ERROR_SUCCESS) {
            result = AddFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V6, kRedirectRecordsCalloutKeys[1],
                               context.providerContextKey, held, &ignored);
        }
    }
    if (result == ERROR_SUCCESS && filterIds != nullptr) {
        filterIds->push_back(v4);
        filterIds->push_back(v6);
    }
    return result;
}

DWORD RedirectFilters::AddQuicFilters(std::uint16_t remotePort, std::vector<std::uint64_t> *filterIds)
{
    if (engine_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<FWPM_FILTER_CONDITION0> conditions(2);
    conditions[0].fieldKey = FWPM_CONDITION_IP_PROTOCOL;
    conditions[0].matchType = FWP_MATCH_EQUAL;
    conditions[0].conditionValue.type = FWP_UINT8;
    conditions[0].conditionValue.uint8 = 17;
    conditions[1].fieldKey = FWPM_CONDITION_IP_REMOTE_PORT;
    conditions[1].matchType = FWP_MATCH_EQUAL;
    conditions[1].conditionValue.type = FWP_UINT16;
    conditions[1].conditionValue.uint16 = remotePort;
    const GUID *layers[2] = {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, &FWPM_LAYER_ALE_AUTH_CONNECT_V6};
    for (int i = 0; i < 2; ++i) {
        std::uint64_t id = 0;
        DWORD result = AddPlainFilter(*layers[i], kBlockQuicCalloutKeys[i], FWP_ACTION_CALLOUT_UNKNOWN, conditions, &id);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        if (filterIds != nullptr) {
            filterIds->push_back(id);
        }
    }
    return ERROR_SUCCESS;
}

DWORD RedirectFilters::AddDiscardFilters()
{
    if (engine_ == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    for (int i = 0; i < 8; ++i) {
        std::uint64_t id = 0;
        DWORD result = AddPlainFilter(*kDiscardCalloutLayers[i], kDiscardCalloutKeys[i], FWP_ACTION_CALLOUT_INSPECTION,
                                      {}, &id);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

DWORD RedirectFilters::AddPlainFilter(const GUID &layer, const GUID &callout, UINT32 actionType,
                                      const std::vector<FWPM_FILTER_CONDITION0> &conditions, std::uint64_t *id)
{
    FWPM_FILTER0 filter = {};
    std::vector<FWPM_FILTER_CONDITION0> copy = conditions;
    filter.displayData.name = Text(u"QVR Agent");
    filter.providerKey = const_cast<GUID *>(&kAgentProviderKey);
    filter.layerKey = layer;
    filter.subLayerKey = kRedirectSubLayerKey;
    filter.action.type = actionType;
    filter.action.calloutKey = callout;
    filter.numFilterConditions = static_cast<UINT32>(copy.size());
    filter.filterCondition = copy.empty() ? nullptr : copy.data();
    UINT64 filterId = 0;
    DWORD result = FwpmFilterAdd0(engine_, &filter, nullptr, &filterId);
    *id = filterId;
    return result;
}

DWORD RedirectFilters::RemoveFilter(std::uint64_t filterId)
{
    return engine_ == nullptr ? ERROR_INVALID_PARAMETER : FwpmFilterDeleteById0(engine_, filterId);
}

DWORD RedirectFilters::AddFilter(const GUID &layer, const GUID &callout, const GUID &providerContext,
                                 const RedirectFilterOptions &options, std::uint64_t *id)
{
    FWPM_FILTER0 filter = {};
    filter.displayData.name = Text(u"QVR Agent connect redirect");
    filter.providerKey = const_cast<GUID *>(&kAgentProviderKey);
    filter.layerKey = layer;
    filter.subLayerKey = kRedirectSubLayerKey;
    // The callout continues for what it leaves alone, so it is not a terminating one.
    filter.action.type = FWP_ACTION_CALLOUT_UNKNOWN;
    filter.action.calloutKey = callout;
    filter.flags = FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT |
                   (options.clearActionRight ? FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT : 0);
    filter.providerContextKey = providerContext;
    UINT64 weight = options.weight.value_or(0);
    if (options.weight) {
        filter.weight.type = FWP_UINT64;
        filter.weight.uint64 = &weight;
    }
    FWPM_FILTER_CONDITION0 condition = {};
    if (options.remotePort) {
        condition.fieldKey = FWPM_CONDITION_IP_REMOTE_PORT;
        condition.matchType = FWP_MATCH_EQUAL;
        condition.conditionValue.type = FWP_UINT16;
        condition.conditionValue.uint16 = *options.remotePort;
        filter.numFilterConditions = 1;
        filter.filterCondition = &condition;
    }
    UINT64 filterId = 0;
    DWORD result = FwpmFilterAdd0(engine_, &filter, nullptr, &filterId);
    *id = filterId;
    return result;
}

}  // namespace qvr::agent
