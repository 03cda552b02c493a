/*
 * ntddk.h (winsim)
 *
 * What ntddk.h adds to wdm.h for the driver: the AVL generic-table package (callers own
 * the locking; the allocate routine is asked for the node header plus the element), the
 * process information classes, process identity and the create-process notification.
 */
#pragma once

#include <wdm.h>

#define _NTDDK_

EXTERN_C_START

/* ------------------------------------------------------------------------------------ */
/* RTL generic tables, AVL flavour                                                        */
/* ------------------------------------------------------------------------------------ */

typedef enum _RTL_GENERIC_COMPARE_RESULTS {
    GenericLessThan,
    GenericGreaterThan,
    GenericEqual
} RTL_GENERIC_COMPARE_RESULTS;

typedef enum _TABLE_SEARCH_RESULT {
    TableEmptyTree,
    TableFoundNode,
    TableInsertAsLeft,
    TableInsertAsRight
} TABLE_SEARCH_RESULT;

/* The package's node header; the caller's element follows it in the same allocation. */
typedef struct _RTL_BALANCED_LINKS {
    struct _RTL_BALANCED_LINKS *Parent;     // parent node (the table's BalancedRoot for the root)
    struct _RTL_BALANCED_LINKS *LeftChild;  // smaller elements
    struct _RTL_BALANCED_LINKS *RightChild; // larger elements
    CHAR Balance;                           // height(right) - height(left): -1, 0 or +1
    UCHAR Reserved[3];                      // reserved
} RTL_BALANCED_LINKS, *PRTL_BALANCED_LINKS;

struct _RTL_AVL_TABLE;

typedef _Function_class_(RTL_AVL_COMPARE_ROUTINE) RTL_GENERIC_COMPARE_RESULTS NTAPI
RTL_AVL_COMPARE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ PVOID FirstStruct, _In_ PVOID SecondStruct);
typedef RTL_AVL_COMPARE_ROUTINE *PRTL_AVL_COMPARE_ROUTINE;

/* Asked for sizeof(RTL_BALANCED_LINKS) + the element size; returns the node or NULL. */
typedef _Function_class_(RTL_AVL_ALLOCATE_ROUTINE) __drv_allocatesMem(Mem) PVOID NTAPI
RTL_AVL_ALLOCATE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ CLONG ByteSize);
typedef RTL_AVL_ALLOCATE_ROUTINE *PRTL_AVL_ALLOCATE_ROUTINE;

/* Receives the node header pointer that the allocate routine returned. */
typedef _Function_class_(RTL_AVL_FREE_ROUTINE) VOID NTAPI
RTL_AVL_FREE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ __drv_freesMem(Mem) _Post_invalid_ PVOID Buffer);
typedef RTL_AVL_FREE_ROUTINE *PRTL_AVL_FREE_ROUTINE;

typedef struct _RTL_AVL_TABLE {
    RTL_BALANCED_LINKS BalancedRoot;          // dummy root; the tree's root is BalancedRoot.RightChild
    PVOID OrderedPointer;                     // cache for RtlGetElementGenericTableAvl
    ULONG WhichOrderedElement;                // 1-based index of OrderedPointer, 0 when not cached
    ULONG NumberGenericTableElements;         // element count
    ULONG DepthOfTree;                        // height of the tree
    PRTL_BALANCED_LINKS RestartKey;           // cursor of RtlEnumerateGenericTableAvl
    ULONG DeleteCount;                        // number of deletions
    PRTL_AVL_COMPARE_ROUTINE CompareRoutine;  // orders elements
    PRTL_AVL_ALLOCATE_ROUTINE AllocateRoutine; // allocates nodes
    PRTL_AVL_FREE_ROUTINE FreeRoutine;        // frees nodes
    PVOID TableContext;                       // caller's context
} RTL_AVL_TABLE, *PRTL_AVL_TABLE;

NTSYSAPI VOID NTAPI RtlInitializeGenericTableAvl(_Out_ PRTL_AVL_TABLE Table, _In_ PRTL_AVL_COMPARE_ROUTINE CompareRoutine,
                                                 _In_ PRTL_AVL_ALLOCATE_ROUTINE AllocateRoutine,
                                                 _In_ PRTL_AVL_FREE_ROUTINE FreeRoutine, _In_opt_ PVOID TableContext);
NTSYSAPI PVOID NTAPI RtlInsertElementGenericTableAvl(_In_ PRTL_AVL_TABLE Table,
                                                     _In_reads_bytes_(BufferSize) PVOID Buffer,
                                                     _In_ CLONG BufferSize, _Out_opt_ PBOOLEAN NewElement);
