/*
 * qvr_ioctl.h
 *
 * The control interface of qvrdrv as the agent's service sees it: the control device's
 * name, the three I/O control codes and the records that travel with them. Shared as it is
 * by the driver and by the service; include it after the platform's headers, which give
 * CTL_CODE and the fixed-width types: <ntddk.h> or <wdm.h> in the driver, <windows.h> and
 * <winioctl.h> in a user-mode service.
 *
 * Every record is little-endian and packed: no padding between fields.
 */
#pragma once

#ifndef CTL_CODE
#error "include <ntddk.h> (driver) or <windows.h> and <winioctl.h> (service) before qvr_ioctl.h"
#endif

// The control device's name without its namespace: "\Device\" and "\DosDevices\" in the
// kernel, "\\.\" for a user-mode opener. Prefix it with L"" or u"" where wide text is needed.
#define QVR_DEVICE_BASE_NAME "qvrdrv_{1F16DF39-4189-460D-B905-7C67178C7006}"

// Protected DACL: generic-all for LocalSystem and for the built-in Administrators group only.
#define QVR_DEVICE_SDDL "D:P(A;;GA;;;SY)(A;;GA;;;BA)"

// Device type FILE_DEVICE_UNKNOWN; every code is METHOD_BUFFERED (one shared system buffer).
#define QVR_DEVICE_TYPE 0x00000022

// Replaces the process rule list and its mode; input PROCESS_RULES_RECORD.
#define IOCTL_QVR_SET_PROCESS_RULES CTL_CODE(QVR_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS)
// Turns QUIC blocking on or off; input QUIC_BLOCKING_RECORD.
#define IOCTL_QVR_SET_QUIC_BLOCKING CTL_CODE(QVR_DEVICE_TYPE, 0x804, METHOD_BUFFERED, FILE_WRITE_ACCESS)
// Carrier of the callback channel: empty input parks it, a CALLBACK_RECORD input is a reply.
#define IOCTL_QVR_CALLBACK          CTL_CODE(QVR_DEVICE_TYPE, 0x805, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

// CONTROL_RECORD_HEADER.Type values.
#define QVR_RECORD_TYPE_PROCESS_RULES 1
#define QVR_RECORD_TYPE_QUIC_BLOCKING 4

// CALLBACK_RECORD.Type values. Driver to service: the question's type; service to driver:
// CALLBACK_TYPE_FINAL ends the carrier, any other value is an ordinary reply.
#define CALLBACK_TYPE_FINAL            2
#define CALLBACK_TYPE_PORT_QUERY       3
#define CALLBACK_TYPE_REDIRECT_RECORDS 4

// CALLBACK_RECORD.Marker: the seven characters "QVR_CBR" and a zero byte.
#define QVR_CALLBACK_MARKER      "QVR_CBR"
#define QVR_CALLBACK_MARKER_SIZE 8
#define QVR_CALLBACK_VERSION     2

#pragma pack(push, 1)

// Opens both configuration records.
typedef struct _CONTROL_RECORD_HEADER {
    UINT32 Size;  // whole record in bytes as the sender counts it; not above the input length
    UINT32 Type;  // QVR_RECORD_TYPE_*
} CONTROL_RECORD_HEADER, *PCONTROL_RECORD_HEADER;

/*
 * Names holds Count image file names (an executable's file name with its extension), each
 * UTF-16LE followed by one zero character, back to back, up to the end of the input.
 */
typedef struct _PROCESS_RULES_RECORD {
    CONTROL_RECORD_HEADER Header;  // Type QVR_RECORD_TYPE_PROCESS_RULES
    UINT32 Mode;                   // nonzero: intercept the listed names; zero: exempt them
    UINT32 Count;                  // names that follow; 0 empties the list
    WCHAR Names[1];                // the first character of the names area
} PROCESS_RULES_RECORD, *PPROCESS_RULES_RECORD;

typedef struct _QUIC_BLOCKING_RECORD {
    CONTROL_RECORD_HEADER Header;  // Type QVR_RECORD_TYPE_QUIC_BLOCKING
    UINT32 Enabled;                // nonzero blocks QUIC of intercepted processes
} QUIC_BLOCKING_RECORD, *PQUIC_BLOCKING_RECORD;

// Travels both ways on IOCTL_QVR_CALLBACK: a question out, a reply in.
typedef struct _CALLBACK_RECORD {
    UINT8 Marker[QVR_CALLBACK_MARKER_SIZE];  // QVR_CALLBACK_MARKER with its zero byte
    UINT32 Version;                          // QVR_CALLBACK_VERSION
    UINT32 Size;                             // 32 + PayloadLength, set by the driver
    UINT32 Type;                             // CALLBACK_TYPE_*, or the question's type
    UINT64 RequestId;                        // the question's id; a reply repeats it
    UINT32 PayloadLength;                    // bytes of Payload
    UINT8 Payload[1];                        // the first payload byte; layout per Type
} CALLBACK_RECORD, *PCALLBACK_RECORD;

#pragma pack(pop)

// The smallest records the driver accepts, and the callback record's fixed part.
#define PROCESS_RULES_RECORD_MIN_SIZE 18
#define QUIC_BLOCKING_RECORD_MIN_SIZE 12
#define CALLBACK_RECORD_HEADER_SIZE   32
#define CALLBACK_REPLY_MIN_SIZE       33

C_ASSERT(IOCTL_QVR_SET_PROCESS_RULES == 0x0022A00C);
C_ASSERT(IOCTL_QVR_SET_QUIC_BLOCKING == 0x0022A010);
C_ASSERT(IOCTL_QVR_CALLBACK == 0x0022E014);

C_ASSERT(sizeof(WCHAR) == 2);
C_ASSERT(FIELD_OFFSET(CONTROL_RECORD_HEADER, Size) == 0);
C_ASSERT(FIELD_OFFSET(CONTROL_RECORD_HEADER, Type) == 4);
C_ASSERT(sizeof(CONTROL_RECORD_HEADER) == 8);

C_ASSERT(FIELD_OFFSET(PROCESS_RULES_RECORD, Header) == 0);
C_ASSERT(FIELD_OFFSET(PROCESS_RULES_RECORD, Mode) == 8);
C_ASSERT(FIELD_OFFSET(PROCESS_RULES_RECORD, Count) == 12);
C_ASSERT(FIELD_OFFSET(PROCESS_RULES_RECORD, Names) == 16);
C_ASSERT(sizeof(PROCESS_RULES_RECORD) == PROCESS_RULES_RECORD_MIN_SIZE);

C_ASSERT(FIELD_OFFSET(QUIC_BLOCKING_RECORD, Header) == 0);
C_ASSERT(FIELD_OFFSET(QUIC_BLOCKING_RECORD, Enabled) == 8);
C_ASSERT(sizeof(QUIC_BLOCKING_RECORD) == QUIC_BLOCKING_RECORD_MIN_SIZE);

C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, Marker) == 0);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, Version) == 8);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, Size) == 12);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, Type) == 16);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, RequestId) == 20);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, PayloadLength) == 28);
C_ASSERT(FIELD_OFFSET(CALLBACK_RECORD, Payload) == CALLBACK_RECORD_HEADER_SIZE);
C_ASSERT(sizeof(CALLBACK_RECORD) == CALLBACK_REPLY_MIN_SIZE);
C_ASSERT(sizeof(QVR_CALLBACK_MARKER) == QVR_CALLBACK_MARKER_SIZE);
