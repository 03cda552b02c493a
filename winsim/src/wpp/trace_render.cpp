/*
 * trace_render.cpp (winsim WPP)
 *
 * The writer behind every enabled trace point: renders the point's format with its
 * arguments as a trace consumer would with the trace format files (WPP's extended
 * conversions included) and hands the record to the session. The conversions were
 * matched against the argument types when the driver was compiled.
 */
#include <ntddk.h>
#include <wpp/wpp_format.h>

#include <winsim/verifier.h>

#include "address_text.h"
#include "wpp_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using winsim::TraceArgument;

std::string Utf16ToUtf8(const char16_t *text, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

const char *StatusName(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_NO_MORE_ENTRIES: return "STATUS_NO_MORE_ENTRIES";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INFO_LENGTH_MISMATCH: return "STATUS_INFO_LENGTH_MISMATCH";
    case STATUS_INVALID_HANDLE: return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_NAME_COLLISION: return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_INTEGER_OVERFLOW: return "STATUS_INTEGER_OVERFLOW";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_NOT_FOUND: return "STATUS_NOT_FOUND";
    default: return nullptr;
    }
}

const char *LevelName(UCHAR level)
{
    static const char *const names[] = {"TRACE_LEVEL_NONE",    "TRACE_LEVEL_CRITICAL",    "TRACE_LEVEL_ERROR",
                                        "TRACE_LEVEL_WARNING", "TRACE_LEVEL_INFORMATION", "TRACE_LEVEL_VERBOSE"};
    return level < 6 ? names[level] : "TRACE_LEVEL_RESERVED";
}

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...)
{
    char buffer[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

// The argument as the session keeps it, and its text for a text conversion.
TraceArgument ArgumentOf(const WPP_SIM_ARG &arg)
{
    TraceArgument out;
    switch (arg.Kind) {
    case WppSim::ArgInt32:
    case WppSim::ArgInt64:
        out.kind = TraceArgument::Kind::Integer;
        out.isSigned = arg.IsSigned != FALSE;
        out.value = arg.Value;
        break;
    case WppSim::ArgNarrowText:
        out.kind = TraceArgument::Kind::Text;
        out.text = arg.Pointer != nullptr ? static_cast<const char *>(arg.Pointer) : "NULL";
        break;
    case WppSim::ArgWideText:
        out.kind = TraceArgument::Kind::Text;
        if (arg.Pointer == nullptr) {
            out.text = "NULL";
        } else {
            const char16_t *text = static_cast<const char16_t *>(arg.Pointer);
            out.text = Utf16ToUtf8(text, std::char_traits<char16_t>::length(text));
        }
        break;
    case WppSim::ArgCountedWide: {
        out.kind = TraceArgument::Kind::Text;
        const UNICODE_STRING *string = static_cast<const UNICODE_STRING *>(arg.Pointer);
        if (string == nullptr) {
            out.text = "NULL";
        } else if (string->Buffer != nullptr) {
            out.text = Utf16ToUtf8(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / 2);
        }
        break;
    }
    case WppSim::ArgCountedNarrow: {
        out.kind = TraceArgument::Kind::Text;
        const STRING *string = static_cast<const STRING *>(arg.Pointer);
        if (string == nullptr) {
            out.text = "NULL";
        } else if (string->Buffer != nullptr) {
            out.text.assign(string->Buffer, string->Length);
        }
        break;
    }
    case WppSim::ArgIn6AddrPointer:
        if (arg.Pointer == nullptr) {
            out.kind = TraceArgument::Kind::Text;
            out.text = "NULL";
        } else {
            const UCHAR *bytes = static_cast<const IN6_ADDR *>(arg.Pointer)->u.Byte;
            out.kind = TraceArgument::Kind::Bytes;
            out.bytes.assign(bytes, bytes + sizeof(IN6_ADDR));
        }
        break;
    default:
        out.kind = TraceArgument::Kind::Pointer;
        out.value = reinterpret_cast<std::uintptr_t>(arg.Pointer);
        break;
    }
    return out;
}


// Renders one conversion of the standard kind: flags, width and precision are kept.
std::string RenderStandard(const char *text, const WppSim::Conversion &c, const TraceArgument &argument)
{
    std::string flags;
    for (const char *p = text + 1; *p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' ||
                                   (*p >= '0' && *p <= '9') || *p == '.';
         ++p) {
        flags += *p;
    }
    if (argument.kind == TraceArgument::Kind::Text) {
        return Printf(("%" + flags + "s").c_str(), argument.text.c_str());
    }
    if (argument.kind == TraceArgument::Kind::Pointer) {
        return Printf("0x%llx", static_cast<unsigned long long>(argument.value));
    }
    const bool is64 = c.Consumes == WppSim::ArgInt64;
    const char letter = c.Letter;
    if (letter == 'c') {
        return std::string(1, static_cast<char>(argument.value));
    }
    if (letter == 'd' || letter == 'i') {
        long long value = is64 ? static_cast<long long>(argument.value)
                               : static_cast<long long>(static_cast<std::int32_t>(argument.value));
        return Printf(("%" + flags + "lld").c_str(), value);
    }
    unsigned long long value = is64 ? argument.value : static_cast<std::uint32_t>(argument.value);
    return Printf(("%" + flags + "ll" + std::string(1, letter)).c_str(), value);
}

std::string RenderExtended(const WppSim::Conversion &c, const WPP_SIM_ARG *arg, const TraceArgument *argument,
                           const winsim::TraceRecord &record)
{
    const std::string name(c.Extended, std::strcspn(c.Extended, "!"));
    if (c.Consumes != WppSim::ArgNone && (arg == nullptr || argument == nullptr)) {
        return "";
    }
    if (name == "FUNC") return record.function;
    if (name == "FILE") return record.file;
    if (name == "LINE") return std::to_string(record.line);
    if (name == "LEVEL") return LevelName(record.level);
    if (name == "FLAGS") return record.flagName;
    if (name == "STATUS") {
        const NTSTATUS status = static_cast<NTSTATUS>(argument->value);
        const char *text = StatusName(status);
        return text != nullptr ? text : Printf("0x%08X", static_cast<unsigned>(status));
    }
    if (name == "bool") return argument->value != 0 ? "TRUE" : "FALSE";
    if (name == "IPADDR") return winsim::wpp::Ipv4Text(static_cast<std::uint32_t>(argument->value));
    if (name == "PORT") {
        const std::uint16_t port = static_cast<std::uint16_t>(argument->value);
        return std::to_string(static_cast<unsigned>((port >> 8) | ((port & 0xFF) << 8)));
    }
    if (name == "IPV6ADDR") {
        return argument->kind == TraceArgument::Kind::Bytes ? winsim::wpp::Ipv6Text(argument->bytes.data()) : argument->text;
    }
    if (name == "GUID") {
        return arg->Pointer != nullptr ? winsim::wpp::GuidText(*static_cast<const GUID *>(arg->Pointer)) : "NULL";
    }
    return Printf("0x%08X", static_cast<unsigned>(argument->value));
}

}  // namespace

EXTERN_C VOID NTAPI WppSimTraceMessage(TRACEHANDLE Logger, UCHAR Level, ULONG Flag, PCSTR FlagName, PCSTR File,
                                       ULONG Line, PCSTR Function, PCSTR Format, PCWPP_SIM_ARG Args, ULONG ArgCount)
{
    winsim::TraceRecord record;
    record.level = Level;
    record.flag = Flag;
    record.flagName = FlagName;
    const char *slash = std::strrchr(File, '/');
    record.file = slash != nullptr ? slash + 1 : File;
    record.line = Line;
    record.function = Function;
    record.format = Format;
    for (ULONG i = 0; i < ArgCount; ++i) {
        record.arguments.push_back(ArgumentOf(Args[i]));
    }

    ULONG used = 0;
    for (const char *p = Format; *p != 0;) {
        if (*p != '%') {
            record.message += *p++;
            continue;
        }
        const WppSim::Conversion c = WppSim::ReadConversion(p);
        const bool takes = c.Consumes != WppSim::ArgNone && used < ArgCount;
        if (c.Extended != nullptr) {
            record.message += RenderExtended(c, takes ? &Args[used] : nullptr,
                                             takes ? &record.arguments[used] : nullptr, record);
        } else if (c.Skip == 2 && p[1] == '%') {
            record.message += '%';
        } else if (takes) {
            record.message += RenderStandard(p, c, record.arguments[used]);
        }
        used += takes ? 1 : 0;
        p += c.Skip;
    }
    winsim::wpp::RecordTracePoint(Logger, std::move(record));
}

/*
 * The WPP stand-in's trace points write through here with one (data, length) pair, their
 * WPP_SIM_TRACE_POINT, and the documented end of the list (a null pointer and a zero
 * length). Other messages carry raw data that the stand-in's sessions cannot render: those
 * are refused loudly rather than dropped.
 */
EXTERN_C NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                  USHORT MessageNumber, ...)
{
    UNREFERENCED_PARAMETER(MessageFlags);
    UNREFERENCED_PARAMETER(MessageGuid);
    UNREFERENCED_PARAMETER(MessageNumber);

    va_list pairs;
    va_start(pairs, MessageNumber);
    const VOID *data = va_arg(pairs, const VOID *);
    const SIZE_T length = data != nullptr ? va_arg(pairs, SIZE_T) : 0;
    const VOID *next = data != nullptr ? va_arg(pairs, const VOID *) : nullptr;
    va_end(pairs);

    if (data == nullptr || length != sizeof(WPP_SIM_TRACE_POINT) || next != nullptr) {
        winsim::ReportViolation("WmiTraceMessage",
                                "only the WPP stand-in's trace points are supported: one WPP_SIM_TRACE_POINT pair");
        return STATUS_INVALID_PARAMETER;
    }
    const WPP_SIM_TRACE_POINT *point = static_cast<const WPP_SIM_TRACE_POINT *>(data);
    WppSimTraceMessage(LoggerHandle, point->Level, point->Flag, point->FlagName, point->File, point->Line,
                       point->Function, point->Format, point->Args, point->ArgCount);
    return STATUS_SUCCESS;
}
