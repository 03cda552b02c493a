/*
 * trace_view.h
 *
 * The simulator's view of the driver's WPP trace: a trace session on the driver's provider
 * whose records are printed, as a trace consumer formats them, between the simulator's own
 * lines, so that each step is followed by what the driver traced while it ran.
 */
#pragma once

#include <winsim/trace_session.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace qvr::sim {

// The driver's trace provider, {2FD5E1A4-F49D-452E-ACDB-FC87A8EDB322}.
inline constexpr GUID kDriverTraceProvider = {0x2FD5E1A4, 0xF49D, 0x452E,
                                              {0xAC, 0xDB, 0xFC, 0x87, 0xA8, 0xED, 0xB3, 0x22}};

// What a trace session asks of the provider. Flags 0 is off.
struct TraceSettings {
    std::uint32_t flags = 0x3;                  // TRACE_RULES 0x1 | TRACE_DRIVER 0x2
    std::uint8_t level = TRACE_LEVEL_VERBOSE;
};

/*
 * "FLAGS[,LEVEL]" or "off": FLAGS a number (hex with 0x, else decimal) or flag names joined
 * by '+' (rules, driver, all); LEVEL 1 to 5 or a level name (critical, error, warning,
 * information, verbose), verbose when left out. Nothing when the text is not of that form.
 */
std::optional<TraceSettings> ParseTraceSettings(const std::string &text);

// "flags 0x3 (TRACE_RULES|TRACE_DRIVER) up to level 5 (TRACE_LEVEL_VERBOSE)", or "off".
std::string DescribeTraceSettings(const TraceSettings &settings);

/*
 * While it lives, out's lines are preceded by the trace records written since the line
 * before (each as "  | " and the consumer's line). Records written by other threads are
 * shown at the next line the simulator writes, or when the view ends.
 */
class TraceView : private std::streambuf {
public:
    TraceView(std::ostream &out, const TraceSettings &initial);
    ~TraceView() override;
    TraceView(const TraceView &) = delete;
    TraceView &operator=(const TraceView &) = delete;

    void Change(const TraceSettings &settings);

    // Prints what the session has heard that is not printed yet.
    void Flush();

    // Every record the view has printed so far, in order: for the parts of a run that read
    // the driver's trace (there can be only one session on the provider).
    const std::vector<winsim::TraceRecord> &Heard() const { return heard_; }
    winsim::TraceSession &Session() { return session_; }

private:
    int overflow(int c) override;
    std::streamsize xsputn(const char *text, std::streamsize count) override;
    int sync() override;

    std::ostream &out_;
    std::streambuf *target_;
    bool atLineStart_ = true;
    std::vector<winsim::TraceRecord> heard_;
    winsim::TraceSession session_;
};

}  // namespace qvr::sim
