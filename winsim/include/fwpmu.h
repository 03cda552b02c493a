/*
 * fwpmu.h (winsim)
 *
 * The user-mode Windows Filtering Platform management interface (fwpuclnt) as the agent's
 * service uses it: engine sessions, transactions, providers, sublayers, management-side
 * callouts, provider contexts and filters. Results are Win32 error codes or FWP_E_*
 * values (ERROR_SUCCESS on success). Host code only; a translation unit includes either
 * this header or the kernel-mode fwpmk.h, as on Windows. Behaviour: winsim/docs/wfp.md.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "fwpmu.h is the user-mode management interface; driver code uses fwpmk.h"
#endif
#ifdef WINSIM_FWPMK_H
#error "fwpmk.h and fwpmu.h declare the same management calls; include only one"
#endif
#define WINSIM_FWPMU_H

#include <ntdef.h>
#include <fwptypes.h>
#include <fwpmtypes.h>
#include <fwpmguids.h>

#ifndef RPC_C_AUTHN_WINNT
#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFL
#endif

#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87L
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8L
#endif
#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50L
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6L
#endif

/* WFP error codes (winerror.h). */
#define FWP_E_CALLOUT_NOT_FOUND 0x80320001u
#define FWP_E_CONDITION_NOT_FOUND 0x80320002u
#define FWP_E_FILTER_NOT_FOUND 0x80320003u
#define FWP_E_LAYER_NOT_FOUND 0x80320004u
#define FWP_E_PROVIDER_NOT_FOUND 0x80320005u
#define FWP_E_PROVIDER_CONTEXT_NOT_FOUND 0x80320006u
#define FWP_E_SUBLAYER_NOT_FOUND 0x80320007u
#define FWP_E_NOT_FOUND 0x80320008u
#define FWP_E_ALREADY_EXISTS 0x80320009u
#define FWP_E_IN_USE 0x8032000Au
#define FWP_E_DYNAMIC_SESSION_IN_PROGRESS 0x8032000Bu
#define FWP_E_WRONG_SESSION 0x8032000Cu
#define FWP_E_NO_TXN_IN_PROGRESS 0x8032000Du
#define FWP_E_TXN_IN_PROGRESS 0x8032000Eu
#define FWP_E_TXN_ABORTED 0x8032000Fu
#define FWP_E_SESSION_ABORTED 0x80320010u
#define FWP_E_INCOMPATIBLE_TXN 0x80320011u
#define FWP_E_TIMEOUT 0x80320012u
#define FWP_E_NET_EVENTS_DISABLED 0x80320013u
#define FWP_E_INCOMPATIBLE_LAYER 0x80320014u
#define FWP_E_KM_CLIENTS_ONLY 0x80320015u
#define FWP_E_LIFETIME_MISMATCH 0x80320016u
#define FWP_E_BUILTIN_OBJECT 0x80320017u
#define FWP_E_NULL_POINTER 0x8032001Cu
#define FWP_E_INVALID_ENUMERATOR 0x8032001Du
#define FWP_E_INVALID_FLAGS 0x8032001Eu
#define FWP_E_INVALID_NET_MASK 0x8032001Fu
#define FWP_E_INVALID_RANGE 0x80320020u
#define FWP_E_INVALID_INTERVAL 0x80320021u
#define FWP_E_ZERO_LENGTH_ARRAY 0x80320022u
#define FWP_E_NULL_DISPLAY_NAME 0x80320023u
#define FWP_E_INVALID_ACTION_TYPE 0x80320024u
#define FWP_E_INVALID_WEIGHT 0x80320025u
#define FWP_E_MATCH_TYPE_MISMATCH 0x80320026u
#define FWP_E_TYPE_MISMATCH 0x80320027u
#define FWP_E_OUT_OF_BOUNDS 0x80320028u
#define FWP_E_CALLOUT_NOTIFICATION_FAILED 0x80320037u

