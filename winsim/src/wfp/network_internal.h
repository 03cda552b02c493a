/*
 * network_internal.h (winsim network, internal)
 *
 * The state of one connection as the stack carries it through connect-redirect and
 * auth-connect, of a listener, and the stack's own thread that carries on classifies and
 * operations a driver completes later. Connection and listener fields are guarded by the
 * network mutex; the WFP-facing parts (connect request chain, records, runs) are touched
 * only by the thread that drives the connection at the time.
 */
#pragma once

#include "classify_run.h"

#include <winsim/network.h>

#include <condition_variable>

namespace winsim::network {

struct ConnectionState {
    std::uint64_t id = 0;
    ConnectRequest request;
    Endpoint requestedRemote;
    Endpoint remote;
    Endpoint local;
    Outcome outcome = Outcome::Pending;
    NTSTATUS status = STATUS_SUCCESS;
    bool redirected = false;
    std::uint32_t targetPid = 0;
    std::uint64_t acceptedBy = 0;
    std::uint64_t decidingFilter = 0;
    int connectRedirectClassifies = 0;
    int authConnectClassifies = 0;

    wfp::detail::ConnectRequestChain chain;
    wfp::detail::RedirectRecords records;
    SOCKADDR_STORAGE originalDestination{};
    std::shared_ptr<wfp::detail::Flow> flow;
    std::unique_ptr<wfp::detail::LayerRun> run;
    int connectRedirectRounds = 0;

    wfp::detail::OperationSite site;
    int pendedOperations = 0;
    bool heldAtAuthConnect = false;
    bool completedWhileClassifying = false;
    bool ended = false;
    std::weak_ptr<ConnectionState> self;
};

struct ListenerState {
    std::uint64_t processId = 0;
    Endpoint local;
    std::deque<std::shared_ptr<ConnectionState>> backlog;
    bool closed = false;
};

// The network's mutex and the condition every outcome change signals.
std::mutex &NetworkMutex();
std::condition_variable &NetworkChanged();

// Runs `work` on the network's own thread, after what was posted before.
void Post(std::function<void()> work);

// Host addresses (what an unspecified local address becomes).
Address HostAddress(std::uint16_t family);

// Builds the runs of each layer (network_values.cpp).
std::unique_ptr<wfp::detail::LayerRun> BuildConnectRedirectRun(ConnectionState &c, bool reauthorization);
std::unique_ptr<wfp::detail::LayerRun> BuildAuthConnectRun(ConnectionState &c, bool reauthorization, bool discard);
std::unique_ptr<wfp::detail::LayerRun> BuildDiscardRun(const DiscardEvent &event);

void ToSockaddr(const Endpoint &endpoint, SOCKADDR_STORAGE *out);
Endpoint FromSockaddr(const SOCKADDR_STORAGE &in);

}  // namespace winsim::network
