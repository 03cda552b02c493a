/*
 * auth_operations.cpp
 *
 * Pended auth-connect operations: their records, the service's reply that completes them,
 * and the held list through which the teardown, and the service closing its handle,
 * complete the operations still waiting for an answer. Exactly one party completes an operation: whoever
 * holds its question, which is the classify until the question is sent, then the callback
 * channel's entry, taken either by the reply or by CancelCallbackRequest.
 */
#include "auth_connect.h"

#include "pool_tags.h"
#include "callback_questions.h"
#include "../redirect/wfp_context.h"
#include "../trace/trace.h"
#include "auth_operations.tmh"

/*
 * Lock order: Lock is a leaf. Nothing is called out to under it; the callback channel and
 * WFP are called only after it is released.
 */
typedef struct _HELD_AUTH_OPERATIONS {
    KSPIN_LOCK Lock;          // guards List, Closed and every record's OnHeldList
    LIST_ENTRY List;          // records whose question is out
    BOOLEAN Open;             // InitHeldAuthOperations ran and no closing release finished
    volatile BOOLEAN Closed;  // no record joins the list any more
    volatile LONG Alive;      // operation records not yet freed
    KEVENT RecordFreed;       // synchronization: a record was freed while Closed
} HELD_AUTH_OPERATIONS;

static HELD_AUTH_OPERATIONS HeldOperations;

_Use_decl_annotations_
VOID InitHeldAuthOperations(VOID)
{
    KeInitializeSpinLock(&HeldOperations.Lock);
    InitializeListHead(&HeldOperations.List);
    KeInitializeEvent(&HeldOperations.RecordFreed, SynchronizationEvent, FALSE);
    HeldOperations.Closed = FALSE;
    HeldOperations.Alive = 0;
    HeldOperations.Open = TRUE;
}

/* Drops one reference; the last frees the record and its reference on the flow context. */
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ReleaseAuthOperation(_Inout_ PPENDED_AUTH_OPERATION *Owner)
{
    PPENDED_AUTH_OPERATION operation = *Owner;

    *Owner = nullptr;
    if (operation == nullptr || InterlockedDecrement(&operation->References) != 0) {
        return;
    }
    FreeAuthFlowContext(&operation->FlowContext);
    ExFreePoolWithTag(operation, QVR_TAG_WFP);
    InterlockedDecrement(&HeldOperations.Alive);
    // A closing release waits for the last record.
    if (HeldOperations.Closed) {
        KeSetEvent(&HeldOperations.RecordFreed, IO_NO_INCREMENT, FALSE);
    }
}

_Use_decl_annotations_
VOID CompleteAuthOperation(PPENDED_AUTH_OPERATION *Owner)
{
    PPENDED_AUTH_OPERATION operation;

    if (Owner == nullptr || *Owner == nullptr) {
        return;
    }
    operation = *Owner;
    if (operation->Pended) {
        operation->Pended = FALSE;
        // At auth-connect WFP now re-authorizes the connection with IS_REAUTHORIZE and the
        // flow context, and the classify gives its final answer there.
        FwpsCompleteOperation0(operation->CompletionContext, nullptr);
    }
    ReleaseAuthOperation(Owner);
}

_Use_decl_annotations_
NTSTATUS PendAuthOperation(const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, PAUTH_FLOW_CONTEXT FlowContext,
                           PPENDED_AUTH_OPERATION *Operation)
{
    NTSTATUS status;
    PPENDED_AUTH_OPERATION operation;

    *Operation = nullptr;
    if (MetaValues->completionHandle == nullptr || MetaValues->redirectRecords == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no completion or records handle %!STATUS!", status);
        return status;
    }
    operation = static_cast<PPENDED_AUTH_OPERATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PENDED_AUTH_OPERATION), QVR_TAG_WFP));
    *Operation = operation;
    if (operation == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(operation, sizeof(*operation));
    InitializeListHead(&operation->HeldLink);
    operation->References = 1;
    InterlockedIncrement(&HeldOperations.Alive);

    status = FwpsPendOperation0(MetaValues->completionHandle, &operation->CompletionContext);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsPendOperation0 failed: %!STATUS!", status);
        CompleteAuthOperation(Operation);
        return status;
    }
    operation->Pended = TRUE;
    InterlockedIncrement(&FlowContext->References);
    operation->FlowContext = FlowContext;
    return STATUS_SUCCESS;
}

