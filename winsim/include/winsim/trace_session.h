/*
 * winsim/trace_session.h
 *
 * The trace-session side of the WPP stand-in: a test or tool enables a provider (by its
 * control GUID) with a flag word and a level, and reads back every trace point the driver
 * wrote while the session listened: level, flag, source position, format, rendered text
 * and the typed arguments. One session per provider at a time, as for a classic provider.
 * Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntdef.h>
#include <evntrace.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

// One argument of a written trace point.
struct TraceArgument {
    enum class Kind { Integer, Pointer, Text, Bytes };
    Kind kind = Kind::Integer;
    bool isSigned = false;      // Integer: the driver's type was signed
    std::uint64_t value = 0;    // Integer: the value (sign-extended); Pointer: the address
    std::string text;           // Text: UTF-8, "NULL" for a null pointer
    std::vector<std::uint8_t> bytes;  // Bytes: what a fixed-size argument pointed to (IN6_ADDR)
};

// One written trace point.
struct TraceRecord {
    std::uint8_t level = 0;     // TRACE_LEVEL_*
    std::uint32_t flag = 0;     // the point's flag bit (0x1, 0x2, ...)
    std::string flagName;       // the flag's name in the trace header, e.g. "TRACE_RULES"
    std::string file;           // source file name, e.g. "rule_store.cpp"
    std::uint32_t line = 0;
    std::string function;       // the function that wrote it
    std::string format;         // the format as written in the source
    std::string message;        // the format rendered with the arguments
    std::vector<TraceArgument> arguments;
};

// Enables a provider for as long as it lives. If the provider registers later, it is
// enabled when it registers; if it unregisters, the session keeps what was written.
class TraceSession {
public:
    TraceSession(const GUID &provider, std::uint32_t flags, std::uint8_t level);
    ~TraceSession();
    TraceSession(const TraceSession &) = delete;
    TraceSession &operator=(const TraceSession &) = delete;

    // Changes the session's settings; a registered provider is told at once.
    void Enable(std::uint32_t flags, std::uint8_t level);
    void Disable();

    std::vector<TraceRecord> Records() const;
    void Clear();

    // Records whose message contains `text`.
    std::vector<TraceRecord> Matching(const std::string &text) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Whether a provider with this control GUID is registered right now, and how many
// registrations exist in all.
bool IsTraceProviderRegistered(const GUID &provider);
std::size_t RegisteredTraceProviders();

}  // namespace winsim
