// Connect redirection end to end through winsim's network stack: covered processes reach
// the agent's proxy with the context record it reads, everything the classify must leave
// alone goes where it asked, and the proxy's own connections onwards are let through.

#include "redirect_fixture.h"

#include <winsim/trace_session.h>

#include <algorithm>
#include <cstring>

namespace redirect_test {
namespace {

using winsim::network::Endpoint;
using winsim::network::Outcome;

class ConnectRedirectTest : public RedirectTest {};

struct RedirectCase {
    const char *name;
    const char *local;       // nullptr: the socket is not bound
    const char *remote;
    const char *expected;    // where the connection ends up
};

TEST_F(ConnectRedirectTest, CoveredProcessReachesTheProxyWithItsContextRecord)
{
    const RedirectCase cases[] = {
        {"unbound IPv4 goes to loopback", nullptr, "203.0.113.7:443", "127.0.0.1:8080"},
        {"0.0.0.0 goes to loopback", "0.0.0.0:0", "203.0.113.7:443", "127.0.0.1:8080"},
        {"a specific local address is kept", "10.0.0.5:0", "203.0.113.7:443", "10.0.0.5:8080"},
        {":: goes to ::1", "[::]:0", "[2001:db8:1::7]:443", "[::1]:8080"},
        {"a specific IPv6 address is kept", "[2001:db8::10]:0", "[2001:db8:1::7]:80", "[2001:db8::10]:8080"},
    };
    InterceptOnly(u"webbrowser.exe");
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);

    for (const RedirectCase &c : cases) {
        SCOPED_TRACE(c.name);
        winsim::network::Connection connection = Connect(browser, c.remote, c.local);
        EXPECT_EQ(connection.State(), Outcome::Connected);
        EXPECT_TRUE(connection.Redirected());
        EXPECT_EQ(connection.Remote(), Ep(c.expected));
        EXPECT_EQ(connection.RedirectTargetProcessId(), proxy_.ProcessId());
        EXPECT_EQ(connection.AcceptedByProcessId(), proxy_.ProcessId());

        std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
        ASSERT_TRUE(accepted.has_value());
        ASSERT_EQ(accepted->contextStatus, STATUS_SUCCESS);
        ASSERT_TRUE(accepted->context.has_value());
        EXPECT_EQ(accepted->context->requested, Ep(c.remote));
        EXPECT_EQ(accepted->context->processId, browser);
        EXPECT_EQ(accepted->context->appPath, kBrowserImage);
        EXPECT_EQ(accepted->context->localPort, connection.Local().port);
        connection.Close();
    }
}

// The trace of a redirect (per-connection detail, so verbose) names the program, the
// destination it asked for and the proxy's port and process.
TEST_F(ConnectRedirectTest, RedirectIsTracedWithTheRequestedDestination)
{
    winsim::TraceSession trace(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_VERBOSE);
    InterceptOnly(u"webbrowser.exe");
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);
    const std::string target = " -> port 8080 of process " + std::to_string(proxy_.ProcessId());

    for (const char *remote : {"203.0.113.7:443", "[2001:db8:1::7]:80"}) {
        winsim::network::Connection connection = Connect(browser, remote);
        ASSERT_TRUE(connection.Redirected());
        ASSERT_TRUE(proxy_.Accept(std::chrono::seconds(2)).has_value());
        connection.Close();
    }
    EXPECT_EQ(trace.Matching("redirect webbrowser.exe: 203.0.113.7:443" + target).size(), 1u);
    EXPECT_EQ(trace.Matching("redirect webbrowser.exe: [IPv6]:80" + target).size(), 1u);
}

