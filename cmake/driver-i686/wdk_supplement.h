/*
 * wdk_supplement.h (i686 driver build only)
 *
 * What the WDK declares and mingw-w64's kernel headers lack, declared here under the WDK's
 * own names, so the driver's unchanged sources compile for 32-bit Windows against mingw's
 * genuine ntddk.h, wdm.h, ntifs.h, fwptypes.h and fwpmtypes.h. The build puts it in front
 * of every translation unit (-include); nothing else includes it, and the host build never
 * sees it. Each entry names the WDK header that declares it.
 */
#pragma once

/*
 * Before the first kernel header.
 */

// mingw's wdm.h defines InterlockedBitTestAndSet/Reset as inline functions of its own, and
// the intrin.h it includes declares them once more; these are intrin-impl.h's own "already
// defined" markers, so wdm.h's definitions (the WDK's wdm.h declares both) are the only ones.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// mingw's MIDL-generated fwptypes.h pulls in windows.h and ole2.h through rpc.h unless these
// are set; a kernel build must not have the Win32 API (rpc.h, fwptypes.h).
#define RPC_NO_WINDOWS_H
#define COM_NO_WINDOWS_H

// ntifs.h includes ntddk.h; it comes first because the Win32 wtypesbase.h under fwptypes.h
// (included below) must follow it: both declare SID_AND_ATTRIBUTES, and only wtypesbase.h
// steps aside for a definition that came before it.
#include <ntifs.h>

// mingw's wtypesbase.h (under fwptypes.h) is written on the Win32 base types of
// minwindef.h (DWORD, WORD, BYTE, BOOL), which the kernel headers do not include.
#include <minwindef.h>
// mingw's wtypes.h names RECTL before defining it unless windef.h came first (windef.h).
typedef struct _RECTL {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECTL, *PRECTL, *LPRECTL;

/*
 * Socket address types. mingw's ws2def.h holds only SCOPE_LEVEL and SCOPE_ID, and its
 * ws2ipdef.h (SOCKADDR_IN6, SOCKADDR_INET) is written on the types below, which the WDK's
 * ws2def.h declares; they come first so that ws2ipdef.h compiles wherever it is included.
 */
#include <inaddr.h>  // IN_ADDR (inaddr.h)

typedef USHORT ADDRESS_FAMILY;  // ws2def.h

#define AF_UNSPEC 0   // ws2def.h
#define AF_INET 2     // ws2def.h
#define AF_INET6 23   // ws2def.h

// The protocols a connect classify tells apart (ws2def.h: the IPPROTO enumeration).
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

typedef struct sockaddr {      // ws2def.h
    ADDRESS_FAMILY sa_family;  // AF_*
    CHAR sa_data[14];          // family-specific address
} SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

typedef struct sockaddr_in {  // ws2def.h
    ADDRESS_FAMILY sin_family;  // AF_INET
    USHORT sin_port;            // network byte order
    IN_ADDR sin_addr;           // network byte order
    CHAR sin_zero[8];           // zero
} SOCKADDR_IN, *PSOCKADDR_IN;

#define _SS_MAXSIZE 128                                                                 // ws2def.h
#define _SS_ALIGNSIZE (sizeof(__int64))                                                 // ws2def.h
#define _SS_PAD1SIZE (_SS_ALIGNSIZE - sizeof(USHORT))                                   // ws2def.h
#define _SS_PAD2SIZE (_SS_MAXSIZE - (sizeof(USHORT) + _SS_PAD1SIZE + _SS_ALIGNSIZE))  // ws2def.h

typedef struct sockaddr_storage {  // ws2def.h
    ADDRESS_FAMILY ss_family;      // AF_*
    CHAR __ss_pad1[_SS_PAD1SIZE];  // up to the 8-byte boundary
    __int64 __ss_align;            // forces the alignment
    CHAR __ss_pad2[_SS_PAD2SIZE];  // the rest of the 128 bytes
} SOCKADDR_STORAGE, *PSOCKADDR_STORAGE, *LPSOCKADDR_STORAGE;

typedef struct _SOCKET_ADDRESS {  // ws2def.h
    LPSOCKADDR lpSockaddr;        // the address
    INT iSockaddrLength;          // its length in bytes
} SOCKET_ADDRESS, *PSOCKET_ADDRESS, *LPSOCKET_ADDRESS;

typedef struct _WSACMSGHDR {  // ws2def.h
    SIZE_T cmsg_len;          // bytes including this header
    INT cmsg_level;           // originating protocol
    INT cmsg_type;            // protocol-specific type
} WSACMSGHDR, *PWSACMSGHDR, *LPWSACMSGHDR;

/*
 * C linkage blocks (ntdef.h).
 */
#ifdef __cplusplus
#define EXTERN_C_START extern "C" {  // ntdef.h
#define EXTERN_C_END }               // ntdef.h
#else
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/*
 * SAL annotations that mingw's sal.h and driverspecs.h do not define; they only annotate,
 * so they are empty here as in any compiler without the analyzer (sal.h).
 */
#ifndef _Post_invalid_
#define _Post_invalid_  // sal.h
#endif

/*
 * AVL generic tables: the WDK declares the routine types as function types and their
 * pointers after them; mingw has the pointer types only (ntddk.h).
 */
typedef _Function_class_(RTL_AVL_COMPARE_ROUTINE) RTL_GENERIC_COMPARE_RESULTS NTAPI
    RTL_AVL_COMPARE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ PVOID FirstStruct, _In_ PVOID SecondStruct);  // ntddk.h
