/*
 * agent.cpp
 *
 * Starting and stopping the service model as a whole.
 */
#include "agent.h"

#include "port_query.h"

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
    if (options.proxyPort) {
        status = StartRedirection(options);
        if (!NT_SUCCESS(status)) {
            Stop();
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Agent::StartRedirection(const AgentOptions &options)
{
    proxy_ = std::make_unique<LocalProxy>();
    if (!proxy_->Start(*options.proxyPort)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (callbacks_ != nullptr) {
        callbacks_->SetHandler(kPortQueryType, FixedPortQueryHandler(*options.proxyPort));
        if (options.verdicts) {
            callbacks_->SetHandler(kRedirectRecordsType, VerdictHandler(*options.verdicts, verdicts_));
        }
    }
    filters_ = std::make_unique<RedirectFilters>();
    RedirectFilterOptions filterOptions;
    filterOptions.holdForVerdict = options.verdicts.has_value();
    if (filters_->Open() != ERROR_SUCCESS ||
        filters_->AddTarget({*options.proxyPort, proxy_->ProcessId(), options.askAgentForPort}, filterOptions) !=
            ERROR_SUCCESS ||
        (options.quicFilters && filters_->AddQuicFilters() != ERROR_SUCCESS) ||
        (options.discardFilters && filters_->AddDiscardFilters() != ERROR_SUCCESS)) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void Agent::Stop()
{
    if (filters_ != nullptr) {
        filters_->Close();
        filters_.reset();
    }
    if (proxy_ != nullptr) {
        proxy_->Stop();
        proxy_.reset();
    }
    if (callbacks_ != nullptr) {
        callbacks_->Stop();
        callbacks_.reset();
    }
    service_.Close();
}

}  // namespace qvr::agent
