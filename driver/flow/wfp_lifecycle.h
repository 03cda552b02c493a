/*
 * wfp_lifecycle.h
 *
 * The driver's WFP side as a whole: the one initialisation and one idempotent teardown
 * that bring WfpContext (redirect/wfp_context.h), the BFE subscription and every callout
 * group up and down.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>
#include <fwpmk.h>

#include "wfp_callout_groups.h"
#include "wfp_callouts.h"
#include "../redirect/wfp_context.h"

EXTERN_C_START

/* The BFE state-change subscription, null while not subscribed. */
extern HANDLE BfeChangeHandle;

/* The driver's callout groups in registration order; the last row has null Keys. */
extern const WFP_CALLOUT_GROUP WfpCalloutGroups[];

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
 * success that gives no handle is traced and returned as success. The caller holds the
 * engine gate, so that no other open runs meanwhile.
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
