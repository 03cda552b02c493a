/*
 * auth_connect.h
 *
 * The redirect-records callouts of both ALE auth-connect layers: a connection that the
 * connect-redirect callout sent to the agent's proxy is held here. Its auth-connect
 * operation is pended, its redirect records go to the agent's service as a type-4
 * question, and the service's reply sets the verdict that the re-authorization applies.
 * Between the two classifies the connection's state lives in an AUTH_FLOW_CONTEXT that is
 * associated with the WFP flow and entered in the FlowContextTable.
 *
 * Lifetimes. A flow context is reference-counted: WFP's association holds one reference
 * (given back by the flow-delete callback) and each pended operation holds one (given back
 * when the operation record is freed), so a reply that comes after WFP deleted the flow, or
 * after the teardown drained the table, still writes into live memory. Every operation whose
 * question is out is on the held list; the teardown takes the questions back from the
 * callback channel and completes their operations without a verdict, and so does the
 * closing of the service's handle for the questions its requests carried, so no
 * connection stays held for ever.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>
#include <wdf.h>

#include "flow_context_table.h"

/* Request type of the redirect-records question on the callback channel. */
#define CALLBACK_TYPE_REDIRECT_RECORDS 4

/* The question's payload header: Family (4), RemotePort (2), RecordsLength (4). */
#define REDIRECT_RECORDS_REQUEST_HEADER_SIZE 10
/* The header, the records and one spare zero byte. */
#define REDIRECT_RECORDS_REQUEST_OVERHEAD    (REDIRECT_RECORDS_REQUEST_HEADER_SIZE + 1)

/* The smallest reply that carries a verdict: UINT16 (traced only), UINT32 block flag. */
#define REDIRECT_RECORDS_REPLY_MIN_SIZE 6

#pragma pack(push, 1)
/* The type-4 question's payload as it lies on the wire (little-endian, packed). */
typedef struct _REDIRECT_RECORDS_REQUEST {
    UINT32 Family;         // AF_INET or AF_INET6
    UINT16 RemotePort;     // remote port, host order
    UINT32 RecordsLength;  // bytes of Records that the records query wrote
    UCHAR Records[1];      // the redirect records in SIO form, then one zero byte
} REDIRECT_RECORDS_REQUEST, *PREDIRECT_RECORDS_REQUEST;
#pragma pack(pop)
C_ASSERT(FIELD_OFFSET(REDIRECT_RECORDS_REQUEST, Records) == REDIRECT_RECORDS_REQUEST_HEADER_SIZE);

/* One held connection's state between its first classify and its re-authorization. */
typedef struct _AUTH_FLOW_CONTEXT {
    UINT64 FlowHandle;         // flowHandle of the classify's metadata
    UINT16 LayerId;            // FWPS_LAYER_ALE_AUTH_CONNECT_V4 or _V6
    UINT32 CalloutId;          // run-time id of the redirect-records callout of the family
    BOOLEAN Associated;        // FwpsFlowAssociateContext0 succeeded and nobody removed it yet
    volatile BOOLEAN InTable;  // the address is a key of the FlowContextTable
    BOOLEAN Block;             // the service's verdict; FALSE until a reply sets it
    BOOLEAN Answered;          // a reply set Block; FALSE: completed without the service's word
    volatile LONG References;  // WFP's association and each pended operation
} AUTH_FLOW_CONTEXT, *PAUTH_FLOW_CONTEXT;

/* One pended auth-connect operation, owned by its type-4 question while that is out. */
typedef struct _PENDED_AUTH_OPERATION {
    HANDLE CompletionContext;        // from FwpsPendOperation0
    PAUTH_FLOW_CONTEXT FlowContext;  // referenced while the record holds it
    BOOLEAN Pended;                  // FwpsCompleteOperation0 is still owed
    BOOLEAN OnHeldList;              // HeldLink is in the held list (held list's lock)
    BOOLEAN Settled;                 // the reply has taken it (held list's lock)
    LIST_ENTRY HeldLink;             // entry of the held list
    UINT64 RequestId;                // the question's id; written before the record joins the list
    WDFFILEOBJECT Carrier;           // the handle whose request carried the question out
    volatile LONG References;        // the question's, and the classify's or the held list's
} PENDED_AUTH_OPERATION, *PPENDED_AUTH_OPERATION;

