// Many threads connecting at once, immediate and pended redirects mixed, while the service
// keeps replacing the process rules: every connection settles, every redirected one reaches
// the proxy exactly once with the right context record, and nothing is held or leaked.
// Meant to be run under the sanitizer build as well.

#include "redirect_fixture.h"

#include <qvr_ioctl.h>
#include <winsim/kernel.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace redirect_test {
namespace {

using winsim::network::Outcome;

class RedirectStressTest : public RedirectTest {};

TEST_F(RedirectStressTest, ConcurrentConnectionsWhileRulesChangeLoseNothing)
{
    constexpr int kThreads = 4;
    constexpr int kConnectionsPerThread = 120;
    const std::uint64_t browser = StartProcess(kBrowserImage);
    const std::uint64_t editor = StartProcess(kEditorImage);
    InterceptOnly(u"webbrowser.exe");
    AddProxyFilters();
    qvr::agent::RedirectFilterOptions asking;
    asking.remotePort = 8443;
    asking.weight = 1ull << 62;  // before the immediate filters
    ASSERT_EQ(filters_.AddTarget(ProxyTarget(true), asking), (DWORD)ERROR_SUCCESS);
    StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort), 4);

    // The browser is covered by every policy played; the editor by some.
    const std::vector<qvr::agent::ProcessPolicy> policies = {
        {true, {u"webbrowser.exe"}},
        {true, {u"webbrowser.exe", u"editor.exe"}},
        {false, {u"mailclient.exe"}},
    };
    std::atomic<bool> done{false};
    std::atomic<int> rulesSent{0};
    std::thread rules([&] {
        for (std::size_t i = 0; !done; ++i) {
            const std::vector<std::uint8_t> record = qvr::agent::BuildProcessRulesRecord(policies[i % policies.size()]);
            EXPECT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_SUCCESS);
            ++rulesSent;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    struct Made {
        std::uint64_t processId;
        winsim::network::Connection connection;
    };
    std::mutex madeLock;
    std::vector<Made> made;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kConnectionsPerThread; ++i) {
                const std::uint64_t pid = (i + t) % 3 == 0 ? editor : browser;
                const char *remote = i % 4 == 0 ? "203.0.113.7:8443" : (i % 2 ? "[2001:db8:1::7]:443" : "203.0.113.7:443");
                winsim::network::Connection connection = Connect(pid, remote);
                std::lock_guard<std::mutex> lock(madeLock);
                made.push_back({pid, connection});
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    done = true;
    rules.join();
    EXPECT_GT(rulesSent.load(), 1);

    // Settle, then match the proxy's accepted connections to them by the connecting port.
    std::map<std::uint16_t, const Made *> redirectedByPort;
    int browserRedirected = 0;
    int browserMade = 0;
    for (const Made &m : made) {
        ASSERT_EQ(m.connection.WaitSettled(std::chrono::seconds(20)), Outcome::Connected);
        if (m.processId == browser) {
            ++browserMade;
        }
        if (m.connection.Redirected()) {
            EXPECT_EQ(m.connection.AcceptedByProcessId(), proxy_.ProcessId());
            redirectedByPort[m.connection.Local().port] = &m;
            if (m.processId == browser) {
                ++browserRedirected;
            }
        } else {
            EXPECT_EQ(m.connection.Remote(), m.connection.RequestedRemote());
        }
    }
    EXPECT_EQ(browserRedirected, browserMade);

    std::size_t accepted = 0;
    while (std::optional<qvr::agent::ProxiedConnection> c = proxy_.Accept()) {
        ++accepted;
        ASSERT_TRUE(c->context.has_value());
        auto it = redirectedByPort.find(c->peer.port);
        ASSERT_NE(it, redirectedByPort.end());
        EXPECT_EQ(c->context->processId, it->second->processId);
        EXPECT_EQ(c->context->requested, it->second->connection.RequestedRemote());
    }
    EXPECT_EQ(accepted, redirectedByPort.size());
    winsim::DrainWorkItems();
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
    EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
}

}  // namespace
}  // namespace redirect_test
