/*
 * redirect_records.h
 *
 * The two byte layouts of connection redirection that cross the driver's boundary: the
 * RedirectTargetBlob that the agent's service puts in the provider context of its
 * connect-redirect filters, and the RedirectContextRecord that the driver attaches to every
 * redirected connection, which the redirect target reads and which the driver finds again
 * in the redirect records of later connections by its 24-byte marker.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>

#pragma pack(push, 1)

/* The provider-context data of the agent's connect-redirect filters; exactly 10 bytes. */
typedef struct _REDIRECT_TARGET_BLOB {
    UINT16 TargetPort;       // TCP port of the redirect target, host order; used when AskAgentForPort is 0
    UINT32 TargetProcessId;  // the redirect target's process: never redirected, and the connection's new owner
    UINT32 AskAgentForPort;  // non-zero: pend and ask the agent's service for the port
} REDIRECT_TARGET_BLOB, *PREDIRECT_TARGET_BLOB;

/* The record attached to a redirected connection as its local redirect context. */
typedef struct _REDIRECT_CONTEXT_RECORD {
    UCHAR Tag[8];                      // "QVR_WFP" and one NUL byte
    GUID MarkerGuid;                   // {A1B0956E-50F9-4C2B-9F80-CA9D32F90DD5}
    UINT16 Size;                       // whole record: REDIRECT_CONTEXT_RECORD_MIN_SIZE + 2 * AppPathLength
    UINT32 Version;                    // REDIRECT_CONTEXT_RECORD_VERSION
    UINT16 LocalPort;                  // the connection's local port, host order
    SOCKADDR_STORAGE RequestedRemote;  // where the application connected; port and IPv4 address in network order
    UINT64 ProcessId;                  // the process the redirect was decided for
    UINT32 AppPathLength;              // UTF-16 units in AppPath, terminator excluded
    WCHAR AppPath[1];                  // the application id, then one 0 unit
} REDIRECT_CONTEXT_RECORD, *PREDIRECT_CONTEXT_RECORD;

#pragma pack(pop)

C_ASSERT(sizeof(REDIRECT_TARGET_BLOB) == 10);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, MarkerGuid) == 8);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, Size) == 24);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, Version) == 26);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, LocalPort) == 30);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, RequestedRemote) == 32);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, ProcessId) == 160);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, AppPathLength) == 168);
C_ASSERT(FIELD_OFFSET(REDIRECT_CONTEXT_RECORD, AppPath) == 172);

#define REDIRECT_TARGET_BLOB_SIZE ((UINT32)sizeof(REDIRECT_TARGET_BLOB))

/* The marker (Tag and MarkerGuid) that starts every record. */
#define REDIRECT_CONTEXT_MARKER_SIZE 24

/* A record with an empty application id: the fixed part and the terminator. */
#define REDIRECT_CONTEXT_RECORD_MIN_SIZE 174

#define REDIRECT_CONTEXT_RECORD_VERSION 4

/* The longest application id whose record Size still fits in 16 bits. */
#define REDIRECT_CONTEXT_MAX_APP_PATH_LENGTH ((0xFFFF - REDIRECT_CONTEXT_RECORD_MIN_SIZE) / 2)
C_ASSERT(REDIRECT_CONTEXT_MAX_APP_PATH_LENGTH == 32680);

EXTERN_C_START

/* The 24 marker bytes, as they lie in memory at the start of a record. */
extern const UCHAR RedirectContextMarker[REDIRECT_CONTEXT_MARKER_SIZE];

EXTERN_C_END
