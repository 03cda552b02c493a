/*
 * wpp/wpp_km.h (winsim)
 *
 * The kernel-mode WPP template that every generated .tmh pulls in, after the driver's
 * trace header has defined WPP_CONTROL_GUIDS. It gives the provider's control block, the
 * enabled test of a trace point (flag bit and level, read without a lock), the trace
 * function behind the names the trace header's configuration declares, and
 * WPP_INIT_TRACING / WPP_CLEANUP over the ETW classic-provider registration.
 *
 * A trace point compiles to its format check (at compile time) and one branch on the
 * control block; the arguments are evaluated and packed only when a session listens.
 */
#pragma once

#include <ntdef.h>
#include <evntrace.h>
#include <wpp/wpp_format.h>

#ifndef WPP_CONTROL_GUIDS
#error "the driver's trace header must define WPP_CONTROL_GUIDS before its .tmh is included"
#endif

namespace WppSim {

// A control-block field that the enable callback writes while trace points on other threads
// read it. WPP reads these without a lock, and a stale read only adds or drops a record
// around the moment a session starts or ends. Here loads acquire and stores release (on x86
// the same single move): ThreadSanitizer sees no data race, and a point that reads the new
// flags also reads the logger and level written before them.
template <class T>
class Shared {
public:
    operator T() const { return __atomic_load_n(&value_, __ATOMIC_ACQUIRE); }
    Shared &operator=(T value)
    {
        __atomic_store_n(&value_, value, __ATOMIC_RELEASE);
        return *this;
    }

private:
    T value_;
};

}  // namespace WppSim

// One per control GUID: what the session that enabled it asked for, and the registration.
typedef struct _WPP_TRACE_CONTROL_BLOCK {
    WppSim::Shared<ULONG> Flags[1];      // the session's enable flags; 0 while no session listens
    WppSim::Shared<UCHAR> Level;         // the session's enable level
    WppSim::Shared<TRACEHANDLE> Logger;  // the session's logger handle, written to by trace points
    REGHANDLE RegHandle;                 // the provider's registration; 0 while unregistered
} WPP_TRACE_CONTROL_BLOCK, *PWPP_TRACE_CONTROL_BLOCK;

// Control indexes and flag bits: bit n of control c is WPP_BIT_<Flag> = c * 0x10000 + n + 1.
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) WPP_CTL_##Name,
enum WPP_CTL_INDEXES { WPP_CONTROL_GUIDS WPP_LAST_CTL };
#undef WPP_DEFINE_CONTROL_GUID

#define WPP_DEFINE_BIT(Name) WPP_BIT_##Name,
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) \
    enum WPP_BITS_##Name { WPP_BLOCK_START_##Name = WPP_CTL_##Name * 0x10000, Bits WPP_BLOCK_END_##Name };
WPP_CONTROL_GUIDS
#undef WPP_DEFINE_CONTROL_GUID
#undef WPP_DEFINE_BIT

