/*
 * fx_request.cpp (winsim, KMDF stand-in)
 *
 * Framework requests: the METHOD_BUFFERED system buffer behind both buffer retrievals,
 * completion (exactly once, only by the request's owner, copying Information bytes back
 * to the caller) and forwarding to another queue of the same device.
 */
#include "fx_internal.h"

#include <winsim/schedule.h>

#include <algorithm>

namespace winsim::fx {

namespace {
constexpr size_t kCompletedRequestMemory = 4096;
}

Completion CompleteLocked(Request &request, NTSTATUS status, ULONG_PTR information, const char *call)
{
    Framework &fx = Fx();
    request.state = RequestState::Completed;
    UnregisterLocked(request);
    fx.completedRequests.emplace_back(request.handle, call);
    if (fx.completedRequests.size() > kCompletedRequestMemory) {
        fx.completedRequests.pop_front();
    }
    Untrack("request", &request);

    Completion completion;
    completion.io = request.io;
    completion.result.status = status;
    completion.result.information = information;
    // The I/O manager copies the system buffer back only for a status that is not an error.
    if (!NT_ERROR(status) && request.outputLength > 0) {
        size_t count = std::min<size_t>(information, request.outputLength);
        completion.result.output.assign(request.systemBuffer.begin(), request.systemBuffer.begin() + count);
    }
    if (request.fileState) {
        request.fileState->outstanding.erase(request.io);
        std::shared_ptr<File> file = request.fileState->file;
        if (!request.fileState->open && request.fileState->outstanding.empty() && file) {
            // The last I/O of a closed handle: the file object goes away (IRP_MJ_CLOSE).
            UnregisterLocked(*file);
            request.fileState->file.reset();
        }
    }
    fx.requestsChanged.notify_all();
    return completion;
}

void SignalCompletion(Completion &completion)
{
    if (!completion.io) {
        return;
    }
    std::lock_guard<std::mutex> guard(completion.io->mutex);
    completion.io->result = std::move(completion.result);
    completion.io->complete = true;
    completion.io->done.notify_all();
}

}  // namespace winsim::fx

using namespace winsim;
using namespace winsim::fx;

namespace {

// The request, if the caller is its owner; otherwise a violation naming the call.
std::shared_ptr<Request> OwnedRequestLocked(WDFREQUEST handle, const char *call)
{
    auto request = LookupAsLocked<Request>(handle, Kind::Request, call);
    if (!request) {
        return nullptr;
    }
    if (request->state == RequestState::Queued) {
        ReportViolation(call, "request " + Hex(request->handle) +
                                  " sits in a framework queue: the framework owns it, not the driver");
        return nullptr;
    }
    return request;
}

NTSTATUS RetrieveBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID *Buffer, size_t *Length, bool input,
                        const char *call)
{
    if (Buffer == nullptr) {
        ReportViolation(call, "Buffer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Buffer = nullptr;
    if (Length != nullptr) {
        *Length = 0;
    }
    if (!CheckIrql(call, DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto request = OwnedRequestLocked(Request, call);
    if (!request) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    size_t length = input ? request->inputLength : request->outputLength;
    // A zero-length buffer is too small whatever minimum the driver asks for.
    if (length == 0 || length < MinimumRequiredSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = request->systemBuffer.data();
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

void Complete(WDFREQUEST Request, NTSTATUS Status, const ULONG_PTR *Information, const char *call)
{
    CheckIrql(call, DISPATCH_LEVEL);
    Completion completion;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        auto request = OwnedRequestLocked(Request, call);
        if (!request) {
            return;
        }
        if (Status == STATUS_PENDING) {
            ReportViolation(call, "a request cannot be completed with STATUS_PENDING");
        }
        ULONG_PTR information = Information != nullptr ? *Information : request->information;
        if (!NT_ERROR(Status) && information > request->outputLength) {
            ReportViolation(call, "Information " + std::to_string(information) +
                                      " exceeds the request's OutputBufferLength " +
                                      std::to_string(request->outputLength));
            information = request->outputLength;
        }
        completion = CompleteLocked(*request, Status, information, call);
    }
    SignalCompletion(completion);
}

}  // namespace

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID *Buffer, size_t *Length)
{
    return RetrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, true, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID *Buffer, size_t *Length)
{
    return RetrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, false, "WdfRequestRetrieveOutputBuffer");
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    Complete(Request, Status, nullptr, "WdfRequestComplete");
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    Complete(Request, Status, &Information, "WdfRequestCompleteWithInformation");
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    const char *call = "WdfRequestSetInformation";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto request = OwnedRequestLocked(Request, call);
    if (request) {
        request->information = Information;
    }
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    const char *call = "WdfRequestGetInformation";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto request = OwnedRequestLocked(Request, call);
    return request ? request->information : 0;
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    const char *call = "WdfRequestForwardToIoQueue";
    winsim::schedule::At(winsim::schedule::Point::QueueOperation, DestinationQueue);
    if (!CheckIrql(call, DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        auto request = OwnedRequestLocked(Request, call);
        if (!request) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::shared_ptr<Queue> destination;
        NTSTATUS status = LookupForCallLocked(DestinationQueue, Kind::Queue, call, &destination);
        if (!destination) {
            return status;
        }
        std::shared_ptr<Queue> source = request->queue.lock();
        if (source == destination || destination->device.lock() != request->device.lock()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (destination->deleting) {
            return STATUS_WDF_BUSY;
        }
        request->requeued = true;
        InsertLocked(destination, request, &delivery);
    }
    RunDelivery(delivery);
    return STATUS_SUCCESS;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    const char *call = "WdfRequestGetIoQueue";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto request = LookupAsLocked<fx::Request>(Request, Kind::Request, call);
    if (!request) {
        return nullptr;
    }
    auto queue = request->queue.lock();
    return queue ? reinterpret_cast<WDFQUEUE>(queue->handle) : nullptr;
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    const char *call = "WdfRequestGetFileObject";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto request = LookupAsLocked<fx::Request>(Request, Kind::Request, call);
    if (!request || !request->fileState || !request->fileState->file) {
        return nullptr;
    }
    return reinterpret_cast<WDFFILEOBJECT>(request->fileState->file->handle);
}