// The record's bytes, as the redirect target reads them, for an application id of 40 units
// (39 characters and the terminating zero that WFP includes).
TEST_F(ConnectRedirectTest, ContextRecordBytesAreLaidOutForTheProxy)
{
    const std::u16string image = u"\\Device\\HarddiskVolume2\\Apps\\mail.exe";  // 37 characters
    const std::u16string appId = image + u"xy";                              // 39 characters
    ASSERT_EQ(appId.size(), 39u);
    InterceptEverything();
    AddProxyFilters();
    const std::uint64_t pid = StartProcess(image);

    winsim::network::ConnectRequest request;
    request.processId = pid;
    request.remote = Ep("203.0.113.7:443");
    request.appId = appId;
    winsim::network::Connection connection = winsim::network::Connect(request);
    ASSERT_TRUE(connection.Redirected());
    std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
    ASSERT_TRUE(accepted.has_value());
    const std::vector<std::uint8_t> &b = accepted->contextBytes;
    ASSERT_EQ(b.size(), 254u);

    const std::uint8_t marker[24] = {'Q',  'V',  'R',  '_',  'W',  'F',  'P',  0,    0x6E, 0x95, 0xB0, 0xA1,
                                     0xF9, 0x50, 0x2B, 0x4C, 0x9F, 0x80, 0xCA, 0x9D, 0x32, 0xF9, 0x0D, 0xD5};
    EXPECT_TRUE(std::equal(marker, marker + 24, b.begin()));
    EXPECT_EQ(b[24] | (b[25] << 8), 254);                     // Size
    EXPECT_EQ(b[26], 4);                                       // Version
    EXPECT_EQ(b[27] | b[28] | b[29], 0);
    const std::uint16_t localPort = connection.Local().port;
    EXPECT_EQ(b[30] | (b[31] << 8), localPort);                // LocalPort, host order
    EXPECT_EQ(b[32], 2);                                       // AF_INET
    EXPECT_EQ(b[33], 0);
    EXPECT_EQ(b[34], 0x01);                                    // 443 in network order
    EXPECT_EQ(b[35], 0xBB);
    EXPECT_EQ(b[36], 203);
    EXPECT_EQ(b[37], 0);
    EXPECT_EQ(b[38], 113);
    EXPECT_EQ(b[39], 7);
    for (std::size_t i = 40; i < 160; ++i) {
        ASSERT_EQ(b[i], 0) << "offset " << i;
    }
    std::uint64_t recordPid = 0;
    std::memcpy(&recordPid, &b[160], 8);
    EXPECT_EQ(recordPid, pid);
    EXPECT_EQ(b[168] | (b[169] << 8) | (b[170] << 16) | (b[171] << 24), 40);  // AppPathLength
    for (std::size_t i = 0; i < appId.size(); ++i) {
        ASSERT_EQ(b[172 + 2 * i] | (b[173 + 2 * i] << 8), appId[i]) << "unit " << i;
    }
    EXPECT_EQ(b[172 + 78] | b[173 + 78], 0);  // WFP's own terminating zero, unit 39
    EXPECT_EQ(b[252] | b[253], 0);            // the record's terminator
}

struct LeftAloneCase {
    const char *name;
    std::uint8_t protocol;
    const char *local;
    const char *remote;
    enum { Browser, Editor, System, Proxy } process;
};

TEST_F(ConnectRedirectTest, WhatMustNotBeRedirectedGoesWhereItAsked)
{
    const LeftAloneCase cases[] = {
        {"uncovered process", 6, nullptr, "203.0.113.7:443", LeftAloneCase::Editor},
        {"UDP", 17, nullptr, "203.0.113.7:443", LeftAloneCase::Browser},
        {"loopback 127.0.0.5", 6, nullptr, "127.0.0.5:443", LeftAloneCase::Browser},
        {"loopback ::1", 6, nullptr, "[::1]:443", LeftAloneCase::Browser},
        {"own IPv4 address", 6, "10.0.0.5:0", "10.0.0.5:443", LeftAloneCase::Browser},
        {"own IPv6 address", 6, "[2001:db8::10]:0", "[2001:db8::10]:443", LeftAloneCase::Browser},
        {"the system process", 6, nullptr, "203.0.113.7:443", LeftAloneCase::System},
        {"the redirect target itself", 6, nullptr, "203.0.113.7:443", LeftAloneCase::Proxy},
    };
    InterceptOnly(u"webbrowser.exe");
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);
    const std::uint64_t editor = StartProcess(kEditorImage);
    // Every process is covered from here on: what stays alone is the classify's doing.
    for (const LeftAloneCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.process != LeftAloneCase::Editor) {
            InterceptEverything();
        } else {
            InterceptOnly(u"webbrowser.exe");
        }
        std::uint64_t pid = browser;
        switch (c.process) {
        case LeftAloneCase::Editor: pid = editor; break;
        case LeftAloneCase::System: pid = 4; break;
        case LeftAloneCase::Proxy: pid = proxy_.ProcessId(); break;
        default: break;
        }
        winsim::network::ConnectRequest request;
        request.processId = pid;
        request.protocol = c.protocol;
        request.remote = Ep(c.remote);
        if (c.local != nullptr) {
            request.local = Ep(c.local);
        }
        if (pid == 4) {
            request.appId = u"System";
        }
        winsim::network::Connection connection = winsim::network::Connect(request);
        EXPECT_FALSE(connection.Redirected());
        EXPECT_EQ(connection.Remote(), Ep(c.remote));
        EXPECT_EQ(connection.AcceptedByProcessId(), 0u);
        connection.Close();
    }
    EXPECT_FALSE(proxy_.Accept().has_value());
}

