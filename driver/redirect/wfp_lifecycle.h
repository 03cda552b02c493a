/*
 * wfp_lifecycle.h
 *
 * The driver's WFP side as a whole: WfpContext, the state that the classify functions
 * read (the control device, the management session, the redirect handle and the three
 * policy callbacks), and the one initialisation and one idempotent teardown that bring
 * it, the BFE subscription and every callout group up and down.
 *
 * WfpContext is complete before the BFE subscription and before any callout is
 * registered, and is cleared only after every callout is unregistered, so classify
 * functions read it without a lock. OnBfeStateChange writes EngineHandle only.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>
#include <fwpmk.h>

#include "../frame/callback_channel.h"
#include "wfp_callouts.h"

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

/* The BFE state-change subscription, null while not subscribed. */
extern HANDLE BfeChangeHandle;

/*
 * Fills WfpContext, subscribes to BFE state changes (opening the management session now
 * if BFE runs, later when it starts), creates the redirect handle and registers the
 * driver's callout groups. On failure everything done so far is undone (WfpUninitialize)
 * and the failure is returned; STATUS_INVALID_PARAMETER when a callback is missing.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS WfpInitialize(_In_ PDEVICE_OBJECT DeviceObject, _In_ PWFP_QUERY_PROCESS_INTERCEPT QueryProcessIntercept,
                       _In_ PWFP_SEND_CALLBACK_REQUEST SendCallbackRequest,
                       _In_ PWFP_CANCEL_CALLBACK_REQUEST CancelCallbackRequest);

/* WfpInitialize with a given group table (null-Keys terminated) in place of the driver's. */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS WfpInitializeEx(_In_ PDEVICE_OBJECT DeviceObject, _In_ PCWFP_CALLOUT_GROUP CalloutGroups,
                         _In_ PWFP_QUERY_PROCESS_INTERCEPT QueryProcessIntercept,
                         _In_ PWFP_SEND_CALLBACK_REQUEST SendCallbackRequest,
                         _In_ PWFP_CANCEL_CALLBACK_REQUEST CancelCallbackRequest);

/*
 * Unsubscribes from BFE, drains the flow contexts, unregisters the callout groups,
 * closes the session, destroys the redirect handle and releases WfpContext. Failures are
 * traced and do not stop the remaining steps. Safe after a partial or failed
 * initialisation, and a second time.
 */
_IRQL_requires_(PASSIVE_LEVEL)
VOID WfpUninitialize(VOID);

/* FWPM_SERVICE_STATE_CHANGE_CALLBACK0: follows BFE with the management session. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID NTAPI OnBfeStateChange(_Inout_ PVOID Context, _In_ FWPM_SERVICE_STATE NewState);

/*
 * Opens the management session into *EngineHandle unless one is already there. A
 * success that gives no handle is traced and returned as success.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS OpenEngine(_Inout_ HANDLE *EngineHandle);

/* Closes the session; the handle is cleared on success and kept (for a retry) on failure. */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CloseEngine(_Inout_ HANDLE *EngineHandle);

_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS CreateRedirectHandle(_Out_ HANDLE *RedirectHandle);

/* Destroys the handle if there is one and clears it. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID DestroyRedirectHandle(_Inout_ HANDLE *RedirectHandle);

EXTERN_C_END
