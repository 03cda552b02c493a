/*
 * proxy.h
 *
 * The agent's local proxy, the redirect target: a process of its own that listens on the
 * local machine (IPv4 and IPv6, every address) on one port, accepts the connections the
 * driver redirected to it, reads the RedirectContextRecord attached to each (where the
 * application wanted to go, from which local port, for which process and program), and
 * can open its own connection onwards to that destination, carrying the accepted
 * connection's redirect records as the socket control SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS
 * does.
 */
#pragma once

#include <winsim/network.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvr::agent {

// A RedirectContextRecord as the proxy reads it.
struct RedirectContext {
    winsim::network::Endpoint requested;  // RequestedRemote: the application's destination
    std::uint16_t localPort = 0;          // the connection's local port as the driver saw it
    std::uint64_t processId = 0;          // the process the redirect was decided for
    std::u16string appPath;               // AppPath, the application id (without the terminator)
    std::uint16_t size = 0;               // the record's Size
    std::uint32_t version = 0;
};

// Parses the bytes of a redirect context; nothing when they are not a whole, version-4
// record with the driver's marker.
std::optional<RedirectContext> ParseRedirectContext(const std::vector<std::uint8_t> &bytes);

// Builds a record as the driver lays it out (for tests of the parser and of the driver's
// lookup of records in redirect records).
std::vector<std::uint8_t> BuildRedirectContextBytes(const RedirectContext &context);

// One connection the proxy accepted.
struct ProxiedConnection {
    winsim::network::Accepted accepted;
    winsim::network::Endpoint peer;        // the connecting side
    winsim::network::Endpoint local;       // the proxy's side
    NTSTATUS contextStatus = 0;            // of SIO_QUERY_WFP_CONNECTION_REDIRECT_CONTEXT
    std::vector<std::uint8_t> contextBytes;
    std::optional<RedirectContext> context;  // parsed, when it is the driver's record
};

class LocalProxy {
public:
    LocalProxy() = default;
    ~LocalProxy();
    LocalProxy(const LocalProxy &) = delete;
    LocalProxy &operator=(const LocalProxy &) = delete;

    // Starts the proxy process and listens on port (every IPv4 and IPv6 address). False
    // when a listener cannot be had; then nothing is left running.
    bool Start(std::uint16_t port, const std::u16string &imagePath = DefaultImagePath());
    // Closes the listeners and ends the process. Idempotent.
    void Stop();

    std::uint32_t ProcessId() const { return processId_; }
    std::uint16_t Port() const { return port_; }

    // The next connection handed to the proxy, with its redirect context read.
    std::optional<ProxiedConnection> Accept(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

    // The proxy's own connection onwards to the requested destination, carrying the
    // accepted connection's redirect records; made by another process (a helper the proxy
    // hands the records to) when `byProcess` is given.
    winsim::network::Connection ConnectOnward(const ProxiedConnection &connection,
                                              std::optional<std::uint64_t> byProcess = std::nullopt);

    static std::u16string DefaultImagePath();

private:
    std::uint32_t processId_ = 0;
    std::uint16_t port_ = 0;
    std::vector<winsim::network::Listener> listeners_;
};

}  // namespace qvr::agent
