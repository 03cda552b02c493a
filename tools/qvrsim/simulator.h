/*
 * simulator.h
 *
 * Plays a scenario: loads qvrdrv into winsim, starts the agent's service model, plays the
 * steps on one timeline, reports each step and each connection as it is known, unloads the
 * driver and takes the verifier's verdict. Every wait has a deadline; a step that cannot
 * finish in time says so and the scenario goes on.
 */
#pragma once

#include "held_scenario.h"
#include "scenario.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace qvr::sim {

using Json = nlohmann::ordered_json;

// One step as it was played.
struct StepReport {
    int number = 0;                      // 1, 2, ...; the implicit load is 0
    const Step *step = nullptr;          // null for the implicit first load and last unload
    std::string directive;
    int line = 0;
    std::string label;
    std::optional<NTSTATUS> status;      // for steps that send something
    std::optional<NTSTATUS> expected;
    bool finished = true;                // false: it could not finish within its wait
    bool asExpected = true;
    Json details = Json::object();       // what the step saw, by name
    std::vector<std::string> lines;      // the same, for the text output
};

// One connection as it ended (or stood at the end).
struct ConnectionReport {
    std::string name;
    int step = 0;                        // the step that made it
    std::string label;
    bool asExpected = true;
    Json details = Json::object();
    std::vector<std::string> lines;
};

struct UnloadReport {
    NTSTATUS status = 0;
    std::vector<std::string> leftBehind;
};

struct Report {
    NTSTATUS firstLoadStatus = 0;
    std::vector<StepReport> steps;
    std::vector<ConnectionReport> connections;
    std::vector<UnloadReport> unloads;
    std::vector<std::string> violations;
    std::vector<HeldView> heldViews;         // the held sections' connections and UDP attempts, in order
    std::vector<std::string> discards;       // the driver's discard reports in those sections
    std::vector<winsim::TraceRecord> trace;  // what the run's trace session heard, when it had one
    bool Clean() const;
    bool AllAsExpected() const;
    // 0 clean and as expected, 1 not clean (or the driver did not start), 3 clean but an
    // answer differed or a step could not finish.
    int ExitCode() const;
};

// Where the run is written as it goes.
class Output {
public:
    virtual ~Output() = default;
    virtual void Begin(const Scenario &scenario) = 0;
    virtual void Step(const StepReport &step) = 0;
    virtual void Connection(const ConnectionReport &connection) = 0;
    virtual void End(const Report &report) = 0;
    // The run is abandoned: a step did not end within its deadline.
    virtual void Stuck(const std::string &what) = 0;
    // Opens the trace session on the driver's provider, or changes its settings: text shows
    // each record before the line that follows it, JSON in the next step's "trace".
    virtual void Trace(const TraceSettings &settings) = 0;
    // The run's session on the driver's trace provider, when it has one.
    virtual winsim::TraceSession *Session() = 0;
    // Every record the session has passed on so far (after passing on what is pending).
    virtual std::vector<winsim::TraceRecord> Heard() = 0;
};

// Readable lines, flushed after each step.
std::unique_ptr<Output> TextOutput(std::ostream &out);
// One JSON object per line (scenario, step, connection, verdict), flushed after each.
std::unique_ptr<Output> JsonOutput(std::ostream &out);

// Plays the scenario. With collectViolations the verifier's rule violations are gathered
// into the report (the simulator's own handler); without, they go to whatever handler is
// installed (a test's). With trace (or when the scenario has trace steps) the driver's
// trace is shown, from the given settings (off when none are given) until a trace step
// changes them.
// `beforeUnload`, when given, is called after the last step with the world still standing
// (live mode runs a real program there); the driver is unloaded after it returns.
class Player;
Report RunScenario(const Scenario &scenario, Output &output, bool collectViolations = true,
                   const std::optional<TraceSettings> &trace = std::nullopt,
                   const std::function<void(Player &, Report &)> &beforeUnload = {});
// The same with the text output.
Report RunScenario(const Scenario &scenario, std::ostream &out, bool collectViolations = true,
                   const std::optional<TraceSettings> &trace = std::nullopt);

std::string Utf8(const std::u16string &text);
std::string Hex(const std::vector<std::uint8_t> &bytes);
std::string StatusHex(NTSTATUS status);

}  // namespace qvr::sim
