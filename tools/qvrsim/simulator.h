/*
 * simulator.h
 *
 * Runs a scenario: loads qvrdrv into winsim, starts the agent's service model, plays the
 * steps, unloads the driver and takes the verifier's verdict.
 */
#pragma once

#include "held_scenario.h"
#include "process_scenario.h"
#include "redirect_scenario.h"
#include "scenario.h"

#include <ostream>
#include <string>
#include <vector>

namespace qvr::sim {

struct StepOutcome {
    std::string description;
    NTSTATUS status = 0;
    std::optional<NTSTATUS> expected;
    bool AsExpected() const { return !expected || *expected == status; }
};

struct ProbeOutcome {
    std::u16string path;
    bool intercepted = false;
};

struct Report {
    NTSTATUS loadStatus = 0;                 // DriverEntry's status
    NTSTATUS openStatus = 0;                 // the service's open of the control device
    std::vector<StepOutcome> steps;
    std::vector<std::vector<ProbeOutcome>> probes;  // after each rules step, in order
    NTSTATUS processStatus = 0;              // the process-policy scenario's policies, when run
    std::vector<std::vector<ProcessView>> processViews;  // its processes under each policy
    NTSTATUS connectionStatus = 0;           // the connection scenario's set-up, when run
    std::vector<ConnectionView> connectionViews;  // its connections, in order
    NTSTATUS heldStatus = 0;                 // the held-connection section's set-up, when run
    std::vector<HeldView> heldViews;         // its connections and UDP attempts, in order
    std::vector<std::string> discards;       // the driver's discard reports in that section
    NTSTATUS unloadStatus = 0;
    std::vector<std::string> leftBehind;     // the verifier's unload report
    std::vector<std::string> violations;     // rule violations seen during the run
    std::vector<winsim::TraceRecord> trace;  // what the trace session heard, when there was one
    bool Clean() const { return NT_SUCCESS(loadStatus) && NT_SUCCESS(unloadStatus) && leftBehind.empty() && violations.empty(); }
    bool AllAsExpected() const;
};

// Plays the scenario, writing a readable account to out as it goes. With collectViolations
// the verifier's rule violations are gathered into the report (the simulator's own
// handler); without, they go to whatever handler is installed (a test's). With trace (or
// when the scenario has trace steps) the driver's trace is shown between the lines, from
// the given settings (off when none are given) until a trace step changes them.
Report RunScenario(const Scenario &scenario, std::ostream &out, bool collectViolations = true,
                   const std::optional<TraceSettings> &trace = std::nullopt);

std::string Utf8(const std::u16string &text);

}  // namespace qvr::sim
