/*
 * service.h
 *
 * A reference model of the agent's user-mode service as the driver's contract requires it:
 * it opens the control device (as LocalSystem by default), sends the process rules and the
 * QUIC switch after every load and whenever its policy changes, and reports what the
 * driver answered. The callback carriers (callback_responder.h), the WFP filters
 * (filters.h) and the local proxy (proxy.h) are its other pieces, joined in agent.h.
 */
#pragma once

#include <winsim/io.h>

#include "records.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::agent {

// The service's whole configuration of the driver.
struct ServiceConfiguration {
    ProcessPolicy policy;
    bool blockQuic = false;
};

// One request the service sent, and the driver's answer.
struct ControlOutcome {
    std::string request;   // what was sent, in words
    ULONG code = 0;        // the I/O control code
    NTSTATUS status = 0;   // the driver's status
};

class AgentService {
public:
    explicit AgentService(winsim::Identity identity = winsim::Identity::LocalSystem);
    ~AgentService();
    AgentService(const AgentService &) = delete;
    AgentService &operator=(const AgentService &) = delete;

    // Opens "\\.\qvrdrv_{...}" for reading and writing. STATUS_ACCESS_DENIED for a caller
    // the device does not admit; STATUS_OBJECT_NAME_NOT_FOUND when the driver is not loaded.
    NTSTATUS Open();
    void Close();
    bool IsOpen() const { return device_.IsOpen(); }
    const winsim::Handle &Device() const { return device_; }

    // Sends the rules, then the QUIC switch, as after every load of the driver; both go out
    // whatever the first answered, and each result is in History(). Returns the first
    // failure, or STATUS_SUCCESS.
    NTSTATUS Configure(const ServiceConfiguration &configuration);
    NTSTATUS SetProcessRules(const ProcessPolicy &policy);
    NTSTATUS SetQuicBlocking(bool enabled);

    // Sends any bytes as the input of an I/O control: how a faulty or hostile service looks
    // to the driver.
    NTSTATUS SendRaw(const std::string &request, ULONG code, const std::vector<std::uint8_t> &input);

    // Every request sent since Open, oldest first.
    const std::vector<ControlOutcome> &History() const { return history_; }

private:
    NTSTATUS Send(std::string request, ULONG code, const std::vector<std::uint8_t> &input);

    winsim::Identity identity_;
    winsim::Handle device_;
    std::vector<ControlOutcome> history_;
};

// "\\.\qvrdrv_{1F16DF39-4189-460D-B905-7C67178C7006}"
std::string ControlDeviceWin32Name();

// "STATUS_SUCCESS", "STATUS_INVALID_PARAMETER", ... (status_names.h), or "0xC0000001"-style hex
// for a value that has no name.
std::string StatusText(NTSTATUS status);

}  // namespace qvr::agent
