/*
 * callback_table.cpp
 *
 * Life of the callback table and of the questions in it: creation and teardown, entering
 * a question, taking it for its reply, and cancelling it. A question is taken out of the
 * table under the lock before anything is done with it, so a reply and a cancel can never
 * both have it.
 */
#include "callback_table.h"
#include "../trace/trace.h"
#include "callback_table.tmh"

PCALLBACK_TABLE CallbackTable = nullptr;

// The table's free routine: a node still holding a completion record frees it first.
static _Function_class_(RTL_AVL_FREE_ROUTINE)
VOID NTAPI FreeCallbackEntryNode(_In_ PRTL_AVL_TABLE Table, _In_ __drv_freesMem(Mem) _Post_invalid_ PVOID Node)
{
    UNREFERENCED_PARAMETER(Table);
    PCALLBACK_COMPLETION completion = reinterpret_cast<PCALLBACK_COMPLETION>(LockedAvlElementOfNode(Node)->Value);

    FreeCallbackCompletion(&completion);
    ExFreePoolWithTag(Node, 0);
}

VOID FreeCallbackCompletion(PCALLBACK_COMPLETION *Completion)
{
    if (*Completion != nullptr) {
        ExFreePoolWithTag(*Completion, QVR_TAG_CALLBACK);
        *Completion = nullptr;
    }
}

NTSTATUS InitCallbackTable(PQVR_DRV_DEVICE_CONTEXT DeviceContext)
{
    NTSTATUS status = STATUS_SUCCESS;
    PCALLBACK_TABLE table;

    table =
        static_cast<PCALLBACK_TABLE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CALLBACK_TABLE), QVR_TAG_CALLBACK));
    if (table == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: allocation failed %!STATUS!", status);
        goto Exit;
    }
    RtlZeroMemory(table, sizeof(CALLBACK_TABLE));
    table->Table.Construct(FreeCallbackEntryNode);
    table->DeviceContext = DeviceContext;
    CallbackTable = table;

Exit:
    return status;
}

VOID FreeCallbackTable()
{
    PCALLBACK_TABLE table = CallbackTable;

    if (table == nullptr) {
        return;
    }
    // Closed first, so that no sender can enter a question while the table empties.
    table->Table.SetClosed(TRUE);
    table->Table.Clear();
    CallbackTable = nullptr;
    ExFreePoolWithTag(table, QVR_TAG_CALLBACK);
}

NTSTATUS InsertCallbackEntry(PCALLBACK_TABLE Table, UINT64 RequestId, PCALLBACK_COMPLETION Completion)
{
    return Table->Table.Insert(RequestId, reinterpret_cast<ULONG_PTR>(Completion), nullptr);
}

NTSTATUS TakeCallbackEntry(PCALLBACK_TABLE Table, UINT64 RequestId, PCALLBACK_COMPLETION *Completion)
{
    ULONG_PTR value = 0;
    NTSTATUS status = Table->Table.Take(RequestId, &value, nullptr);

    *Completion = reinterpret_cast<PCALLBACK_COMPLETION>(value);
    return status;
}

NTSTATUS CancelCallbackRequest(UINT64 RequestId)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    PCALLBACK_COMPLETION completion = nullptr;

    if (CallbackTable != nullptr) {
        status = TakeCallbackEntry(CallbackTable, RequestId, &completion);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: request %I64u %!STATUS!", RequestId, status);
        goto Exit;
    }
    FreeCallbackCompletion(&completion);

Exit:
    return status;
}

static _Function_class_(LOCKED_AVL_VISIT_ROUTINE)
VOID ReadCarrier(_In_ PLOCKED_AVL_ELEMENT Element, _Inout_ PULONG_PTR Value, _In_opt_ PVOID Context)
{
    UNREFERENCED_PARAMETER(Element);
    const CALLBACK_COMPLETION *completion = reinterpret_cast<const CALLBACK_COMPLETION *>(*Value);

    *static_cast<WDFFILEOBJECT *>(Context) = completion != nullptr ? completion->Carrier : nullptr;
}

NTSTATUS GetCallbackRequestCarrier(UINT64 RequestId, WDFFILEOBJECT *Carrier)
{
    PCALLBACK_TABLE table = CallbackTable;

    *Carrier = nullptr;
    // Read under the table's lock: a reply may take and free the question at any moment.
    return table != nullptr ? table->Table.Visit(RequestId, ReadCarrier, Carrier) : STATUS_NOT_FOUND;
}
