/*
 * fx_queue.cpp (winsim, KMDF stand-in)
 *
 * Framework I/O queues. A parallel queue presents each request at once, on the thread
 * that brought it (the caller of DeviceIoControl, or the driver forwarding it). A manual
 * queue keeps requests in arrival order until the driver retrieves them and calls its
 * ready notification once per empty-to-non-empty transition, never re-entered for the
 * same queue. Requests that sit in a queue are cancelled by the framework.
 */
#include "fx_internal.h"

#include <algorithm>

#include "kernel/kernel_internal.h"

#include <winsim/schedule.h>

namespace winsim::fx {

void InsertLocked(const std::shared_ptr<Queue> &queue, const std::shared_ptr<Request> &request, Delivery *out)
{
    request->queue = queue;
    if (queue->config.DispatchType == WdfIoQueueDispatchManual) {
        request->state = RequestState::Queued;
        queue->pending.push_back(request);
        if (queue->pending.size() == 1) {
            queue->readyPending = true;
            out->notify.push_back(queue);
            out->CountCallLocked(queue->device);
        }
        // An I/O that was cancelled while the driver owned it is cancelled as soon as it
        // is queued again, as a cancel-safe queue does with an already-cancelled IRP.
        if (request->cancelled) {
            CancelQueuedLocked(request, out);
        }
        return;
    }
    request->state = RequestState::DriverOwned;
    out->queue = queue;
    out->request = request;
    out->CountCallLocked(queue->device);
}

void CancelQueuedLocked(const std::shared_ptr<Request> &request, Delivery *out)
{
    std::shared_ptr<Queue> queue = request->queue.lock();
    if (request->state != RequestState::Queued || !queue) {
        return;
    }
    auto &pending = queue->pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (*it == request) {
            pending.erase(it);
            break;
        }
    }
    if (queue->config.EvtIoCanceledOnQueue != nullptr && request->requeued) {
        request->state = RequestState::DriverOwned;
        out->cancelledOnQueue.emplace_back(queue, request);
        out->CountCallLocked(queue->device);
        return;
    }
    out->completions.push_back(CompleteLocked(*request, STATUS_CANCELLED, 0, "the framework (cancelled in a queue)"));
}

void PurgeQueueLocked(Queue &queue, const detail::FileState *only, Delivery *out)
{
    std::vector<std::shared_ptr<Request>> victims;
    for (const auto &request : queue.pending) {
        if (only == nullptr || request->fileState.get() == only) {
            victims.push_back(request);
        }
    }
    for (const auto &request : victims) {
        request->cancelled = true;
        CancelQueuedLocked(request, out);
    }
}

namespace {

void Present(const std::shared_ptr<Queue> &queue, const std::shared_ptr<Request> &request)
{
    // A passive-level queue's handler never runs raised: the framework hands the request
    // to a system worker thread instead.
    if (queue->passiveCallbacks && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        kernel::QueueSystemWork([queue, request] { Present(queue, request); });
        return;
    }
    WDFQUEUE queueHandle = reinterpret_cast<WDFQUEUE>(queue->handle);
    WDFREQUEST requestHandle = reinterpret_cast<WDFREQUEST>(request->handle);
    winsim::schedule::At(winsim::schedule::Point::QueueOperation, queueHandle);
    if (queue->config.EvtIoDeviceControl != nullptr) {
        EnterQueueCallback(*queue);
        queue->config.EvtIoDeviceControl(queueHandle, requestHandle, request->outputLength, request->inputLength,
                                         request->ioControlCode);
        LeaveQueueCallback(*queue);
        return;
    }
    if (queue->config.EvtIoDefault != nullptr) {
        EnterQueueCallback(*queue);
        queue->config.EvtIoDefault(queueHandle, requestHandle);
        LeaveQueueCallback(*queue);
        return;
    }
    // The queue has no handler for I/O controls: the framework fails the request itself.
    Completion completion;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        completion = CompleteLocked(*request, STATUS_INVALID_DEVICE_REQUEST, 0, "the framework (no handler)");
    }
    SignalCompletion(completion);
}

