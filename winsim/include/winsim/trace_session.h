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
    std::int64_t time = 0;      // system time when written (KeQuerySystemTime: 100 ns since 1601, UTC)
    std::uint32_t processId = 0;  // the process and thread that wrote it
    std::uint32_t threadId = 0;
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

    // The records written since the last call (or since the session began), which the
    // session then forgets: for a reader that shows them as they come.
    std::vector<TraceRecord> TakeRecords();

    // Records whose message contains `text`.
    std::vector<TraceRecord> Matching(const std::string &text) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

/*
 * One record as tracefmt prints it with the trace format files, under the default prefix
 * with the flag, level and function added,
 * TRACE_FORMAT_PREFIX="[%9!d!]%8!04X!.%3!04X!::%4!s! [%1!s!]%!FLAGS! %!LEVEL! %!FUNC!: "
 * (processor, process id, thread id, system time, message GUID friendly name, ...):
 *   [0]0004.0010::12/10/2026-09:56:16.123 [qvrdrv]TRACE_DRIVER TRACE_LEVEL_INFORMATION DriverEntry: ...
 * The processor is always 0 and the time UTC (tracefmt prints local time).
 */
std::string FormatTraceRecord(const TraceRecord &record, const std::string &friendlyName);

/*
 * The background session: while the environment variable WINSIM_TRACE is "all" when a
 * provider registers, every provider that no TraceSession enables is enabled with every
 * flag and level 255, and each point it writes is rendered and dropped. It lets a whole
 * test suite run with every trace point's arguments read and rendered.
 */
bool BackgroundTracingOn();

// Whether a provider with this control GUID is registered right now, and how many
// registrations exist in all.
bool IsTraceProviderRegistered(const GUID &provider);
std::size_t RegisteredTraceProviders();

}  // namespace winsim
