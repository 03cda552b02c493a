// libFuzzer target: the classify value accessors over incoming values as WFP lays them out for
// each layer winsim's filter engine knows (every field of the layer's data type, any of them
// possibly empty, with arbitrary contents), and over layer ids no accessor knows.
//
// What an accessor answers must stay inside what it was given: field indexes below the
// layer's value count, address families that match the layer, application ids and file
// names that point into the blob they came from (or at a constant empty text), and every
// refusal is one of the documented statuses. AddressSanitizer checks every read.
#include <ntddk.h>

#include <fwpsk.h>

#include "driver/redirect/classify_values.h"
#include "fuzz_support.h"
#include "wfp/filter_conditions.h"

#include <cstring>
#include <deque>
#include <vector>

namespace {

using qvr_fuzz::Fail;
using winsim::wfp::detail::LayerInfo;

std::vector<const LayerInfo *> layers;

// Storage that outlives one input's values.
struct Values {
    std::vector<FWPS_INCOMING_VALUE0> fields;
    std::deque<FWP_BYTE_ARRAY16> arrays;
    std::deque<UINT64> wide;
    std::deque<std::vector<WCHAR>> texts;
    std::deque<FWP_BYTE_BLOB> blobs;
    FWPS_INCOMING_VALUES0 values{};
};

void FillField(qvr_fuzz::Input &in, FWP_DATA_TYPE type, Values &v, FWP_VALUE0 *value)
{
    value->type = type;
    switch (type) {
    case FWP_UINT8:
        value->uint8 = in.Byte();
        break;
    case FWP_UINT16:
        value->uint16 = in.U16();
        break;
    case FWP_UINT32:
        value->uint32 = in.U32();
        break;
    case FWP_UINT64:
        v.wide.push_back(static_cast<UINT64>(in.U32()) << 32 | in.U32());
        value->uint64 = &v.wide.back();
        break;
    case FWP_BYTE_ARRAY16_TYPE: {
        FWP_BYTE_ARRAY16 array{};
        const std::vector<std::uint8_t> bytes = in.Bytes(sizeof(array.byteArray16));
        if (!bytes.empty()) {
            std::memcpy(array.byteArray16, bytes.data(), bytes.size());
        }
        v.arrays.push_back(array);
        value->byteArray16 = &v.arrays.back();
        break;
    }
    case FWP_BYTE_BLOB_TYPE: {
        // An application id: UTF-16 text whose size counts its terminator, as WFP gives it.
        const std::vector<std::uint8_t> bytes = in.Bytes(in.Byte() & 0x7e);
        std::vector<WCHAR> text(bytes.size() / 2 + 1, 0);
        if (!bytes.empty()) {
            std::memcpy(text.data(), bytes.data(), bytes.size());
        }
        v.texts.push_back(std::move(text));
        FWP_BYTE_BLOB blob{};
        blob.size = static_cast<UINT32>(v.texts.back().size() * sizeof(WCHAR));
        blob.data = reinterpret_cast<UINT8 *>(v.texts.back().data());
        v.blobs.push_back(blob);
        value->byteBlob = &v.blobs.back();
        break;
    }
    default:
        value->type = FWP_EMPTY;
        break;
    }
}

void Build(qvr_fuzz::Input &in, const LayerInfo &layer, Values &v)
{
    v.fields.assign(layer.valueCount, FWPS_INCOMING_VALUE0{});
    for (const auto &field : layer.fields) {
        FWP_VALUE0 *value = &v.fields[field.fieldId].value;
        if ((in.Byte() & 0x7) == 0) {
            value->type = FWP_EMPTY;  // a field the indication leaves out
        } else {
            FillField(in, field.type, v, value);
        }
    }
    v.values.layerId = layer.layerId;
    v.values.valueCount = layer.valueCount;
    v.values.incomingValue = v.fields.data();
}

bool Inside(PCWSTR text, const FWP_BYTE_BLOB *blob)
{
    const UINT8 *at = reinterpret_cast<const UINT8 *>(text);
    return blob != nullptr && at >= blob->data && at < blob->data + blob->size;
}

const FWP_BYTE_BLOB *BlobAt(const Values &v, UINT32 index)
{
    if (index >= v.values.valueCount || v.fields[index].value.type != FWP_BYTE_BLOB_TYPE) {
        return nullptr;
    }
    return v.fields[index].value.byteBlob;
}

void CheckIndex(NTSTATUS status, UINT32 index, const Values &v, NTSTATUS refusal)
{
    if (NT_SUCCESS(status) ? index >= v.values.valueCount : status != refusal) {
        Fail("a field-index accessor answered outside the layer or with an undocumented status");
    }
}

// Every character up to the terminator is read, so a text that runs out of its blob is caught.
void ReadText(PCWSTR text)
{
    volatile WCHAR last = 0;
    for (; *text != 0; ++text) {
        last = *text;
    }
    (void)last;
}

void CheckAppIds(const Values &v)
{
    const FWPS_INCOMING_VALUES0 *values = &v.values;
    UINT32 index = 0;
    PCWSTR text = nullptr;
    UINT32 length = 0;
    if (NT_SUCCESS(GetAppIdIndex(values, &index))) {
        if (BlobAt(v, index) == nullptr) {
            Fail("GetAppIdIndex chose a field that is no blob");
        }
    }
    if (NT_SUCCESS(GetEffectiveAppIdIndex(values, &index)) && BlobAt(v, index) == nullptr) {
        Fail("GetEffectiveAppIdIndex chose a field that is no blob");
    }
    if (NT_SUCCESS(GetAppId(values, &text, &length)) && NT_SUCCESS(GetAppIdIndex(values, &index))) {
        const FWP_BYTE_BLOB *blob = BlobAt(v, index);
        if (length > blob->size / 2 || (text != nullptr && !Inside(text, blob))) {
            Fail("GetAppId answered outside its blob");
        }
    }
    if (NT_SUCCESS(GetEffectiveAppId(values, &text, &length)) && NT_SUCCESS(GetEffectiveAppIdIndex(values, &index))) {
        const FWP_BYTE_BLOB *blob = BlobAt(v, index);
        if (length > blob->size / 2 || (text != nullptr && !Inside(text, blob))) {
            Fail("GetEffectiveAppId answered outside its blob");
        }
    }
    PCWSTR name = GetAppFileName(values);
    if (name == nullptr) {
        Fail("GetAppFileName returned no text");
    }
    ReadText(name);
    name = GetEffectiveAppFileName(values);
    if (name == nullptr) {
        Fail("GetEffectiveAppFileName returned no text");
    }
    ReadText(name);
}

void CheckEndpoints(const LayerInfo &layer, const Values &v)
{
    const FWPS_INCOMING_VALUES0 *values = &v.values;
    SOCKADDR_STORAGE address{};
    UINT16 family = 0;
    const bool hasFamily = NT_SUCCESS(GetAddressFamily(layer.layerId, &family));
    if (hasFamily && family != (layer.v6 ? AF_INET6 : AF_INET)) {
        Fail("GetAddressFamily does not match the layer");
    }
    for (auto get : {GetLocalEndpoint, GetRemoteEndpoint}) {
        std::memset(&address, 0, sizeof(address));
        if (NT_SUCCESS(get(values, &address)) && (!hasFamily || address.ss_family != family)) {
            Fail("an endpoint accessor wrote a family the layer does not carry");
        }
    }
    UINT16 port = 0;
    (void)GetLocalPort(values, &port);
    (void)GetRemotePort(values, &port);
    UINT32 flags = 0;
    (void)GetConditionFlags(values, &flags);
    UINT32 interfaceIndex = 0;
    UINT32 subInterfaceIndex = 0;
    GetInterfaceIndexes(values, &interfaceIndex, &subInterfaceIndex);
    for (BOOLEAN seed : {FALSE, TRUE}) {
        BOOLEAN loopback = seed;
        (void)IsLoopbackConnection(values, &loopback);
        if (loopback != FALSE && loopback != TRUE) {
            Fail("IsLoopbackConnection wrote no boolean");
        }
    }
}

void CheckLayerIndexes(UINT16 layerId, const Values &v)
{
    UINT32 index = 0;
    UINT32 other = 0;
    CheckIndex(GetLocalAddressIndex(layerId, &index), index, v, STATUS_INVALID_PARAMETER);
    CheckIndex(GetRemoteAddressIndex(layerId, &index), index, v, STATUS_INVALID_PARAMETER);
    CheckIndex(GetLocalPortIndex(layerId, &index), index, v, STATUS_INVALID_PARAMETER);
    CheckIndex(GetRemotePortIndex(layerId, &index), index, v, STATUS_INVALID_PARAMETER);
    const NTSTATUS status = GetInterfaceIndexFieldIndexes(layerId, &index, &other);
    if (NT_SUCCESS(status) ? (index >= v.values.valueCount || other >= v.values.valueCount)
                           : status != STATUS_NOT_FOUND) {
        Fail("GetInterfaceIndexFieldIndexes answered outside the layer");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (UINT32 id = 0; id <= 0xff; ++id) {
        if (const LayerInfo *layer = winsim::wfp::detail::FindLayer(static_cast<UINT16>(id))) {
            layers.push_back(layer);
        }
    }
    if (layers.empty()) {
        Fail("winsim knows no layer");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qvr_fuzz::Input in(data, size);
    const std::uint8_t pick = in.Byte();
    Values v;
    if (pick == 0xff) {
        // A layer the accessors do not know: every index accessor refuses it.
        v.values.layerId = in.U16();
        if (winsim::wfp::detail::FindLayer(v.values.layerId) == nullptr) {
            CheckLayerIndexes(v.values.layerId, v);
        }
        return 0;
    }
    const LayerInfo &layer = *layers[pick % layers.size()];
    Build(in, layer, v);
    CheckLayerIndexes(layer.layerId, v);
    CheckEndpoints(layer, v);
    CheckAppIds(v);
    // A path given whole: the file-name part lies inside it.
    const std::vector<std::uint8_t> rest = in.Rest();
    std::vector<WCHAR> path(rest.size() / 2 + 1, 0);
    if (!rest.empty()) {
        std::memcpy(path.data(), rest.data(), rest.size() & ~std::size_t{1});
    }
    PCWSTR part = GetFileNamePart(path.data());
    if (part < path.data() || part >= path.data() + path.size()) {
        Fail("GetFileNamePart answered outside its path");
    }
    return 0;
}
