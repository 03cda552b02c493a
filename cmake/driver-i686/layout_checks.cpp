/*
 * layout_checks.cpp (i686 driver build only)
 *
 * What must hold of the driver's shared layouts when it is compiled for 32-bit Windows,
 * checked at compile time against mingw-w64's genuine base types: the control interface's
 * wire records and the redirect context record keep their byte layouts (their headers
 * assert every offset; this file adds what those cannot say), the process snapshot's records
 * and the WFP structures have their x86 layouts, and 32-bit addresses and process ids become
 * 64-bit keys by sign extension and come back unchanged.
 */
#include <ntddk.h>
#include <fwpsk.h>

#include "flow/flow_context_table.h"
#include "policy/process_sysinfo.h"
#include "qvr_ioctl.h"
#include "redirect/redirect_records.h"
#include "winsim/wfp/wfp_layout_expected.h"

static_assert(sizeof(PVOID) == 4 && sizeof(HANDLE) == 4 && sizeof(SIZE_T) == 4, "a 32-bit target");
static_assert(sizeof(ULONG) == 4 && sizeof(WCHAR) == 2 && sizeof(GUID) == 16, "Windows' base type sizes");

// The wire records are packed: their sizes do not depend on the pointer size.
static_assert(sizeof(CONTROL_RECORD_HEADER) == 8, "CONTROL_RECORD_HEADER");
static_assert(sizeof(PROCESS_RULES_RECORD) == PROCESS_RULES_RECORD_MIN_SIZE, "PROCESS_RULES_RECORD");
static_assert(sizeof(QUIC_BLOCKING_RECORD) == QUIC_BLOCKING_RECORD_MIN_SIZE, "QUIC_BLOCKING_RECORD");
static_assert(sizeof(CALLBACK_RECORD) == CALLBACK_REPLY_MIN_SIZE, "CALLBACK_RECORD");
static_assert(FIELD_OFFSET(CALLBACK_RECORD, RequestId) % 4 == 0, "RequestId stays 4-byte aligned in the record");

// The context record, as the redirect target reads it, and the address it carries.
static_assert(sizeof(REDIRECT_CONTEXT_RECORD) == REDIRECT_CONTEXT_RECORD_MIN_SIZE, "REDIRECT_CONTEXT_RECORD");
static_assert(sizeof(REDIRECT_TARGET_BLOB) == REDIRECT_TARGET_BLOB_SIZE, "REDIRECT_TARGET_BLOB");
static_assert(sizeof(SOCKADDR_STORAGE) == 128, "SOCKADDR_STORAGE");
static_assert(FIELD_OFFSET(SOCKADDR_STORAGE, ss_family) == 0, "SOCKADDR_STORAGE.ss_family");
static_assert(FIELD_OFFSET(SOCKADDR_IN, sin_port) == 2 && FIELD_OFFSET(SOCKADDR_IN, sin_addr) == 4, "SOCKADDR_IN");
static_assert(FIELD_OFFSET(SOCKADDR_IN6, sin6_port) == 2 && FIELD_OFFSET(SOCKADDR_IN6, sin6_addr) == 8 &&
                  FIELD_OFFSET(SOCKADDR_IN6, sin6_scope_id) == 24 && sizeof(SOCKADDR_IN6) == 28,
              "SOCKADDR_IN6");

// The system process snapshot's records as the driver declares them read the x86 kernel's
// layout (0xB8 bytes a record; the public winternl layout at 32-bit pointer size).
static_assert(FIELD_OFFSET(SYSTEM_PROCESS_INFORMATION, ImageName) == 56, "SYSTEM_PROCESS_INFORMATION.ImageName");
static_assert(FIELD_OFFSET(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 68,
              "SYSTEM_PROCESS_INFORMATION.UniqueProcessId");
static_assert(sizeof(SYSTEM_PROCESS_INFORMATION) == 0xB8, "SYSTEM_PROCESS_INFORMATION");

// The WFP structures at x86 layout, with winsim's fwpsk.h on the genuine base types.
#define QVR_CHECK_OFFSET(Type, Field, X86, X64) static_assert(FIELD_OFFSET(Type, Field) == (X86), #Type "." #Field);
QVR_WFP_OFFSETS(QVR_CHECK_OFFSET)
#undef QVR_CHECK_OFFSET
#define QVR_CHECK_SIZE(Type, X86, X64) static_assert(sizeof(Type) == (X86), #Type);
QVR_WFP_SIZES(QVR_CHECK_SIZE)
#undef QVR_CHECK_SIZE

/*
 * 64-bit keys. A flow context's key is its address and a process id's key is the id, both
 * taken as LONG_PTR and widened to 64 bits: on x86 that sign-extends, so a kernel address
 * (top bit set) keys as 0xFFFFFFFF8xxxxxxx, as WFP hands a flow context back, and the key
 * narrows back to the same 32 bits.
 */
constexpr UINT64 KeyOf(ULONG_PTR Native)
{
    return static_cast<UINT64>(static_cast<INT64>(static_cast<LONG_PTR>(Native)));
}

constexpr ULONG_PTR NativeOf(UINT64 Key)
{
    return static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<INT64>(Key)));
}

static_assert(static_cast<LONG_PTR>(-1) < 0 && sizeof(LONG_PTR) == 4, "LONG_PTR is a signed 32-bit integer");
static_assert(KeyOf(0x80001000u) == 0xFFFFFFFF80001000ull, "a kernel address sign-extends");
static_assert(KeyOf(0x7FFFFFF0u) == 0x000000007FFFFFF0ull, "a low address is unchanged");
static_assert(KeyOf(4u) == 4ull && KeyOf(0xFFFCu) == 0xFFFCull, "process ids are unchanged");
static_assert(NativeOf(KeyOf(0x80001000u)) == 0x80001000u && NativeOf(KeyOf(0xFFFCu)) == 0xFFFCu,
              "a key narrows back to its address or id");

/*
 * The driver's own conversion of a flow context's address to its key is an inline routine
 * on a pointer, which no constant expression can call; the optimizer folds it for a
 * constant address instead, so a call that survives to a routine marked with the error
 * attribute means the key is not the sign-extended address, and fails the compile.
 */
extern "C" void FlowContextKeyIsNotTheSignExtendedAddress() __attribute__((error("FlowContextKey")));
extern "C" void FlowContextKeyDoesNotGiveTheAddressBack() __attribute__((error("FlowContextFromKey")));

extern "C" void CheckFlowContextKeys()
{
    static const ULONG_PTR addresses[] = {0x80001000u, 0xFFFFF000u, 0x7FFF0000u};
    for (ULONG_PTR address : addresses) {
        const PVOID context = reinterpret_cast<PVOID>(address);
        if (FlowContextKey(context) != KeyOf(address)) {
            FlowContextKeyIsNotTheSignExtendedAddress();
        }
        if (FlowContextFromKey(FlowContextKey(context)) != context) {
            FlowContextKeyDoesNotGiveTheAddressBack();
        }
    }
}