typedef PVOID PSECURITY_DESCRIPTOR;
struct _SEC_WINNT_AUTH_IDENTITY_W;
typedef struct _SEC_WINNT_AUTH_IDENTITY_W SEC_WINNT_AUTH_IDENTITY_W;

DWORD WINAPI FwpmEngineOpen0(_In_opt_ const WCHAR *serverName, _In_ UINT32 authnService,
                             _In_opt_ SEC_WINNT_AUTH_IDENTITY_W *authIdentity,
                             _In_opt_ const FWPM_SESSION0 *session, _Out_ HANDLE *engineHandle);
DWORD WINAPI FwpmEngineClose0(_Inout_ HANDLE engineHandle);

DWORD WINAPI FwpmTransactionBegin0(_In_ HANDLE engineHandle, _In_ UINT32 flags);
DWORD WINAPI FwpmTransactionCommit0(_In_ HANDLE engineHandle);
DWORD WINAPI FwpmTransactionAbort0(_In_ HANDLE engineHandle);

DWORD WINAPI FwpmProviderAdd0(_In_ HANDLE engineHandle, _In_ const FWPM_PROVIDER0 *provider,
                              _In_opt_ PSECURITY_DESCRIPTOR sd);
DWORD WINAPI FwpmProviderDeleteByKey0(_In_ HANDLE engineHandle, _In_ const GUID *key);

DWORD WINAPI FwpmSubLayerAdd0(_In_ HANDLE engineHandle, _In_ const FWPM_SUBLAYER0 *subLayer,
                              _In_opt_ PSECURITY_DESCRIPTOR sd);
DWORD WINAPI FwpmSubLayerDeleteByKey0(_In_ HANDLE engineHandle, _In_ const GUID *key);

DWORD WINAPI FwpmCalloutAdd0(_In_ HANDLE engineHandle, _In_ const FWPM_CALLOUT0 *callout,
                             _In_opt_ PSECURITY_DESCRIPTOR sd, _Out_opt_ UINT32 *id);
DWORD WINAPI FwpmCalloutDeleteByKey0(_In_ HANDLE engineHandle, _In_ const GUID *key);
DWORD WINAPI FwpmCalloutDeleteById0(_In_ HANDLE engineHandle, _In_ UINT32 id);

DWORD WINAPI FwpmProviderContextAdd0(_In_ HANDLE engineHandle,
                                     _In_ const FWPM_PROVIDER_CONTEXT0 *providerContext,
                                     _In_opt_ PSECURITY_DESCRIPTOR sd, _Out_opt_ UINT64 *id);
DWORD WINAPI FwpmProviderContextAdd1(_In_ HANDLE engineHandle,
                                     _In_ const FWPM_PROVIDER_CONTEXT1 *providerContext,
                                     _In_opt_ PSECURITY_DESCRIPTOR sd, _Out_opt_ UINT64 *id);
DWORD WINAPI FwpmProviderContextAdd2(_In_ HANDLE engineHandle,
                                     _In_ const FWPM_PROVIDER_CONTEXT2 *providerContext,
                                     _In_opt_ PSECURITY_DESCRIPTOR sd, _Out_opt_ UINT64 *id);
DWORD WINAPI FwpmProviderContextDeleteByKey0(_In_ HANDLE engineHandle, _In_ const GUID *key);
DWORD WINAPI FwpmProviderContextDeleteById0(_In_ HANDLE engineHandle, _In_ UINT64 id);

DWORD WINAPI FwpmFilterAdd0(_In_ HANDLE engineHandle, _In_ const FWPM_FILTER0 *filter,
                            _In_opt_ PSECURITY_DESCRIPTOR sd, _Out_opt_ UINT64 *id);
DWORD WINAPI FwpmFilterDeleteByKey0(_In_ HANDLE engineHandle, _In_ const GUID *key);
DWORD WINAPI FwpmFilterDeleteById0(_In_ HANDLE engineHandle, _In_ UINT64 id);
