// The simulator's default scenario shows the main job: covered processes reach the agent's
// proxy over IPv4 and IPv6 with the context record the proxy reads, uncovered ones go where
// they asked, the proxy's connection onwards is let through, and a filter that asks for the
// port is answered or, with a silent agent, leaves the connection alone after 10 seconds.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace {

using winsim::network::Endpoint;
using winsim::network::Outcome;

const qvr::sim::ConnectionView *Find(const std::vector<qvr::sim::ConnectionView> &views, const std::string &label)
{
    for (const qvr::sim::ConnectionView &view : views) {
        if (view.label == label) {
            return &view;
        }
    }
    return nullptr;
}

TEST(RedirectScenarioTest, DefaultScenarioShowsWhereEachConnectionWent)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    ASSERT_EQ(report.connectionStatus, STATUS_SUCCESS) << out.str();

    const struct {
        const char *label;
        bool redirected;
        const char *remote;
        const char *requested;
    } expected[] = {
        {"covered, IPv4, unspecified local address", true, "127.0.0.1:8080", "203.0.113.7:443"},
        {"covered, IPv4, bound to 10.0.0.5", true, "10.0.0.5:8080", "203.0.113.7:443"},
        {"covered, IPv6, unspecified local address", true, "[::1]:8080", "[2001:db8:1::7]:443"},
        {"covered, IPv6, bound to 2001:db8::10", true, "[2001:db8::10]:8080", "[2001:db8:1::7]:443"},
        {"not covered, IPv4", false, "203.0.113.7:443", "203.0.113.7:443"},
        {"not covered, IPv6", false, "[2001:db8:1::7]:443", "[2001:db8:1::7]:443"},
        {"the proxy's connection onwards", false, "203.0.113.7:443", "203.0.113.7:443"},
        {"the agent answers port 8080", true, "127.0.0.1:8080", "203.0.113.7:8443"},
        {"the agent does not answer within 10 seconds", false, "203.0.113.7:8443", "203.0.113.7:8443"},
    };
    std::uint64_t proxy = 0;
    for (const auto &e : expected) {
        SCOPED_TRACE(e.label);
        const qvr::sim::ConnectionView *view = Find(report.connectionViews, e.label);
        ASSERT_NE(view, nullptr) << out.str();
        EXPECT_EQ(view->outcome, Outcome::Connected);
        EXPECT_EQ(view->redirected, e.redirected);
        EXPECT_EQ(view->remote, Endpoint::Parse(e.remote));
        if (e.redirected) {
            proxy = view->acceptedBy;
            ASSERT_TRUE(view->record.has_value());
            EXPECT_EQ(view->record->requested, Endpoint::Parse(e.requested));
            EXPECT_EQ(view->record->processId, view->processId);
            EXPECT_NE(view->record->appPath.find(u"webbrowser.exe"), std::u16string::npos);
        } else {
            EXPECT_FALSE(view->record.has_value());
        }
    }
    EXPECT_NE(proxy, 0u);
    EXPECT_EQ(Find(report.connectionViews, "the proxy's connection onwards")->processId, proxy);
}

}  // namespace
