/*
 * deferred_work.cpp
 *
 * The pended path of a redirect: the DeferredWork holder, the work routine that completes
 * a pended redirect, the port query to the agent's service with its reply routine, and the
 * rundown through which the WFP teardown waits for pended redirects in flight.
 */
#include "deferred_work.h"

#include "pool_tags.h"
#include "wfp_context.h"
#include "../trace/trace.h"
#include "deferred_work.tmh"

/*
 * Pended redirects in flight. Active counts the live DeferredWork holders plus one while
 * the rundown is open; the holder that takes it to 0 sets Idle. Stop is set when the
 * teardown begins, so port queries stop waiting for the agent.
 */
typedef struct _PENDED_REDIRECTS {
    LONG volatile Active;   // live holders, plus one while open
    LONG volatile Closing;  // non-zero once the rundown began: no new holder
    LONG volatile Open;     // InitPendedRedirects ran and the rundown has not finished
    KEVENT Idle;            // notification: Active reached 0
    KEVENT Stop;            // notification: the teardown began
} PENDED_REDIRECTS;

static PENDED_REDIRECTS PendedRedirects;

_Use_decl_annotations_
VOID InitPendedRedirects(VOID)
{
    KeInitializeEvent(&PendedRedirects.Idle, NotificationEvent, FALSE);
    KeInitializeEvent(&PendedRedirects.Stop, NotificationEvent, FALSE);
    InterlockedExchange(&PendedRedirects.Closing, 0);
    InterlockedExchange(&PendedRedirects.Active, 1);
    InterlockedExchange(&PendedRedirects.Open, TRUE);
}

static VOID ReleasePendedRedirect(VOID)
{
    if (InterlockedDecrement(&PendedRedirects.Active) == 0) {
        KeSetEvent(&PendedRedirects.Idle, 0, FALSE);
    }
}

/* Takes a reference for one holder; FALSE once the rundown has begun. */
_Must_inspect_result_
static BOOLEAN AcquirePendedRedirect(VOID)
{
    // Classifies read these while a teardown writes them: never a plain access.
    if (!ReadAcquire(&PendedRedirects.Open) || ReadAcquire(&PendedRedirects.Closing) != 0) {
        return FALSE;
    }
    InterlockedIncrement(&PendedRedirects.Active);
    // The rundown may have begun between the test and the increment; it then either saw
    // this reference or already finished, and the reference must not be kept.
    if (ReadAcquire(&PendedRedirects.Closing) != 0) {
        ReleasePendedRedirect();
        return FALSE;
    }
    return TRUE;
}

_Use_decl_annotations_
VOID RundownPendedRedirects(VOID)
{
    LONG inFlight;

    if (!ReadAcquire(&PendedRedirects.Open)) {
        return;
    }
    InterlockedExchange(&PendedRedirects.Closing, 1);
    inFlight = ReadAcquire(&PendedRedirects.Active) - 1;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: %d pended redirects in flight", (int)inFlight);
    KeSetEvent(&PendedRedirects.Stop, 0, FALSE);
    ReleasePendedRedirect();
    KeWaitForSingleObject(&PendedRedirects.Idle, Executive, KernelMode, FALSE, nullptr);
    InterlockedExchange(&PendedRedirects.Open, FALSE);
}

_Use_decl_annotations_
LONG PendedRedirectsInFlight(VOID)
{
    LONG active = ReadAcquire(&PendedRedirects.Active);
    return ReadAcquire(&PendedRedirects.Open) && ReadAcquire(&PendedRedirects.Closing) == 0 ? active - 1 : active;
}

_Use_decl_annotations_
NTSTATUS CreateDeferredWork(PDEVICE_OBJECT DeviceObject, PVOID *Payload, PDEFERRED_WORK_RELEASE ReleasePayload,
                            PDEFERRED_WORK *Work)
{
    NTSTATUS status;
    PDEFERRED_WORK work;

    if (Work == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no out pointer %!STATUS!", status);
        return status;
    }
    *Work = nullptr;
    work = static_cast<PDEFERRED_WORK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DEFERRED_WORK), QVR_TAG_WFP));
    if (work == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: holder %!STATUS!", status);
        return status;
    }
    RtlZeroMemory(work, sizeof(*work));

    if (!AcquirePendedRedirect()) {
        status = STATUS_DELETE_PENDING;
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%!FUNC!: the WFP side is going down %!STATUS!", status);
        goto Exit;
    }
    work->HoldsRundown = TRUE;

    work->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (work->WorkItem == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: IoAllocateWorkItem %!STATUS!", status);
        goto Exit;
    }
    work->ReleasePayload = ReleasePayload;
    work->Payload = *Payload;
    *Payload = nullptr;
    *Work = work;
    work = nullptr;
    status = STATUS_SUCCESS;

Exit:
    // A holder that failed owns no payload yet: the caller keeps it.
    DestroyDeferredWork(&work);
    return status;
}

