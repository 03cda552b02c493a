/*
 * callback_reply.cpp
 *
 * The service's half of the callback channel, the handler of IOCTL_QVR_CALLBACK: parks
 * empty requests as carriers for the next question, and matches replies to the questions
 * waiting in the callback table, handing each reply's payload to its asker.
 */
#include "callback_table.h"
#include "qvr_ioctl.h"
#include "../trace/trace.h"
#include "callback_reply.tmh"

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ParkCallbackRequest(_In_ PCALLBACK_TABLE Table, _In_ WDFREQUEST Request)
{
    NTSTATUS status = WdfRequestForwardToIoQueue(Request, Table->DeviceContext->PendingQueue);

    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: forward %!STATUS!", status);
        WdfRequestCompleteWithInformation(Request, status, 0);
    }
}

/*
 * Checks the reply and hands it to its question's routine. The question is taken out of
 * the table before its routine runs, so a cancel racing this reply either takes it first
 * (and the routine is never called) or finds nothing.
 */
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS DeliverCallbackReply(_In_ PCALLBACK_TABLE Table, _In_ WDFREQUEST Request, _In_ size_t InputBufferLength,
                                     _Out_ PBOOLEAN IsFinal)
{
    NTSTATUS status;
    PVOID buffer = nullptr;
    size_t length = 0;
    PCALLBACK_COMPLETION completion = nullptr;
    const CALLBACK_RECORD *reply;
    UINT64 requestId;
    UINT32 payloadLength;

    *IsFinal = FALSE;
    status = WdfRequestRetrieveInputBuffer(Request, CALLBACK_REPLY_MIN_SIZE, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "CallbackIoControl: input of %I64u bytes %!STATUS!",
                    static_cast<UINT64>(InputBufferLength), status);
        goto Exit;
    }
    reply = static_cast<const CALLBACK_RECORD *>(buffer);
    // The marker's literal carries its zero byte: all QVR_CALLBACK_MARKER_SIZE bytes compare.
    if (RtlCompareMemory(reply->Marker, QVR_CALLBACK_MARKER, QVR_CALLBACK_MARKER_SIZE) != QVR_CALLBACK_MARKER_SIZE ||
        reply->Version != QVR_CALLBACK_VERSION) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "CallbackIoControl: version %u %!STATUS!", reply->Version, status);
        goto Exit;
    }
    requestId = reply->RequestId;
    payloadLength = reply->PayloadLength;
    // The routine must never be handed bytes beyond the request's buffer.
    if (payloadLength > length - CALLBACK_RECORD_HEADER_SIZE) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "CallbackIoControl: request %I64u claims %u payload bytes of %I64u %!STATUS!", requestId,
                    payloadLength, static_cast<UINT64>(length - CALLBACK_RECORD_HEADER_SIZE), status);
        goto Exit;
    }
    *IsFinal = (reply->Type == CALLBACK_TYPE_FINAL);

    status = TakeCallbackEntry(Table, requestId, &completion);
    if (!NT_SUCCESS(status)) {
        // Cancelled by its asker, already answered, or never asked.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "CallbackIoControl: request %I64u %!STATUS!", requestId, status);
        goto Exit;
    }
    if (completion->Routine != nullptr) {
        completion->Routine(static_cast<const UCHAR *>(buffer) + CALLBACK_RECORD_HEADER_SIZE, payloadLength,
                            completion->Context);
    }
    FreeCallbackCompletion(&completion);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "CallbackIoControl: request %I64u answered", requestId);

Exit:
    return status;
}

VOID CallbackIoControl(WDFREQUEST Request, size_t InputBufferLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN isFinal = FALSE;
    PCALLBACK_TABLE table = CallbackTable;

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: input of %I64u bytes",
                static_cast<UINT64>(InputBufferLength));
    if (table == nullptr) {
        // Only while the driver starts or stops: nowhere to park, nothing to answer.
        status = STATUS_UNSUCCESSFUL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no callback table %!STATUS!", status);
        goto Exit;
    }
    if (InputBufferLength != 0) {
        status = DeliverCallbackReply(table, Request, InputBufferLength, &isFinal);
        if (!NT_SUCCESS(status)) {
            goto Exit;
        }
    }
    // A final reply ends the carrier; any other request waits for the next question.
    if (!isFinal) {
        ParkCallbackRequest(table, Request);
        Request = nullptr;
    }

Exit:
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: %!STATUS!%s", status,
                Request == nullptr ? " (parked)" : "");
    if (Request != nullptr) {
        WdfRequestCompleteWithInformation(Request, status, 0);
    }
}
