/*
 * wpp/wpp_format.h (winsim)
 *
 * What the trace preprocessor checks and packs at each trace point, done by the C++
 * compiler instead: every conversion of a message's format is matched against the type
 * of its argument at compile time, and the arguments of an enabled point are packed as
 * typed values for the writer. Freestanding: driver sources include it through their
 * generated .tmh files.
 */
#pragma once

#include <ntdef.h>
#include <evntrace.h>
#include <in6addr.h>

struct _DRIVER_OBJECT;

namespace WppSim {

// What a conversion consumes, and what an argument is.
enum ArgKind : ULONG {
    ArgNone = 0,
    ArgInt32,          // integer or enumeration of at most 32 bits
    ArgInt64,          // 64-bit integer
    ArgPointer,        // any other pointer
    ArgNarrowText,     // pointer to 8-bit characters, zero-terminated
    ArgWideText,       // pointer to UTF-16 characters, zero-terminated
    ArgCountedWide,    // pointer to UNICODE_STRING
    ArgCountedNarrow,  // pointer to ANSI_STRING
    ArgGuidPointer,    // pointer to GUID
    ArgIn6AddrPointer, // pointer to IN6_ADDR (16 bytes)
    ArgNullPointer,    // nullptr itself: fits every pointer conversion
    ArgUnsupported,    // floating point, class types, ...
};

// Result of checking a format against its arguments; 0 is a match.
enum FormatCheck : int {
    FormatOk = 0,
    FormatUnknownConversion,  // a %... that the stand-in does not know
    FormatArgumentMismatch,   // an argument whose type does not fit its conversion
    FormatTooFewArguments,
    FormatTooManyArguments,
};

template <class T> struct IsCharType { static constexpr int Width = 0; };
template <> struct IsCharType<char> { static constexpr int Width = 1; };
template <> struct IsCharType<signed char> { static constexpr int Width = 1; };
template <> struct IsCharType<unsigned char> { static constexpr int Width = 1; };
template <> struct IsCharType<char16_t> { static constexpr int Width = 2; };
template <> struct IsCharType<wchar_t> { static constexpr int Width = sizeof(wchar_t) == 2 ? 2 : 0; };

template <class T> struct IsIntegral { static constexpr bool Value = false; };
#define WPP_SIM_INTEGRAL(T) \
    template <> struct IsIntegral<T> { static constexpr bool Value = true; }
WPP_SIM_INTEGRAL(bool);
WPP_SIM_INTEGRAL(char);
WPP_SIM_INTEGRAL(signed char);
WPP_SIM_INTEGRAL(unsigned char);
WPP_SIM_INTEGRAL(wchar_t);
WPP_SIM_INTEGRAL(char16_t);
WPP_SIM_INTEGRAL(char32_t);
WPP_SIM_INTEGRAL(short);
WPP_SIM_INTEGRAL(unsigned short);
WPP_SIM_INTEGRAL(int);
WPP_SIM_INTEGRAL(unsigned int);
WPP_SIM_INTEGRAL(long);
WPP_SIM_INTEGRAL(unsigned long);
WPP_SIM_INTEGRAL(long long);
WPP_SIM_INTEGRAL(unsigned long long);
#undef WPP_SIM_INTEGRAL

template <class T> struct RemoveConst { using Type = T; };
template <class T> struct RemoveConst<const T> { using Type = T; };
template <class T> struct RemoveConst<volatile T> { using Type = T; };
template <class T> struct RemoveConst<const volatile T> { using Type = T; };

template <class T> struct PointeeKind {
    using Bare = typename RemoveConst<T>::Type;
    static constexpr ULONG Value = IsCharType<Bare>::Width == 1   ? ArgNarrowText
                                   : IsCharType<Bare>::Width == 2 ? ArgWideText
                                                                  : ArgPointer;
};
template <class T> struct PointeeKind<const T> : PointeeKind<T> {};
template <class T> struct PointeeKind<volatile T> : PointeeKind<T> {};
template <class T> struct PointeeKind<const volatile T> : PointeeKind<T> {};
template <> struct PointeeKind<UNICODE_STRING> { static constexpr ULONG Value = ArgCountedWide; };
template <> struct PointeeKind<STRING> { static constexpr ULONG Value = ArgCountedNarrow; };
template <> struct PointeeKind<GUID> { static constexpr ULONG Value = ArgGuidPointer; };
template <> struct PointeeKind<IN6_ADDR> { static constexpr ULONG Value = ArgIn6AddrPointer; };

template <class T> struct KindOf {
    static constexpr ULONG Value = (IsIntegral<T>::Value || __is_enum(T))
                                       ? (sizeof(T) <= 4 ? ArgInt32 : sizeof(T) == 8 ? ArgInt64 : ArgUnsupported)
                                       : ArgUnsupported;
};
template <class T> struct KindOf<T *> { static constexpr ULONG Value = PointeeKind<T>::Value; };
template <> struct KindOf<decltype(nullptr)> { static constexpr ULONG Value = ArgNullPointer; };

// Types of a trace point's arguments, taken without evaluating them.
template <class... T> struct TypeList {};
template <class... T> TypeList<T...> TypesOf(T...);

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool StartsWith(const char *s, const char *prefix)
{
    for (; *prefix != 0; ++s, ++prefix) {
        if (*s != *prefix) {
            return false;
        }
    }
    return true;
}

constexpr ULONG Length(const char *s)
{
    ULONG n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

// One conversion of a format, as the checker and the writer both read it.
struct Conversion {
    ULONG Consumes;  // ArgKind the conversion takes; ArgNone for %% and %!FUNC! and the like
    ULONG Skip;      // characters of the format taken by the conversion, '%' included
    char Letter;     // the conversion's last letter ('d', 'u', 'x', 's', 'Z', 'p', ...), or 0
    const char *Extended;  // for %!NAME!: the text after "%!"; else null
    bool Known;      // false for a conversion the stand-in does not know
};

/*
 * The extended %!NAME! conversions that take an argument, and what they take. IPADDR is an
 * IPv4 address as a ULONG in network order, PORT a USHORT in network order (both built into
 * WPP); IPV6ADDR is the complex type a driver declares in its trace header for a pointer to
 * IN6_ADDR.
 */
constexpr ULONG ExtendedKind(const char *name, bool *known, bool *noArgument)
{
    *known = true;
    *noArgument = false;
    if (StartsWith(name, "STATUS!") || StartsWith(name, "bool!") || StartsWith(name, "WINERROR!") ||
        StartsWith(name, "HRESULT!") || StartsWith(name, "IPADDR!") || StartsWith(name, "PORT!")) {
        return ArgInt32;
    }
    if (StartsWith(name, "GUID!")) {
        return ArgGuidPointer;
    }
    if (StartsWith(name, "IPV6ADDR!")) {
        return ArgIn6AddrPointer;
    }
    if (StartsWith(name, "FUNC!") || StartsWith(name, "FILE!") || StartsWith(name, "LINE!") ||
        StartsWith(name, "LEVEL!") || StartsWith(name, "FLAGS!")) {
        *noArgument = true;
        return ArgNone;
    }
    *known = false;
    return ArgNone;
}

// Reads the conversion that starts at Format[0] == '%'.
constexpr Conversion ReadConversion(const char *format)
{
    Conversion c = {ArgNone, 1, 0, nullptr, true};
    const char *p = format + 1;

    if (*p == '%') {
        c.Skip = 2;
        return c;
    }
    if (*p == '!') {
        bool known = false;
        bool noArgument = false;
        c.Extended = p + 1;
        c.Consumes = ExtendedKind(p + 1, &known, &noArgument);
        c.Known = known;
        ULONG n = 1;
        while (p[n] != 0 && p[n] != '!') {
            ++n;
        }
        c.Skip = 1 + n + (p[n] == '!' ? 1 : 0);
        return c;
    }
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
        ++p;
    }
    while (IsDigit(*p)) {
        ++p;
    }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) {
            ++p;
        }
    }
    ULONG width = 32;
    bool wide = false;
    if (StartsWith(p, "I64")) {
        width = 64;
        p += 3;
    } else if (StartsWith(p, "ll")) {
        width = 64;
        p += 2;
    } else if (*p == 'l' || *p == 'h') {
        wide = (*p == 'l');
        ++p;
    } else if (*p == 'w') {
        wide = true;
        ++p;
    }
    c.Letter = *p;
    c.Skip = static_cast<ULONG>(p - format) + (*p != 0 ? 1 : 0);
    switch (*p) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
        c.Consumes = width == 64 ? ArgInt64 : ArgInt32;
        break;
    case 'p':
        c.Consumes = ArgPointer;
        break;
    case 's':
        c.Consumes = wide ? ArgWideText : ArgNarrowText;
        break;
    case 'S':
        c.Consumes = ArgWideText;
        break;
    case 'Z':
        c.Consumes = wide ? ArgCountedWide : ArgCountedNarrow;
        break;
    default:
        c.Known = false;
        break;
    }
    return c;
}

