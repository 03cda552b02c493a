/*
 * callback_channel.h
 *
 * The callback channel: how the driver asks the agent's service a question and gets the
 * answer. The service keeps IOCTL_QVR_CALLBACK requests parked in the control device's
 * pending queue; a sender takes one, writes a CALLBACK_RECORD into it and completes it;
 * the service's reply, matched by request id, hands its payload to the sender's
 * completion routine and is parked again as the next carrier.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "device_context.h"
#include "qvr_ioctl.h"

/*
 * Called at most once per question, at PASSIVE_LEVEL in the thread of the service's reply,
 * with the bytes after the reply's 32-byte header and the reply's PayloadLength (never
 * more than the bytes present). Payload is valid only during the call. It must not block
 * for long: the service's reply request is held until it returns.
 */
typedef _IRQL_requires_(PASSIVE_LEVEL) _Function_class_(CALLBACK_COMPLETION_ROUTINE)
VOID CALLBACK_COMPLETION_ROUTINE(_In_reads_bytes_(PayloadLength) const VOID *Payload,
                                 _In_ UINT32 PayloadLength, _In_opt_ PVOID Context);
typedef CALLBACK_COMPLETION_ROUTINE *PCALLBACK_COMPLETION_ROUTINE;

// Creates the driver-wide callback table for the control device. STATUS_INSUFFICIENT_RESOURCES
// when it cannot be allocated.
_Must_inspect_result_ _IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitCallbackTable(_In_ PQVR_DRV_DEVICE_CONTEXT DeviceContext);

// Ends the waits of senders looking for a parked request (they fail as after the 5-second
// wait) and makes later senders fail at once: the first step of the driver's teardown, so
// that pended work waiting for a carrier does not hold the unload. Safe without a table.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID StopCallbackSenders();

// Closes the table, drops every outstanding question with its completion record (no
// routine is called) and frees the table. Safe when the table was never created, and twice.
_IRQL_requires_(PASSIVE_LEVEL)
VOID FreeCallbackTable();

/*
 * Whether a question of PayloadLength bytes, with its header, fits a record size (ULONG).
 * Compared without adding, so no length wraps past the check on any size_t.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
inline BOOLEAN CallbackRecordFits(_In_ size_t PayloadLength)
{
    return PayloadLength <= static_cast<size_t>(MAXULONG) - CALLBACK_RECORD_HEADER_SIZE ? TRUE : FALSE;
}

/*
 * Sends one question of Type with Payload to the service on a parked IOCTL_QVR_CALLBACK
 * request. Below DISPATCH_LEVEL a sender that finds no parked request waits up to 5
 * seconds for one; at DISPATCH_LEVEL it fails at once. STATUS_NO_MORE_ENTRIES when no
 * request could be had; otherwise the status the carrier was completed with. On success
 * RequestId (optional) receives the question's id, and Routine is called once with the
 * reply unless CancelCallbackRequest takes the question first.
 */
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SendCallbackRequest(_In_ UINT32 Type, _In_reads_bytes_opt_(PayloadLength) const VOID *Payload,
                             _In_ UINT32 PayloadLength, _In_opt_ PCALLBACK_COMPLETION_ROUTINE Routine,
                             _In_opt_ PVOID CompletionContext, _Out_opt_ PUINT64 RequestId);

/*
 * Withdraws the question of RequestId. STATUS_SUCCESS: the routine will never be called.
 * STATUS_NOT_FOUND: there was no such question, or its reply has already taken it, in
 * which case the routine has run or is running in the reply's thread.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CancelCallbackRequest(_In_ UINT64 RequestId);

// The file object of the handle whose request carried the question out, while the question
// awaits its reply; STATUS_NOT_FOUND (and NULL) once it was answered or cancelled.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS GetCallbackRequestCarrier(_In_ UINT64 RequestId, _Out_ WDFFILEOBJECT *Carrier);

// Handler of IOCTL_QVR_CALLBACK: an empty input parks the request as a carrier; a reply
// is matched to its question. Always either completes the request or parks it.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CallbackIoControl(_In_ WDFREQUEST Request, _In_ size_t InputBufferLength);
