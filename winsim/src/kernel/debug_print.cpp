/*
 * debug_print.cpp (winsim kernel)
 *
 * Debugger output (DbgPrint, DbgPrintEx) to stderr with the kernel's format extensions
 * (%wZ counted strings, %ws and %S UTF-16 strings, %Z counted ANSI strings, %I64 sizes),
 * assertions and bug checks as verifier failures, and naming of code addresses.
 */
#include <winsim/kernel.h>

#include "kernel_internal.h"

#include <winsim/verifier.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <map>
#include <mutex>
#include <string>

#if defined(WINSIM_HAVE_BACKTRACE)
#include <backtrace.h>
#endif

namespace winsim::kernel {
namespace {

std::atomic<bool> gDebugOutput{true};

void AppendUtf16(std::string &out, const WCHAR *text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

// Formats one conversion whose standard form printf understands; `directive` is its '%'
// with the flags, width and precision that came before the length modifier.
void AppendStandard(std::string &out, const std::string &directive, char conversion, int size, va_list *argsp)
{
    char buffer[512];
    std::string format = directive;
    int written = 0;
    if (conversion == 'p') {
        written = std::snprintf(buffer, sizeof(buffer), (format + "p").c_str(), va_arg(*argsp, void *));
    } else if (conversion == 's') {
        const char *text = va_arg(*argsp, const char *);
        written = std::snprintf(buffer, sizeof(buffer), (format + "s").c_str(), text ? text : "(null)");
    } else if (conversion == 'c') {
        written = std::snprintf(buffer, sizeof(buffer), (format + "c").c_str(), va_arg(*argsp, int));
    } else if (conversion == 'f' || conversion == 'g' || conversion == 'e') {
        written = std::snprintf(buffer, sizeof(buffer), (format + conversion).c_str(), va_arg(*argsp, double));
    } else if (size == 8) {
        written = std::snprintf(buffer, sizeof(buffer), (format + "ll" + conversion).c_str(), va_arg(*argsp, long long));
    } else {
        written = std::snprintf(buffer, sizeof(buffer), (format + conversion).c_str(), va_arg(*argsp, int));
    }
    if (written > 0) {
        out.append(buffer, static_cast<std::size_t>(written) < sizeof(buffer) ? written : sizeof(buffer) - 1);
    }
}

// Reads a length modifier with the Windows sizes (long is 32 bits; I64, I32 and I as in MSVC).
const char *ParseLengthModifier(const char *p, int *size, bool *wide)
{
    *size = sizeof(int);
    *wide = false;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        *size = 8;
        return p + 3;
    }
    if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
        *size = 4;
        return p + 3;
    }
    if (p[0] == 'I') {
        *size = sizeof(void *);
        return p + 1;
    }
    if (p[0] == 'l' && p[1] == 'l') {
        *size = 8;
        return p + 2;
    }
    if (p[0] == 'l' || p[0] == 'w') {
        *wide = true;  // %ls, %ws, %wZ; %ld stays 32-bit as on Windows
        return p + 1;
    }
    if (p[0] == 'h') {
        return p + ((p[1] == 'h') ? 2 : 1);
    }
    if (p[0] == 'z') {
        *size = sizeof(std::size_t);
        return p + 1;
    }
    return p;
}

// The kernel's string conversions: %Z and %wZ counted strings, %ws / %ls / %S UTF-16 strings.
bool AppendKernelString(std::string &out, char conversion, bool wide, va_list *argsp)
{
    if (conversion == 'Z' && wide) {
        auto *text = va_arg(*argsp, const UNICODE_STRING *);
        if (text != nullptr && text->Buffer != nullptr) {
            AppendUtf16(out, text->Buffer, text->Length / sizeof(WCHAR));
        }
        return true;
    }
    if (conversion == 'Z') {
        auto *text = va_arg(*argsp, const STRING *);
        if (text != nullptr && text->Buffer != nullptr) {
            out.append(text->Buffer, text->Length);
        }
        return true;
    }
    if ((conversion == 's' && wide) || conversion == 'S') {
        auto *text = va_arg(*argsp, const WCHAR *);
        std::size_t length = 0;
        while (text != nullptr && text[length] != 0) {
            ++length;
        }
        if (text == nullptr) {
            out += "(null)";
        } else {
            AppendUtf16(out, text, length);
        }
        return true;
    }
    return false;
}

std::string Format(const char *format, va_list incoming)
{
    va_list args;
    va_copy(args, incoming);
    std::string out;
    for (const char *p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.push_back('%');
            continue;
        }
        std::string directive = "%";
        while (*p != 0 && std::string("-+ #0123456789.*").find(*p) != std::string::npos) {
            if (*p == '*') {
                directive += std::to_string(va_arg(args, int));
            } else {
                directive.push_back(*p);
            }
            ++p;
        }
        int size = 0;
        bool wide = false;
        p = ParseLengthModifier(p, &size, &wide);
        if (*p == 0) {
            break;
        }
        if (!AppendKernelString(out, *p, wide, &args)) {
            AppendStandard(out, directive, *p, size, &args);
        }
    }
    va_end(args);
    return out;
}

void Emit(const char *format, va_list args)
{
    if (!gDebugOutput.load()) {
        return;
    }
    std::string text = Format(format, args);
    std::fputs(text.c_str(), stderr);
}

}  // namespace

