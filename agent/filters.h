/*
 * filters.h
 *
 * The service's WFP objects for connection redirection, added through the user-mode
 * management calls in one dynamic session (closing it removes them): the agent's provider
 * and sublayer, the management-side callouts for the driver's two connect-redirect keys,
 * and per redirect target a provider context carrying the 10-byte RedirectTargetBlob with
 * one filter at each ALE connect-redirect layer that references it (and, to hold redirected
 * connections for a verdict, one at each ALE auth-connect layer); QUIC filters for UDP to
 * port 443 and the discard-diagnostic filters.
 */
#pragma once

#include <ntdef.h>
#include <fwpmu.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace qvr::agent {

// Where redirected connections go: the proxy's port and process, or a port asked for.
struct RedirectTarget {
    std::uint16_t port = 0;          // TargetPort, host order (used when askAgentForPort is false)
    std::uint32_t processId = 0;     // TargetProcessId
    bool askAgentForPort = false;    // AskAgentForPort: the driver asks the service (port query)
};

// RedirectTargetBlob: u16 TargetPort, u32 TargetProcessId, u32 AskAgentForPort, little-endian.
std::vector<std::uint8_t> BuildRedirectTargetBlob(const RedirectTarget &target);

// Which connections a pair of connect-redirect filters matches, and how.
struct RedirectFilterOptions {
    std::optional<std::uint16_t> remotePort;  // only connections to this port; none: every connection
    std::optional<std::uint64_t> weight;      // FWP_UINT64 weight; none: the engine's choice
    bool clearActionRight = false;            // FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT
    // Also a redirect-records filter at each ALE auth-connect layer with the same provider
    // context: redirected connections are then held for the service's verdict.
    bool holdForVerdict = false;
    // Other callouts in place of the driver's (IPv4 layer, IPv6 layer), e.g. a test's probe.
    std::optional<GUID> calloutV4;
    std::optional<GUID> calloutV6;
};

// The driver's connect-redirect callout keys: IPv4 layer first, IPv6 layer second.
extern const GUID kConnectRedirectCalloutV4Key;
extern const GUID kConnectRedirectCalloutV6Key;
// The driver's other callout keys: redirect records and QUIC (IPv4, IPv6), discard (eight).
extern const GUID kRedirectRecordsCalloutKeys[2];
extern const GUID kBlockQuicCalloutKeys[2];
extern const GUID kDiscardCalloutKeys[8];
// The layers the service gives the eight discard callouts, in key order.
extern const GUID *const kDiscardCalloutLayers[8];
// The agent's provider, under which the driver creates its redirect handle.
extern const GUID kAgentProviderKey;

class RedirectFilters {
public:
    RedirectFilters() = default;
    ~RedirectFilters();
    RedirectFilters(const RedirectFilters &) = delete;
    RedirectFilters &operator=(const RedirectFilters &) = delete;

    // Opens the dynamic session and adds the provider, the sublayer and both management
    // callouts. Returns the first failing call's code, or ERROR_SUCCESS.
    DWORD Open();
    // Closes the session: every object added through it goes.
    void Close();
    bool IsOpen() const { return engine_ != nullptr; }

    // A provider context with the target's blob and a filter at each connect-redirect
    // layer. The ids of the two filters (IPv4, IPv6) go to *filterIds when given.
    DWORD AddTarget(const RedirectTarget &target, const RedirectFilterOptions &options = {},
                    std::vector<std::uint64_t> *filterIds = nullptr);
    // The same with any provider-context bytes (how a faulty service looks to the driver).
    DWORD AddRawBlob(const std::vector<std::uint8_t> &blob, const RedirectFilterOptions &options = {},
                     std::vector<std::uint64_t> *filterIds = nullptr);
    // QUIC filters: UDP to the port at both auth-connect layers, judged by the driver's
    // QUIC callouts. Their ids go to *filterIds when given.
    DWORD AddQuicFilters(std::uint16_t remotePort = 443, std::vector<std::uint64_t> *filterIds = nullptr);
    // One inspection filter per discard layer for the driver's discard-diagnostic callouts.
    DWORD AddDiscardFilters();
    // A management-side callout of another key at a layer.
    DWORD AddCallout(const GUID &key, const GUID &layer);
    // Deletes one filter added here.
    DWORD RemoveFilter(std::uint64_t filterId);

    HANDLE Engine() const { return engine_; }

private:
    DWORD AddFilter(const GUID &layer, const GUID &callout, const GUID &providerContext,
                    const RedirectFilterOptions &options, std::uint64_t *id);
    DWORD AddPlainFilter(const GUID &layer, const GUID &callout, UINT32 actionType,
                         const std::vector<FWPM_FILTER_CONDITION0> &conditions, std::uint64_t *id);

    HANDLE engine_ = nullptr;
    std::uint32_t nextContext_ = 0;
};

}  // namespace qvr::agent
