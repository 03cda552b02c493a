/*
 * wdfrequest.h (winsim)
 *
 * Framework request objects as an I/O control handler sees them: buffers, completion,
 * forwarding to another queue of the same device.
 */
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfRequestRetrieveInputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredSize,
                                              _Outptr_result_bytebuffer_(*Length) PVOID *Buffer,
                                              _Out_opt_ size_t *Length);

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfRequestRetrieveOutputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredSize,
                                               _Outptr_result_bytebuffer_(*Length) PVOID *Buffer,
                                               _Out_opt_ size_t *Length);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfRequestComplete(_In_ WDFREQUEST Request, _In_ NTSTATUS Status);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfRequestCompleteWithInformation(_In_ WDFREQUEST Request, _In_ NTSTATUS Status,
                                              _In_ ULONG_PTR Information);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfRequestSetInformation(_In_ WDFREQUEST Request, _In_ ULONG_PTR Information);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI ULONG_PTR WdfRequestGetInformation(_In_ WDFREQUEST Request);

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfRequestForwardToIoQueue(_In_ WDFREQUEST Request, _In_ WDFQUEUE DestinationQueue);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI WDFQUEUE WdfRequestGetIoQueue(_In_ WDFREQUEST Request);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI WDFFILEOBJECT WdfRequestGetFileObject(_In_ WDFREQUEST Request);

WDF_EXTERN_C_END
