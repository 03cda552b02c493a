/*
 * callback_table.h
 *
 * The table of questions that await the service's reply, shared by the sending and the
 * replying halves of the callback channel. It is a LockedAvlTable keyed by request id
 * whose value is the question's completion record, plus the control device's context.
 */
#pragma once

#include "callback_channel.h"
#include "pool_tags.h"
#include "../flow/locked_avl_table.h"

// What to call when the reply arrives (NonPagedPoolNx, tag "QVCB"); owned by its entry.
typedef struct CallbackCompletion {
    PCALLBACK_COMPLETION_ROUTINE Routine;  // may be null: the question wants no answer
    PVOID Context;                         // handed to Routine unchanged
    WDFFILEOBJECT Carrier;                 // the handle whose request carried the question out
} CALLBACK_COMPLETION, *PCALLBACK_COMPLETION;

/*
 * A CallbackEntry is the table's element: Key is the RequestId, Value the address of its
 * CallbackCompletion. The table's free routine frees the completion record and the node.
 */
typedef struct _CALLBACK_TABLE {
    LockedAvlTable Table;                   // questions awaiting a reply, by request id
    PQVR_DRV_DEVICE_CONTEXT DeviceContext;  // PendingQueue, NextRequestId, RequestAvailableEvent
} CALLBACK_TABLE, *PCALLBACK_TABLE;

// Null until InitCallbackTable, null again after FreeCallbackTable.
extern PCALLBACK_TABLE CallbackTable;

// Enters the question of RequestId; the table owns Completion on success only.
// STATUS_UNSUCCESSFUL when the table is closed or the id is present, STATUS_NO_MEMORY.
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS InsertCallbackEntry(_In_ PCALLBACK_TABLE Table, _In_ UINT64 RequestId, _In_ PCALLBACK_COMPLETION Completion);

// Removes the question of RequestId and passes its completion record to the caller, who
// must free it with FreeCallbackCompletion. Only one caller can take a question.
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS TakeCallbackEntry(_In_ PCALLBACK_TABLE Table, _In_ UINT64 RequestId,
                           _Outptr_ PCALLBACK_COMPLETION *Completion);

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeCallbackCompletion(_Inout_ PCALLBACK_COMPLETION *Completion);
