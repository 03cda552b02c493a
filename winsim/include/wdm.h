/*
 * wdm.h (winsim)
 *
 * The Windows Driver Model kernel interface as the driver sees it: IRQL, pool, spin locks,
 * executive resources, dispatcher objects and waits, time, interlocked operations, counted
 * strings, the object manager's references and handles, system threads, device and driver
 * objects, I/O work items and debug output. Names, signatures and values are the WDK's;
 * winsim/src/kernel implements them in user mode with the checks of a driver verifier.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <sal.h>

#define _WDMDDK_

/* ------------------------------------------------------------------------------------ */
/* Basic kernel types                                                                     */
/* ------------------------------------------------------------------------------------ */

typedef UCHAR KIRQL;
typedef KIRQL *PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG_PTR KAFFINITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG LCID;
typedef LONG_PTR *PLONG_PTR;
typedef LONG volatile *PLONG_VOLATILE;

/* Interrupt request levels (x86 numbering; only the first three matter to drivers here). */
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define PROFILE_LEVEL 27
#define CLOCK1_LEVEL 28
#define CLOCK2_LEVEL 28
#define IPI_LEVEL 29
#define POWER_LEVEL 30
#define HIGH_LEVEL 31

/* Access rights. */
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_SET_SESSIONID 0x0004
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_DUP_HANDLE 0x0040
#define PROCESS_CREATE_PROCESS 0x0080
#define PROCESS_SET_QUOTA 0x0100
#define PROCESS_SET_INFORMATION 0x0200
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_SUSPEND_RESUME 0x0800
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_LIMITED_INFORMATION 0x0800
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

/* Kernel objects that drivers only hold pointers to. */
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD, *PETHREAD;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS, *PEPROCESS;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _IRP *PIRP;
typedef struct _FILE_OBJECT *PFILE_OBJECT;
typedef struct _MDL *PMDL;
typedef struct _IO_WORKITEM *PIO_WORKITEM;
typedef struct _ACCESS_STATE *PACCESS_STATE;
typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;  // process id
    HANDLE UniqueThread;   // thread id
} CLIENT_ID, *PCLIENT_ID;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;  // final status of the operation
        PVOID Pointer;    // reserved
    };
    ULONG_PTR Information;  // bytes transferred or operation-specific value
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

EXTERN_C_START

/* ------------------------------------------------------------------------------------ */
/* Debug output, assertions, bug checks                                                  */
/* ------------------------------------------------------------------------------------ */

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_IHVDRIVER_ID 77

ULONG DbgPrint(_In_z_ _Printf_format_string_ PCSTR Format, ...);
ULONG DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ _Printf_format_string_ PCSTR Format, ...);

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() ((void)0)
#define DbgBreakPoint() ((void)0)

/* winsim runs the driver as a checked build: a failed assertion is a verifier failure. */
VOID WinsimAssertionFailure(_In_z_ PCSTR Expression, _In_opt_z_ PCSTR Message, _In_z_ PCSTR File, _In_ ULONG Line);

