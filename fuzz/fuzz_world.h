// The world of the connection fuzz targets: the driver loaded once, the reference agent
// (device open, carriers parked, the local proxy as redirect target, its filters), and one
// covered process that connects. A connection is driven until it settles and then closed,
// and nothing of it may stay with WFP or in the driver's pool.
#pragma once

#include "fuzz_support.h"

#include <winsim/network.h>

#include "agent/agent.h"

#include <memory>
#include <optional>
#include <vector>

namespace qvr_fuzz {

inline constexpr std::uint16_t kProxyPort = 8080;

struct World {
    qvr::agent::AgentOptions options;  // as the agent was started, proxy included
    std::unique_ptr<qvr::agent::Agent> agent;
    std::uint64_t app = 0;  // a covered process
};

// Loads the driver, starts the agent with `options` (proxy on kProxyPort) and the process;
// aborts when any of it fails. Everything is stopped and the unload checked at exit.
World &StartWorld(const qvr::agent::AgentOptions &options);

// Stops the agent, unloads the driver (aborting unless the verifier finds nothing left
// behind), loads it again and restarts the agent.
void ReloadDriver(World &world);
// Stops and starts the agent (its filters, carriers and proxy) with the driver loaded.
void RestartAgent(World &world);

// A TCP connection of the covered process.
winsim::network::Connection ConnectApp(World &world, const winsim::network::Endpoint &remote,
                                       std::optional<std::vector<std::uint8_t>> records = std::nullopt);

// Waits for the connection to leave Pending (aborts if it does not), closes it, takes what
// the proxy accepted, and checks that nothing of it is left (ExpectSettled).
void Finish(World &world, winsim::network::Connection &connection, const PoolCounts &before);

}  // namespace qvr_fuzz