// A control GUID is written as five hex groups without braces: (l,w1,w2,w3,ll).
#define WPP_SIM_GUID_FROM(l, w1, w2, w3, ll)                                                     \
    {                                                                                            \
        0x##l, 0x##w1, 0x##w2,                                                                   \
        {(UCHAR)(0x##w3 >> 8), (UCHAR)(0x##w3 & 0xFF), (UCHAR)(0x##ll##ULL >> 40),               \
         (UCHAR)((0x##ll##ULL >> 32) & 0xFF), (UCHAR)((0x##ll##ULL >> 24) & 0xFF),               \
         (UCHAR)((0x##ll##ULL >> 16) & 0xFF), (UCHAR)((0x##ll##ULL >> 8) & 0xFF),                \
         (UCHAR)(0x##ll##ULL & 0xFF)}                                                             \
    }
#define WPP_SIM_GUID(Guid) WPP_SIM_GUID_FROM Guid
#define WPP_DEFINE_BIT(Name)
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) WPP_SIM_GUID(Guid),
inline constexpr GUID WPP_SIM_CONTROL_GUIDS[WPP_LAST_CTL] = {WPP_CONTROL_GUIDS};
#undef WPP_DEFINE_CONTROL_GUID
#undef WPP_DEFINE_BIT

// The driver's trace control blocks: zero in the image, so a trace point before
// WPP_INIT_TRACING or after WPP_CLEANUP writes nothing.
inline WPP_TRACE_CONTROL_BLOCK WPP_MAIN_CB[WPP_LAST_CTL];

#define WPP_CTRL_NO(CTL) ((CTL) >> 16)
#define WPP_FLAG_NO(CTL) ((0xFFFF & ((CTL) - 1)) / 32)
#define WPP_MASK(CTL) (1U << (((CTL) - 1) & 31))
#define WPP_CONTROL(CTL) (WPP_MAIN_CB[WPP_CTRL_NO(CTL)])

#ifndef WPP_LEVEL_ENABLED
#define WPP_LEVEL_ENABLED(FLAG) (WPP_CONTROL(WPP_BIT_##FLAG).Flags[WPP_FLAG_NO(WPP_BIT_##FLAG)] & WPP_MASK(WPP_BIT_##FLAG))
#endif
#ifndef WPP_LEVEL_LOGGER
#define WPP_LEVEL_LOGGER(FLAG) (WPP_CONTROL(WPP_BIT_##FLAG).Logger),
#endif

namespace WppSim {

// Writes an enabled point through WmiTraceMessage, as the code the trace preprocessor
// generates does: the control GUID as the message GUID, the line as the message number.
template <class... T>
inline VOID Write(TRACEHANDLE Logger, LPCGUID Guid, UCHAR Level, ULONG Flag, PCSTR FlagName, PCSTR File,
                  ULONG Line, PCSTR Function, PCSTR Format, T... Args)
{
    const WPP_SIM_ARG packed[sizeof...(T) + 1] = {Pack(Args)..., {ArgNone, FALSE, 0, nullptr}};
    const WPP_SIM_TRACE_POINT point = {Level, Flag, FlagName, File, Line, Function, Format, packed,
                                       static_cast<ULONG>(sizeof...(T))};

    // Some kernel headers declare MessageGuid as LPGUID rather than LPCGUID; it is only read.
    (VOID)WmiTraceMessage(Logger, WPP_SIM_TRACE_OPTIONS, const_cast<GUID *>(Guid), static_cast<USHORT>(Line), &point,
                          static_cast<SIZE_T>(sizeof(point)), nullptr, static_cast<SIZE_T>(0));
}

// The classic provider's enable callback: takes the session's flags, level and logger.
inline VOID NTAPI EnableCallback(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext, PVOID CallbackContext)
{
    PWPP_TRACE_CONTROL_BLOCK block = static_cast<PWPP_TRACE_CONTROL_BLOCK>(CallbackContext);

    UNREFERENCED_PARAMETER(Guid);
    if (block == nullptr) {
        return;
    }
    if (ControlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER && EnableContext != nullptr) {
        const TRACE_ENABLE_CONTEXT *context = static_cast<const TRACE_ENABLE_CONTEXT *>(EnableContext);
        // The flags go last: they open the gate that the other two fields stand behind.
        block->Logger = static_cast<TRACEHANDLE>(context->LoggerId) |
                        (static_cast<TRACEHANDLE>(context->Level) << 16) |
                        (static_cast<TRACEHANDLE>(context->InternalFlag) << 24) |
                        (static_cast<TRACEHANDLE>(context->EnableFlags) << 32);
        block->Level = context->Level;
        block->Flags[0] = context->EnableFlags;
    } else if (ControlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
        block->Flags[0] = 0;
        block->Level = 0;
        block->Logger = 0;
    }
}

inline VOID ResetControlBlock(PWPP_TRACE_CONTROL_BLOCK Block)
{
    Block->Flags[0] = 0;
    Block->Level = 0;
    Block->Logger = 0;
    Block->RegHandle = 0;
}

// WPP_INIT_TRACING: resets the control blocks and registers one provider per control
// GUID. A failed registration only leaves tracing off; it never fails the driver.
inline VOID InitTracing(struct _DRIVER_OBJECT *DriverObject, PCUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i < WPP_LAST_CTL; ++i) {
        ResetControlBlock(&WPP_MAIN_CB[i]);
        REGHANDLE handle = 0;
        if (NT_SUCCESS(EtwRegisterClassicProvider(&WPP_SIM_CONTROL_GUIDS[i], 0, EnableCallback, &WPP_MAIN_CB[i],
                                                  &handle))) {
            WPP_MAIN_CB[i].RegHandle = handle;
        }
    }
}

// WPP_CLEANUP: unregisters what WPP_INIT_TRACING registered; a second call does nothing.
inline VOID CleanupTracing(struct _DRIVER_OBJECT *DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    for (ULONG i = 0; i < WPP_LAST_CTL; ++i) {
        if (WPP_MAIN_CB[i].RegHandle != 0) {
            EtwUnregister(WPP_MAIN_CB[i].RegHandle);
        }
        ResetControlBlock(&WPP_MAIN_CB[i]);
    }
}

}  // namespace WppSim

#define WPP_INIT_TRACING(DriverObject, RegistryPath) ::WppSim::InitTracing((DriverObject), (RegistryPath))
#define WPP_CLEANUP(DriverObject) ::WppSim::CleanupTracing(DriverObject)

#ifndef WPP_SIM_SOURCE_FILE
#define WPP_SIM_SOURCE_FILE __FILE__
#endif

/*
 * The trace function of the LEVEL, FLAGS, MSG, ... form. The format is checked against
 * the arguments' types at compile time; the arguments are evaluated only when the flag
 * and level are enabled.
 */
#define WPP_SIM_TRACE_LEVEL_FLAGS(LEVEL, FLAGS, MSG, ...)                                                     \
    do {                                                                                                      \
        static_assert(::WppSim::CheckFormat(decltype(::WppSim::TypesOf(__VA_ARGS__)){}, MSG) !=               \
                          ::WppSim::FormatUnknownConversion,                                                  \
                      "trace format: a conversion the WPP stand-in does not know");                           \
        static_assert(::WppSim::CheckFormat(decltype(::WppSim::TypesOf(__VA_ARGS__)){}, MSG) !=               \
                          ::WppSim::FormatArgumentMismatch,                                                   \
                      "trace format: an argument's type does not fit its conversion");                        \
        static_assert(::WppSim::CheckFormat(decltype(::WppSim::TypesOf(__VA_ARGS__)){}, MSG) !=               \
                          ::WppSim::FormatTooFewArguments,                                                    \
                      "trace format: fewer arguments than conversions");                                      \
        static_assert(::WppSim::CheckFormat(decltype(::WppSim::TypesOf(__VA_ARGS__)){}, MSG) !=               \
                          ::WppSim::FormatTooManyArguments,                                                   \
                      "trace format: more arguments than conversions");                                       \
        if (__builtin_expect(!!(WPP_LEVEL_FLAGS_ENABLED(LEVEL, FLAGS)), 0)) {                                 \
            ::WppSim::Write(WPP_LEVEL_FLAGS_LOGGER(LEVEL, FLAGS) &WPP_SIM_CONTROL_GUIDS[WPP_CTRL_NO(WPP_BIT_##FLAGS)], \
                            static_cast<UCHAR>(LEVEL),                                                        \
                            WPP_MASK(WPP_BIT_##FLAGS), #FLAGS, WPP_SIM_SOURCE_FILE, __LINE__, __func__, MSG, \
                            ##__VA_ARGS__);                                                                   \
        }                                                                                                     \
    } while (0)
