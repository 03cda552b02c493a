/*
 * wfp_context.h
 *
 * WfpContext, the WFP side's shared state that the classify functions read: the control
 * device, the management session, the redirect handle and the three policy callbacks that
 * driver entry hands over. WfpInitialize and WfpUninitialize (flow/wfp_lifecycle.h) fill
 * and clear it; this header is only the data, so that every classify can read it.
 *
 * WfpContext is complete before the BFE subscription and before any callout is
 * registered, and is cleared only after every callout is unregistered, so classify
 * functions read it without a lock. OnBfeStateChange writes EngineHandle only.
 */
#pragma once

#include <ntddk.h>

#include "callback_questions.h"

/* The process policy's query: whether the process's connections are redirected. */
typedef _IRQL_requires_max_(DISPATCH_LEVEL)
_Function_class_(WFP_QUERY_PROCESS_INTERCEPT)
NTSTATUS WFP_QUERY_PROCESS_INTERCEPT(_In_ UINT64 ProcessId, _Out_ PBOOLEAN Intercept);
typedef WFP_QUERY_PROCESS_INTERCEPT *PWFP_QUERY_PROCESS_INTERCEPT;

/* The callback channel's send: asks the agent's service a question. */
typedef _IRQL_requires_max_(DISPATCH_LEVEL)
_Function_class_(WFP_SEND_CALLBACK_REQUEST)
NTSTATUS WFP_SEND_CALLBACK_REQUEST(_In_ UINT32 Type, _In_reads_bytes_opt_(PayloadLength) const VOID *Payload,
                                   _In_ UINT32 PayloadLength, _In_opt_ PCALLBACK_COMPLETION_ROUTINE Routine,
                                   _In_opt_ PVOID CompletionContext, _Out_opt_ PUINT64 RequestId);
typedef WFP_SEND_CALLBACK_REQUEST *PWFP_SEND_CALLBACK_REQUEST;

/* The callback channel's cancel: withdraws a question before its reply. */
typedef _IRQL_requires_max_(DISPATCH_LEVEL)
_Function_class_(WFP_CANCEL_CALLBACK_REQUEST)
NTSTATUS WFP_CANCEL_CALLBACK_REQUEST(_In_ UINT64 RequestId);
typedef WFP_CANCEL_CALLBACK_REQUEST *PWFP_CANCEL_CALLBACK_REQUEST;

typedef struct _WFP_CONTEXT {
    PDEVICE_OBJECT DeviceObject;                         // the control device, referenced while stored
    HANDLE EngineHandle;                                 // management session, null while closed
    HANDLE RedirectHandle;                               // from FwpsRedirectHandleCreate0, null when none
    PWFP_QUERY_PROCESS_INTERCEPT QueryProcessIntercept;  // the process policy's query
    PWFP_SEND_CALLBACK_REQUEST SendCallbackRequest;      // asks the agent's service
    PWFP_CANCEL_CALLBACK_REQUEST CancelCallbackRequest;  // withdraws a question
} WFP_CONTEXT, *PWFP_CONTEXT;

EXTERN_C_START

/* Zero at load; filled by WfpInitialize, cleared by WfpUninitialize. */
extern WFP_CONTEXT WfpContext;

EXTERN_C_END