_Use_decl_annotations_
VOID DestroyDeferredWork(PDEFERRED_WORK *Work)
{
    PDEFERRED_WORK work;
    BOOLEAN holdsRundown;

    if (Work == nullptr || *Work == nullptr) {
        return;
    }
    work = *Work;
    if (work->Payload != nullptr && work->ReleasePayload != nullptr) {
        work->ReleasePayload(&work->Payload);
    }
    work->Payload = nullptr;
    work->ReleasePayload = nullptr;
    if (work->WorkItem != nullptr) {
        IoFreeWorkItem(work->WorkItem);
        work->WorkItem = nullptr;
    }
    holdsRundown = work->HoldsRundown;
    ExFreePoolWithTag(work, QVR_TAG_WFP);
    *Work = nullptr;
    // Last: once the rundown is released the teardown may release what this path used.
    if (holdsRundown) {
        ReleasePendedRedirect();
    }
}

static VOID ReleasePortQuery(_Inout_ PPORT_QUERY *Query)
{
    PPORT_QUERY query = *Query;

    *Query = nullptr;
    if (query != nullptr && InterlockedDecrement(&query->References) == 0) {
        ExFreePoolWithTag(query, QVR_TAG_WFP);
    }
}

// A zeroed query with its reply event, referenced by the asker and by the reply routine;
// null when it cannot be allocated.
static PPORT_QUERY CreatePortQuery(VOID)
{
    PPORT_QUERY query =
        static_cast<PPORT_QUERY>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PORT_QUERY), QVR_TAG_WFP));

    if (query != nullptr) {
        RtlZeroMemory(query, sizeof(*query));
        KeInitializeEvent(&query->Event, NotificationEvent, FALSE);
        query->References = 2;
    }
    return query;
}

_Use_decl_annotations_
NTSTATUS QueryTargetPort(PREDIRECT_REQUEST Request, UINT16 *Port)
{
    NTSTATUS status;
    NTSTATUS cancelStatus;
    PPORT_QUERY query;
    PPORT_QUERY replyReference;
    ULONG payload;
    UINT64 requestId = 0;
    LARGE_INTEGER timeout;
    PVOID waitObjects[2];

    *Port = 0;
    if (KeReadStateEvent(&PendedRedirects.Stop) != 0) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "%!FUNC!: the WFP side is going down %!STATUS!", status);
        return status;
    }
    query = CreatePortQuery();
    if (query == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: query record %!STATUS!", status);
        return status;
    }
    replyReference = query;
    payload = static_cast<ULONG>(Request->ConnectRequest->remoteAddressAndPort.ss_family);

    status = WfpContext.SendCallbackRequest(CALLBACK_TYPE_PORT_QUERY, &payload, sizeof(payload), OnPortReply, query,
                                            &requestId);
    if (!NT_SUCCESS(status)) {
        // The question never went out: the reply routine will not run.
        ReleasePortQuery(&replyReference);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: SendCallbackRequest %!STATUS!", status);
        goto Exit;
    }

    waitObjects[0] = &query->Event;
    waitObjects[1] = &PendedRedirects.Stop;
    timeout.QuadPart = PORT_QUERY_TIMEOUT_100NS;
    status = KeWaitForMultipleObjects(2, waitObjects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
    if (status != STATUS_WAIT_0) {
        // Either the cancel takes the question, and the reply routine never runs, or a reply
        // took it first, and its routine drops its own reference when it is done.
        cancelStatus = WfpContext.CancelCallbackRequest(requestId);
        if (NT_SUCCESS(cancelStatus)) {
            ReleasePortQuery(&replyReference);
        }
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no answer to request %I64u (wait %!STATUS!)", requestId,
                    status);
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    status = query->Status;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: request %I64u refused %!STATUS!", requestId, status);
        goto Exit;
    }
    *Port = query->Port;

Exit:
    ReleasePortQuery(&query);
    return status;
}

_Use_decl_annotations_
VOID OnPortReply(const VOID *Payload, UINT32 PayloadLength, PVOID Context)
{
    PPORT_QUERY query = static_cast<PPORT_QUERY>(Context);
    ULONG result;
    USHORT port;

    if (query == nullptr) {
        return;
    }
    if (Payload == nullptr || PayloadLength < PORT_QUERY_REPLY_MIN_SIZE) {
        query->Status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: reply of %u bytes %!STATUS!", PayloadLength,
                    query->Status);
    } else {
        RtlCopyMemory(&result, Payload, sizeof(result));
        if (result != 0) {
            query->Status = STATUS_INVALID_PARAMETER;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: the agent refused with %u %!STATUS!",
                        (unsigned)result, query->Status);
        } else {
            RtlCopyMemory(&port, (const UCHAR *)Payload + sizeof(ULONG), sizeof(port));
            query->Port = port;
            query->Status = STATUS_SUCCESS;
            // Nothing listens on port 0: the query failed and the connection goes on as asked.
            if (port == 0) {
                query->Status = STATUS_INVALID_PARAMETER;
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: the agent answered port 0 %!STATUS!",
                            query->Status);
            }
        }
    }
    KeSetEvent(&query->Event, 0, FALSE);
    ReleasePortQuery(&query);
}
