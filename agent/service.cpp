/*
 * service.cpp
 *
 * The reference service: opening the control device and sending the configuration.
 */
#include "service.h"

#include "status_names.h"

#include <qvr_ioctl.h>

#include <cstdio>

namespace qvr::agent {

std::string ControlDeviceWin32Name()
{
    return "\\\\.\\" QVR_DEVICE_BASE_NAME;
}

std::string StatusText(NTSTATUS status)
{
    if (const char *name = StatusName(status)) {
        return name;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

AgentService::AgentService(winsim::Identity identity) : identity_(identity) {}

AgentService::~AgentService()
{
    Close();
}

NTSTATUS AgentService::Open()
{
    Close();
    winsim::OpenResult open = winsim::OpenDevice(ControlDeviceWin32Name(), identity_);
    if (NT_SUCCESS(open.status)) {
        device_ = open.handle;
        history_.clear();
    }
    return open.status;
}

void AgentService::Close()
{
    if (device_.IsOpen()) {
        winsim::CloseHandle(device_);
    }
    device_ = winsim::Handle();
}

NTSTATUS AgentService::Configure(const ServiceConfiguration &configuration)
{
    // Both records go out whatever the first one's answer; each result is in the log.
    const NTSTATUS rules = SetProcessRules(configuration.policy);
    const NTSTATUS quic = SetQuicBlocking(configuration.blockQuic);
    return NT_SUCCESS(rules) ? quic : rules;
}

NTSTATUS AgentService::SetProcessRules(const ProcessPolicy &policy)
{
    std::string request = std::string("process rules: ") +
                          (policy.interceptListed ? "intercept " : "exempt ") + std::to_string(policy.names.size()) +
                          (policy.names.size() == 1 ? " name" : " names");
    return Send(std::move(request), IOCTL_QVR_SET_PROCESS_RULES, BuildProcessRulesRecord(policy));
}

NTSTATUS AgentService::SetQuicBlocking(bool enabled)
{
    return Send(enabled ? "QUIC blocking on" : "QUIC blocking off", IOCTL_QVR_SET_QUIC_BLOCKING,
                BuildQuicBlockingRecord(enabled ? 1 : 0));
}

NTSTATUS AgentService::SendRaw(const std::string &request, ULONG code, const std::vector<std::uint8_t> &input)
{
    return Send(request, code, input);
}

NTSTATUS AgentService::Send(std::string request, ULONG code, const std::vector<std::uint8_t> &input)
{
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (device_.IsOpen()) {
        status = winsim::DeviceIoControl(device_, code, input, 0).status;
    }
    history_.push_back(ControlOutcome{std::move(request), code, status});
    return status;
}

}  // namespace qvr::agent
