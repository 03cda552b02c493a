/*
 * redirect_request.h
 *
 * One redirect in progress: the classify handle and the writable connect request that WFP
 * lends the connect-redirect callout, a copy of the classify result to complete a pended
 * classify with, a copy of the filter's RedirectTargetBlob and the RedirectContextRecord to
 * attach. Every path, success or failure, immediate or pended, ends in
 * ReleaseRedirectRequest, which applies the layer data, completes a pended classify and
 * gives every handle and buffer back. A request has one owner at a time (the classify, the
 * deferred work, the work routine); ownership moves by handing the pointer over. The
 * classify builds its request on its own stack: an immediate redirect allocates nothing for
 * it, and only a request that is pended moves to the pool, together with its copy of the
 * classify result.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#include "redirect_records.h"

typedef struct _REDIRECT_REQUEST {
    UINT64 ClassifyHandle;                  // from FwpsAcquireClassifyHandle0; 0 when not held
    HANDLE RedirectHandle;                  // WfpContext.RedirectHandle when the request was built
    FWPS_CONNECT_REQUEST0 *ConnectRequest;  // writable layer data; null once applied
    REDIRECT_TARGET_BLOB TargetBlob;        // copy of the filter's blob: valid after the classify returned
    FWPS_CLASSIFY_OUT0 *ClassifyOut;        // copy of the classify result, made to pend: completes it
    BOOLEAN Pended;                         // TRUE from FwpsPendClassify0 until the classify is completed
    BOOLEAN InPool;                         // moved to the pool to pend: freed by the release
    PREDIRECT_CONTEXT_RECORD Context;       // the record to attach; null once handed to WFP
} REDIRECT_REQUEST, *PREDIRECT_REQUEST;

/* A request moved to the pool to pend, with the copy of the classify result it completes. */
typedef struct _POOLED_REDIRECT_REQUEST {
    REDIRECT_REQUEST Request;  // first: the block is freed through the request's address
    FWPS_CLASSIFY_OUT0 ClassifyOut;
} POOLED_REDIRECT_REQUEST;

EXTERN_C_START

/*
 * Builds a request for the running classify in the caller's Request: acquires the classify
 * handle and the writable connect request and keeps a copy of Blob (the filter's target
 * blob as the classify found it). The context record is left to the caller
 * (BuildRedirectContextRecord), once it knows the connection is redirected. The live
 * classify result keeps the action and rights it had on entry (the acquisition's
 * provisional block is taken back). On failure whatever was acquired is released (layer
 * data applied unchanged) and the status of the failing call is returned; a released
 * request may be released again.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS CreateRedirectRequest(_Out_ PREDIRECT_REQUEST Request, _In_ const void *ClassifyContext,
                               _In_ const FWPS_FILTER1 *Filter, _In_ const REDIRECT_TARGET_BLOB *Blob,
                               _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut, _In_opt_ HANDLE RedirectHandle);

/*
 * Moves the request to the pool with a copy of the classify result, to complete the
 * classify with once it is pended: *Request then points at the pooled request and what it
 * pointed at before is left empty. STATUS_NO_MEMORY when the block cannot be allocated
 * (the request is unchanged).
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS MoveRedirectRequestToPool(_Inout_ PREDIRECT_REQUEST *Request, _In_ const FWPS_CLASSIFY_OUT0 *ClassifyOut);

/*
 * Applies the (possibly rewritten) layer data, completes a pended classify with the copied
 * classify result, releases the classify handle, frees a record not handed to WFP, frees a
 * pooled request (a request on the classify's stack is left empty) and sets *Request to
 * null. Accepts null and a pointer to null.
 * The pended path's deferred work releases its payload through it.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseRedirectRequest(_Inout_ PREDIRECT_REQUEST *Request);

/*
 * Allocates and fills the context record of this connection: requested destination, local
 * port, ProcessId and the application id. STATUS_NO_MEMORY when it cannot be allocated;
 * STATUS_INVALID_PARAMETER when the application id is too long for the record's 16-bit
 * Size; otherwise the failure of the value accessor that failed.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS BuildRedirectContextRecord(_In_ const FWPS_INCOMING_VALUES0 *FixedValues, _In_ UINT64 ProcessId,
                                    _Outptr_result_maybenull_ PREDIRECT_CONTEXT_RECORD *Record);

/* The filter's RedirectTargetBlob, or null when its provider context has no 10-byte data buffer. */
_IRQL_requires_max_(DISPATCH_LEVEL)
const REDIRECT_TARGET_BLOB *GetRedirectTargetBlob(_In_ const FWPS_FILTER1 *Filter);

/* Frees *Record if set and clears it. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeRedirectContextRecord(_Inout_ PREDIRECT_CONTEXT_RECORD *Record);

EXTERN_C_END