/* Takes the record off the held list if it is there; TRUE when the caller got the list's reference. */
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN LeaveHeldList(_In_ PPENDED_AUTH_OPERATION Operation)
{
    KIRQL irql;
    BOOLEAN wasOnList;

    KeAcquireSpinLock(&HeldOperations.Lock, &irql);
    wasOnList = Operation->OnHeldList;
    if (wasOnList) {
        RemoveEntryList(&Operation->HeldLink);
        InitializeListHead(&Operation->HeldLink);
        Operation->OnHeldList = FALSE;
    }
    Operation->Settled = TRUE;
    KeReleaseSpinLock(&HeldOperations.Lock, irql);
    return wasOnList;
}

/* The question's owner is done with it: off the held list, the operation completed. */
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SettleAuthOperation(_In_ PPENDED_AUTH_OPERATION Operation)
{
    PPENDED_AUTH_OPERATION question = Operation;
    PPENDED_AUTH_OPERATION listReference = LeaveHeldList(Operation) ? Operation : nullptr;

    CompleteAuthOperation(&question);
    ReleaseAuthOperation(&listReference);
}

_Use_decl_annotations_
VOID OnRedirectRecordsReply(const VOID *Payload, UINT32 PayloadLength, PVOID Context)
{
    PPENDED_AUTH_OPERATION operation = static_cast<PPENDED_AUTH_OPERATION>(Context);
    BOOLEAN block;
    UINT32 blockFlag = 0;
    UINT16 tag = 0;

    if (operation == nullptr) {
        return;
    }
    if (Payload == nullptr || PayloadLength < REDIRECT_RECORDS_REPLY_MIN_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: reply of %u bytes blocks", PayloadLength);
        block = TRUE;
    } else {
        RtlCopyMemory(&tag, Payload, sizeof(tag));
        RtlCopyMemory(&blockFlag, (const UCHAR *)Payload + sizeof(tag), sizeof(blockFlag));
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: block flag 0x%08X, tag %u", blockFlag, (unsigned)tag);
        block = blockFlag != 0 ? TRUE : FALSE;
    }
    // The record's reference keeps the context alive even when WFP has deleted the flow.
    operation->FlowContext->Block = block;
    operation->FlowContext->Answered = TRUE;
    SettleAuthOperation(operation);
}

