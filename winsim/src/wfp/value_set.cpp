/*
 * value_set.cpp (winsim WFP)
 *
 * The incoming values of one indication: each setter writes the value's type and data,
 * keeping 64-bit values, byte arrays and blobs in storage that outlives the classify.
 */
#include "value_set.h"

namespace winsim::wfp::detail {

ValueSet::ValueSet(UINT16 layerId, UINT32 count) : values_(count)
{
    fixed_.layerId = layerId;
    fixed_.valueCount = count;
    fixed_.incomingValue = values_.data();
}

void ValueSet::SetUint8(UINT32 index, UINT8 value)
{
    values_[index].value.type = FWP_UINT8;
    values_[index].value.uint8 = value;
}

void ValueSet::SetUint16(UINT32 index, UINT16 value)
{
    values_[index].value.type = FWP_UINT16;
    values_[index].value.uint16 = value;
}

void ValueSet::SetUint32(UINT32 index, UINT32 value)
{
    values_[index].value.type = FWP_UINT32;
    values_[index].value.uint32 = value;
}

void ValueSet::SetUint64(UINT32 index, UINT64 value)
{
    u64_.push_back(value);
    values_[index].value.type = FWP_UINT64;
    values_[index].value.uint64 = &u64_.back();
}

void ValueSet::SetArray16(UINT32 index, const UINT8 *bytes)
{
    FWP_BYTE_ARRAY16 a;
    std::memcpy(a.byteArray16, bytes, 16);
    array16_.push_back(a);
    values_[index].value.type = FWP_BYTE_ARRAY16_TYPE;
    values_[index].value.byteArray16 = &array16_.back();
}

FWP_BYTE_BLOB *ValueSet::NewBlob(const std::vector<UINT8> &bytes)
{
    bytes_.push_back(bytes);
    FWP_BYTE_BLOB blob;
    blob.size = static_cast<UINT32>(bytes_.back().size());
    blob.data = bytes_.back().data();
    blobs_.push_back(blob);
    return &blobs_.back();
}

void ValueSet::SetBlob(UINT32 index, const std::vector<UINT8> &bytes)
{
    values_[index].value.type = FWP_BYTE_BLOB_TYPE;
    values_[index].value.byteBlob = NewBlob(bytes);
}

}  // namespace winsim::wfp::detail
