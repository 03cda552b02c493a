// The driver loaded through winsim with the agent's redirect side around it: the local proxy
// (a process of its own listening on port 8080), the connect-redirect filters with the
// proxy as their target, the process rules, and optionally callback carriers answering the
// port query. Connections go through winsim's network stack. Everything is taken down and
// the driver unloaded clean after each test.
#pragma once

#include "driver_fixture.h"

#include <winsim/network.h>
#include <winsim/processes.h>
#include <winsim/wfp.h>

#include "agent/agent.h"
#include "agent/callback_responder.h"
#include "agent/filters.h"
#include "agent/port_query.h"
#include "agent/proxy.h"
#include "agent/records.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace redirect_test {

inline constexpr std::uint16_t kProxyPort = 8080;

inline const std::u16string kBrowserImage = u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe";
inline const std::u16string kEditorImage = u"\\Device\\HarddiskVolume2\\Tools\\editor.exe";

// The machine's own IPv4 address in these tests (what an unspecified local end becomes).
inline const char kHostV4[] = "10.0.0.5";

winsim::network::Endpoint Ep(const char *text);

// The SIO form of redirect records as winsim's stack lays them out (one record per entry),
// to put on a socket as the proxy's SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS does.
struct SioRecord {
    std::uint64_t redirectHandleId = 0;
    std::uint32_t targetProcessId = 0;
    winsim::network::Endpoint requested;
    std::vector<std::uint8_t> context;
};
std::vector<std::uint8_t> BuildSioRecords(const std::vector<SioRecord> &records);
// The redirect-handle identity of the first record of SIO-form bytes.
std::uint64_t FirstRecordHandleId(const std::vector<std::uint8_t> &bytes);

class RedirectTest : public qvr_test::DriverTest {
protected:
    void SetUp() override;
    void TearDown() override;

    void SetRules(const qvr::agent::ProcessPolicy &policy);
    void InterceptOnly(const std::u16string &name) { SetRules({true, {name}}); }
    void InterceptEverything() { SetRules({false, {}}); }

    std::uint64_t StartProcess(const std::u16string &image);
    qvr::agent::RedirectTarget ProxyTarget(bool askAgentForPort = false) const;
    // Filters at both layers with the proxy as target.
    void AddProxyFilters(bool askAgentForPort = false, const qvr::agent::RedirectFilterOptions &options = {});
    // Carriers that answer port queries with `handler`.
    void StartResponder(qvr::agent::CallbackHandler handler, std::size_t carriers = 2);

    winsim::network::Connection Connect(std::uint64_t processId, const char *remote,
                                        const char *local = nullptr, std::uint8_t protocol = 6);

    qvr::agent::LocalProxy proxy_;
    qvr::agent::RedirectFilters filters_;
    std::unique_ptr<qvr::agent::CallbackResponder> responder_;
    std::vector<std::uint64_t> processes_;
};

// Rules that cover the browser alone, and the browser running.
class CoveredBrowserTest : public RedirectTest {
protected:
    void SetUp() override;

    std::uint64_t browser_ = 0;
};

}  // namespace redirect_test
