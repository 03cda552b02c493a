/*
 * ntifs.h (winsim)
 *
 * What ntifs.h adds to ntddk.h for the driver: process lookup by id, opening a handle to an
 * object from its pointer, and the process information query.
 */
#pragma once

#include <ntddk.h>

#define _NTIFS_

EXTERN_C_START

/* Returns a referenced process object; the caller dereferences it. */
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS NTAPI PsLookupProcessByProcessId(_In_ HANDLE ProcessId,
                                                                                   _Outptr_ PEPROCESS *Process);

_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(
    _In_ PVOID Object, _In_ ULONG HandleAttributes, _In_opt_ PACCESS_STATE PassedAccessState,
    _In_ ACCESS_MASK DesiredAccess, _In_opt_ POBJECT_TYPE ObjectType, _In_ KPROCESSOR_MODE AccessMode,
    _Out_ PHANDLE Handle);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI NTSTATUS NTAPI ZwQueryInformationProcess(
    _In_ HANDLE ProcessHandle, _In_ PROCESSINFOCLASS ProcessInformationClass,
    _Out_writes_bytes_opt_(ProcessInformationLength) PVOID ProcessInformation, _In_ ULONG ProcessInformationLength,
    _Out_opt_ PULONG ReturnLength);

/* Waits on the object behind a handle, as KeWaitForSingleObject does on a pointer. */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(_In_ HANDLE Handle,
                                                                                _In_ BOOLEAN Alertable,
                                                                                _In_opt_ PLARGE_INTEGER Timeout);

EXTERN_C_END
