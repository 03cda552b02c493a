/*
 * process_sysinfo.h
 *
 * The system process snapshot as the kernel exports it. ZwQuerySystemInformation and its
 * process records are not declared by the WDK's driver headers, so the driver declares the
 * documented parts itself (the record layout is the one of the public winternl header).
 */
#pragma once

#include <ntifs.h>

typedef enum _SYSTEM_INFORMATION_CLASS {
    SystemProcessInformation = 5,  // SYSTEM_PROCESS_INFORMATION records
} SYSTEM_INFORMATION_CLASS;

/*
 * One process of the snapshot. NumberOfThreads thread records and the image name follow
 * the fixed part; NextEntryOffset is the distance to the next record (0 on the last).
 */
typedef struct _SYSTEM_PROCESS_INFORMATION {
    ULONG NextEntryOffset;          // bytes from this record to the next; 0 ends the list
    ULONG NumberOfThreads;          // thread records that follow this one
    UCHAR Reserved1[48];            // times and counters the driver does not read
    UNICODE_STRING ImageName;       // file name of the image; points into the snapshot
    LONG BasePriority;              // KPRIORITY of the process
    HANDLE UniqueProcessId;         // the process id
    PVOID Reserved2;                // the id of the process it was inherited from
    ULONG HandleCount;              // open handles
    ULONG SessionId;                // terminal-services session
    PVOID Reserved3;                // not read
    SIZE_T PeakVirtualSize;         // memory counters, not read
    SIZE_T VirtualSize;             // not read
    ULONG Reserved4;                // not read
    SIZE_T PeakWorkingSetSize;      // not read
    SIZE_T WorkingSetSize;          // not read
    PVOID Reserved5;                // not read
    SIZE_T QuotaPagedPoolUsage;     // not read
    PVOID Reserved6;                // not read
    SIZE_T QuotaNonPagedPoolUsage;  // not read
    SIZE_T PagefileUsage;           // not read
    SIZE_T PeakPagefileUsage;       // not read
    SIZE_T PrivatePageCount;        // not read
    LARGE_INTEGER Reserved7[6];     // I/O counters, not read
} SYSTEM_PROCESS_INFORMATION, *PSYSTEM_PROCESS_INFORMATION;

EXTERN_C_START

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(_In_ SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                 _Out_writes_bytes_opt_(SystemInformationLength)
                                                     PVOID SystemInformation,
                                                 _In_ ULONG SystemInformationLength, _Out_opt_ PULONG ReturnLength);

EXTERN_C_END