// The proxy's connection onwards carries the records of the connection it accepted: the
// driver recognises its own redirect and lets it through to the requested destination.
TEST_F(ConnectRedirectTest, ProxyConnectionOnwardsIsPermittedAsRedirectedBySelf)
{
    InterceptEverything();
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);
    winsim::network::Connection inbound = Connect(browser, "203.0.113.7:443");
    ASSERT_TRUE(inbound.Redirected());
    std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
    ASSERT_TRUE(accepted.has_value());

    // A proxy process that the policy covers and that is not the filter's target.
    qvr::agent::LocalProxy other;
    ASSERT_TRUE(other.Start(9090, u"\\Device\\HarddiskVolume2\\Program Files\\Other\\relay.exe"));
    winsim::network::Connection onward = other.ConnectOnward(*accepted);
    EXPECT_EQ(onward.State(), Outcome::Connected);
    EXPECT_FALSE(onward.Redirected());
    EXPECT_EQ(onward.Remote(), Ep("203.0.113.7:443"));
    other.Stop();
}

// Records from another redirector that carry one of our context records: the connection
// is judged by the process in the record, not by the process that connects.
TEST_F(ConnectRedirectTest, ConnectionCarryingOurRecordIsJudgedByTheRecordsProcess)
{
    InterceptOnly(u"webbrowser.exe");
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);
    const std::uint64_t editor = StartProcess(kEditorImage);

    qvr::agent::RedirectContext record;
    record.requested = Ep("203.0.113.7:443");
    record.localPort = 50000;
    record.appPath = kBrowserImage;
    struct Case {
        const char *name;
        std::uint64_t connecting;
        std::uint64_t inRecord;
        std::uint32_t version;
        int sizeDelta;  // added to the record's Size
        bool redirected;
    } cases[] = {
        {"covered process in the record", editor, browser, 4, 0, true},
        {"uncovered process in the record", browser, editor, 4, 0, false},
        {"version 3 record is ignored", editor, browser, 3, 0, false},
        {"a Size beyond the data is ignored", editor, browser, 4, 2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        record.processId = c.inRecord;
        record.version = c.version;
        std::vector<std::uint8_t> bytes = qvr::agent::BuildRedirectContextBytes(record);
        const std::uint16_t size = static_cast<std::uint16_t>(bytes.size() + c.sizeDelta);
        std::memcpy(&bytes[24], &size, 2);
        // Some bytes of another redirector's own before our record.
        std::vector<std::uint8_t> context = {1, 2, 3, 'Q', 'V', 'R'};
        context.insert(context.end(), bytes.begin(), bytes.end());

        winsim::network::ConnectRequest request;
        request.processId = c.connecting;
        request.remote = Ep("198.51.100.9:443");
        request.redirectRecords = BuildSioRecords({{0x7777000000000001ull, 1234, Ep("203.0.113.7:443"), context}});
        winsim::network::Connection connection = winsim::network::Connect(request);
        EXPECT_EQ(connection.Redirected(), c.redirected);
        if (c.redirected) {
            std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
            ASSERT_TRUE(accepted && accepted->context);
            EXPECT_EQ(accepted->context->processId, c.inRecord);
        }
        connection.Close();
    }
}

