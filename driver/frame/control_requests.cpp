/*
 * control_requests.cpp
 *
 * Validation and dispatch of the service's configuration requests. Each record carries
 * whole state: a rules record replaces the entire name list and mode, a QUIC record the
 * switch. A record that fails validation changes nothing.
 */
#include <ntddk.h>
#include <wdf.h>

#include "qvr_ioctl.h"
#include "callback_channel.h"
#include "control_requests.h"
#include "driver_state.h"
#include "../policy/process_table.h"
#include "../policy/rule_store.h"
#include "../trace/trace.h"
#include "control_requests.tmh"

// A control request's input seen as a record: its header, the input's length and how the
// two measure up.
typedef struct _CONTROL_RECORD_INPUT {
    const CONTROL_RECORD_HEADER *Header;  // the input's first bytes
    size_t Length;                        // bytes of input, at least the record's minimum
    BOOLEAN IsWhole;                      // the input holds the Size bytes the header claims
    BOOLEAN IsOfType;                     // the header's Type is the one the request takes
} CONTROL_RECORD_INPUT, *PCONTROL_RECORD_INPUT;

// Retrieves the input of at least MinimumSize bytes and measures it against a record of
// Type; the framework's status when the input is shorter. The handler judges the rest,
// each with the status its request gives.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS RetrieveControlRecord(_In_ WDFREQUEST Request, _In_ size_t MinimumSize, _In_ UINT32 Type,
                                      _Out_ PCONTROL_RECORD_INPUT Input)
{
    NTSTATUS status;
    PVOID buffer = nullptr;
    size_t length = 0;

    RtlZeroMemory(Input, sizeof(*Input));
    status = WdfRequestRetrieveInputBuffer(Request, MinimumSize, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Input->Header = static_cast<const CONTROL_RECORD_HEADER *>(buffer);
    Input->Length = length;
    Input->IsWhole = length >= Input->Header->Size ? TRUE : FALSE;
    Input->IsOfType = Input->Header->Type == Type ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

// IOCTL_QVR_SET_PROCESS_RULES: validates the record and swaps the rule list in whole.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SetProcessRules(_In_ WDFREQUEST Request)
{
    NTSTATUS status;
    CONTROL_RECORD_INPUT input;
    const PROCESS_RULES_RECORD *record;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_RULES, "%!FUNC!: entry");
    status = RetrieveControlRecord(Request, PROCESS_RULES_RECORD_MIN_SIZE, QVR_RECORD_TYPE_PROCESS_RULES, &input);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: input buffer %!STATUS!", status);
        goto Exit;
    }
    record = reinterpret_cast<const PROCESS_RULES_RECORD *>(input.Header);
    if (!input.IsWhole) {
        status = STATUS_BUFFER_TOO_SMALL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: input %I64u bytes, record size %u %!STATUS!",
                    static_cast<UINT64>(input.Length), record->Header.Size, status);
        goto Exit;
    }
    if (!input.IsOfType) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: record type %u %!STATUS!", record->Header.Type, status);
        goto Exit;
    }

    // The names area runs to the end of the input; the record's Size does not bound it.
    status = ReplaceRules(reinterpret_cast<const UCHAR *>(record) + FIELD_OFFSET(PROCESS_RULES_RECORD, Names),
                          input.Length - FIELD_OFFSET(PROCESS_RULES_RECORD, Names), record->Count,
                          record->Mode != 0 ? TRUE : FALSE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: rules refused %!STATUS!", status);
        goto Exit;
    }
    // Every known process's flag is re-derived from the new rules; the rescan always succeeds.
    status = RescanProcesses();

Exit:
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_RULES, "%!FUNC!: result %!STATUS!", status);
    return status;
}

// IOCTL_QVR_SET_QUIC_BLOCKING: stores the switch unchanged.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SetQuicBlocking(_In_ WDFREQUEST Request)
{
    NTSTATUS status;
    CONTROL_RECORD_INPUT input;
    const QUIC_BLOCKING_RECORD *record;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: entry");
    status = RetrieveControlRecord(Request, QUIC_BLOCKING_RECORD_MIN_SIZE, QVR_RECORD_TYPE_QUIC_BLOCKING, &input);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: input buffer %!STATUS!", status);
        goto Exit;
    }
    record = reinterpret_cast<const QUIC_BLOCKING_RECORD *>(input.Header);
    if (!input.IsWhole || !input.IsOfType) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: input %I64u bytes, size %u, type %u %!STATUS!",
                    static_cast<UINT64>(input.Length), record->Header.Size, record->Header.Type, status);
        goto Exit;
    }
    InterlockedExchange(&QuicBlockingEnabled, static_cast<LONG>(record->Enabled));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: QUIC blocking %u", record->Enabled);

Exit:
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: result %!STATUS!", status);
    return status;
}

VOID ControlDeviceIoControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                            ULONG IoControlCode)
{
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);

    switch (IoControlCode) {
    case IOCTL_QVR_SET_PROCESS_RULES:
        status = SetProcessRules(Request);
        break;
    case IOCTL_QVR_SET_QUIC_BLOCKING:
        status = SetQuicBlocking(Request);
        break;
    case IOCTL_QVR_CALLBACK:
        // The callback channel completes the request or parks it.
        CallbackIoControl(Request, InputBufferLength);
        return;
    default:
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: control code 0x%08X %!STATUS!", IoControlCode, status);
        break;
    }
    WdfRequestCompleteWithInformation(Request, status, 0);
}