void RunReadyNotification(const std::shared_ptr<Queue> &queue)
{
    if (queue->passiveCallbacks && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        kernel::QueueSystemWork([queue] { RunReadyNotification(queue); });
        return;
    }
    Framework &fx = Fx();
    std::unique_lock<std::mutex> guard(fx.lock);
    if (queue->readyRunning) {
        return;  // the thread calling it now calls it again when it returns
    }
    while (queue->readyPending && queue->readyRoutine != nullptr && !queue->deleting) {
        queue->readyPending = false;
        if (queue->pending.empty()) {
            continue;  // drained by a retriever before the notification could run
        }
        PFN_WDF_IO_QUEUE_STATE routine = queue->readyRoutine;
        WDFCONTEXT context = queue->readyContext;
        queue->readyRunning = true;
        guard.unlock();
        EnterQueueCallback(*queue);
        routine(reinterpret_cast<WDFQUEUE>(queue->handle), context);
        LeaveQueueCallback(*queue);
        guard.lock();
        queue->readyRunning = false;
    }
}

}  // namespace

namespace {

// Queue callbacks running on this thread, innermost last.
thread_local std::vector<const Queue *> tlsQueueCallbacks;

}  // namespace

void EnterQueueCallback(Queue &queue)
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    ++queue.callbacksRunning;
    tlsQueueCallbacks.push_back(&queue);
}

void LeaveQueueCallback(Queue &queue)
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    --queue.callbacksRunning;
    tlsQueueCallbacks.pop_back();
    Fx().requestsChanged.notify_all();
}

void WaitForQueueCallbacks(Queue &queue)
{
    // A callback may delete its own queue: only the other threads' callbacks are waited for.
    const int own = static_cast<int>(std::count(tlsQueueCallbacks.begin(), tlsQueueCallbacks.end(), &queue));
    std::unique_lock<std::mutex> guard(Fx().lock);
    Fx().requestsChanged.wait(guard, [&] { return queue.callbacksRunning <= own; });
}

void Delivery::CountCallLocked(const std::weak_ptr<Device> &device)
{
    std::shared_ptr<Device> target = device.lock();
    std::shared_ptr<Driver> driver = target ? target->driver.lock() : nullptr;
    if (driver) {
        ++driver->callsDue;
        calledDrivers.push_back(std::move(driver));
    }
}

Delivery::~Delivery()
{
    if (calledDrivers.empty()) {
        return;
    }
    Framework &fx = Fx();
    std::lock_guard<std::mutex> guard(fx.lock);
    for (const auto &driver : calledDrivers) {
        --driver->callsDue;
    }
    fx.requestsChanged.notify_all();
}

void RunDelivery(Delivery &delivery)
{
    for (Completion &completion : delivery.completions) {
        SignalCompletion(completion);
    }
    for (auto &entry : delivery.cancelledOnQueue) {
        entry.first->config.EvtIoCanceledOnQueue(reinterpret_cast<WDFQUEUE>(entry.first->handle),
                                                 reinterpret_cast<WDFREQUEST>(entry.second->handle));
    }
    if (delivery.request) {
        Present(delivery.queue, delivery.request);
    }
    for (const auto &queue : delivery.notify) {
        RunReadyNotification(queue);
    }
    // In the thread that closed the last handle, after the file's queued requests were
    // cancelled (Decided: the docs do not order the two).
    for (const auto &cleanup : delivery.cleanups) {
        cleanup.first(reinterpret_cast<WDFFILEOBJECT>(cleanup.second->handle));
    }
}

}  // namespace winsim::fx

using namespace winsim;
using namespace winsim::fx;

