/*
 * scenario.h
 *
 * What the simulator plays: the steps the agent's service takes against the loaded
 * driver, each with the answer the scenario expects, and the image paths whose policy
 * verdict is shown after each rules change. An embedded default runs with no arguments;
 * users write their own in scenario files. Later steps will start processes and push
 * connections through the network stack.
 */
#pragma once

#include "agent/records.h"
#include "trace_view.h"

#include <winsim/io.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvr::sim {

enum class StepKind {
    Open,         // a caller of the given identity opens the control device (and closes it)
    Rules,        // the service sends its process rules
    Quic,         // the service sends the QUIC switch
    RawControl,   // the service sends arbitrary bytes with an I/O control code
    Trace,        // the simulator's trace session changes its flags and level
};

struct Step {
    StepKind kind = StepKind::Rules;
    std::string description;               // shown in the report
    winsim::Identity identity = winsim::Identity::LocalSystem;  // Open
    agent::ProcessPolicy policy;           // Rules
    bool quic = false;                     // Quic
    ULONG code = 0;                        // RawControl
    std::vector<std::uint8_t> input;       // RawControl
    TraceSettings trace;                   // Trace
    std::optional<NTSTATUS> expected;      // the status the scenario expects, if it says
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
    std::vector<std::u16string> probes;    // image paths judged by the policy after each rules step
    bool processes = false;                // then run processes under two policies (process_scenario.h)
    bool connections = false;              // then connect through the proxy (redirect_scenario.h)
    bool held = false;                     // then held connections, QUIC, discards (held_scenario.h)
};

// Whether a step changes the trace session (so the simulator must open one).
bool HasTraceSteps(const Scenario &scenario);

// The scenario played when no file is given.
Scenario DefaultScenario();

/*
 * Reads a scenario file, one directive per line ('#' starts a comment):
 *   name <text>
 *   open system|admin|user [expect <STATUS>]
 *   rules intercept|exempt [<name> ...] [expect <STATUS>]
 *   quic on|off [expect <STATUS>]
 *   raw rules|quic|callback|<code in hex> <hex bytes> [expect <STATUS>]   (description: the rest)
 *   probe <image path>
 *   trace FLAGS[,LEVEL] | off   (the trace session's settings from here on; see ParseTraceSettings)
 *   processes        (after the steps: start processes, show their flags under two policies)
 *   connections      (then: the proxy, its filters and connections of covered and uncovered processes)
 *   held             (then: connections held for the service's verdict, QUIC on and off, discards)
 * <STATUS> is a status name the simulator knows (STATUS_SUCCESS, ...) or a hex value.
 * Returns nothing and sets *error (with the line number) when the file cannot be used.
 */
std::optional<Scenario> LoadScenarioFile(const std::string &path, std::string *error);

// Parses a status as written in a scenario: a known name or a hex value.
std::optional<NTSTATUS> ParseStatus(const std::string &text);

}  // namespace qvr::sim
