/*
 * fwpmk.h (winsim)
 *
 * The kernel-mode Windows Filtering Platform management interface that a callout driver
 * uses: Base Filtering Engine state and state-change subscription, and management engine
 * sessions. Names and signatures as in the Windows 8 WDK; behaviour in winsim/docs/wfp.md.
 * A translation unit includes either this header or the user-mode fwpmu.h, as on Windows.
 */
#pragma once

#ifdef WINSIM_FWPMU_H
#error "fwpmk.h and fwpmu.h declare the same management calls; include only one"
#endif
#define WINSIM_FWPMK_H

#include <ntdef.h>
#include <ntstatus.h>
#include <fwptypes.h>
#include <fwpmtypes.h>
#include <fwpmguids.h>

#ifndef RPC_C_AUTHN_WINNT
#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFL
#endif

struct _SEC_WINNT_AUTH_IDENTITY_W;
typedef struct _SEC_WINNT_AUTH_IDENTITY_W SEC_WINNT_AUTH_IDENTITY_W;

typedef void(NTAPI *FWPM_SERVICE_STATE_CHANGE_CALLBACK0)(
    _Inout_ void *context,
    _In_ FWPM_SERVICE_STATE newState);

EXTERN_C_START

_IRQL_requires_max_(DISPATCH_LEVEL) FWPM_SERVICE_STATE NTAPI FwpmBfeStateGet0(void);

_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS NTAPI FwpmBfeStateSubscribeChanges0(
    _Inout_ void *deviceObject, _In_ FWPM_SERVICE_STATE_CHANGE_CALLBACK0 callback,
    _In_opt_ void *context, _Out_ HANDLE *changeHandle);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI FwpmBfeStateUnsubscribeChanges0(_Inout_ HANDLE changeHandle);

_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_ NTSTATUS NTAPI FwpmEngineOpen0(
    _In_opt_ const WCHAR *serverName, _In_ UINT32 authnService,
    _In_opt_ SEC_WINNT_AUTH_IDENTITY_W *authIdentity, _In_opt_ const FWPM_SESSION0 *session,
    _Out_ HANDLE *engineHandle);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI FwpmEngineClose0(_Inout_ HANDLE engineHandle);

EXTERN_C_END
