/*
 * redirect_scenario.h
 *
 * The main job as the simulator shows it: the agent's proxy runs as the redirect target,
 * the service adds its connect-redirect filters, covered and uncovered processes connect
 * over IPv4 and IPv6 from unspecified and specific local addresses, and each connection
 * is shown with where it went and the context record the proxy read; then the proxy's own
 * connection onwards, and a filter whose blob asks for the port, answered and unanswered
 * (10 seconds on winsim's clock).
 */
#pragma once

#include <winsim/network.h>

#include "agent.h"
#include "proxy.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qvr::sim {

// One connection of the scenario, as it ended.
struct ConnectionView {
    std::string label;                          // what the scenario did, in words
    std::uint64_t processId = 0;
    winsim::network::Endpoint requested;        // where the application connected
    winsim::network::Outcome outcome = winsim::network::Outcome::Pending;
    bool redirected = false;
    winsim::network::Endpoint remote;           // where it went
    std::uint64_t acceptedBy = 0;               // the listener's process, 0 if none
    std::optional<agent::RedirectContext> record;  // what the proxy read, when it accepted it
};

// Runs the connections against the loaded driver with a started agent (its callback
// carriers answer the port query). Returns STATUS_SUCCESS, or the first failure of the
// agent's set-up (proxy, filters, rules). `views` receives every connection shown.
NTSTATUS RunRedirectScenario(agent::Agent &agentModel, std::ostream &out,
                             std::vector<ConnectionView> *views = nullptr);

}  // namespace qvr::sim