typedef _Function_class_(RTL_AVL_ALLOCATE_ROUTINE) PVOID NTAPI
    RTL_AVL_ALLOCATE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ CLONG ByteSize);  // ntddk.h
typedef _Function_class_(RTL_AVL_FREE_ROUTINE) VOID NTAPI
    RTL_AVL_FREE_ROUTINE(_In_ struct _RTL_AVL_TABLE *Table, _In_ _Post_invalid_ PVOID Buffer);  // ntddk.h
// The function types are the ones mingw's pointer types point to.
static_assert(__is_same(RTL_AVL_COMPARE_ROUTINE *, PRTL_AVL_COMPARE_ROUTINE), "RTL_AVL_COMPARE_ROUTINE");
static_assert(__is_same(RTL_AVL_ALLOCATE_ROUTINE *, PRTL_AVL_ALLOCATE_ROUTINE), "RTL_AVL_ALLOCATE_ROUTINE");
static_assert(__is_same(RTL_AVL_FREE_ROUTINE *, PRTL_AVL_FREE_ROUTINE), "RTL_AVL_FREE_ROUTINE");

/*
 * Event tracing for kernel-mode classic (WPP) providers. mingw's evntrace.h is the user-mode
 * one (it is empty unless winnt.h was included), and its wdm.h lacks the classic provider.
 */
#define TRACE_LEVEL_NONE 0         // evntrace.h: tracing is not on
#define TRACE_LEVEL_CRITICAL 1     // evntrace.h: abnormal exit or termination
#define TRACE_LEVEL_FATAL 1        // evntrace.h: deprecated name for TRACE_LEVEL_CRITICAL
#define TRACE_LEVEL_ERROR 2        // evntrace.h: severe errors
#define TRACE_LEVEL_WARNING 3      // evntrace.h: warnings such as allocation failures
#define TRACE_LEVEL_INFORMATION 4  // evntrace.h: non-error cases
#define TRACE_LEVEL_VERBOSE 5      // evntrace.h: detailed traces from intermediate steps
#define TRACE_LEVEL_RESERVED6 6    // evntrace.h
#define TRACE_LEVEL_RESERVED7 7    // evntrace.h
#define TRACE_LEVEL_RESERVED8 8    // evntrace.h
#define TRACE_LEVEL_RESERVED9 9    // evntrace.h

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0  // wdm.h (and evntprov.h)
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1   // wdm.h (and evntprov.h)
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2     // wdm.h (and evntprov.h)

// Message options of WmiTraceMessage, which mingw's wdm.h declares without them.
#define TRACE_MESSAGE_SEQUENCE 1                // evntrace.h
#define TRACE_MESSAGE_GUID 2                    // evntrace.h
#define TRACE_MESSAGE_COMPONENTID 4             // evntrace.h
#define TRACE_MESSAGE_TIMESTAMP 8               // evntrace.h
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16  // evntrace.h
#define TRACE_MESSAGE_SYSTEMINFO 32             // evntrace.h

