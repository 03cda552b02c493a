/*
 * filter_conditions.h (winsim WFP, internal)
 *
 * The layers winsim's filter engine knows (run-time id, management key, field count, and
 * which filtering conditions each offers at which field index with which data type), the
 * deep copy and validation of filter conditions, and matching a filter against the
 * incoming values of an indication.
 */
#pragma once

#include "value_set.h"
#include "wfp_internal.h"

#include <vector>

namespace winsim::wfp::detail {

struct LayerField {
    const GUID *condition;  // FWPM_CONDITION_*
    UINT16 fieldId;         // FWPS_FIELD_* index at the layer
    FWP_DATA_TYPE type;     // data type of the incoming value
    bool isFlags;           // the layer's FLAGS field
};

struct LayerInfo {
    UINT16 layerId;
    const GUID *key;            // FWPM_LAYER_*
    UINT32 valueCount;          // the layer's FWPS_FIELD_*_MAX
    bool v6;
    bool discard;
    std::vector<LayerField> fields;
};

const LayerInfo *FindLayer(UINT16 layerId);
const LayerInfo *FindLayerByKey(const GUID &key);

// Copies and checks a filter's conditions; returns ERROR_SUCCESS or the FWP_E_* error.
DWORD CopyConditions(const LayerInfo &layer, const FWPM_FILTER_CONDITION0 *conditions, UINT32 count, Filter *filter);

// All conditions hold: conditions on different fields are ANDed, conditions on the same
// field ORed.
bool FilterMatches(const Filter &filter, const ValueSet &values);

}  // namespace winsim::wfp::detail