/*
 * After a successful send: the record joins the held list with the classify's extra
 * reference, unless the reply has been and gone. When the list is closed (the teardown has
 * begun) the question is taken back; STATUS_CANCELLED then means the classify holds the
 * question again and must fail. *ClassifyReference is null on return.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
static NTSTATUS JoinHeldAuthOperations(_Inout_ PPENDED_AUTH_OPERATION *ClassifyReference, _In_ UINT64 RequestId)
{
    PPENDED_AUTH_OPERATION operation = *ClassifyReference;
    KIRQL irql;
    BOOLEAN closed;
    WDFFILEOBJECT carrier = nullptr;

    // Not found: the reply has been (the record is then settled and stays off the list).
    (VOID) GetCallbackRequestCarrier(RequestId, &carrier);

    KeAcquireSpinLock(&HeldOperations.Lock, &irql);
    closed = HeldOperations.Closed;
    if (!closed && !operation->Settled) {
        operation->RequestId = RequestId;
        operation->Carrier = carrier;
        InsertTailList(&HeldOperations.List, &operation->HeldLink);
        operation->OnHeldList = TRUE;
        *ClassifyReference = nullptr;  // now the list's
    }
    KeReleaseSpinLock(&HeldOperations.Lock, irql);
    if (closed && NT_SUCCESS(WfpContext.CancelCallbackRequest(RequestId))) {
        ReleaseAuthOperation(ClassifyReference);
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER,
                    "held operation of request %I64u withdrawn: the WFP side is going down", RequestId);
        return STATUS_CANCELLED;
    }
    ReleaseAuthOperation(ClassifyReference);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS SendRedirectRecordsQuestion(PPENDED_AUTH_OPERATION *Operation, const VOID *Payload, UINT32 PayloadLength)
{
    NTSTATUS status;
    PPENDED_AUTH_OPERATION classifyReference = *Operation;
    UINT64 requestId = 0;

    // Once the question is out its reply may free the record at any moment; this
    // reference keeps it for the held list.
    InterlockedIncrement(&classifyReference->References);
    status = WfpContext.SendCallbackRequest(CALLBACK_TYPE_REDIRECT_RECORDS, Payload, PayloadLength,
                                            OnRedirectRecordsReply, classifyReference, &requestId);
    if (!NT_SUCCESS(status)) {
        ReleaseAuthOperation(&classifyReference);
        return status;
    }
    status = JoinHeldAuthOperations(&classifyReference, requestId);
    if (NT_SUCCESS(status)) {
        *Operation = nullptr;  // the question owns it
    }
    return status;
}

/*
 * Takes the first record off the list with the list's reference: any record when
 * FileObject is null (the teardown, which also closes the list), else the first whose
 * question went out on that handle's request. null when there is none.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static PPENDED_AUTH_OPERATION TakeHeldOperation(_In_opt_ WDFFILEOBJECT FileObject)
{
    KIRQL irql;
    PLIST_ENTRY entry;
    PPENDED_AUTH_OPERATION operation = nullptr;
    PPENDED_AUTH_OPERATION candidate;

    KeAcquireSpinLock(&HeldOperations.Lock, &irql);
    if (FileObject == nullptr) {
        HeldOperations.Closed = TRUE;
    }
    for (entry = HeldOperations.List.Flink; entry != &HeldOperations.List; entry = entry->Flink) {
        candidate = CONTAINING_RECORD(entry, PENDED_AUTH_OPERATION, HeldLink);
        if (FileObject == nullptr || candidate->Carrier == FileObject) {
            operation = candidate;
            RemoveEntryList(&operation->HeldLink);
            InitializeListHead(&operation->HeldLink);
            operation->OnHeldList = FALSE;
            break;
        }
    }
    KeReleaseSpinLock(&HeldOperations.Lock, irql);
    return operation;
}

/* Completes a record taken off the list without a verdict, if the cancel gets its question. */
_IRQL_requires_(PASSIVE_LEVEL)
static BOOLEAN ReleaseHeldOperation(_Inout_ PPENDED_AUTH_OPERATION *Operation)
{
    PPENDED_AUTH_OPERATION question = *Operation;
    BOOLEAN released = FALSE;

    // Only one of this cancel and the service's reply can take the question. Without an
    // answer the re-authorization leaves the connection to the other filters.
    if (NT_SUCCESS(WfpContext.CancelCallbackRequest(question->RequestId))) {
        CompleteAuthOperation(&question);
        released = TRUE;
    }
    ReleaseAuthOperation(Operation);
    return released;
}

_Use_decl_annotations_
VOID ReleaseHeldAuthOperations(VOID)
{
    PPENDED_AUTH_OPERATION operation;
    ULONG released = 0;

    if (!HeldOperations.Open) {
        return;
    }
    for (;;) {
        operation = TakeHeldOperation(nullptr);
        if (operation == nullptr) {
            if (InterlockedCompareExchange(&HeldOperations.Alive, 0, 0) == 0) {
                break;
            }
            // Classifies between their pend and the list, and replies in progress, finish
            // on their own; each freed record wakes this loop.
            KeWaitForSingleObject(&HeldOperations.RecordFreed, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        released += ReleaseHeldOperation(&operation) ? 1 : 0;
    }
    HeldOperations.Open = FALSE;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%u held connections completed without a verdict", released);
}

_Use_decl_annotations_
VOID ReleaseHeldAuthOperationsOf(WDFFILEOBJECT FileObject)
{
    PPENDED_AUTH_OPERATION operation;
    ULONG released = 0;

    if (!HeldOperations.Open || FileObject == nullptr) {
        return;
    }
    while ((operation = TakeHeldOperation(FileObject)) != nullptr) {
        released += ReleaseHeldOperation(&operation) ? 1 : 0;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "the service's handle closed: %u held connections completed without a verdict", released);
}
