/*
 * deferred_work.h
 *
 * The pended path of a redirect: a DeferredWork holder (an I/O work item that owns one
 * payload and knows how to release it), the work routine that asks the agent's service for
 * the target port, applies the redirect and completes the pended classify, and the port
 * query itself over the callback channel.
 *
 * Teardown: every DeferredWork holds a reference on the driver's pended-redirect rundown.
 * RundownPendedRedirects (WfpUninitialize, before any callout is unregistered and before
 * WfpContext is released) refuses new holders, wakes port queries that are waiting for
 * the agent (they give up and complete their classifies unredirected) and waits until
 * every holder is destroyed, so no work routine outlives the WFP side it uses.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#include "redirect_request.h"

/* Releases a payload still owned by a holder that is destroyed; clears *Payload. */
typedef _IRQL_requires_max_(DISPATCH_LEVEL)
_Function_class_(DEFERRED_WORK_RELEASE)
VOID DEFERRED_WORK_RELEASE(_Inout_ PVOID *Payload);
typedef DEFERRED_WORK_RELEASE *PDEFERRED_WORK_RELEASE;

typedef struct _DEFERRED_WORK {
    PIO_WORKITEM WorkItem;                  // from IoAllocateWorkItem for the control device
    PVOID Payload;                          // the owned payload; null when none
    PDEFERRED_WORK_RELEASE ReleasePayload;  // releases Payload when the holder goes first
    BOOLEAN HoldsRundown;                   // a reference on the pended-redirect rundown is held
} DEFERRED_WORK, *PDEFERRED_WORK;

/* Request type of the port query on the callback channel. */
#define CALLBACK_TYPE_PORT_QUERY 3

/* How long a pended redirect waits for the agent's port: 10 seconds, relative. */
#define PORT_QUERY_TIMEOUT_100NS (-10LL * 1000 * 1000 * 10)

/* The smallest reply of the agent: ULONG result, USHORT port. */
#define PORT_QUERY_REPLY_MIN_SIZE 6

/*
 * One port query. Allocated from pool and reference-counted: the waiting work routine holds
 * one reference and the reply routine another, so a reply that is already running when the
 * wait gives up never writes into freed memory.
 */
typedef struct _PORT_QUERY {
    KEVENT Event;     // notification event, set by the reply routine
    USHORT Port;      // the answered port, host order
    NTSTATUS Status;  // result of the reply
    LONG References;  // the waiter's and, until it ran or was cancelled, the reply routine's
} PORT_QUERY, *PPORT_QUERY;

EXTERN_C_START

/*
 * Creates a holder with a work item for DeviceObject and moves *Payload into it (*Payload
 * is null on success; on failure the caller keeps it). STATUS_INVALID_PARAMETER without an
 * out pointer; STATUS_NO_MEMORY for the holder or the work item; STATUS_DELETE_PENDING while
 * the driver's WFP side is going down.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS CreateDeferredWork(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PVOID *Payload,
                            _In_ PDEFERRED_WORK_RELEASE ReleasePayload, _Outptr_result_maybenull_ PDEFERRED_WORK *Work);

/* Releases a still-owned payload, frees the work item and the holder, clears *Work. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID DestroyDeferredWork(_Inout_ PDEFERRED_WORK *Work);

/*
 * Asks the agent's service for the target port of Request's connection and waits up to 10
 * seconds. STATUS_INVALID_PARAMETER on a time-out, a refused or short reply, an answer of
 * port 0, or when the WFP side is going down; the failure of SendCallbackRequest when the
 * question could not be sent; STATUS_NO_MEMORY for the query record.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS QueryTargetPort(_In_ PREDIRECT_REQUEST Request, _Out_ UINT16 *Port);

/* CALLBACK_COMPLETION_ROUTINE of the port query; Context is its PORT_QUERY. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID OnPortReply(_In_reads_bytes_(PayloadLength) const VOID *Payload, _In_ UINT32 PayloadLength,
                 _In_opt_ PVOID Context);

/* Opens the pended-redirect rundown; WfpInitialize calls it before any callout is registered. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitPendedRedirects(VOID);

/*
 * Refuses new pended redirects, wakes the port queries in flight and waits until every
 * DeferredWork is gone. Does nothing when the rundown is not open; safe twice.
 */
_IRQL_requires_(PASSIVE_LEVEL)
VOID RundownPendedRedirects(VOID);

/* DeferredWork holders alive now (for diagnostics). */
_IRQL_requires_max_(DISPATCH_LEVEL)
LONG PendedRedirectsInFlight(VOID);

EXTERN_C_END
