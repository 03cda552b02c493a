/*
 * winsim/network.h
 *
 * The network stack as a test plays it: a process connects (TCP) or sends (UDP) and the
 * connection is classified at ALE connect-redirect, then at ALE auth-connect, through the
 * filters and callouts of the filtering platform; the outcome (connected where, blocked,
 * refused, still pending) is observable. A listener stands for a local server such as the
 * agent's proxy: it is handed a connection only when WFP would hand it to its process, and
 * it reads the connection's redirect records and redirect context as the
 * SIO_QUERY_WFP_CONNECTION_REDIRECT_RECORDS / _CONTEXT socket controls would. Packets that
 * a layer drops can be classified at the discard layers. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntdef.h>
#include <wdm.h>
#include <fwpstypes.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::network {

// An IPv4 (family 2) or IPv6 (family 23) address; bytes in network order (IPv4 in the
// first four).
struct Address {
    std::uint16_t family = 2;
    std::array<std::uint8_t, 16> bytes{};

    static Address V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    static Address V6(const std::array<std::uint8_t, 16> &bytes);
    static Address AnyV4();
    static Address AnyV6();
    static Address LoopbackV4();
    static Address LoopbackV6();
    // "203.0.113.7", "::1", "2001:db8::5"; throws std::invalid_argument on anything else.
    static Address Parse(std::string_view text);

    bool IsUnspecified() const;
    bool IsLoopback() const;   // 127.0.0.0/8 or ::1
    std::uint32_t V4HostOrder() const;
    std::string ToString() const;
    bool operator==(const Address &other) const;
    bool operator!=(const Address &other) const { return !(*this == other); }
};

struct Endpoint {
    Address address;
    std::uint16_t port = 0;  // host order

    // "203.0.113.7:443", "[::1]:8080"; throws std::invalid_argument on anything else.
    static Endpoint Parse(std::string_view text);
    std::string ToString() const;
    bool operator==(const Endpoint &other) const { return address == other.address && port == other.port; }
    bool operator!=(const Endpoint &other) const { return !(*this == other); }
};

// One outbound connect (TCP) or first send (UDP) of a process.
struct ConnectRequest {
    std::uint64_t processId = 0;
    std::uint8_t protocol = 6;         // IPPROTO_TCP or IPPROTO_UDP
    Endpoint remote;                   // where the application connects
    // The socket's local end. An unspecified address is left unspecified at connect-redirect
    // and chosen by the stack afterwards (the host address of the family, loopback for a
    // loopback destination); port 0 takes the next ephemeral port.
    std::optional<Endpoint> local;
    // ALE_APP_ID: NT device path of the image; empty: the image path of the running process
    // (winsim/processes.h), none when there is no such process.
    std::u16string appId;
    std::u16string originalAppId;      // ALE_ORIGINAL_APP_ID where the layer has it; empty: none
    KIRQL classifyIrql = DISPATCH_LEVEL;  // IRQL the classifies of this connection run at
    // Redirect records set on the socket before connecting, as the proxy does with
    // SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS on its own outbound connection.
    std::optional<std::vector<std::uint8_t>> redirectRecords;
};

enum class Outcome {
    Pending,    // held by a pended classify or a pended operation
    Connected,  // TCP: connected (to a listener when the destination is local); UDP: sent
    Blocked,    // WFP blocked it (or a callout absorbed it without pending)
    Refused,    // nobody accepts at the destination, or the socket control was refused
    Closed,     // connected, then closed
};
const char *OutcomeName(Outcome outcome);

struct ConnectionState;

class Connection {
public:
    Connection() = default;
    explicit Connection(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}

    bool Valid() const { return state_ != nullptr; }
    Outcome State() const;
    // Waits until the connection is no longer Pending or the time-out passes.
    Outcome WaitSettled(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    Endpoint RequestedRemote() const;   // what the application asked for
    Endpoint Remote() const;            // where it goes after connect-redirect
    Endpoint Local() const;             // the local end as auth-connect saw it
    bool Redirected() const;            // a callout changed the connect request
    std::uint32_t RedirectTargetProcessId() const;  // localRedirectTargetPID of the final request
    std::uint64_t AcceptedByProcessId() const;      // the listener's process, 0 if none
    std::uint64_t FlowHandle() const;               // 0 before auth-connect
    std::uint64_t DecidingFilterId() const;         // filter whose action decided auth-connect
    // Why a refusal happened: STATUS_CONNECTION_REFUSED-like reasons as NTSTATUS.
    NTSTATUS Status() const;
    int ConnectRedirectClassifies() const;  // classifies at connect-redirect (reauthorizations included)
    int AuthConnectClassifies() const;      // classifies at auth-connect (reauthorizations included)

    // Closes the connection: its flow ends (flowDeleteFn for every context) and WFP frees the
    // redirect context it owns.
    void Close();

private:
    std::shared_ptr<ConnectionState> state_;
};

// Classifies a connect (or a UDP send) of a process. Runs connect-redirect and auth-connect
// on this thread; what a callout pends continues on the network's own thread when the
// driver completes it.
Connection Connect(const ConnectRequest &request);

// A connection as the listening process sees it.
class Accepted {
public:
    Accepted() = default;
    explicit Accepted(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}
    bool Valid() const { return state_ != nullptr; }
    Endpoint Remote() const;  // the connecting side
    Endpoint Local() const;   // the listener's side
    // SIO_QUERY_WFP_CONNECTION_REDIRECT_RECORDS: the records in the form
    // SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS takes; STATUS_NOT_FOUND when not redirected.
    NTSTATUS QueryRedirectRecords(std::vector<std::uint8_t> *records) const;
    // SIO_QUERY_WFP_CONNECTION_REDIRECT_CONTEXT: the bytes the redirecting callout attached
    // (localRedirectContext); STATUS_NOT_FOUND when it attached none.
    NTSTATUS QueryRedirectContext(std::vector<std::uint8_t> *context) const;

private:
    std::shared_ptr<ConnectionState> state_;
};

struct ListenerState;

class Listener {
public:
    Listener() = default;
    explicit Listener(std::shared_ptr<ListenerState> state) : state_(std::move(state)) {}
    bool Valid() const { return state_ != nullptr; }
    std::uint64_t ProcessId() const;
    Endpoint Local() const;
    // The next connection handed to this listener, waiting up to `timeout`.
    std::optional<Accepted> Accept(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    std::size_t Backlog() const;
    void Close();

private:
    std::shared_ptr<ListenerState> state_;
};

// A TCP listener of a process on a local address (unspecified: every address) and port.
// Refused (invalid Listener) when the address and port are taken.
Listener Listen(std::uint64_t processId, const Endpoint &local);

// The machine's own addresses (what an unspecified local address becomes); defaults
// 192.0.2.10 and 2001:db8::10.
void SetHostAddresses(const Address &v4, const Address &v6);

// A packet dropped by the stack, classified at one of the discard layers
// (FWPS_LAYER_*_DISCARD of the transport, ALE receive-accept and ALE auth-connect layers)
// with the discard metadata.
struct DiscardEvent {
    std::uint16_t layerId = 0;            // a *_DISCARD layer
    std::uint8_t protocol = 6;
    Endpoint local;
    Endpoint remote;
    std::uint64_t processId = 0;          // ALE layers only; 0: none
    std::u16string appId;                 // ALE layers only
    std::uint32_t flags = 0;              // the layer's FLAGS field
    FWPS_DISCARD_MODULE0 module = FWPS_DISCARD_MODULE_GENERAL;
    std::uint32_t reason = FWPS_DISCARD_FIREWALL_POLICY;
    std::uint64_t filterId = 0;           // the dropping filter, for FWPS_DISCARD_FIREWALL_POLICY
    KIRQL classifyIrql = DISPATCH_LEVEL;
};
// Classifies the event at its layer; false for a layer that is not a discard layer winsim has.
bool ClassifyDiscard(const DiscardEvent &event);

// Waits until the network's own thread has nothing left to do (completed classifies and
// operations have been carried on); false on time-out.
bool Drain(std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Closes every connection and listener and restores the default host addresses.
void Reset();

}  // namespace winsim::network