NTSYSAPI PVOID NTAPI RtlInsertElementGenericTableFullAvl(_In_ PRTL_AVL_TABLE Table,
                                                         _In_reads_bytes_(BufferSize) PVOID Buffer,
                                                         _In_ CLONG BufferSize, _Out_opt_ PBOOLEAN NewElement,
                                                         _In_ PVOID NodeOrParent, _In_ TABLE_SEARCH_RESULT SearchResult);
NTSYSAPI BOOLEAN NTAPI RtlDeleteElementGenericTableAvl(_In_ PRTL_AVL_TABLE Table, _In_ PVOID Buffer);
_Must_inspect_result_ NTSYSAPI PVOID NTAPI RtlLookupElementGenericTableAvl(_In_ PRTL_AVL_TABLE Table, _In_ PVOID Buffer);
NTSYSAPI PVOID NTAPI RtlLookupElementGenericTableFullAvl(_In_ PRTL_AVL_TABLE Table, _In_ PVOID Buffer,
                                                         _Out_ PVOID *NodeOrParent,
                                                         _Out_ TABLE_SEARCH_RESULT *SearchResult);
_Must_inspect_result_ NTSYSAPI PVOID NTAPI RtlEnumerateGenericTableAvl(_In_ PRTL_AVL_TABLE Table, _In_ BOOLEAN Restart);
_Must_inspect_result_ NTSYSAPI PVOID NTAPI RtlEnumerateGenericTableWithoutSplayingAvl(_In_ PRTL_AVL_TABLE Table,
                                                                                      _Inout_ PVOID *RestartKey);
_Must_inspect_result_ NTSYSAPI PVOID NTAPI RtlGetElementGenericTableAvl(_In_ PRTL_AVL_TABLE Table, _In_ ULONG I);
NTSYSAPI ULONG NTAPI RtlNumberGenericTableElementsAvl(_In_ PRTL_AVL_TABLE Table);
_Must_inspect_result_ NTSYSAPI BOOLEAN NTAPI RtlIsGenericTableEmptyAvl(_In_ PRTL_AVL_TABLE Table);

/* ------------------------------------------------------------------------------------ */
/* Processes                                                                             */
/* ------------------------------------------------------------------------------------ */

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
    ProcessQuotaLimits = 1,
    ProcessIoCounters = 2,
    ProcessVmCounters = 3,
    ProcessTimes = 4,
    ProcessBasePriority = 5,
    ProcessRaisePriority = 6,
    ProcessDebugPort = 7,
    ProcessExceptionPort = 8,
    ProcessAccessToken = 9,
    ProcessLdtInformation = 10,
    ProcessLdtSize = 11,
    ProcessDefaultHardErrorMode = 12,
    ProcessIoPortHandlers = 13,
    ProcessPooledUsageAndLimits = 14,
    ProcessWorkingSetWatch = 15,
    ProcessUserModeIOPL = 16,
    ProcessEnableAlignmentFaultFixup = 17,
    ProcessPriorityClass = 18,
    ProcessWx86Information = 19,
    ProcessHandleCount = 20,
    ProcessAffinityMask = 21,
    ProcessPriorityBoost = 22,
    ProcessDeviceMap = 23,
    ProcessSessionInformation = 24,
    ProcessForegroundInformation = 25,
    ProcessWow64Information = 26,
    ProcessImageFileName = 27,
    ProcessLUIDDeviceMapsEnabled = 28,
    ProcessBreakOnTermination = 29,
    ProcessDebugObjectHandle = 30,
    ProcessDebugFlags = 31,
    ProcessHandleTracing = 32,
    ProcessIoPriority = 33,
    ProcessExecuteFlags = 34,
    ProcessTlsInformation = 35,
    ProcessCookie = 36,
    ProcessImageInformation = 37,
    ProcessCycleTime = 38,
    ProcessPagePriority = 39,
    ProcessInstrumentationCallback = 40,
    ProcessThreadStackAllocation = 41,
    ProcessWorkingSetWatchEx = 42,
    ProcessImageFileNameWin32 = 43,
    ProcessProtectionInformation = 61,
} PROCESSINFOCLASS;

extern NTKERNELAPI POBJECT_TYPE *IoDeviceObjectType;
extern NTKERNELAPI POBJECT_TYPE *IoDriverObjectType;

#define PsGetCurrentProcess IoGetCurrentProcess

NTKERNELAPI HANDLE NTAPI PsGetProcessId(_In_ PEPROCESS Process);

typedef VOID (*PCREATE_PROCESS_NOTIFY_ROUTINE)(_In_ HANDLE ParentId, _In_ HANDLE ProcessId, _In_ BOOLEAN Create);

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI
PsSetCreateProcessNotifyRoutine(_In_ PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, _In_ BOOLEAN Remove);

EXTERN_C_END