namespace {

NTSTATUS ValidateQueueConfig(const Device &device, PWDF_IO_QUEUE_CONFIG config, const char *call)
{
    if (config == nullptr) {
        ReportViolation(call, "Config is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    bool hasHandler = config->EvtIoDefault != nullptr || config->EvtIoRead != nullptr ||
                      config->EvtIoWrite != nullptr || config->EvtIoDeviceControl != nullptr ||
                      config->EvtIoInternalDeviceControl != nullptr;
    switch (config->DispatchType) {
    case WdfIoQueueDispatchManual:
        if (hasHandler) {
            return STATUS_INVALID_PARAMETER;
        }
        break;
    case WdfIoQueueDispatchParallel:
        if (!hasHandler) {
            return STATUS_WDF_NO_CALLBACK;
        }
        if (config->Settings.Parallel.NumberOfPresentedRequests == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        if (config->Settings.Parallel.NumberOfPresentedRequests != static_cast<ULONG>(-1)) {
            ReportViolation(call, "a limited NumberOfPresentedRequests is not stood in by winsim");
            return STATUS_NOT_SUPPORTED;
        }
        break;
    case WdfIoQueueDispatchSequential:
        ReportViolation(call, "sequential dispatch is not stood in by winsim");
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (config->DefaultQueue && device.defaultQueue) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE *Queue)
{
    const char *call = "WdfIoQueueCreate";
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    if (!CheckIrql(call, DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    std::shared_ptr<fx::Device> device;
    NTSTATUS status = LookupForCallLocked(Device, Kind::Device, call, &device);
    if (!device) {
        return status;
    }
    status = ValidateQueueConfig(*device, Config, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
        QueueAttributes->ParentObject != static_cast<WDFOBJECT>(Device)) {
        ReportViolation(call, "a queue's parent must be its device");
        return STATUS_INVALID_PARAMETER;
    }
    if (device->deleting) {
        return STATUS_DELETE_PENDING;
    }
    auto queue = std::make_shared<fx::Queue>();
    status = ApplyAttributesLocked(*queue, QueueAttributes, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    queue->config = *Config;
    queue->device = device;
    queue->parent = device;
    device->children.push_back(queue);
    RegisterLocked(queue);
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = reinterpret_cast<WDFQUEUE>(queue->handle);
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    const char *call = "WdfIoQueueGetDevice";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto queue = LookupAsLocked<fx::Queue>(Queue, Kind::Queue, call);
    if (!queue) {
        return nullptr;
    }
    auto device = queue->device.lock();
    return device ? reinterpret_cast<WDFDEVICE>(device->handle) : nullptr;
}

NTSTATUS WdfIoQueueReadyNotify(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE QueueReady, WDFCONTEXT Context)
{
    const char *call = "WdfIoQueueReadyNotify";
    if (!CheckIrql(call, DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        std::shared_ptr<fx::Queue> queue;
        NTSTATUS status = LookupForCallLocked(Queue, Kind::Queue, call, &queue);
        if (!queue) {
            return status;
        }
        if (queue->deleting) {
            return STATUS_DELETE_PENDING;
        }
        if (queue->config.DispatchType != WdfIoQueueDispatchManual) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // Deregistering needs a stopped queue, and winsim's queues are never stopped.
        if (QueueReady == nullptr || queue->readyRoutine != nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        queue->readyRoutine = QueueReady;
        queue->readyContext = Context;
        // A queue that already holds requests is reported at once, before this returns.
        if (!queue->pending.empty()) {
            queue->readyPending = true;
            delivery.notify.push_back(queue);
        }
    }
    RunDelivery(delivery);
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST *OutRequest)
{
    const char *call = "WdfIoQueueRetrieveNextRequest";
    if (OutRequest == nullptr) {
        ReportViolation(call, "OutRequest is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *OutRequest = nullptr;
    winsim::schedule::At(winsim::schedule::Point::QueueOperation, Queue);
    if (!CheckIrql(call, DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    std::shared_ptr<fx::Queue> queue;
    NTSTATUS status = LookupForCallLocked(Queue, Kind::Queue, call, &queue);
    if (!queue) {
        return status;
    }
    if (queue->config.DispatchType == WdfIoQueueDispatchParallel) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (queue->pending.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    std::shared_ptr<Request> request = queue->pending.front();
    queue->pending.pop_front();
    request->state = RequestState::DriverOwned;
    *OutRequest = reinterpret_cast<WDFREQUEST>(request->handle);
    return STATUS_SUCCESS;
}
