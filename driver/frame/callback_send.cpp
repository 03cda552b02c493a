/*
 * callback_send.cpp
 *
 * The asking half of the callback channel: take a request that the service parked, number
 * the question, write it into the request's output buffer, enter it in the callback table
 * and complete the request, which delivers the question to the service.
 */
#include "callback_table.h"
#include "qvr_ioctl.h"
#include "../trace/trace.h"
#include "callback_send.tmh"

// How long a sender below DISPATCH_LEVEL waits for the service to park a request.
#define CALLBACK_CARRIER_WAIT_100NS (5LL * 1000 * 1000 * 10)

/*
 * Takes the next parked request. Below DISPATCH_LEVEL a sender that finds none waits for
 * RequestAvailableEvent, at most CALLBACK_CARRIER_WAIT_100NS in all. The event is signalled
 * once per empty-to-non-empty change of the queue, so one parked request releases one
 * waiting sender. A sender that wakes to find the request already gone (another sender was
 * quicker, or the signal was left over from a request taken without waiting) waits again
 * for what is left of its time instead of failing early; one that gets a request passes
 * the signal on, since several requests parked together signal only once. SendersStopEvent
 * ends every wait, and refuses every later one, once the driver is going down.
 */
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS TakeParkedRequest(_In_ PQVR_DRV_DEVICE_CONTEXT DeviceContext, _Out_ WDFREQUEST *Request)
{
    NTSTATUS status;
    LARGE_INTEGER timeout;
    ULONGLONG deadline;
    ULONGLONG now;
    PVOID waitObjects[2];

    *Request = nullptr;
    status = WdfIoQueueRetrieveNextRequest(DeviceContext->PendingQueue, Request);
    if (status != STATUS_NO_MORE_ENTRIES) {
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: retrieve %!STATUS!", status);
        }
        goto Exit;
    }
    // A classify at DISPATCH_LEVEL must not wait, nor anyone once the driver is going down;
    // they fail as a timed-out wait would.
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL || KeReadStateEvent(&DeviceContext->SendersStopEvent) != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: none parked at DISPATCH_LEVEL %!STATUS!", status);
        goto Exit;
    }
    waitObjects[0] = &DeviceContext->RequestAvailableEvent;
    waitObjects[1] = &DeviceContext->SendersStopEvent;
    deadline = KeQueryInterruptTime() + CALLBACK_CARRIER_WAIT_100NS;
    for (;;) {
        now = KeQueryInterruptTime();
        if (now >= deadline) {
            status = STATUS_NO_MORE_ENTRIES;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no request within the wait %!STATUS!", status);
            goto Exit;
        }
        timeout.QuadPart = -static_cast<LONGLONG>(deadline - now);
        status = KeWaitForMultipleObjects(2, waitObjects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
        if (status != STATUS_WAIT_0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: wait ended %!STATUS!", status);
            status = STATUS_NO_MORE_ENTRIES;
            goto Exit;
        }
        status = WdfIoQueueRetrieveNextRequest(DeviceContext->PendingQueue, Request);
        if (NT_SUCCESS(status)) {
            // Requests parked together signal once; pass the signal on so that the next
            // waiting sender looks for another one (it waits again if there is none).
            KeSetEvent(&DeviceContext->RequestAvailableEvent, IO_NO_INCREMENT, FALSE);
            goto Exit;
        }
        if (status != STATUS_NO_MORE_ENTRIES) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: retrieve after wait %!STATUS!", status);
            goto Exit;
        }
    }