EXTERN_C_START

/* classifyFn of both redirect-records callouts. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI AleAuthConnectClassifyFnRedirectRecords(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                                                   _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                                                   _Inout_opt_ void *LayerData, _In_opt_ const void *ClassifyContext,
                                                   _In_ const FWPS_FILTER1 *Filter, _In_ UINT64 FlowContext,
                                                   _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut);

/* flowDeleteFn of both callouts: takes the context out of the table and drops WFP's reference. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI RedirectRecordsFlowDeleteFn(_In_ UINT16 LayerId, _In_ UINT32 CalloutId, _In_ UINT64 FlowContext);

/* notifyFn of both callouts: traces and accepts every notification. */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI RedirectRecordsNotifyFn(_In_ FWPS_CALLOUT_NOTIFY_TYPE NotifyType, _In_ const GUID *FilterKey,
                                       _Inout_ FWPS_FILTER1 *Filter);

/* The run-time id of the callout of Family (AF_INET, AF_INET6); STATUS_UNSUCCESSFUL when unknown. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS GetAuthCalloutId(_In_ UINT16 Family, _Out_ UINT32 *CalloutId);

/* A new context with one reference (the caller's), for the classify's flow and layer. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS CreateAuthFlowContext(_In_ const FWPS_INCOMING_VALUES0 *FixedValues,
                               _In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues,
                               _Outptr_result_maybenull_ PAUTH_FLOW_CONTEXT *Context);

/* Drops the owner's reference (the last one frees the context) and clears the owner. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeAuthFlowContext(_Inout_opt_ PAUTH_FLOW_CONTEXT *Owner);

/*
 * The re-authorization's verdict: BLOCK (hard) or PERMIT as the service answered, the
 * connection left to the other filters when the operation was completed without an answer;
 * then the context is removed from the flow. Returns FwpsFlowRemoveContext0's status.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ApplyAuthVerdict(_In_ UINT64 FlowContext, _Inout_ FWPS_CLASSIFY_OUT0 *ClassifyOut,
                          _In_ const FWPS_FILTER1 *Filter);

/* CALLBACK_COMPLETION_ROUTINE of every type-4 question; Context is its PENDED_AUTH_OPERATION. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID OnRedirectRecordsReply(_In_reads_bytes_(PayloadLength) const VOID *Payload, _In_ UINT32 PayloadLength,
                            _In_opt_ PVOID Context);

/* Pends the classify's operation into a new record that references FlowContext. */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS PendAuthOperation(_In_ const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, _In_ PAUTH_FLOW_CONTEXT FlowContext,
                           _Outptr_result_maybenull_ PPENDED_AUTH_OPERATION *Operation);

/*
 * Gives back the owner's hold on the record: completes the operation if it is still owed
 * and drops one reference (the last frees the record and its context reference). Clears
 * the owner; does nothing for a null owner or record.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompleteAuthOperation(_Inout_opt_ PPENDED_AUTH_OPERATION *Owner);

/*
 * Sends the operation's type-4 question and enters the record in the held list. On success
 * the question owns the record and *Operation is null; on failure (the send's status, or
 * STATUS_CANCELLED when the teardown began meanwhile and the question was taken back) the
 * caller still owns it and completes it.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
_Must_inspect_result_
NTSTATUS SendRedirectRecordsQuestion(_Inout_ PPENDED_AUTH_OPERATION *Operation,
                                     _In_reads_bytes_(PayloadLength) const VOID *Payload, _In_ UINT32 PayloadLength);

/* The drain's per-element step for the FlowContextTable (see flow_context_table.h). */
FLOW_CONTEXT_DRAIN_STEP RemoveAuthFlowContextForDrain;

/* Opens the held list; WfpInitialize calls it before any callout is registered. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitHeldAuthOperations(VOID);

/*
 * The teardown's step: closes the held list for good (a question sent later is withdrawn
 * by its classify), completes every held operation without a verdict and returns only
 * when no operation record is left. Safe when the list was never opened, and twice.
 */
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseHeldAuthOperations(VOID);

/*
 * EvtFileCleanup's step: the held operations whose questions went out on requests of the
 * closed handle can get no answer; they are completed without a verdict.
 */
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseHeldAuthOperationsOf(_In_ WDFFILEOBJECT FileObject);

EXTERN_C_END
