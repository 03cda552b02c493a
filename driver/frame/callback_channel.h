/*
 * callback_channel.h
 *
 * The callback channel: how the driver asks the agent's service a question and gets the
 * answer. The service keeps IOCTL_QVR_CALLBACK requests parked in the control device's
 * pending queue; a sender takes one, writes a CALLBACK_RECORD into it and completes it;
 * the service's reply, matched by request id, hands its payload to the sender's
 * completion routine and is parked again as the next carrier. What a sender calls is in
 * callback_questions.h; this header adds the channel's set-up, teardown and request handler.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "callback_questions.h"
#include "device_context.h"
#include "qvr_ioctl.h"

// Creates the driver-wide callback table for the control device. STATUS_INSUFFICIENT_RESOURCES
// when it cannot be allocated.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
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

// Whether a question of PayloadLength bytes, with its header, fits a record size (ULONG).
// Compared without adding, so no length wraps past the check on any size_t.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline BOOLEAN CallbackRecordFits(_In_ size_t PayloadLength)
{
    return PayloadLength <= static_cast<size_t>(MAXULONG) - CALLBACK_RECORD_HEADER_SIZE ? TRUE : FALSE;
}

// Handler of IOCTL_QVR_CALLBACK: an empty input parks the request as a carrier; a reply
// is matched to its question. Always either completes the request or parks it.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CallbackIoControl(_In_ WDFREQUEST Request, _In_ size_t InputBufferLength);
