/*
 * value_set.h (winsim WFP, internal)
 *
 * The incoming values of one indication as a classify sees them (FWPS_INCOMING_VALUES0),
 * with the storage their pointers refer to. Filled by the network stack, matched by the
 * filter conditions, handed to each classifyFn by the classify run.
 */
#pragma once

#include "wfp_internal.h"

#include <deque>
#include <vector>

namespace winsim::wfp::detail {

// The incoming values of one indication, with the storage their pointers refer to.
class ValueSet {
public:
    ValueSet(UINT16 layerId, UINT32 count);
    ValueSet(const ValueSet &) = delete;
    ValueSet &operator=(const ValueSet &) = delete;

    void SetUint8(UINT32 index, UINT8 value);
    void SetUint16(UINT32 index, UINT16 value);
    void SetUint32(UINT32 index, UINT32 value);
    void SetUint64(UINT32 index, UINT64 value);
    void SetArray16(UINT32 index, const UINT8 *bytes);
    void SetBlob(UINT32 index, const std::vector<UINT8> &bytes);
    FWP_BYTE_BLOB *NewBlob(const std::vector<UINT8> &bytes);  // storage for metadata blobs
    const FWPS_INCOMING_VALUES0 *Fixed() const { return &fixed_; }
    const FWP_VALUE0 &Value(UINT32 index) const { return values_[index].value; }
    UINT32 Count() const { return fixed_.valueCount; }

private:
    std::vector<FWPS_INCOMING_VALUE0> values_;
    std::deque<UINT64> u64_;
    std::deque<FWP_BYTE_ARRAY16> array16_;
    std::deque<std::vector<UINT8>> bytes_;
    std::deque<FWP_BYTE_BLOB> blobs_;
    FWPS_INCOMING_VALUES0 fixed_{};
};

}  // namespace winsim::wfp::detail
