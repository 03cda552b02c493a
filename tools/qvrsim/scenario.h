/*
 * scenario.h
 *
 * What the simulator plays: one timeline of steps, each a directive of the scenario
 * language (tools/qvrsim/README.md) with its arguments checked and resolved at parse time,
 * so that nothing runs unless the whole file is good. The embedded default is the scenario
 * file scenarios/default.qvrsim, built into the program.
 */
#pragma once

#include "agent/records.h"
#include "trace_view.h"
#include "trace_view.h"

#include <winsim/io.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvr::sim {

enum class StepKind {
    Start,        // a process starts running an image
    End,          // a started process ends
    Processes,    // shows each started process with the driver's intercept flag
    Rules,        // the service sends its process rules
    Quic,         // the service sends the QUIC switch
    Probe,        // an image path whose verdict is shown now and after every rules request
    Open,         // a caller opens the control device (and closes it)
    Raw,          // any bytes with any control code, through any handle
    Carriers,     // the number of callback requests the service keeps parked
    PortAnswer,   // how the service answers the driver's port queries
    Verdict,      // how the service decides the connections held for its verdict
    Proxy,        // the agent's proxy starts listening
    Filter,       // the service adds a pair of connect-redirect filters
    Connect,      // a process connects (TCP) or sends (UDP)
    Onward,       // the proxy connects onwards for a connection it accepted
    Close,        // a connection is closed
    Settle,       // waits for pending connections to settle
    Addresses,    // the machine's own addresses
    Bfe,          // the Base Filtering Engine changes state
    Clock,        // winsim's clock runs in real time or by hand
    Advance,      // the hand-run clock moves on
    Unload,       // the service stops and the driver is unloaded (with the verifier's report)
    Load,         // the driver is loaded again and the service starts
    Trace,        // the simulator's trace session changes its flags and level
    Held,         // the held-connection section: verdicts, QUIC on and off, discard reports
};

// The answer the service gives to the driver's port query.
enum class PortAnswerKind {
    Port,         // result 0 with a port
    ProxyPort,    // result 0 with the proxy's port
    Silent,       // no answer: the driver gives up after its wait
    Result,       // a non-zero result (refusal)
    Short,        // a 5-byte reply
};

// How the service decides a held connection (its answer to the redirect-records question).
enum class VerdictKind {
    Permit,       // permits all but the destinations listed
    Block,        // blocks the destinations listed (every destination when none are)
    Silent,       // no answer: the connection stays held until the driver gives it up
};

// What a connection step expects of the connection.
enum class ConnectionExpectation { Redirected, Direct, Blocked, Refused, Pending };

struct Step {
    StepKind kind = StepKind::Rules;
    std::string directive;                 // the directive's word, as written
    int line = 0;                          // line in the scenario file; 0 for implicit steps
    std::string label;                     // given with label=, else made from the directive
    std::optional<NTSTATUS> expectedStatus;
    std::optional<ConnectionExpectation> expectedConnection;

    // Start, End, Processes, Connect: the process's scenario name; Onward, Close: the connection's.
    std::string subject;
    std::u16string imagePath;              // Start, Probe, Proxy
    bool notify = true;                    // Start, End: reach the driver's notification routine

    agent::ProcessPolicy policy;           // Rules
    std::uint32_t quicValue = 0;           // Quic: the Enabled field

    winsim::Identity identity = winsim::Identity::LocalSystem;  // Open, Raw
    std::optional<ACCESS_MASK> access;     // Open, Raw: none: the service's own handle (Raw)
    bool ownHandle = false;                // Raw: a separate handle of identity and access
    ULONG code = 0;                        // Raw
    std::vector<std::uint8_t> input;       // Raw
    std::uint32_t outputLength = 0;        // Raw
    std::int64_t waitMs = 0;               // Raw, Connect: real-time wait before "still pending"

    std::uint32_t count = 0;               // Carriers
    PortAnswerKind answer = PortAnswerKind::Port;  // PortAnswer
    std::uint32_t answerValue = 0;         // PortAnswer: the port, or the result
    std::int64_t delayMs = 0;              // PortAnswer, Verdict: on winsim's clock
    VerdictKind verdict = VerdictKind::Permit;     // Verdict
    std::vector<std::string> verdictBlocked;       // Verdict: destinations as written, port 0 any

    std::uint16_t port = 0;                // Proxy: listening port; Filter: target port
    bool askForPort = false;               // Filter
    bool targetIsProxy = true;             // Filter: the target pid is the proxy's
    std::uint32_t targetPid = 0;           // Filter: otherwise this
    std::optional<std::vector<std::uint8_t>> blob;  // Filter: provider-context bytes as given
    std::optional<std::uint16_t> remotePort;        // Filter: condition
    std::optional<std::uint64_t> weight;            // Filter
    bool holdForVerdict = false;                    // Filter: redirected connections held for the verdict

    std::string connection;                // Connect, Onward: the new connection's name
    std::string onwardBy;                  // Onward: the process that connects, empty: the proxy
    std::vector<std::string> connections;  // Settle: none means every pending one
    bool udp = false;                      // Connect
    std::string remote;                    // Connect: destination as written (checked)
    std::string local;                     // Connect: local end as written, empty: none
    std::optional<std::vector<std::uint8_t>> records;  // Connect: redirect records it carries (SIO form)
    bool keepConnections = false;          // Unload: the connections stay open through it
    std::string address4, address6;        // Addresses

    std::string bfe;                       // Bfe: start, stop, or a state name
    bool manualClock = false;              // Clock
    std::int64_t advanceMs = 0;            // Advance
    TraceSettings trace;                   // Trace
};

struct Scenario {
    std::string name;
    std::string source;                    // the file's name, or "(embedded default)"
    std::vector<Step> steps;
};

// A bad line: where and what.
struct ParseError {
    std::string source;
    int line = 0;
    std::string field;                     // the directive word or the option at fault
    std::string message;
    std::string ToString() const;          // "file:12: raw: hex '0a1': odd number of digits"
};

// Limits that keep any input quick: longer files and lines are refused with a message.
inline constexpr std::size_t kMaxScenarioBytes = 8u << 20;
inline constexpr std::size_t kMaxLineBytes = 256u << 10;
inline constexpr std::size_t kMaxSteps = 20000;
inline constexpr std::size_t kMaxRawBytes = 65536;
inline constexpr std::size_t kMaxProbes = 256;
inline constexpr std::size_t kMaxJudgements = 20000;  // probes judged again after rules steps, in all

// Parses scenario text; nothing (and *error) at the first bad line.
std::optional<Scenario> ParseScenario(const std::string &text, const std::string &source, ParseError *error);

// Whether a step changes the trace session (so the simulator must open one).
bool HasTraceSteps(const Scenario &scenario);

// Reads and parses a file.
std::optional<Scenario> LoadScenarioFile(const std::string &path, ParseError *error);

// The embedded default (scenarios/default.qvrsim as built in).
Scenario DefaultScenario();
const std::string &DefaultScenarioText();

// Parses a status as written in a scenario: a known name, or 0x and up to 8 hex digits.
std::optional<NTSTATUS> ParseStatus(const std::string &text);

// The directive reference that --help prints.
std::string DirectiveHelp();

}  // namespace qvr::sim
