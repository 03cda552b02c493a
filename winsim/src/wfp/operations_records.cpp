/*
 * operations_records.cpp (winsim WFP)
 *
 * Pended ALE operations (FwpsPendOperation0 / FwpsCompleteOperation0) and a connection's
 * redirect records: their socket-option (SIO) form, the query of that form
 * (FwpsQueryConnectionSioFormatRedirectRecords0) and the redirect-state query
 * (FwpsQueryConnectionRedirectState0). The SIO form is opaque on Windows; winsim's own
 * layout is described in winsim/docs/wfp.md. It carries each redirect context verbatim.
 */
#include "classify_run.h"

#include "kernel/kernel_internal.h"

using namespace winsim::wfp::detail;

namespace winsim::wfp::detail {

namespace {

constexpr UINT32 kRecordsMagic = 0x52524657;  // "WFRR"
constexpr UINT32 kRecordsVersion = 1;

template <typename T> void Put(std::vector<UINT8> &out, const T &value)
{
    const auto *p = reinterpret_cast<const UINT8 *>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

template <typename T> bool Take(const UINT8 *&p, std::size_t &left, T *value)
{
    if (left < sizeof(T)) {
        return false;
    }
    std::memcpy(value, p, sizeof(T));
    p += sizeof(T);
    left -= sizeof(T);
    return true;
}

}  // namespace

std::vector<UINT8> SerializeRecords(const RedirectRecords &records)
{
    std::vector<UINT8> out;
    Put(out, kRecordsMagic);
    Put(out, kRecordsVersion);
    Put(out, static_cast<UINT32>(records.records.size()));
    for (const RedirectRecord &r : records.records) {
        Put(out, r.redirectHandleId);
        Put(out, r.targetProcessId);
        Put(out, r.originalRemote);
        Put(out, static_cast<UINT32>(r.context.size()));
        out.insert(out.end(), r.context.begin(), r.context.end());
    }
    return out;
}

bool ParseRecords(const UINT8 *data, std::size_t size, RedirectRecords *out)
{
    UINT32 magic = 0, version = 0, count = 0;
    if (data == nullptr || !Take(data, size, &magic) || !Take(data, size, &version) || !Take(data, size, &count) ||
        magic != kRecordsMagic || version != kRecordsVersion || count == 0 || count > 64) {
        return false;
    }
    RedirectRecords parsed;
    for (UINT32 i = 0; i < count; ++i) {
        RedirectRecord r;
        UINT32 contextSize = 0;
        if (!Take(data, size, &r.redirectHandleId) || !Take(data, size, &r.targetProcessId) ||
            !Take(data, size, &r.originalRemote) || !Take(data, size, &contextSize) || contextSize > size) {
            return false;
        }
        r.context.assign(data, data + contextSize);
        data += contextSize;
        size -= contextSize;
        parsed.records.push_back(std::move(r));
    }
    if (size != 0) {
        return false;
    }
    *out = std::move(parsed);
    return true;
}

}  // namespace winsim::wfp::detail

extern "C" NTSTATUS NTAPI FwpsPendOperation0(HANDLE completionHandle, HANDLE *completionContext)
{
    RequireIrqlAtMost("FwpsPendOperation0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsPendOperation0", &status)) {
        return status;
    }
    if (completionHandle == nullptr || completionContext == nullptr) {
        return STATUS_FWP_NULL_POINTER;
    }
    Engine &e = GetEngine();
    std::function<std::function<void()>()> pend;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto *site = static_cast<OperationSite *>(completionHandle);
        if (e.liveSites.count(site) == 0 || !site->inClassify) {
            Violation("FwpsPendOperation0", "completionHandle is not that of a running auth classify");
            return STATUS_INVALID_PARAMETER;
        }
        if (site->reauthorization) {
            return STATUS_FWP_CANNOT_PEND;
        }
        pend = site->pend;
    }
    auto operation = std::make_shared<OperationState>();
    operation->complete = pend();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.operations.emplace(operation.get(), operation);
    }
    winsim::Track("pended-operation", operation.get(),
                  "operation pended by " + winsim::kernel::CallerForReport(__builtin_return_address(0)) +
                      ", never completed");
    *completionContext = operation.get();
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsCompleteOperation0(HANDLE completionContext, PNET_BUFFER_LIST netBufferList)
{
    RequireIrqlAtMost("FwpsCompleteOperation0", DISPATCH_LEVEL);
    (void)netBufferList;
    Engine &e = GetEngine();
    std::shared_ptr<OperationState> operation;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto it = e.operations.find(completionContext);
        if (it == e.operations.end()) {
            Violation("FwpsCompleteOperation0", "not the context of a pended operation (completed twice?)");
            return;
        }
        operation = it->second;
        e.operations.erase(it);
    }
    winsim::Untrack("pended-operation", operation.get());
    operation->complete();
}

