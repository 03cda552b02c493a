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
#include <ctime>
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

// The names of the statuses ntstatus.h defines (aliases of another value left out).
const char *StatusName(NTSTATUS status)
{
#define S(name) {name, #name}
    static const struct {
        NTSTATUS value;
        const char *name;
    } names[] = {
        S(STATUS_SUCCESS), S(STATUS_USER_APC), S(STATUS_ALERTED), S(STATUS_TIMEOUT), S(STATUS_PENDING),
        S(STATUS_OBJECT_NAME_EXISTS), S(STATUS_WDF_QUEUED), S(STATUS_BUFFER_OVERFLOW), S(STATUS_DEVICE_BUSY),
        S(STATUS_NO_MORE_ENTRIES), S(STATUS_UNSUCCESSFUL), S(STATUS_NOT_IMPLEMENTED),
        S(STATUS_INVALID_INFO_CLASS), S(STATUS_INFO_LENGTH_MISMATCH), S(STATUS_INVALID_HANDLE),
        S(STATUS_INVALID_CID), S(STATUS_INVALID_PARAMETER), S(STATUS_INVALID_DEVICE_REQUEST), S(STATUS_NO_MEMORY),
        S(STATUS_ACCESS_DENIED), S(STATUS_BUFFER_TOO_SMALL), S(STATUS_OBJECT_TYPE_MISMATCH),
        S(STATUS_OBJECT_NAME_COLLISION), S(STATUS_QUOTA_EXCEEDED), S(STATUS_DELETE_PENDING),
        S(STATUS_PRIVILEGE_NOT_HELD), S(STATUS_INVALID_SECURITY_DESCR), S(STATUS_PROCEDURE_NOT_FOUND),
        S(STATUS_INSUFFICIENT_RESOURCES), S(STATUS_NOT_SUPPORTED), S(STATUS_INTERNAL_ERROR), S(STATUS_CANCELLED),
        S(STATUS_DRIVER_INTERNAL_ERROR), S(STATUS_INVALID_DEVICE_STATE), S(STATUS_NOT_FOUND),
        S(STATUS_HANDLE_NOT_CLOSABLE), S(STATUS_INTEGER_OVERFLOW), S(STATUS_POWER_STATE_INVALID),
        S(STATUS_WMI_GUID_NOT_FOUND), S(STATUS_WDF_INTERNAL_ERROR), S(STATUS_WDF_PAUSED), S(STATUS_WDF_BUSY),
        S(STATUS_WDF_NO_CALLBACK), S(STATUS_FWP_CALLOUT_NOT_FOUND), S(STATUS_FWP_NOT_FOUND),
        S(STATUS_FWP_ALREADY_EXISTS), S(STATUS_FWP_IN_USE), S(STATUS_FWP_NULL_POINTER),
        S(STATUS_FWP_TCPIP_NOT_READY), S(STATUS_FWP_CANNOT_PEND), S(STATUS_ABANDONED), S(STATUS_REPARSE),
        S(STATUS_MORE_ENTRIES), S(STATUS_OBJECT_NAME_NOT_FOUND), S(STATUS_OBJECT_PATH_NOT_FOUND),
        S(STATUS_OBJECT_NAME_INVALID), S(STATUS_INVALID_PARAMETER_1), S(STATUS_INVALID_PARAMETER_2),
        S(STATUS_INVALID_PARAMETER_3), S(STATUS_PROCESS_IS_TERMINATING), S(STATUS_TOO_MANY_SECRETS),
        S(STATUS_NO_SUCH_DEVICE), S(STATUS_INVALID_BUFFER_SIZE), S(STATUS_FILE_CLOSED), S(STATUS_NOT_SAME_DEVICE),
        S(STATUS_TOO_LATE), S(STATUS_REQUEST_NOT_ACCEPTED), S(STATUS_REQUEST_ABORTED), S(STATUS_DATA_ERROR),
        S(STATUS_IO_TIMEOUT), S(STATUS_OBJECT_PATH_SYNTAX_BAD), S(STATUS_IMAGE_ALREADY_LOADED),
        S(STATUS_FWP_INCOMPATIBLE_LAYER), S(STATUS_DATATYPE_MISALIGNMENT), S(STATUS_ACCESS_VIOLATION),
        S(STATUS_CONNECTION_REFUSED),
    };
#undef S
    for (const auto &entry : names) {
        if (entry.value == status) {
            return entry.name;
        }
    }
    return nullptr;
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
        // As tracefmt writes it: the value, then the name where it has one.
        const NTSTATUS status = static_cast<NTSTATUS>(argument->value);
        const char *text = StatusName(status);
        return Printf("0x%x", static_cast<unsigned>(status)) + (text != nullptr ? "(" + std::string(text) + ")" : "");
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
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record.time = now.QuadPart;
    record.processId = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
    record.threadId = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()));
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

namespace winsim {

std::string FormatTraceRecord(const TraceRecord &record, const std::string &friendlyName)
{
    // 100-ns units since 1601-01-01 to the tracefmt form MM/DD/YYYY-HH:MM:SS.mmm.
    constexpr std::int64_t kUnitsPerSecond = 10000000;
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
    const std::int64_t units = record.time < 0 ? 0 : record.time;
    const std::time_t seconds = static_cast<std::time_t>(units / kUnitsPerSecond - kSecondsFrom1601To1970);
    const unsigned milliseconds = static_cast<unsigned>((units % kUnitsPerSecond) / 10000);
    std::tm calendar{};
    gmtime_r(&seconds, &calendar);
    char prefix[80];
    std::snprintf(prefix, sizeof(prefix), "[0]%04X.%04X::%02d/%02d/%04d-%02d:%02d:%02d.%03u", record.processId,
                  record.threadId, calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_year + 1900, calendar.tm_hour,
                  calendar.tm_min, calendar.tm_sec, milliseconds);
    return std::string(prefix) + " [" + friendlyName + "]" + record.flagName + " " + LevelName(record.level) + " " +
           record.function + ": " + record.message;
}

}  // namespace winsim
