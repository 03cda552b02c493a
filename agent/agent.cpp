/*
 * agent.cpp
 *
 * Starting and stopping the service model as a whole.
 */
#include "agent.h"

#include <chrono>

namespace qvr::agent {

Agent::Agent(winsim::Identity identity) : service_(identity) {}

Agent::~Agent()
{
    Stop();
}

NTSTATUS Agent::Start(const AgentOptions &options)
{
    NTSTATUS status = service_.Open();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (options.configuration) {
        status = service_.Configure(*options.configuration);
        if (!NT_SUCCESS(status)) {
            Stop();
            return status;
        }
    }
    if (options.callbackCarriers > 0) {
        callbacks_ = std::make_unique<CallbackResponder>(service_.Device(), options.callbackCarriers);
        callbacks_->Start();
        if (!callbacks_->WaitUntilParked(options.callbackCarriers, std::chrono::seconds(10))) {
            Stop();
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

void Agent::Stop()
{
    if (callbacks_ != nullptr) {
        callbacks_->Stop();
        callbacks_.reset();
    }
    service_.Close();
}

}  // namespace qvr::agent
