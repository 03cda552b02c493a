/*
 * filter_conditions.cpp (winsim WFP)
 *
 * The layer table (transport, ALE receive-accept, ALE auth-connect with their discard
 * layers, and ALE connect-redirect), filter-condition copy and validation as
 * FwpmFilterAdd0 does it, and condition matching against incoming values.
 */
#include "filter_conditions.h"

#include <fwpmu.h>

namespace winsim::wfp::detail {

namespace {

constexpr FWP_DATA_TYPE kAddrV4 = FWP_UINT32;
constexpr FWP_DATA_TYPE kAddrV6 = FWP_BYTE_ARRAY16_TYPE;

std::vector<LayerField> TransportFields(bool inbound, bool v6)
{
    FWP_DATA_TYPE addr = v6 ? kAddrV6 : kAddrV4;
    // Inbound and outbound transport share the first nine indexes (FWPS_FIELDS_*_TRANSPORT_*).
    std::vector<LayerField> f = {
        {&FWPM_CONDITION_IP_PROTOCOL, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_PROTOCOL, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS_TYPE, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_ADDRESS_TYPE, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_REMOTE_ADDRESS, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_LOCAL_PORT, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_LOCAL_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_IP_REMOTE_PORT, FWPS_FIELD_INBOUND_TRANSPORT_V4_IP_REMOTE_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_INTERFACE_INDEX, FWPS_FIELD_INBOUND_TRANSPORT_V4_INTERFACE_INDEX, FWP_UINT32, false},
        {&FWPM_CONDITION_SUB_INTERFACE_INDEX, FWPS_FIELD_INBOUND_TRANSPORT_V4_SUB_INTERFACE_INDEX, FWP_UINT32, false},
    };
    if (inbound) {
        f.push_back({&FWPM_CONDITION_FLAGS, FWPS_FIELD_INBOUND_TRANSPORT_V4_FLAGS, FWP_UINT32, true});
    } else {
        f.push_back({&FWPM_CONDITION_IP_DESTINATION_ADDRESS_TYPE,
                     FWPS_FIELD_OUTBOUND_TRANSPORT_V4_IP_DESTINATION_ADDRESS_TYPE, FWP_UINT8, false});
        f.push_back({&FWPM_CONDITION_FLAGS, FWPS_FIELD_OUTBOUND_TRANSPORT_V4_FLAGS, FWP_UINT32, true});
    }
    return f;
}

std::vector<LayerField> RecvAcceptFields(bool v6)
{
    FWP_DATA_TYPE addr = v6 ? kAddrV6 : kAddrV4;
    return {
        {&FWPM_CONDITION_ALE_APP_ID, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_ALE_APP_ID, FWP_BYTE_BLOB_TYPE, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS_TYPE, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS_TYPE, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_LOCAL_PORT, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_IP_PROTOCOL, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_PROTOCOL, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_REMOTE_ADDRESS, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_REMOTE_PORT, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_FLAGS, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS, FWP_UINT32, true},
        {&FWPM_CONDITION_INTERFACE_INDEX, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_INDEX, FWP_UINT32, false},
        {&FWPM_CONDITION_SUB_INTERFACE_INDEX, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_SUB_INTERFACE_INDEX, FWP_UINT32, false},
    };
}

std::vector<LayerField> AuthConnectFields(bool v6)
{
    FWP_DATA_TYPE addr = v6 ? kAddrV6 : kAddrV4;
    return {
        {&FWPM_CONDITION_ALE_APP_ID, FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID, FWP_BYTE_BLOB_TYPE, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS_TYPE, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS_TYPE, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_LOCAL_PORT, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_IP_PROTOCOL, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_REMOTE_ADDRESS, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_REMOTE_PORT, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_IP_DESTINATION_ADDRESS_TYPE, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_DESTINATION_ADDRESS_TYPE,
         FWP_UINT8, false},
        {&FWPM_CONDITION_FLAGS, FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, FWP_UINT32, true},
        {&FWPM_CONDITION_INTERFACE_INDEX, FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_INDEX, FWP_UINT32, false},
        {&FWPM_CONDITION_SUB_INTERFACE_INDEX, FWPS_FIELD_ALE_AUTH_CONNECT_V4_SUB_INTERFACE_INDEX, FWP_UINT32, false},
        {&FWPM_CONDITION_ALE_ORIGINAL_APP_ID, FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_ORIGINAL_APP_ID, FWP_BYTE_BLOB_TYPE,
         false},
    };
}

std::vector<LayerField> ConnectRedirectFields(bool v6)
{
    FWP_DATA_TYPE addr = v6 ? kAddrV6 : kAddrV4;
    return {
        {&FWPM_CONDITION_ALE_APP_ID, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID, FWP_BYTE_BLOB_TYPE, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_LOCAL_ADDRESS_TYPE, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS_TYPE, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_LOCAL_PORT, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_IP_PROTOCOL, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL, FWP_UINT8, false},
        {&FWPM_CONDITION_IP_REMOTE_ADDRESS, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, addr, false},
        {&FWPM_CONDITION_IP_DESTINATION_ADDRESS_TYPE, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_DESTINATION_ADDRESS_TYPE,
         FWP_UINT8, false},
        {&FWPM_CONDITION_IP_REMOTE_PORT, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT, FWP_UINT16, false},
        {&FWPM_CONDITION_FLAGS, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS, FWP_UINT32, true},
        {&FWPM_CONDITION_ALE_ORIGINAL_APP_ID, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_ORIGINAL_APP_ID,
         FWP_BYTE_BLOB_TYPE, false},
    };
}

std::vector<LayerInfo> BuildLayers()
{
    std::vector<LayerInfo> l;
    auto add = [&](UINT16 id, const GUID *key, UINT32 count, bool v6, bool discard, std::vector<LayerField> f) {
        l.push_back(LayerInfo{id, key, count, v6, discard, std::move(f)});
    };
    add(FWPS_LAYER_INBOUND_TRANSPORT_V4, &FWPM_LAYER_INBOUND_TRANSPORT_V4, FWPS_FIELD_INBOUND_TRANSPORT_V4_MAX, false,
        false, TransportFields(true, false));
    add(FWPS_LAYER_INBOUND_TRANSPORT_V4_DISCARD, &FWPM_LAYER_INBOUND_TRANSPORT_V4_DISCARD,
        FWPS_FIELD_INBOUND_TRANSPORT_V4_MAX, false, true, TransportFields(true, false));
    add(FWPS_LAYER_INBOUND_TRANSPORT_V6, &FWPM_LAYER_INBOUND_TRANSPORT_V6, FWPS_FIELD_INBOUND_TRANSPORT_V6_MAX, true,
        false, TransportFields(true, true));
    add(FWPS_LAYER_INBOUND_TRANSPORT_V6_DISCARD, &FWPM_LAYER_INBOUND_TRANSPORT_V6_DISCARD,
        FWPS_FIELD_INBOUND_TRANSPORT_V6_MAX, true, true, TransportFields(true, true));
    add(FWPS_LAYER_OUTBOUND_TRANSPORT_V4, &FWPM_LAYER_OUTBOUND_TRANSPORT_V4, FWPS_FIELD_OUTBOUND_TRANSPORT_V4_MAX,
        false, false, TransportFields(false, false));
    add(FWPS_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD, &FWPM_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD,
        FWPS_FIELD_OUTBOUND_TRANSPORT_V4_MAX, false, true, TransportFields(false, false));
    add(FWPS_LAYER_OUTBOUND_TRANSPORT_V6, &FWPM_LAYER_OUTBOUND_TRANSPORT_V6, FWPS_FIELD_OUTBOUND_TRANSPORT_V6_MAX,
        true, false, TransportFields(false, true));
    add(FWPS_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD, &FWPM_LAYER_OUTBOUND_TRANSPORT_V6_DISCARD,
        FWPS_FIELD_OUTBOUND_TRANSPORT_V6_MAX, true, true, TransportFields(false, true));
    add(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4,
        FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_MAX, false, false, RecvAcceptFields(false));
    add(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD, &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4_DISCARD,
        FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_MAX, false, true, RecvAcceptFields(false));
    add(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6, &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V6,
        FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V6_MAX, true, false, RecvAcceptFields(true));
    add(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD, &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V6_DISCARD,
        FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V6_MAX, true, true, RecvAcceptFields(true));
    add(FWPS_LAYER_ALE_AUTH_CONNECT_V4, &FWPM_LAYER_ALE_AUTH_CONNECT_V4, FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX, false,
        false, AuthConnectFields(false));
    add(FWPS_LAYER_ALE_AUTH_CONNECT_V4_DISCARD, &FWPM_LAYER_ALE_AUTH_CONNECT_V4_DISCARD,
        FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX, false, true, AuthConnectFields(false));
    add(FWPS_LAYER_ALE_AUTH_CONNECT_V6, &FWPM_LAYER_ALE_AUTH_CONNECT_V6, FWPS_FIELD_ALE_AUTH_CONNECT_V6_MAX, true,
        false, AuthConnectFields(true));
    add(FWPS_LAYER_ALE_AUTH_CONNECT_V6_DISCARD, &FWPM_LAYER_ALE_AUTH_CONNECT_V6_DISCARD,
        FWPS_FIELD_ALE_AUTH_CONNECT_V6_MAX, true, true, AuthConnectFields(true));
    add(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, &FWPM_LAYER_ALE_CONNECT_REDIRECT_V4,
        FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX, false, false, ConnectRedirectFields(false));
    add(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, &FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
        FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_MAX, true, false, ConnectRedirectFields(true));
    return l;
}

const std::vector<LayerInfo> &Layers()
{
    static const std::vector<LayerInfo> layers = BuildLayers();
    return layers;
}

bool IsUnsignedScalar(FWP_DATA_TYPE t) { return t == FWP_UINT8 || t == FWP_UINT16 || t == FWP_UINT32 || t == FWP_UINT64; }

bool IsOrdering(FWP_MATCH_TYPE m)
{
    return m == FWP_MATCH_EQUAL || m == FWP_MATCH_NOT_EQUAL || m == FWP_MATCH_GREATER || m == FWP_MATCH_LESS ||
           m == FWP_MATCH_GREATER_OR_EQUAL || m == FWP_MATCH_LESS_OR_EQUAL;
}

bool IsFlagsMatch(FWP_MATCH_TYPE m)
{
    return m == FWP_MATCH_FLAGS_ALL_SET || m == FWP_MATCH_FLAGS_ANY_SET || m == FWP_MATCH_FLAGS_NONE_SET;
}

// Deep-copies a scalar, array or blob value (not a range or mask); false for a type winsim
// does not take.
bool CopyPlainValue(const FWP_CONDITION_VALUE0 &in, OwnedConditionValue *out)
{
    out->value.type = in.type;
    switch (in.type) {
    case FWP_UINT8: out->value.uint8 = in.uint8; return true;
    case FWP_UINT16: out->value.uint16 = in.uint16; return true;
    case FWP_UINT32: out->value.uint32 = in.uint32; return true;
    case FWP_UINT64:
        if (in.uint64 == nullptr) {
            return false;
        }
        out->u64 = *in.uint64;
        out->value.uint64 = &out->u64;
        return true;
    case FWP_BYTE_ARRAY16_TYPE:
        if (in.byteArray16 == nullptr) {
            return false;
        }
        out->array16 = *in.byteArray16;
        out->value.byteArray16 = &out->array16;
        return true;
    case FWP_BYTE_BLOB_TYPE:
        if (in.byteBlob == nullptr || (in.byteBlob->size != 0 && in.byteBlob->data == nullptr)) {
            return false;
        }
        out->bytes.assign(in.byteBlob->data, in.byteBlob->data + in.byteBlob->size);
        out->blob.size = in.byteBlob->size;
        out->blob.data = out->bytes.data();
        out->value.byteBlob = &out->blob;
        return true;
    default:
        return false;
    }
}

DWORD CopyValue(const LayerField &field, FWP_MATCH_TYPE match, const FWP_CONDITION_VALUE0 &in,
                OwnedConditionValue *out)
{
    if (in.type == FWP_V4_ADDR_MASK || in.type == FWP_V6_ADDR_MASK) {
        bool v4 = in.type == FWP_V4_ADDR_MASK;
        if (field.type != (v4 ? FWP_UINT32 : FWP_BYTE_ARRAY16_TYPE) || field.isFlags ||
            field.condition == &FWPM_CONDITION_IP_PROTOCOL) {
            return FWP_E_TYPE_MISMATCH;
        }
        if ((v4 && in.v4AddrMask == nullptr) || (!v4 && in.v6AddrMask == nullptr)) {
            return FWP_E_NULL_POINTER;
        }
        if (match != FWP_MATCH_EQUAL && match != FWP_MATCH_NOT_EQUAL) {
            return FWP_E_MATCH_TYPE_MISMATCH;
        }
        out->value.type = in.type;
        if (v4) {
            out->v4 = *in.v4AddrMask;
            out->value.v4AddrMask = &out->v4;
        } else {
            out->v6 = *in.v6AddrMask;
            if (out->v6.prefixLength > 128) {
                return FWP_E_INVALID_NET_MASK;
            }
            out->value.v6AddrMask = &out->v6;
        }
        return ERROR_SUCCESS;
    }
    if (in.type == FWP_RANGE_TYPE) {
        if (match != FWP_MATCH_RANGE) {
            return FWP_E_MATCH_TYPE_MISMATCH;
        }
        if (in.rangeValue == nullptr) {
            return FWP_E_NULL_POINTER;
        }
        out->low = std::make_unique<OwnedConditionValue>();
        out->high = std::make_unique<OwnedConditionValue>();
        FWP_CONDITION_VALUE0 low{}, high{};
        std::memcpy(&low, &in.rangeValue->valueLow, sizeof(FWP_VALUE0));
        std::memcpy(&high, &in.rangeValue->valueHigh, sizeof(FWP_VALUE0));
        if (low.type != field.type || high.type != field.type || !IsUnsignedScalar(field.type) ||
            !CopyPlainValue(low, out->low.get()) || !CopyPlainValue(high, out->high.get())) {
            return FWP_E_TYPE_MISMATCH;
        }
        out->value.type = FWP_RANGE_TYPE;
        std::memcpy(&out->range.valueLow, &out->low->value, sizeof(FWP_VALUE0));
        std::memcpy(&out->range.valueHigh, &out->high->value, sizeof(FWP_VALUE0));
        out->value.rangeValue = &out->range;
        return ERROR_SUCCESS;
    }
    if (in.type != field.type) {
        return FWP_E_TYPE_MISMATCH;
    }
    if (match == FWP_MATCH_RANGE) {
        return FWP_E_MATCH_TYPE_MISMATCH;
    }
    if (IsFlagsMatch(match) ? !IsUnsignedScalar(in.type)
                            : !(IsOrdering(match) && (IsUnsignedScalar(in.type) || match == FWP_MATCH_EQUAL ||
                                                      match == FWP_MATCH_NOT_EQUAL))) {
        return FWP_E_MATCH_TYPE_MISMATCH;
    }
    if (!CopyPlainValue(in, out)) {
        return FWP_E_NULL_POINTER;
    }
    return ERROR_SUCCESS;
}

bool ScalarOf(const FWP_VALUE0 &v, UINT64 *out)
{
    switch (v.type) {
    case FWP_UINT8: *out = v.uint8; return true;
    case FWP_UINT16: *out = v.uint16; return true;
    case FWP_UINT32: *out = v.uint32; return true;
    case FWP_UINT64: *out = v.uint64 != nullptr ? *v.uint64 : 0; return v.uint64 != nullptr;
    default: return false;
    }
}

bool CompareScalars(FWP_MATCH_TYPE m, UINT64 value, UINT64 operand)
{
    switch (m) {
    case FWP_MATCH_EQUAL: return value == operand;
    case FWP_MATCH_NOT_EQUAL: return value != operand;
    case FWP_MATCH_GREATER: return value > operand;
    case FWP_MATCH_LESS: return value < operand;
    case FWP_MATCH_GREATER_OR_EQUAL: return value >= operand;
    case FWP_MATCH_LESS_OR_EQUAL: return value <= operand;
    case FWP_MATCH_FLAGS_ALL_SET: return (value & operand) == operand;
    case FWP_MATCH_FLAGS_ANY_SET: return (value & operand) != 0;
    case FWP_MATCH_FLAGS_NONE_SET: return (value & operand) == 0;
    default: return false;
    }
}

bool ConditionHolds(const FilterCondition &c, const FWP_VALUE0 &value)
{
    const FWP_CONDITION_VALUE0 &cv = c.value->value;
    UINT64 scalar;
    switch (cv.type) {
    case FWP_V4_ADDR_MASK: {
        if (value.type != FWP_UINT32) {
            return false;
        }
        bool in = (value.uint32 & cv.v4AddrMask->mask) == (cv.v4AddrMask->addr & cv.v4AddrMask->mask);
        return c.matchType == FWP_MATCH_EQUAL ? in : !in;
    }
    case FWP_V6_ADDR_MASK: {
        if (value.type != FWP_BYTE_ARRAY16_TYPE || value.byteArray16 == nullptr) {
            return false;
        }
        bool in = true;
        for (UINT8 bit = 0; bit < cv.v6AddrMask->prefixLength && in; ++bit) {
            UINT8 m = static_cast<UINT8>(0x80 >> (bit % 8));
            in = (value.byteArray16->byteArray16[bit / 8] & m) == (cv.v6AddrMask->addr[bit / 8] & m);
        }
        return c.matchType == FWP_MATCH_EQUAL ? in : !in;
    }
    case FWP_RANGE_TYPE: {
        UINT64 low, high;
        return ScalarOf(value, &scalar) && ScalarOf(cv.rangeValue->valueLow, &low) &&
               ScalarOf(cv.rangeValue->valueHigh, &high) && scalar >= low && scalar <= high;
    }
    case FWP_BYTE_ARRAY16_TYPE: {
        if (value.type != FWP_BYTE_ARRAY16_TYPE || value.byteArray16 == nullptr) {
            return false;
        }
        bool same = std::memcmp(value.byteArray16, cv.byteArray16, 16) == 0;
        return c.matchType == FWP_MATCH_EQUAL ? same : !same;
    }
    case FWP_BYTE_BLOB_TYPE: {
        if (value.type != FWP_BYTE_BLOB_TYPE || value.byteBlob == nullptr) {
            return false;
        }
        bool same = value.byteBlob->size == cv.byteBlob->size &&
                    std::memcmp(value.byteBlob->data, cv.byteBlob->data, cv.byteBlob->size) == 0;
        return c.matchType == FWP_MATCH_EQUAL ? same : !same;
    }
    default: {
        UINT64 operand;
        FWP_VALUE0 asValue{};
        std::memcpy(&asValue, &cv, sizeof(FWP_VALUE0));
        return ScalarOf(value, &scalar) && ScalarOf(asValue, &operand) && CompareScalars(c.matchType, scalar, operand);
    }
    }
}

}  // namespace

const LayerInfo *FindLayer(UINT16 layerId)
{
    for (const LayerInfo &l : Layers()) {
        if (l.layerId == layerId) {
            return &l;
        }
    }
    return nullptr;
}

const LayerInfo *FindLayerByKey(const GUID &key)
{
    for (const LayerInfo &l : Layers()) {
        if (std::memcmp(l.key, &key, sizeof(GUID)) == 0) {
            return &l;
        }
    }
    return nullptr;
}

DWORD CopyConditions(const LayerInfo &layer, const FWPM_FILTER_CONDITION0 *conditions, UINT32 count, Filter *filter)
{
    if (count != 0 && conditions == nullptr) {
        return FWP_E_NULL_POINTER;
    }
    std::set<UINT16> seen;
    for (UINT32 i = 0; i < count; ++i) {
        const FWPM_FILTER_CONDITION0 &in = conditions[i];
        const LayerField *field = nullptr;
        for (const LayerField &f : layer.fields) {
            if (std::memcmp(f.condition, &in.fieldKey, sizeof(GUID)) == 0) {
                field = &f;
            }
        }
        if (field == nullptr) {
            return FWP_E_CONDITION_NOT_FOUND;
        }
        FilterCondition c;
        c.fieldId = field->fieldId;
        c.matchType = in.matchType;
        c.value = std::make_unique<OwnedConditionValue>();
        DWORD error = CopyValue(*field, in.matchType, in.conditionValue, c.value.get());
        if (error != ERROR_SUCCESS) {
            return error;
        }
        if (!seen.insert(field->fieldId).second) {
            filter->runtime.flags |= FWPS_FILTER_FLAG_OR_CONDITIONS;
        }
        filter->conditions.push_back(std::move(c));
    }
    for (FilterCondition &c : filter->conditions) {
        FWPS_FILTER_CONDITION0 rc{};
        rc.fieldId = c.fieldId;
        rc.matchType = c.matchType;
        rc.conditionValue = c.value->value;
        filter->runtimeConditions.push_back(rc);
    }
    filter->runtime.numFilterConditions = static_cast<UINT32>(filter->runtimeConditions.size());
    filter->runtime.filterCondition = filter->runtimeConditions.empty() ? nullptr : filter->runtimeConditions.data();
    return ERROR_SUCCESS;
}

bool FilterMatches(const Filter &filter, const ValueSet &values)
{
    std::map<UINT16, bool> fields;  // field -> some condition on it holds
    for (const FilterCondition &c : filter.conditions) {
        bool holds = c.fieldId < values.Count() && ConditionHolds(c, values.Value(c.fieldId));
        fields[c.fieldId] = fields[c.fieldId] || holds;
    }
    for (auto &entry : fields) {
        if (!entry.second) {
            return false;
        }
    }
    return true;
}

}  // namespace winsim::wfp::detail