namespace {

std::string Demangle(const char *name)
{
    int status = 0;
    char *demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = (status == 0 && demangled != nullptr) ? demangled : name;
    std::free(demangled);
    return result;
}

#if defined(WINSIM_HAVE_BACKTRACE)
struct SourceLocation {
    std::string function;
    std::string file;
    int line = 0;
};

void IgnoreBacktraceError(void * /*data*/, const char * /*message*/, int /*error*/) {}

backtrace_state *BacktraceState()
{
    static backtrace_state *state = backtrace_create_state(nullptr, 1, IgnoreBacktraceError, nullptr);
    return state;
}

int TakeFirstFrame(void *data, uintptr_t /*pc*/, const char *file, int line, const char *function)
{
    auto *location = static_cast<SourceLocation *>(data);
    if (function != nullptr && location->function.empty()) {
        location->function = Demangle(function);
        location->file = file != nullptr ? file : "";
        location->line = line;
    }
    return 0;
}

// Function, file and line from the executable's debug information (static functions too).
std::string DescribeFromDebugInfo(const void *address)
{
    backtrace_state *state = BacktraceState();
    if (state == nullptr) {
        return {};
    }
    SourceLocation location;
    // A return address points after the call; look up the call instruction itself.
    backtrace_pcinfo(state, reinterpret_cast<uintptr_t>(address) - 1, TakeFirstFrame, IgnoreBacktraceError,
                     &location);
    if (location.function.empty()) {
        return {};
    }
    std::string::size_type slash = location.file.find_last_of('/');
    std::string file = slash == std::string::npos ? location.file : location.file.substr(slash + 1);
    return location.function + " (" + file + ":" + std::to_string(location.line) + ")";
}
#else
std::string DescribeFromDebugInfo(const void * /*address*/) { return {}; }
#endif

std::string DescribeFromSymbols(const void *address)
{
    char fallback[32];
    std::snprintf(fallback, sizeof(fallback), "%p", address);
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return fallback;
    }
    auto offset = static_cast<const char *>(address) - static_cast<const char *>(info.dli_saddr);
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), "+0x%lx", static_cast<long>(offset));
    return Demangle(info.dli_sname) + suffix;
}

}  // namespace

std::string DescribeCodeAddress(const void *address)
{
    static std::mutex *mutex = new std::mutex();
    static auto *cache = new std::map<const void *, std::string>();
    std::lock_guard<std::mutex> lock(*mutex);
    auto it = cache->find(address);
    if (it != cache->end()) {
        return it->second;
    }
    std::string description = address == nullptr ? std::string() : DescribeFromDebugInfo(address);
    if (description.empty()) {
        description = DescribeFromSymbols(address);
    }
    cache->emplace(address, description);
    return description;
}

namespace {

#if defined(WINSIM_HAVE_BACKTRACE)
int TakeFile(void *data, uintptr_t /*pc*/, const char *file, int /*line*/, const char * /*function*/)
{
    auto *out = static_cast<std::string *>(data);
    if (file != nullptr && out->empty()) {
        *out = file;
    }
    return 0;
}
#endif

// The full source path of the code at a return address ("" when the debug information has
// none), cached: the same call sites come back on every run of a sweep.
std::string SourcePathOf(const void *address)
{
    static std::mutex *mutex = new std::mutex();
    static auto *cache = new std::map<const void *, std::string>();
    std::lock_guard<std::mutex> lock(*mutex);
    auto it = cache->find(address);
    if (it != cache->end()) {
        return it->second;
    }
    std::string path;
#if defined(WINSIM_HAVE_BACKTRACE)
    if (backtrace_state *state = BacktraceState()) {
        backtrace_pcinfo(state, reinterpret_cast<uintptr_t>(address) - 1, TakeFile, IgnoreBacktraceError, &path);
    }
#endif
    cache->emplace(address, path);
    return path;
}

}  // namespace

const void *FindCallerFrom(std::string_view pathPart)
{
    void *frames[48];
    int count = ::backtrace(frames, 48);
    for (int i = 1; i < count; ++i) {
        if (SourcePathOf(frames[i]).find(pathPart) != std::string::npos) {
            return frames[i];
        }
    }
    return nullptr;
}

}  // namespace winsim::kernel

namespace winsim {

void SetDebugOutput(bool enabled) { kernel::gDebugOutput.store(enabled); }

}  // namespace winsim

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    winsim::kernel::Emit(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    winsim::kernel::Emit(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

VOID WinsimAssertionFailure(PCSTR Expression, PCSTR Message, PCSTR File, ULONG Line)
{
    std::string text = std::string(File) + ":" + std::to_string(Line) + ": " + Expression;
    if (Message != nullptr) {
        text += " (" + std::string(Message) + ")";
    }
    winsim::ReportViolation("NT_ASSERT", text);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                        ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4)
{
    char text[512];
    std::snprintf(text, sizeof(text), "bug check 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) called by %s", BugCheckCode,
                  static_cast<unsigned long long>(BugCheckParameter1),
                  static_cast<unsigned long long>(BugCheckParameter2),
                  static_cast<unsigned long long>(BugCheckParameter3),
                  static_cast<unsigned long long>(BugCheckParameter4),
                  winsim::kernel::DescribeCodeAddress(__builtin_return_address(0)).c_str());
    winsim::ReportViolation("KeBugCheckEx", text);
    std::fprintf(stderr, "winsim: %s: the machine stops here\n", text);
    std::fflush(stderr);
    std::abort();
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

}  // extern "C"