extern "C" FWPS_CONNECTION_REDIRECT_STATE NTAPI FwpsQueryConnectionRedirectState0(HANDLE redirectRecords,
                                                                                  HANDLE redirectHandle,
                                                                                  void **redirectContext)
{
    RequireIrqlAtMost("FwpsQueryConnectionRedirectState0", DISPATCH_LEVEL);
    if (redirectContext != nullptr) {
        *redirectContext = nullptr;
    }
    Engine &e = GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    auto *records = static_cast<const RedirectRecords *>(redirectRecords);
    if (records == nullptr || e.liveRecords.count(records) == 0) {
        Violation("FwpsQueryConnectionRedirectState0", "redirectRecords is not a live redirect-records handle");
        return FWPS_CONNECTION_NOT_REDIRECTED;
    }
    if (records->records.empty()) {
        return FWPS_CONNECTION_NOT_REDIRECTED;
    }
    UINT64 mine = 0;
    auto handleIt = e.redirectHandles.find(static_cast<RedirectHandle *>(redirectHandle));
    if (handleIt != e.redirectHandles.end()) {
        mine = handleIt->second->id;
    }
    FWPS_CONNECTION_REDIRECT_STATE state = FWPS_CONNECTION_REDIRECTED_BY_OTHER;
    const RedirectRecord *match = nullptr;
    for (std::size_t i = 0; i < records->records.size(); ++i) {
        const RedirectRecord &r = records->records[i];
        if (mine != 0 && r.redirectHandleId == mine) {
            match = &r;
            state = i + 1 == records->records.size() ? FWPS_CONNECTION_REDIRECTED_BY_SELF
                                                     : FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF;
        }
    }
    if (match != nullptr && redirectContext != nullptr && !match->context.empty()) {
        *redirectContext = const_cast<UINT8 *>(match->context.data());
    }
    return state;
}

extern "C" NTSTATUS NTAPI FwpsQueryConnectionSioFormatRedirectRecords0(HANDLE redirectRecords, PVOID outputBuffer,
                                                                        SIZE_T outputBufferLength,
                                                                        SIZE_T *bytesTransferred)
{
    RequireIrqlAtMost("FwpsQueryConnectionSioFormatRedirectRecords0", DISPATCH_LEVEL);
    NTSTATUS status;
    if (Fail("FwpsQueryConnectionSioFormatRedirectRecords0", &status)) {
        return status;
    }
    if (redirectRecords == nullptr) {
        return STATUS_NOT_FOUND;
    }
    std::vector<UINT8> bytes;
    Engine &e = GetEngine();
    {
        std::lock_guard<std::mutex> lock(e.mu);
        auto *records = static_cast<const RedirectRecords *>(redirectRecords);
        if (e.liveRecords.count(records) == 0) {
            Violation("FwpsQueryConnectionSioFormatRedirectRecords0",
                      "redirectRecords is not a live redirect-records handle");
            return STATUS_INVALID_PARAMETER;
        }
        if (records->records.empty()) {
            return STATUS_NOT_FOUND;
        }
        bytes = SerializeRecords(*records);
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = bytes.size();
    }
    if (outputBuffer == nullptr || outputBufferLength < bytes.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(outputBuffer, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}