#define NT_ASSERT(_exp) \
    ((!(_exp)) ? (WinsimAssertionFailure(#_exp, nullptr, __FILE__, __LINE__), FALSE) : TRUE)
#define NT_ASSERTMSG(_msg, _exp) \
    ((!(_exp)) ? (WinsimAssertionFailure(#_exp, (_msg), __FILE__, __LINE__), FALSE) : TRUE)
#define NT_VERIFY(_exp) NT_ASSERT(_exp)
#define NT_VERIFYMSG(_msg, _exp) NT_ASSERTMSG(_msg, _exp)
#define ASSERT(exp) ((void)NT_ASSERT(exp))
#define ASSERTMSG(msg, exp) ((void)NT_ASSERTMSG(msg, exp))
#define RTL_SOFT_ASSERT(exp) ((void)NT_ASSERT(exp))

DECLSPEC_NORETURN NTKERNELAPI VOID NTAPI KeBugCheckEx(_In_ ULONG BugCheckCode, _In_ ULONG_PTR BugCheckParameter1,
                                                      _In_ ULONG_PTR BugCheckParameter2,
                                                      _In_ ULONG_PTR BugCheckParameter3,
                                                      _In_ ULONG_PTR BugCheckParameter4);
DECLSPEC_NORETURN NTKERNELAPI VOID NTAPI KeBugCheck(_In_ ULONG BugCheckCode);

/* ------------------------------------------------------------------------------------ */
/* Memory                                                                                */
/* ------------------------------------------------------------------------------------ */

#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlSecureZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlCopyBytes RtlCopyMemory
#define RtlZeroBytes RtlZeroMemory
#define RtlFillBytes RtlFillMemory

/* Number of leading bytes that are equal. */
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(_In_ const VOID *Source1, _In_ const VOID *Source2, _In_ SIZE_T Length);

/* Doubly linked lists. As in the Windows 8+ headers, every change checks that the
   neighbours point back at the entry; a broken list is bug check 0x139
   (KERNEL_SECURITY_CHECK_FAILURE, parameter 3: LIST_ENTRY corruption). */
#define WINSIM_FAST_FAIL_CORRUPT_LIST_ENTRY 3
FORCEINLINE VOID WinsimCheckListEntry(_In_ PLIST_ENTRY Entry)
{
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        KeBugCheckEx(0x139, WINSIM_FAST_FAIL_CORRUPT_LIST_ENTRY, (ULONG_PTR)Entry, 0, 0);
    }
}
FORCEINLINE VOID InitializeListHead(_Out_ PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }
FORCEINLINE BOOLEAN IsListEmpty(_In_ const LIST_ENTRY *ListHead) { return (BOOLEAN)(ListHead->Flink == ListHead); }
FORCEINLINE BOOLEAN RemoveEntryList(_In_ PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY previous = Entry->Blink;
    WinsimCheckListEntry(Entry);
    previous->Flink = next;
    next->Blink = previous;
    return (BOOLEAN)(next == previous);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(_Inout_ PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}
FORCEINLINE VOID InsertTailList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry)
{
    PLIST_ENTRY previous = ListHead->Blink;
    if (previous->Flink != ListHead) {
        KeBugCheckEx(0x139, WINSIM_FAST_FAIL_CORRUPT_LIST_ENTRY, (ULONG_PTR)ListHead, 0, 0);
    }
    Entry->Flink = ListHead;
    Entry->Blink = previous;
    previous->Flink = Entry;
    ListHead->Blink = Entry;
}

/* Byte-order reversal (host order <-> network order on x86). */
FORCEINLINE USHORT RtlUshortByteSwap(_In_ USHORT Source) { return __builtin_bswap16(Source); }
FORCEINLINE ULONG RtlUlongByteSwap(_In_ ULONG Source) { return __builtin_bswap32(Source); }
FORCEINLINE ULONGLONG RtlUlonglongByteSwap(_In_ ULONGLONG Source) { return __builtin_bswap64(Source); }

#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
/* The spin-wait hint (the PAUSE instruction on x86 and x64). */
#if defined(__i386__) || defined(__x86_64__)
#define YieldProcessor() __builtin_ia32_pause()
#else
#define YieldProcessor() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#endif
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)

/* ------------------------------------------------------------------------------------ */
/* Pool                                                                                  */
/* ------------------------------------------------------------------------------------ */

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = NonPagedPool + 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = NonPagedPool + 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = NonPagedPool + 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolBaseMustSucceed = NonPagedPoolBase + 2,
    NonPagedPoolBaseCacheAligned = NonPagedPoolBase + 4,
    NonPagedPoolBaseCacheAlignedMustS = NonPagedPoolBase + 6,
    NonPagedPoolSession = 32,
    PagedPoolSession = NonPagedPoolSession + 1,
    NonPagedPoolMustSucceedSession = PagedPoolSession + 1,
    DontUseThisTypeSession = NonPagedPoolMustSucceedSession + 1,
    NonPagedPoolCacheAlignedSession = DontUseThisTypeSession + 1,
    PagedPoolCacheAlignedSession = NonPagedPoolCacheAlignedSession + 1,
    NonPagedPoolCacheAlignedMustSSession = PagedPoolCacheAlignedSession + 1,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = NonPagedPoolNx + 4,
    NonPagedPoolSessionNx = NonPagedPoolNx + 32,
} POOL_TYPE;

#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_COLD_ALLOCATION 256
#define PROTECTED_POOL 0x80000000

/* A ULONG tag whose four bytes in memory are the characters pool tools display. */
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PVOID NTAPI
ExAllocatePoolWithTag(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);

/* The default tag of untagged allocations reads "None" in memory. */
#define WINSIM_DEFAULT_POOL_TAG 0x656E6F4EUL
#define ExAllocatePool(PoolType, NumberOfBytes) ExAllocatePoolWithTag((PoolType), (NumberOfBytes), WINSIM_DEFAULT_POOL_TAG)

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI ExFreePoolWithTag(_In_ __drv_freesMem(Mem) PVOID P,
                                                                             _In_ ULONG Tag);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI ExFreePool(_In_ __drv_freesMem(Mem) PVOID P);

/* ------------------------------------------------------------------------------------ */
/* IRQL                                                                                  */
/* ------------------------------------------------------------------------------------ */

NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
_IRQL_raises_(NewIrql) NTHALAPI KIRQL FASTCALL KfRaiseIrql(_In_ KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(_In_ KIRQL NewIrql);
_IRQL_raises_(DISPATCH_LEVEL) NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);

#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

/* Pageable code may only run at or below APC_LEVEL; winsim checks it in every build. */
VOID WinsimCheckPagedCode(_In_z_ PCSTR Function);
#define PAGED_CODE() WinsimCheckPagedCode(__func__)
#define PAGED_CODE_LOCKED() ((void)0)

/* ------------------------------------------------------------------------------------ */
/* Spin locks                                                                            */
/* ------------------------------------------------------------------------------------ */

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK *PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE *volatile Next;  // next waiter in the queue
    PKSPIN_LOCK volatile Lock;                // the lock this entry queues for
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;  // queue entry for the lock
    KIRQL OldIrql;               // IRQL to restore on release
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(_Out_ PKSPIN_LOCK SpinLock);

_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL) NTKERNELAPI KIRQL NTAPI
KeAcquireSpinLockRaiseToDpc(_Inout_ PKSPIN_LOCK SpinLock);
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI KeReleaseSpinLock(_Inout_ PKSPIN_LOCK SpinLock,
                                                                         _In_ KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

_IRQL_requires_min_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
_IRQL_requires_min_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
_IRQL_requires_min_(DISPATCH_LEVEL) NTKERNELAPI BOOLEAN FASTCALL
KeTryToAcquireSpinLockAtDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);

_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL
KeAcquireInStackQueuedSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _Out_ PKLOCK_QUEUE_HANDLE LockHandle);
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL
KeReleaseInStackQueuedSpinLock(_In_ PKLOCK_QUEUE_HANDLE LockHandle);
_IRQL_requires_min_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL
KeAcquireInStackQueuedSpinLockAtDpcLevel(_Inout_ PKSPIN_LOCK SpinLock, _Out_ PKLOCK_QUEUE_HANDLE LockHandle);
_IRQL_requires_min_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL
KeReleaseInStackQueuedSpinLockFromDpcLevel(_In_ PKLOCK_QUEUE_HANDLE LockHandle);

/* ------------------------------------------------------------------------------------ */
/* Run-down protection                                                                  */
/* ------------------------------------------------------------------------------------ */

/* Opaque to drivers: the count of protections in effect and the run-down flag. A zeroed
   block is an initialised one with no protection in effect. */
typedef struct _EX_RUNDOWN_REF {
    union {
        ULONG_PTR Count;
        PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(_Out_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI BOOLEAN FASTCALL
ExAcquireRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL ExReleaseRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI VOID FASTCALL ExWaitForRundownProtectionRelease(_Inout_ PEX_RUNDOWN_REF RunRef);

/* ------------------------------------------------------------------------------------ */
/* Executive resources and critical regions                                             */
/* ------------------------------------------------------------------------------------ */

/* Opaque to drivers; the size is that of the 64-bit WDK's ERESOURCE. */
typedef struct _ERESOURCE {
    PVOID Implementation;   // winsim's reader/writer state, created by ExInitializeResourceLite
    ULONG_PTR Reserved[12]; // rest of the opaque storage
} ERESOURCE, *PERESOURCE;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(_Out_ PERESOURCE Resource);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(_Inout_ PERESOURCE Resource);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(_Inout_ PERESOURCE Resource,
                                                                                   _In_ BOOLEAN Wait);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(_Inout_ PERESOURCE Resource,
                                                                                      _In_ BOOLEAN Wait);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(_Inout_ PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(_In_ PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(_In_ PERESOURCE Resource);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI PVOID NTAPI
ExEnterCriticalRegionAndAcquireResourceExclusive(_Inout_ PERESOURCE Resource);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI PVOID NTAPI
ExEnterCriticalRegionAndAcquireResourceShared(_Inout_ PERESOURCE Resource);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI VOID FASTCALL
ExReleaseResourceAndLeaveCriticalRegion(_Inout_ PERESOURCE Resource);
#define ExReleaseResource(R) (ExReleaseResourceLite(R))

_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);
NTKERNELAPI BOOLEAN NTAPI KeAreApcsDisabled(VOID);

/* ------------------------------------------------------------------------------------ */
/* Dispatcher objects, events and waits                                                 */
/* ------------------------------------------------------------------------------------ */

/* Types of dispatcher objects (DISPATCHER_HEADER.Type). */
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;              // KOBJECTS value
    UCHAR Signalling;        // reserved
    UCHAR Size;              // object size in LONGs
    UCHAR Reserved1;         // winsim: set when the header was initialised
    volatile LONG SignalState; // > 0 when signalled
    LIST_ENTRY WaitListHead; // threads waiting on the object
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;  // dispatcher state of the event
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue, WaitDpc } WAIT_TYPE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrSpare0,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    WrKeyedEvent,
    WrTerminated,
    WrProcessInSwap,
    WrCpuRateControl,
    WrCalloutStack,
    WrKernel,
    WrResource,
    WrPushLock,
    WrMutex,
    WrQuantumEnd,
    WrDispatchInt,
    WrPreempted,
    WrYieldExecution,
    WrFastMutex,
    WrGuardedMutex,
    WrRundown,
    MaximumWaitReason
} KWAIT_REASON;

/* Caller-supplied wait blocks for waits on more than THREAD_WAIT_OBJECTS objects. */
typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;  // link in the object's wait list
    UCHAR WaitType;            // WAIT_TYPE of the wait
    volatile UCHAR BlockState; // reserved
    USHORT WaitKey;            // index of the object in the wait
    LONG SpareLong;            // reserved
    PVOID Thread;              // waiting thread
    PVOID Object;              // object waited on
    PVOID SparePtr;            // reserved
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI KeInitializeEvent(_Out_ PRKEVENT Event, _In_ EVENT_TYPE Type,
                                                                            _In_ BOOLEAN State);
_When_(Wait == 0, _IRQL_requires_max_(DISPATCH_LEVEL)) _When_(Wait == 1, _IRQL_requires_max_(APC_LEVEL))
NTKERNELAPI LONG NTAPI KeSetEvent(_Inout_ PRKEVENT Event, _In_ KPRIORITY Increment, _In_ BOOLEAN Wait);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG NTAPI KeResetEvent(_Inout_ PRKEVENT Event);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI KeClearEvent(_Inout_ PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(_In_ PRKEVENT Event);

/*
 * Time-outs are in 100-ns units: negative is relative, positive is an absolute system time,
 * zero polls, NULL waits for ever.
 */
_When_((Timeout == NULL || *Timeout != 0), _IRQL_requires_max_(APC_LEVEL))
_When_((Timeout != NULL && *Timeout == 0), _IRQL_requires_max_(DISPATCH_LEVEL)) NTKERNELAPI NTSTATUS NTAPI
KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode,
                      _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(_In_ ULONG Count, _In_reads_(Count) PVOID Object[],
                                                    _In_ WAIT_TYPE WaitType, _In_ KWAIT_REASON WaitReason,
                                                    _In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable,
                                                    _In_opt_ PLARGE_INTEGER Timeout,
                                                    _Out_opt_ PKWAIT_BLOCK WaitBlockArray);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(_In_ KPROCESSOR_MODE WaitMode,
                                                                               _In_ BOOLEAN Alertable,
                                                                               _In_ PLARGE_INTEGER Interval);

/* ------------------------------------------------------------------------------------ */
/* Time                                                                                  */
/* ------------------------------------------------------------------------------------ */

/* Interrupt time: 100-ns units since boot, unaffected by clock changes. */
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTimePrecise(_Out_ PULONG64 QpcTimeStamp);
/* System time: 100-ns units since 1 January 1601 (UTC). */
NTKERNELAPI VOID NTAPI KeQuerySystemTime(_Out_ PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(_Out_ PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQueryTickCount(_Out_ PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);

/* ------------------------------------------------------------------------------------ */
/* Interlocked operations (full barriers)                                               */
/* ------------------------------------------------------------------------------------ */

EXTERN_C_END

FORCEINLINE LONG InterlockedExchange(_Inout_ _Interlocked_operand_ LONG volatile *Target, _In_ LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(_Inout_ _Interlocked_operand_ LONG volatile *Destination,
                                            _In_ LONG ExChange, _In_ LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG64 InterlockedCompareExchange64(_Inout_ _Interlocked_operand_ LONG64 volatile *Destination,
                                                _In_ LONG64 ExChange, _In_ LONG64 Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG64 InterlockedExchange64(_Inout_ _Interlocked_operand_ LONG64 volatile *Target, _In_ LONG64 Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedIncrement(_Inout_ _Interlocked_operand_ LONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(_Inout_ _Interlocked_operand_ LONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedIncrement64(_Inout_ _Interlocked_operand_ LONG64 volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedDecrement64(_Inout_ _Interlocked_operand_ LONG64 volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
/* ExchangeAdd returns the value before the addition, Add the value after it. */
FORCEINLINE LONG InterlockedExchangeAdd(_Inout_ _Interlocked_operand_ LONG volatile *Addend, _In_ LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchangeAdd64(_Inout_ _Interlocked_operand_ LONG64 volatile *Addend, _In_ LONG64 Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAdd(_Inout_ _Interlocked_operand_ LONG volatile *Addend, _In_ LONG Value)
{
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedAdd64(_Inout_ _Interlocked_operand_ LONG64 volatile *Addend, _In_ LONG64 Value)
{
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
/* Or, And and Xor return the original value. */
FORCEINLINE LONG InterlockedOr(_Inout_ _Interlocked_operand_ LONG volatile *Destination, _In_ LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(_Inout_ _Interlocked_operand_ LONG volatile *Destination, _In_ LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedXor(_Inout_ _Interlocked_operand_ LONG volatile *Destination, _In_ LONG Value)
{
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedOr64(_Inout_ _Interlocked_operand_ LONG64 volatile *Destination, _In_ LONG64 Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedAnd64(_Inout_ _Interlocked_operand_ LONG64 volatile *Destination, _In_ LONG64 Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedExchangePointer(_Inout_ _Interlocked_operand_ PVOID volatile *Target, _In_opt_ PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(_Inout_ _Interlocked_operand_ PVOID volatile *Destination,
                                                    _In_opt_ PVOID ExChange, _In_opt_ PVOID Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG ReadAcquire(_In_ _Interlocked_operand_ LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE LONG ReadNoFence(_In_ _Interlocked_operand_ LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE LONG64 ReadAcquire64(_In_ _Interlocked_operand_ LONG64 const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE LONG64 ReadNoFence64(_In_ _Interlocked_operand_ LONG64 const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE PVOID ReadPointerAcquire(_In_ _Interlocked_operand_ PVOID const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteRelease(_Out_ _Interlocked_operand_ LONG volatile *Destination, _In_ LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE VOID WriteNoFence(_Out_ _Interlocked_operand_ LONG volatile *Destination, _In_ LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteRelease64(_Out_ _Interlocked_operand_ LONG64 volatile *Destination, _In_ LONG64 Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE VOID WritePointerRelease(_Out_ _Interlocked_operand_ PVOID volatile *Destination, _In_opt_ PVOID Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

EXTERN_C_START

/* ------------------------------------------------------------------------------------ */
/* Counted strings                                                                       */
/* ------------------------------------------------------------------------------------ */

_IRQL_requires_max_(DISPATCH_LEVEL) NTSYSAPI VOID NTAPI RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString,
                                                                            _In_opt_z_ PCWSTR SourceString);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSYSAPI VOID NTAPI RtlInitString(_Out_ PSTRING DestinationString,
                                                                     _In_opt_z_ PCSTR SourceString);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI LONG NTAPI RtlCompareUnicodeString(_In_ PCUNICODE_STRING String1,
                                                                              _In_ PCUNICODE_STRING String2,
                                                                              _In_ BOOLEAN CaseInSensitive);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(_In_ PCUNICODE_STRING String1,
                                                                               _In_ PCUNICODE_STRING String2,
                                                                               _In_ BOOLEAN CaseInSensitive);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(_In_ PCUNICODE_STRING String1,
                                                                                _In_ PCUNICODE_STRING String2,
                                                                                _In_ BOOLEAN CaseInSensitive);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSYSAPI VOID NTAPI RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString,
                                                                            _In_opt_ PCUNICODE_STRING SourceString);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSYSAPI NTSTATUS NTAPI
RtlAppendUnicodeStringToString(_Inout_ PUNICODE_STRING Destination, _In_ PCUNICODE_STRING Source);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(_Inout_ PUNICODE_STRING Destination,
                                                                                    _In_opt_z_ PCWSTR Source);
_IRQL_requires_max_(APC_LEVEL) NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(_In_ WCHAR SourceCharacter);
_IRQL_requires_max_(APC_LEVEL) NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(_In_ WCHAR SourceCharacter);

/* ------------------------------------------------------------------------------------ */
/* Object manager                                                                        */
/* ------------------------------------------------------------------------------------ */

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;    // OBJ_* attributes of the handle
    ACCESS_MASK GrantedAccess; // access granted to the handle
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern NTKERNELAPI POBJECT_TYPE *ExEventObjectType;
extern NTKERNELAPI POBJECT_TYPE *IoFileObjectType;
extern NTKERNELAPI POBJECT_TYPE *PsThreadType;
extern NTKERNELAPI POBJECT_TYPE *PsProcessType;

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI
ObReferenceObjectByHandle(_In_ HANDLE Handle, _In_ ACCESS_MASK DesiredAccess, _In_opt_ POBJECT_TYPE ObjectType,
                          _In_ KPROCESSOR_MODE AccessMode, _Out_ PVOID *Object,
                          _Out_opt_ POBJECT_HANDLE_INFORMATION HandleInformation);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(_In_ PVOID Object,
                                                                                        _In_ ACCESS_MASK DesiredAccess,
                                                                                        _In_opt_ POBJECT_TYPE ObjectType,
                                                                                        _In_ KPROCESSOR_MODE AccessMode);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(_In_ PVOID Object);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(_In_ PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI NTSTATUS NTAPI ZwClose(_In_ HANDLE Handle);

/* ------------------------------------------------------------------------------------ */
/* Threads and processes                                                                 */
/* ------------------------------------------------------------------------------------ */

typedef VOID KSTART_ROUTINE(_In_ PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(
    _Out_ PHANDLE ThreadHandle, _In_ ULONG DesiredAccess, _In_opt_ POBJECT_ATTRIBUTES ObjectAttributes,
    _In_opt_ HANDLE ProcessHandle, _Out_opt_ PCLIENT_ID ClientId, _In_ PKSTART_ROUTINE StartRoutine,
    _In_opt_ PVOID StartContext);
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(_In_ NTSTATUS ExitStatus);

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(_In_ PETHREAD Thread);
/* The process of the current thread; not referenced. */
NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID);

/* ------------------------------------------------------------------------------------ */
/* I/O manager: driver and device objects, control codes, work items                    */
/* ------------------------------------------------------------------------------------ */

#define FILE_DEVICE_NETWORK 0x00000012
#define FILE_DEVICE_NULL 0x00000015
#define FILE_DEVICE_TRANSPORT 0x00000021
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_NETWORK_REDIRECTOR 0x00000028

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define METHOD_DIRECT_TO_HARDWARE METHOD_IN_DIRECT
#define METHOD_DIRECT_FROM_HARDWARE METHOD_OUT_DIRECT

#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)
#define FILE_READ_DATA (0x0001)
#define FILE_WRITE_DATA (0x0002)

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)(ctrlCode & 3))

/* Device characteristics. */
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_VIRTUAL_VOLUME 0x00000040
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_CHARACTERISTIC_PNP_DEVICE 0x00000800

/* Device object flags. */
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define IO_TYPE_DRIVER 0x00000004
#define IO_TYPE_DEVICE 0x00000003

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;

typedef _Function_class_(DRIVER_INITIALIZE) NTSTATUS DRIVER_INITIALIZE(_In_ struct _DRIVER_OBJECT *DriverObject,
                                                                       _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef _Function_class_(DRIVER_UNLOAD) VOID DRIVER_UNLOAD(_In_ struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef _Function_class_(DRIVER_DISPATCH) NTSTATUS DRIVER_DISPATCH(_In_ struct _DEVICE_OBJECT *DeviceObject,
                                                                   _Inout_ struct _IRP *Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef _Function_class_(DRIVER_STARTIO) VOID DRIVER_STARTIO(_Inout_ struct _DEVICE_OBJECT *DeviceObject,
                                                             _Inout_ struct _IRP *Irp);
typedef DRIVER_STARTIO *PDRIVER_STARTIO;
typedef _Function_class_(DRIVER_ADD_DEVICE) NTSTATUS DRIVER_ADD_DEVICE(_In_ struct _DRIVER_OBJECT *DriverObject,
                                                                       _In_ struct _DEVICE_OBJECT *PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT *DriverObject;  // back pointer
    PDRIVER_ADD_DEVICE AddDevice;         // PnP add-device routine
    ULONG Count;                          // reinitialisation count
    UNICODE_STRING ServiceKeyName;        // service name
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;                      // IO_TYPE_DRIVER
    CSHORT Size;                      // size of this structure
    struct _DEVICE_OBJECT *DeviceObject; // first device created by the driver
    ULONG Flags;                      // reserved
    PVOID DriverStart;                // image base
    ULONG DriverSize;                 // image size
    PVOID DriverSection;              // reserved
    PDRIVER_EXTENSION DriverExtension; // driver extension
    UNICODE_STRING DriverName;        // \Driver\<name>
    PUNICODE_STRING HardwareDatabase; // registry path of the hardware configuration
    PVOID FastIoDispatch;             // fast I/O entry points
    PDRIVER_INITIALIZE DriverInit;    // DriverEntry
    PDRIVER_STARTIO DriverStartIo;    // StartIo routine
    PDRIVER_UNLOAD DriverUnload;      // unload routine; NULL makes the driver non-unloadable
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1]; // dispatch routines
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;                      // IO_TYPE_DEVICE
    USHORT Size;                      // size of this structure plus the extension
    LONG ReferenceCount;              // open handles to the device
    struct _DRIVER_OBJECT *DriverObject; // driver that created the device
    struct _DEVICE_OBJECT *NextDevice;   // next device of the same driver
    struct _DEVICE_OBJECT *AttachedDevice; // device attached above this one
    struct _IRP *CurrentIrp;          // StartIo's current request
    PVOID Timer;                      // IoTimer state
    ULONG Flags;                      // DO_* flags
    ULONG Characteristics;            // FILE_* characteristics
    PVOID Vpb;                        // volume parameter block
    PVOID DeviceExtension;            // driver-defined extension
    DEVICE_TYPE DeviceType;           // FILE_DEVICE_* type
    CCHAR StackSize;                  // stack locations needed
    ULONG AlignmentRequirement;       // buffer alignment
    PVOID SecurityDescriptor;         // security descriptor of the device
    USHORT SectorSize;                // sector size of volumes
    PVOID DeviceObjectExtension;      // I/O manager's extension
    PVOID Reserved;                   // reserved
} DEVICE_OBJECT, *PDEVICE_OBJECT;

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(
    _In_ PDRIVER_OBJECT DriverObject, _In_ ULONG DeviceExtensionSize, _In_opt_ PUNICODE_STRING DeviceName,
    _In_ DEVICE_TYPE DeviceType, _In_ ULONG DeviceCharacteristics, _In_ BOOLEAN Exclusive,
    _Outptr_result_nullonfailure_ PDEVICE_OBJECT *DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI VOID NTAPI IoDeleteDevice(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(_In_ PUNICODE_STRING SymbolicLinkName,
                                                                                  _In_ PUNICODE_STRING DeviceName);
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(_In_ PUNICODE_STRING SymbolicLinkName);

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
    NormalWorkQueue = 3,
    BackgroundWorkQueue = 4,
    RealTimeWorkQueue = 5,
    SuperCriticalWorkQueue = 6,
    MaximumWorkQueue = 7,
    CustomPriorityWorkQueue = 32
} WORK_QUEUE_TYPE;

typedef _Function_class_(IO_WORKITEM_ROUTINE) VOID IO_WORKITEM_ROUTINE(_In_ PDEVICE_OBJECT DeviceObject,
                                                                       _In_opt_ PVOID Context);
typedef IO_WORKITEM_ROUTINE *PIO_WORKITEM_ROUTINE;

_IRQL_requires_max_(DISPATCH_LEVEL) _Must_inspect_result_ NTKERNELAPI PIO_WORKITEM NTAPI
IoAllocateWorkItem(_In_ PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI IoQueueWorkItem(_Inout_ PIO_WORKITEM IoWorkItem,
                                                                          _In_ PIO_WORKITEM_ROUTINE WorkerRoutine,
                                                                          _In_ WORK_QUEUE_TYPE QueueType,
                                                                          _In_opt_ PVOID Context);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID NTAPI IoFreeWorkItem(_In_ __drv_freesMem(Mem) PIO_WORKITEM IoWorkItem);

EXTERN_C_END
