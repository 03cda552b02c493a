/*
 * callback_questions.h
 *
 * What the driver's WFP side calls to ask the agent's service a question over the callback
 * channel (frame/callback_channel.h, which implements it): the completion routine's type,
 * the send, the cancel and the carrier query. Kept apart from the channel's set-up so that
 * the layers below the frame can ask without depending on it.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

/*
 * Called at most once per question, at PASSIVE_LEVEL in the thread of the service's reply,
 * with the bytes after the reply's 32-byte header and the reply's PayloadLength (never
 * more than the bytes present). Payload is valid only during the call. It must not block
 * for long: the service's reply request is held until it returns.
 */
typedef _IRQL_requires_(PASSIVE_LEVEL)
_Function_class_(CALLBACK_COMPLETION_ROUTINE)
VOID CALLBACK_COMPLETION_ROUTINE(_In_reads_bytes_(PayloadLength) const VOID *Payload, _In_ UINT32 PayloadLength,
                                 _In_opt_ PVOID Context);
typedef CALLBACK_COMPLETION_ROUTINE *PCALLBACK_COMPLETION_ROUTINE;

/*
 * Sends one question of Type with Payload to the service on a parked IOCTL_QVR_CALLBACK
 * request. Below DISPATCH_LEVEL a sender that finds no parked request waits up to 5
 * seconds for one; at DISPATCH_LEVEL it fails at once. STATUS_NO_MORE_ENTRIES when no
 * request could be had; otherwise the status the carrier was completed with. On success
 * RequestId (optional) receives the question's id, and Routine is called once with the
 * reply unless CancelCallbackRequest takes the question first.
 */
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
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
// awaits its reply; STATUS_NOT_FOUND (and null) once it was answered or cancelled.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS GetCallbackRequestCarrier(_In_ UINT64 RequestId, _Out_ WDFFILEOBJECT *Carrier);
