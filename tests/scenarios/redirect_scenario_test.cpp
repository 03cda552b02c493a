// The simulator's default scenario shows the main job: covered processes reach the agent's
// proxy over IPv4 and IPv6 with the context record the proxy reads, uncovered ones go where
// they asked, the proxy's connection onwards is let through, and a filter that asks for the
// port is answered or, with a silent service, leaves the connection alone after 10 seconds.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include "agent/proxy.h"

#include <sstream>

namespace {

using qvr::sim::ConnectionReport;
using qvr::sim::Json;

const ConnectionReport *Find(const std::vector<ConnectionReport> &connections, const std::string &label)
{
    for (const ConnectionReport &connection : connections) {
        if (connection.label == label) {
            return &connection;
        }
    }
    return nullptr;
}

std::vector<std::uint8_t> Bytes(const std::string &hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(RedirectScenarioTest, DefaultScenarioShowsWhereEachConnectionWent)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);
    ASSERT_TRUE(report.Clean()) << out.str();

    const struct {
        const char *label;
        const char *outcome;
        bool redirected;
        const char *remote;
        const char *requested;
    } expected[] = {
        {"covered, IPv4, unspecified local address", "connected", true, "127.0.0.1:8080", "203.0.113.7:443"},
        {"covered, IPv4, bound to 10.0.0.5", "connected", true, "10.0.0.5:8080", "203.0.113.7:443"},
        {"covered, IPv6, unspecified local address", "connected", true, "[::1]:8080", "[2001:db8:1::7]:443"},
        {"covered, IPv6, bound to 2001:db8::10", "connected", true, "[2001:db8::10]:8080", "[2001:db8:1::7]:443"},
        {"not covered, IPv4", "connected", false, "203.0.113.7:443", "203.0.113.7:443"},
        {"not covered, IPv6", "connected", false, "[2001:db8:1::7]:443", "[2001:db8:1::7]:443"},
        {"the proxy's connection onwards", "connected", false, "203.0.113.7:443", "203.0.113.7:443"},
        {"covered, to a loopback address: left alone, and nobody listens there", "refused", false, "127.0.0.1:5000", "127.0.0.1:5000"},
        {"the service answers port 8080", "connected", true, "127.0.0.1:8080", "203.0.113.7:8443"},
        {"the service does not answer within 10 seconds", "connected", false, "203.0.113.7:8443", "203.0.113.7:8443"},
    };
    std::uint64_t proxy = 0;
    for (const auto &e : expected) {
        SCOPED_TRACE(e.label);
        const ConnectionReport *view = Find(report.connections, e.label);
        ASSERT_NE(view, nullptr) << out.str();
        const Json &d = view->details;
        EXPECT_EQ(d["outcome"], e.outcome);
        EXPECT_EQ(d["redirected"], e.redirected);
        EXPECT_EQ(d["remote"], e.remote);
        EXPECT_EQ(d["requested"], e.requested);
        if (!e.redirected) {
            EXPECT_TRUE(d["context"].is_null());
            continue;
        }
        proxy = d["redirect_target_pid"];
        EXPECT_EQ(d["accepted_by"], "proxy");
        const Json &record = d["context"]["record"];
        EXPECT_EQ(record["requested"], e.requested);
        EXPECT_EQ(record["process_id"], d["pid"]);
        EXPECT_NE(record["app_path"].get<std::string>().find("webbrowser.exe"), std::string::npos);
        // The hex is the record itself: it decodes to what the decoded fields say.
        const std::optional<qvr::agent::RedirectContext> parsed =
            qvr::agent::ParseRedirectContext(Bytes(d["context"]["hex"].get<std::string>()));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->requested.ToString(), e.requested);
        EXPECT_EQ(parsed->size, d["context"]["size"]);
        EXPECT_EQ(parsed->localPort, record["local_port"]);
    }
    EXPECT_NE(proxy, 0u);
    EXPECT_EQ(Find(report.connections, "the proxy's connection onwards")->details["pid"], proxy);
}

TEST(RedirectScenarioTest, PortAnswersDecideTheRedirect)
{
    qvr::sim::ParseError error;
    const auto scenario = qvr::sim::ParseScenario(
        "proxy 8080\nfilter ask\nrules intercept web.exe\nstart web \\Device\\HarddiskVolume1\\web.exe\n"
        "port-answer 9090\nconnect web 203.0.113.7:443 as=port\n"
        "port-answer result=1\nconnect web 203.0.113.7:443 as=refusal\n"
        "port-answer short\nconnect web 203.0.113.7:443 as=short\n"
        "clock manual\nport-answer proxy delay=4s\nconnect web 203.0.113.7:443 as=late\n"
        "advance 3s\nadvance 1s\n"
        "port-answer proxy delay=11s\nconnect web 203.0.113.7:443 as=toolate\nadvance 10s\n",
        "ports.qvrsim", &error);
    ASSERT_TRUE(scenario.has_value()) << error.ToString();
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    auto find = [&](const std::string &name) -> const Json & {
        for (const ConnectionReport &c : report.connections) {
            if (c.name == name) {
                return c.details;
            }
        }
        static const Json none;
        ADD_FAILURE() << name << "\n" << out.str();
        return none;
    };
    EXPECT_EQ(find("port")["remote"], "127.0.0.1:9090");
    EXPECT_EQ(find("refusal")["redirected"], false);
    EXPECT_EQ(find("short")["redirected"], false);
    EXPECT_EQ(find("late")["remote"], "127.0.0.1:8080");
    EXPECT_EQ(find("toolate")["redirected"], false);
    // The late answer's connection was still pending after the first 3 seconds.
    for (const qvr::sim::StepReport &step : report.steps) {
        if (step.line == 14) {
            EXPECT_EQ(step.details["still_pending"], Json::array({"late"})) << out.str();
        }
    }
}

}  // namespace
