/*
 * ntdef.h (winsim)
 *
 * Base types of the NT kernel with their Windows widths (LLP64: LONG and ULONG are 32 bits
 * on every Windows target, WCHAR is a 16-bit UTF-16 code unit, handles are pointer-sized),
 * counted strings, list heads, object attributes and the helper macros drivers use.
 * Only compiler-provided freestanding headers are included, so driver code stays free of
 * the host's C and C++ libraries.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sal.h>

#define NTAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTKERNELAPI
#define NTHALAPI
#define WINAPI
#define CALLBACK
#define FASTCALL
#define FORCEINLINE inline __attribute__((always_inline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_SELECTANY __attribute__((weak))
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#define CONST const
#define IN
#define OUT
#define OPTIONAL

#define VOID void
typedef void *PVOID;
typedef const void *PCVOID;
typedef void **PPVOID;

typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int INT;
typedef unsigned int UINT;
typedef float FLOAT;
typedef double DOUBLE;

typedef CHAR *PCHAR, *PSTR, *LPSTR;
typedef const CHAR *PCCHAR, *PCSTR, *LPCSTR, *PCCH;
typedef UCHAR *PUCHAR;
typedef const UCHAR *PCUCHAR;
typedef SHORT *PSHORT;
typedef USHORT *PUSHORT;
typedef LONG *PLONG;
typedef ULONG *PULONG;
typedef const ULONG *PCULONG;
typedef LONGLONG *PLONGLONG;
typedef ULONGLONG *PULONGLONG;

typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef UINT8 *PUINT8;
typedef UINT16 *PUINT16;
typedef UINT32 *PUINT32;
typedef UINT64 *PUINT64;
typedef ULONG64 *PULONG64;
typedef ULONG32 *PULONG32;

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef BYTE *PBYTE;
typedef WORD *PWORD;
typedef DWORD *PDWORD;

typedef UCHAR BOOLEAN;
typedef BOOLEAN *PBOOLEAN;
typedef ULONG LOGICAL;
typedef int BOOL;
#define TRUE 1
#define FALSE 0

typedef intptr_t LONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, UINT_PTR, SIZE_T, DWORD_PTR;
typedef intptr_t SSIZE_T;
typedef ULONG_PTR *PULONG_PTR;
typedef SIZE_T *PSIZE_T;

typedef char CCHAR;
typedef short CSHORT;
typedef ULONG CLONG;

/*
 * WCHAR is 16 bits on Windows. Driver sources are compiled with -fshort-wchar, so their
 * L"" literals are UTF-16 wchar_t; host code (winsim, tests, tools) keeps the 32-bit
 * wchar_t of the C library and sees the same code units as char16_t.
 */
#if __WCHAR_MAX__ == 0xffff || __WCHAR_MAX__ == 0x7fff
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR *PWCHAR, *PWCH, *PWSTR, *LPWSTR, *NWPSTR;
typedef const WCHAR *PCWCH, *PCWSTR, *LPCWSTR;
typedef PWSTR *PZPWSTR;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;

typedef LONG NTSTATUS;
typedef NTSTATUS *PNTSTATUS;
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

/* Counted strings: Length and MaximumLength are in bytes; Buffer need not be terminated. */
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCSTRING;
typedef const ANSI_STRING *PCANSI_STRING;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
#endif
typedef GUID *LPGUID, *PGUID;
typedef const GUID *LPCGUID, *PCGUID;
typedef const GUID &REFGUID;

inline bool IsEqualGUID(const GUID &a, const GUID &b)
{
    const UCHAR *pa = reinterpret_cast<const UCHAR *>(&a);
    const UCHAR *pb = reinterpret_cast<const UCHAR *>(&b);
    for (unsigned i = 0; i < sizeof(GUID); ++i) {
        if (pa[i] != pb[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID &a, const GUID &b) { return !IsEqualGUID(a, b); }

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

/* Object attributes. */
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK *PACCESS_MASK;

/* Limits. */
#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONGLONG 0x7fffffffffffffffLL
#define MAXULONGLONG 0xffffffffffffffffULL
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXLONG_PTR ((LONG_PTR)(MAXULONG_PTR >> 1))
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

/* Helper macros. */
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR *)((ULONG_PTR)(ArgumentPointer)) != (CHAR *)nullptr)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
// The WDK takes the field's address within a null pointer; offsetof gives the same value
// without the member access through null that clang's UndefinedBehaviorSanitizer reports.
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define C_ASSERT(e) static_assert(e, #e)
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))
#define FlagOn(_F, _SF) ((_F) & (_SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(_F, _SF) ((_F) |= (_SF))
#define ClearFlag(_F, _SF) ((_F) &= ~(_SF))

#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s) }
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
    const WCHAR _var##_buffer[] = _string;          \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}
