/*
 * agent.h
 *
 * The agent's user-mode service as one piece, in the order of a normal start: open the
 * control device, send the configuration, keep callback carriers parked for the driver's
 * questions and, when given a proxy port, run the local proxy that receives redirected
 * connections and add the WFP filters that reference the driver's callouts.
 */
#pragma once

#include "callback_responder.h"
#include "filters.h"
#include "proxy.h"
#include "service.h"
#include "verdicts.h"

#include <memory>
#include <optional>

namespace qvr::agent {

struct AgentOptions {
    std::optional<ServiceConfiguration> configuration;  // sent after the device is opened, if given
    std::size_t callbackCarriers = 2;     // IOCTL_QVR_CALLBACK requests kept parked; 0 for none
    // The local proxy's port: when given, the proxy runs as the redirect target, the
    // connect-redirect filters point at it (asking for the port when askAgentForPort) and
    // the carriers answer port queries with it.
    std::optional<std::uint16_t> proxyPort;
    bool askAgentForPort = false;
    // With a proxy: hold redirected connections and answer the driver's redirect-records
    // questions from this policy.
    std::optional<VerdictPolicy> verdicts;
    bool quicFilters = false;     // with a proxy: QUIC filters for UDP port 443
    bool discardFilters = false;  // with a proxy: the discard-diagnostic filters
};

class Agent {
public:
    explicit Agent(winsim::Identity identity = winsim::Identity::LocalSystem);
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Opens the device, sends the configuration and parks the carriers. Returns the first
    // failure (nothing is left running then), or STATUS_SUCCESS.
    NTSTATUS Start(const AgentOptions &options);
    // Ends the carriers and closes the device. Idempotent.
    void Stop();

    AgentService &Service() { return service_; }
    // Null until Start has parked carriers.
    CallbackResponder *Callbacks() { return callbacks_.get(); }
    // Null unless Start was given a proxy port.
    LocalProxy *Proxy() { return proxy_.get(); }
    RedirectFilters *Filters() { return filters_.get(); }
    // What the service saw of held connections and what it answered.
    VerdictLog &Verdicts() { return *verdicts_; }

private:
    NTSTATUS StartRedirection(const AgentOptions &options);

    AgentService service_;
    std::unique_ptr<CallbackResponder> callbacks_;
    std::unique_ptr<LocalProxy> proxy_;
    std::unique_ptr<RedirectFilters> filters_;
    std::shared_ptr<VerdictLog> verdicts_ = std::make_shared<VerdictLog>();
};

}  // namespace qvr::agent
