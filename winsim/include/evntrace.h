/*
 * evntrace.h (winsim)
 *
 * The part of Event Tracing for Windows that kernel-mode WPP tracing uses: the standard
 * trace levels, the logger handle and enable context that a trace session hands a classic
 * provider, and the classic-provider registration calls (declared in wdm.h on Windows).
 * winsim implements the registration and the session side in user mode.
 */
#pragma once

#include <ntdef.h>

#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0         // tracing is not on
#define TRACE_LEVEL_CRITICAL 1     // abnormal exit or termination
#define TRACE_LEVEL_FATAL 1        // deprecated name for TRACE_LEVEL_CRITICAL
#define TRACE_LEVEL_ERROR 2        // severe errors that need logging
#define TRACE_LEVEL_WARNING 3      // warnings such as allocation failures
#define TRACE_LEVEL_INFORMATION 4  // non-error cases such as entry and exit
#define TRACE_LEVEL_VERBOSE 5      // detailed traces from intermediate steps
#define TRACE_LEVEL_RESERVED6 6
#define TRACE_LEVEL_RESERVED7 7
#define TRACE_LEVEL_RESERVED8 8
#define TRACE_LEVEL_RESERVED9 9
#endif

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;
typedef ULONGLONG REGHANDLE, *PREGHANDLE;

/*
 * What a session hands a classic provider when it enables it; the whole 8 bytes, read as
 * a TRACEHANDLE, are the logger handle that WmiTraceMessage writes to.
 */
typedef struct _TRACE_ENABLE_CONTEXT {
    USHORT LoggerId;     // the session's logger id
    UCHAR Level;         // enable level: points up to this level are written
    UCHAR InternalFlag;  // reserved
    ULONG EnableFlags;   // enable flags: which of the provider's flag bits are on
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;
static_assert(sizeof(TRACE_ENABLE_CONTEXT) == sizeof(TRACEHANDLE), "an enable context is a logger handle");

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32

/*
 * Called when a session enables or disables the provider. EnableContext points to the
 * session's TRACE_ENABLE_CONTEXT for an enable, and is null for a disable.
 */
typedef VOID(NTAPI ETW_CLASSIC_CALLBACK)(_In_ LPCGUID Guid, _In_ UCHAR ControlCode, _In_opt_ PVOID EnableContext,
                                         _In_opt_ PVOID CallbackContext);
typedef ETW_CLASSIC_CALLBACK *PETW_CLASSIC_CALLBACK;

EXTERN_C_START

/*
 * Registers a classic (WPP) provider. If a session already has the provider's control
 * GUID enabled, EnableCallback is called before this returns. PASSIVE_LEVEL.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS NTAPI EtwRegisterClassicProvider(_In_ LPCGUID ProviderGuid, _In_ ULONG Type,
                                          _In_ PETW_CLASSIC_CALLBACK EnableCallback,
                                          _In_opt_ PVOID CallbackContext, _Out_ PREGHANDLE RegHandle);

// Ends a registration; no enable callback runs once this has returned. PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS NTAPI EtwUnregister(_In_ REGHANDLE RegHandle);

/*
 * Writes one message to the session of LoggerHandle: the variable part is a list of
 * (PVOID data, SIZE_T length) pairs ended by a null pointer. A C-convention routine, since
 * it takes a variable argument list. Any IRQL.
 */
_IRQL_requires_max_(HIGH_LEVEL)
NTSTATUS WmiTraceMessage(_In_ TRACEHANDLE LoggerHandle, _In_ ULONG MessageFlags, _In_ LPCGUID MessageGuid,
                         _In_ USHORT MessageNumber, ...);

EXTERN_C_END