constexpr bool Fits(ULONG consumes, ULONG given)
{
    if (consumes == given) {
        return true;
    }
    if (given == ArgNullPointer) {
        return consumes != ArgInt32 && consumes != ArgInt64;
    }
    // %p prints the address of any pointer.
    return consumes == ArgPointer && given != ArgInt32 && given != ArgInt64 && given != ArgUnsupported;
}

template <class... T>
constexpr int CheckFormat(TypeList<T...>, const char *format)
{
    const ULONG kinds[] = {KindOf<T>::Value..., ArgNone};
    const ULONG count = sizeof...(T);
    ULONG used = 0;

    for (const char *p = format; *p != 0;) {
        if (*p != '%') {
            ++p;
            continue;
        }
        const Conversion c = ReadConversion(p);
        if (!c.Known) {
            return FormatUnknownConversion;
        }
        if (c.Consumes != ArgNone) {
            if (used == count) {
                return FormatTooFewArguments;
            }
            if (!Fits(c.Consumes, kinds[used])) {
                return FormatArgumentMismatch;
            }
            ++used;
        }
        p += c.Skip;
    }
    return used == count ? FormatOk : FormatTooManyArguments;
}

}  // namespace WppSim

/*
 * One argument of an enabled trace point as the writer receives it: the kind its type
 * gave it, its integer value (sign- or zero-extended) or its pointer.
 */