Exit:
    return status;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static UINT64 TakeNextRequestId(_In_ PQVR_DRV_DEVICE_CONTEXT DeviceContext)
{
    return static_cast<UINT64>(InterlockedIncrement64(&DeviceContext->NextRequestId));
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID WriteCallbackRecord(_Out_writes_bytes_(CALLBACK_RECORD_HEADER_SIZE + PayloadLength) PVOID Buffer,
                                _In_ UINT32 Type, _In_ UINT64 RequestId,
                                _In_reads_bytes_opt_(PayloadLength) const VOID *Payload, _In_ UINT32 PayloadLength)
{
    PCALLBACK_RECORD record = static_cast<PCALLBACK_RECORD>(Buffer);

    RtlCopyMemory(record->Marker, QVR_CALLBACK_MARKER, QVR_CALLBACK_MARKER_SIZE);
    record->Version = QVR_CALLBACK_VERSION;
    record->Size = static_cast<UINT32>(CALLBACK_RECORD_HEADER_SIZE) + PayloadLength;
    record->Type = Type;
    record->RequestId = RequestId;
    record->PayloadLength = PayloadLength;
    if (PayloadLength != 0) {
        RtlCopyMemory(static_cast<PUCHAR>(Buffer) + CALLBACK_RECORD_HEADER_SIZE, Payload, PayloadLength);
    }
}

VOID StopCallbackSenders()
{
    PCALLBACK_TABLE table = CallbackTable;

    if (table != nullptr) {
        KeSetEvent(&table->DeviceContext->SendersStopEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Whether a record can carry the payload (see CallbackRecordFits for the size).
static BOOLEAN IsSendablePayload(_In_opt_ const VOID *Payload, _In_ UINT32 PayloadLength)
{
    return (Payload != nullptr || PayloadLength == 0) && CallbackRecordFits(PayloadLength);
}

// The completion record of one question, carried out by Carrier; null when it cannot be
// allocated.
_IRQL_requires_max_(DISPATCH_LEVEL)
static PCALLBACK_COMPLETION CreateCallbackCompletion(_In_opt_ PCALLBACK_COMPLETION_ROUTINE Routine,
                                                     _In_opt_ PVOID Context, _In_ WDFFILEOBJECT Carrier)
{
    PCALLBACK_COMPLETION completion = static_cast<PCALLBACK_COMPLETION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CALLBACK_COMPLETION), QVR_TAG_CALLBACK));

    if (completion != nullptr) {
        completion->Routine = Routine;
        completion->Context = Context;
        completion->Carrier = Carrier;
    }
    return completion;
}

NTSTATUS SendCallbackRequest(UINT32 Type, const VOID *Payload, UINT32 PayloadLength,
                             PCALLBACK_COMPLETION_ROUTINE Routine, PVOID CompletionContext, PUINT64 RequestId)
{
    NTSTATUS status = STATUS_SUCCESS;
    PCALLBACK_TABLE table = CallbackTable;
    WDFREQUEST request = nullptr;
    PVOID buffer = nullptr;
    PCALLBACK_COMPLETION completion = nullptr;
    UINT64 id = 0;
    size_t recordSize = 0;

    // A classify may ask before the table exists (WFP starts first) or after it is gone.
    if (table == nullptr) {
        status = STATUS_UNSUCCESSFUL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no callback table %!STATUS!", status);
        goto Exit;
    }
    if (!IsSendablePayload(Payload, PayloadLength)) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: bad payload %!STATUS!", status);
        goto Exit;
    }
    recordSize = CALLBACK_RECORD_HEADER_SIZE + static_cast<size_t>(PayloadLength);
    status = TakeParkedRequest(table->DeviceContext, &request);
    if (!NT_SUCCESS(status)) {
        request = nullptr;
        goto Exit;
    }
    status = WdfRequestRetrieveOutputBuffer(request, recordSize, &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: output buffer %!STATUS!", status);
        goto Exit;
    }
    id = TakeNextRequestId(table->DeviceContext);
    WriteCallbackRecord(buffer, Type, id, Payload, PayloadLength);

    completion = CreateCallbackCompletion(Routine, CompletionContext, WdfRequestGetFileObject(request));
    if (completion == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: request %I64u completion %!STATUS!", id, status);
        goto Exit;
    }

    // Entered before the service can see the record, so no reply can overtake its entry.
    status = InsertCallbackEntry(table, id, completion);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: request %I64u insert %!STATUS!", id, status);
        goto Exit;
    }
    completion = nullptr;  // owned by the table now
    if (RequestId != nullptr) {
        *RequestId = id;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: request %I64u of type %u, %u payload bytes", id, Type,
                PayloadLength);

Exit:
    FreeCallbackCompletion(&completion);
    if (request != nullptr) {
        WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? recordSize : 0);
    }
    return status;
}
