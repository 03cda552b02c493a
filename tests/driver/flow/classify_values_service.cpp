#include "classify_values_service.h"

#include <ntddk.h>
#include <fwpsk.h>
#include <fwpmu.h>
#include <fwpmguids.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace classify_values_test {

namespace {

GUID LayerKey(UINT16 layerId)
{
    switch (layerId) {
    case FWPS_LAYER_ALE_CONNECT_REDIRECT_V4:
        return FWPM_LAYER_ALE_CONNECT_REDIRECT_V4;
    case FWPS_LAYER_ALE_CONNECT_REDIRECT_V6:
        return FWPM_LAYER_ALE_CONNECT_REDIRECT_V6;
    case FWPS_LAYER_ALE_AUTH_CONNECT_V4:
        return FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    case FWPS_LAYER_ALE_AUTH_CONNECT_V6:
        return FWPM_LAYER_ALE_AUTH_CONNECT_V6;
    default:
        throw std::invalid_argument("no management layer key for this layer id");
    }
}

WCHAR *Name()
{
    static WCHAR name[] = u"classify value accessor test";
    return name;
}

}  // namespace

HANDLE AddInspectionFilters(const std::vector<std::pair<GUID, UINT16>> &calloutsAtLayers)
{
    FWPM_SESSION0 session = {};
    session.flags = FWPM_SESSION_FLAG_DYNAMIC;
    HANDLE engine = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine), (DWORD)ERROR_SUCCESS);
    for (const auto &[key, layerId] : calloutsAtLayers) {
        FWPM_CALLOUT0 callout = {};
        callout.calloutKey = key;
        callout.displayData.name = Name();
        callout.applicableLayer = LayerKey(layerId);
        EXPECT_EQ(FwpmCalloutAdd0(engine, &callout, nullptr, nullptr), (DWORD)ERROR_SUCCESS);

        FWPM_FILTER0 filter = {};
        filter.displayData.name = Name();
        filter.layerKey = LayerKey(layerId);
        filter.action.type = FWP_ACTION_CALLOUT_INSPECTION;
        filter.action.calloutKey = key;
        UINT64 id = 0;
        EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, &id), (DWORD)ERROR_SUCCESS);
    }
    return engine;
}

void CloseService(HANDLE engine)
{
    if (engine != nullptr) {
        EXPECT_EQ(FwpmEngineClose0(engine), (DWORD)ERROR_SUCCESS);
    }
}

}  // namespace classify_values_test