typedef struct _TRACE_ENABLE_CONTEXT {  // evntrace.h
    USHORT LoggerId;                    // the session's logger id
    UCHAR Level;                        // enable level
    UCHAR InternalFlag;                 // reserved
    ULONG EnableFlags;                  // enable flags
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;

typedef VOID(NTAPI *PETW_CLASSIC_CALLBACK)(_In_ LPCGUID Guid, _In_ UCHAR ControlCode, _In_opt_ PVOID EnableContext,
                                           _In_opt_ PVOID CallbackContext);  // wdm.h

EXTERN_C_START
_IRQL_requires_max_(PASSIVE_LEVEL)
NTKERNELAPI NTSTATUS NTAPI EtwRegisterClassicProvider(_In_ LPCGUID ProviderGuid, _In_ ULONG Type,
                                                      _In_ PETW_CLASSIC_CALLBACK EnableCallback,
                                                      _In_opt_ PVOID CallbackContext,
                                                      _Out_ PREGHANDLE RegHandle);  // wdm.h
EXTERN_C_END

/*
 * Filter-engine management types of Windows 8 that mingw's fwpmtypes.h lacks (fwpmtypes.h).
 */
#include <fwpmtypes.h>

typedef enum FWPM_SERVICE_STATE_ {  // fwpmtypes.h
    FWPM_SERVICE_STOPPED = 0,
    FWPM_SERVICE_START_PENDING = 1,
    FWPM_SERVICE_STOP_PENDING = 2,
    FWPM_SERVICE_RUNNING = 3,
    FWPM_SERVICE_STATE_MAX = 4
} FWPM_SERVICE_STATE;

typedef struct FWPM_PROVIDER_CONTEXT2_ {  // fwpmtypes.h
    GUID providerContextKey;              // uniquely identifies the provider context
    FWPM_DISPLAY_DATA0 displayData;       // name and description
    UINT32 flags;                         // FWPM_PROVIDER_CONTEXT_FLAG_*
    GUID *providerKey;                    // optional owning provider
    FWP_BYTE_BLOB providerData;           // optional provider data
    FWPM_PROVIDER_CONTEXT_TYPE type;      // which member of the union is valid
    union {
        struct IPSEC_KEYING_POLICY1_ *keyingPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *ikeQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY2_ *ikeQmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *authipQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY2_ *authipQmTunnelPolicy;
        struct IKEEXT_POLICY2_ *ikeMmPolicy;
        struct IKEEXT_POLICY2_ *authIpMmPolicy;
        FWP_BYTE_BLOB *dataBuffer;  // FWPM_GENERAL_CONTEXT
        FWPM_CLASSIFY_OPTIONS0 *classifyOptions;
        struct IPSEC_TUNNEL_POLICY2_ *ikeV2QmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *ikeV2QmTransportPolicy;
        struct IKEEXT_POLICY2_ *ikeV2MmPolicy;
        struct IPSEC_DOSP_OPTIONS0_ *idpOptions;
    };
    UINT64 providerContextId;  // run-time id
} FWPM_PROVIDER_CONTEXT2;

/*
 * 64-bit interlocked operations on x86. The WDK's wdm.h maps InterlockedCompareExchange64 to
 * the compiler's intrinsic (lock cmpxchg8b) and builds InterlockedIncrement64 on it in a
 * loop; mingw's wdm.h maps them for x64 only, and its intrin.h declares the x86 intrinsic
 * without a definition. GCC's builtin is the same instruction.
 */
FORCEINLINE LONG64 InterlockedCompareExchange64(_Inout_ LONG64 volatile *Destination, _In_ LONG64 ExChange,
                                                _In_ LONG64 Comperand)  // wdm.h (x86)
{
    return __sync_val_compare_and_swap(Destination, Comperand, ExChange);
}

FORCEINLINE LONG64 InterlockedIncrement64(_Inout_ LONG64 volatile *Addend)  // wdm.h (x86)
{
    LONG64 old;
    do {
        old = *Addend;
    } while (InterlockedCompareExchange64(Addend, old + 1, old) != old);
    return old + 1;
}

/*
 * Byte swaps. The WDK's wdm.h maps them to the compiler's intrinsics (_byteswap_ushort,
 * _byteswap_ulong, _byteswap_uint64), which expand inline; mingw's intrin.h declares those
 * as routines of its user-mode runtime, which a driver cannot import. GCC's builtins are
 * the inline form (wdm.h).
 */
#undef RtlUshortByteSwap
#undef RtlUlongByteSwap
#undef RtlUlonglongByteSwap
#define RtlUshortByteSwap(_x) __builtin_bswap16((USHORT)(_x))        // wdm.h
#define RtlUlongByteSwap(_x) __builtin_bswap32((ULONG)(_x))          // wdm.h
#define RtlUlonglongByteSwap(_x) __builtin_bswap64((ULONGLONG)(_x))  // wdm.h

/*
 * Plain reads of shared values. The WDK's wdm.h defines ReadAcquire and ReadNoFence as
 * inline reads of the volatile location (on x86 every load already has acquire order, so
 * only the compiler's ordering differs); mingw's wdm.h has neither. GCC's atomic loads are
 * the same single load.
 */
FORCEINLINE LONG ReadAcquire(_In_ LONG const volatile *Source)  // wdm.h
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

FORCEINLINE LONG ReadNoFence(_In_ LONG const volatile *Source)  // wdm.h
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

/*
 * The rest of that family: ReadAcquire64 and ReadPointerAcquire, and the stores with release
 * order WriteRelease, WriteRelease64 and WritePointerRelease. The WDK's wdm.h makes the 64-bit
 * ones single 8-byte accesses on x86 (__iso_volatile_load64/store64); GCC's atomic 8-byte
 * load and store on x86 are single accesses too (an x87 or SSE move), not a library call.
 */
FORCEINLINE LONG64 ReadAcquire64(_In_ LONG64 const volatile *Source)  // wdm.h
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

FORCEINLINE PVOID ReadPointerAcquire(_In_ PVOID const volatile *Source)  // wdm.h
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

FORCEINLINE VOID WriteRelease(_Out_ LONG volatile *Destination, _In_ LONG Value)  // wdm.h
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

FORCEINLINE VOID WriteRelease64(_Out_ LONG64 volatile *Destination, _In_ LONG64 Value)  // wdm.h
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

FORCEINLINE VOID WritePointerRelease(_Out_ PVOID volatile *Destination, _In_opt_ PVOID Value)  // wdm.h
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