// A connection that an earlier redirect of ours handed on, further down a chain of
// redirectors, is never redirected again.
TEST_F(ConnectRedirectTest, PreviouslyRedirectedBySelfIsLeftAlone)
{
    InterceptEverything();
    AddProxyFilters();
    const std::uint64_t browser = StartProcess(kBrowserImage);
    winsim::network::Connection inbound = Connect(browser, "203.0.113.7:443");
    std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
    ASSERT_TRUE(accepted.has_value());
    std::vector<std::uint8_t> ours;
    ASSERT_EQ(accepted->accepted.QueryRedirectRecords(&ours), STATUS_SUCCESS);
    const std::uint64_t ourHandle = FirstRecordHandleId(ours);
    ASSERT_NE(ourHandle, 0u);

    winsim::network::ConnectRequest request;
    request.processId = browser;
    request.remote = Ep("198.51.100.9:443");
    request.redirectRecords = BuildSioRecords({{ourHandle, proxy_.ProcessId(), Ep("203.0.113.7:443"), accepted->contextBytes},
                                               {0x7777000000000002ull, 99, Ep("203.0.113.7:443"), {}}});
    winsim::network::Connection connection = winsim::network::Connect(request);
    EXPECT_FALSE(connection.Redirected());
    EXPECT_EQ(connection.Remote(), Ep("198.51.100.9:443"));
}

// Size is 16 bits: an application id too long for it leaves the connection unredirected,
// with the failure traced.
TEST_F(ConnectRedirectTest, ApplicationIdTooLongForTheRecordIsNotRedirected)
{
    InterceptEverything();
    AddProxyFilters();
    const std::uint64_t pid = StartProcess(kBrowserImage);
    winsim::TraceSession trace(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_VERBOSE);

    struct Case {
        std::size_t units;  // of the application id, WFP's terminating zero included
        bool redirected;
    } cases[] = {{32680, true}, {32681, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.units);
        winsim::network::ConnectRequest request;
        request.processId = pid;
        request.remote = Ep("203.0.113.7:443");
        request.appId = u"\\Device\\HarddiskVolume2\\" + std::u16string(c.units - 1 - 24, u'a');
        winsim::network::Connection connection = winsim::network::Connect(request);
        EXPECT_EQ(connection.Redirected(), c.redirected);
        if (c.redirected) {
            std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
            ASSERT_TRUE(accepted && accepted->context);
            EXPECT_EQ(accepted->contextBytes.size(), 174u + 2 * c.units);
        }
        connection.Close();
    }
    EXPECT_FALSE(trace.Matching("does not fit a record").empty());
}

}  // namespace
}  // namespace redirect_test

namespace redirect_test {
namespace {

// The agent model as a whole: its proxy is the redirect target and its carriers answer
// the port query, so a filter asking for the port sends the connection to the proxy.
TEST_F(ConnectRedirectTest, AgentModelRunsTheProxyAndAnswersThePortQuery)
{
    InterceptOnly(u"webbrowser.exe");
    const std::uint64_t browser = StartProcess(kBrowserImage);
    proxy_.Stop();  // the agent brings its own proxy and filters
    filters_.Close();
    qvr::agent::Agent agentModel;
    qvr::agent::AgentOptions options;
    options.proxyPort = 8081;
    options.askAgentForPort = true;
    ASSERT_EQ(agentModel.Start(options), STATUS_SUCCESS);
    ASSERT_NE(agentModel.Proxy(), nullptr);

    winsim::network::Connection connection = Connect(browser, "203.0.113.7:443");
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    EXPECT_EQ(connection.Remote(), Ep("127.0.0.1:8081"));
    EXPECT_EQ(connection.AcceptedByProcessId(), agentModel.Proxy()->ProcessId());
    std::optional<qvr::agent::ProxiedConnection> accepted = agentModel.Proxy()->Accept(std::chrono::seconds(2));
    ASSERT_TRUE(accepted && accepted->context);
    EXPECT_EQ(accepted->context->processId, browser);
    EXPECT_GE(agentModel.Callbacks()->QuestionsAnswered(), 1u);
    winsim::network::Reset();
    agentModel.Stop();
}

}  // namespace
}  // namespace redirect_test
