/*
 * agent.h
 *
 * The agent's user-mode service as one piece, in the order of a normal start: open the
 * control device, send the configuration, keep callback carriers parked for the driver's
 * questions. Later parts join it here: the WFP filters that reference the driver's
 * callouts, and the local proxy that receives redirected connections.
 */
#pragma once

#include "callback_responder.h"
#include "service.h"

#include <memory>
#include <optional>

namespace qvr::agent {

struct AgentOptions {
    std::optional<ServiceConfiguration> configuration;  // sent after the device is opened, if given
    std::size_t callbackCarriers = 2;     // IOCTL_QVR_CALLBACK requests kept parked; 0 for none
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

private:
    AgentService service_;
    std::unique_ptr<CallbackResponder> callbacks_;
};

}  // namespace qvr::agent