typedef struct _WPP_SIM_ARG {
    ULONG Kind;           // WppSim::ArgKind
    BOOLEAN IsSigned;     // for integers: the type was signed
    ULONG64 Value;        // for integers
    const VOID *Pointer;  // for pointers and texts
} WPP_SIM_ARG, *PWPP_SIM_ARG;
typedef const WPP_SIM_ARG *PCWPP_SIM_ARG;

/*
 * What an enabled trace point hands WmiTraceMessage as its one (data, length) pair: the
 * stand-in has no message GUIDs and trace format files, so the point's format, source
 * position and typed arguments travel with it.
 */
typedef struct _WPP_SIM_TRACE_POINT {
    UCHAR Level;           // the point's level
    ULONG Flag;            // the point's flag bit
    PCSTR FlagName;        // the flag's name
    PCSTR File;            // the source file
    ULONG Line;            // the source line
    PCSTR Function;        // the enclosing function
    PCSTR Format;          // the message's format
    PCWPP_SIM_ARG Args;    // the typed arguments
    ULONG ArgCount;        // entries in Args
} WPP_SIM_TRACE_POINT, *PWPP_SIM_TRACE_POINT;
typedef const WPP_SIM_TRACE_POINT *PCWPP_SIM_TRACE_POINT;

// The message options of WPP's trace points (WPP_TRACE_OPTIONS).
#define WPP_SIM_TRACE_OPTIONS (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP)

EXTERN_C_START

/*
 * Renders one trace point and hands it to the session of Logger: what winsim's
 * WmiTraceMessage does with the point of a WPP stand-in trace function.
 */
_IRQL_requires_max_(HIGH_LEVEL)
VOID NTAPI WppSimTraceMessage(_In_ TRACEHANDLE Logger, _In_ UCHAR Level, _In_ ULONG Flag, _In_z_ PCSTR FlagName,
                              _In_z_ PCSTR File, _In_ ULONG Line, _In_z_ PCSTR Function, _In_z_ PCSTR Format,
                              _In_reads_(ArgCount) PCWPP_SIM_ARG Args, _In_ ULONG ArgCount);

EXTERN_C_END

namespace WppSim {

template <class T, bool IsEnum = __is_enum(T)> struct IsSignedInt { static constexpr bool Value = T(-1) < T(0); };
template <class T> struct IsSignedInt<T, true> : IsSignedInt<__underlying_type(T)> {};

template <class T>
inline WPP_SIM_ARG Pack(T value)
{
    WPP_SIM_ARG arg = {KindOf<T>::Value, IsSignedInt<T>::Value, 0, nullptr};
    arg.Value = IsSignedInt<T>::Value ? static_cast<ULONG64>(static_cast<LONG64>(value)) : static_cast<ULONG64>(value);
    return arg;
}

template <class T>
inline WPP_SIM_ARG Pack(T *value)
{
    // A C-style cast: it takes object pointers of any qualification and function pointers.
    WPP_SIM_ARG arg = {KindOf<T *>::Value, FALSE, 0, (const VOID *)(value)};
    return arg;
}

inline WPP_SIM_ARG Pack(decltype(nullptr))
{
    WPP_SIM_ARG arg = {ArgNullPointer, FALSE, 0, nullptr};
    return arg;
}

}  // namespace WppSim
