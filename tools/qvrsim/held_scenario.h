/*
 * held_scenario.h
 *
 * Held connections, QUIC and discard diagnostics as the simulator shows them: the service
 * adds redirect-records filters beside its connect-redirect filters, so each redirected
 * connection of a covered process waits at auth-connect for the service's verdict; one is
 * permitted, one is blocked by the service's policy, each shown with the records the
 * service saw. Then a covered and an uncovered process try QUIC (UDP to port 443) with the
 * switch on and off, and the discard diagnostics report the packet a layer dropped.
 */
#pragma once

#include <winsim/network.h>

#include "agent/callback_responder.h"
#include "agent/service.h"
#include "agent/verdicts.h"

#include <winsim/trace_session.h>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qvr::sim {

// One connection or UDP attempt of the section, as it ended.
struct HeldView {
    std::string label;                           // what the scenario did, in words
    winsim::network::Outcome outcome = winsim::network::Outcome::Pending;
    std::optional<agent::VerdictDecision> verdict;  // what the service saw and said, when asked
};

// Runs the section against the loaded driver with the service's open handle and its parked
// carriers (which answer the questions; their handlers are the section's while it runs and
// none afterwards). Returns STATUS_SUCCESS or the first failure of the set-up. `views`
// receives every connection shown; `discards` the driver's discard reports. The discard
// reports are read from `shared` when the run already has a session on the driver's trace
// provider (there can be only one), otherwise from a session of the section's own.
NTSTATUS RunHeldScenario(agent::AgentService &service, agent::CallbackResponder *callbacks, std::ostream &out,
                         std::vector<HeldView> *views = nullptr, std::vector<std::string> *discards = nullptr,
                         winsim::TraceSession *shared = nullptr);

}  // namespace qvr::sim
