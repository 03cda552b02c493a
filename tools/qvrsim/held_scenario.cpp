/*
 * held_scenario.cpp
 *
 * Held connections with the service's verdict, QUIC with the switch on and off, and the
 * discard diagnostics, through winsim's network stack with the agent model.
 */
#include "held_scenario.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/trace_session.h>

#include <fwpsk.h>

#include "filters.h"
#include "port_query.h"
#include "verdicts.h"

#include <exception>
#include <memory>
#include <ostream>

namespace qvr::sim {
namespace {

using winsim::network::Connection;
using winsim::network::Endpoint;
using winsim::network::Outcome;

constexpr std::uint16_t kProxyPort = 8081;

// The driver's trace provider, {2FD5E1A4-F49D-452E-ACDB-FC87A8EDB322}.
constexpr GUID kDriverTrace = {0x2FD5E1A4, 0xF49D, 0x452E, {0xAC, 0xDB, 0xFC, 0x87, 0xA8, 0xED, 0xB3, 0x22}};

const std::u16string kBrowser = u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe";
const std::u16string kEditor = u"\\Device\\HarddiskVolume2\\Tools\\editor.exe";

struct HeldRun {
    std::ostream &out;
    std::vector<HeldView> *views;
    std::shared_ptr<agent::VerdictLog> log;
    std::size_t seen = 0;  // decisions of the log already shown

    Connection Connect(std::uint64_t pid, const char *remote, std::uint8_t protocol)
    {
        winsim::network::ConnectRequest request;
        request.processId = pid;
        request.protocol = protocol;
        request.remote = Endpoint::Parse(remote);
        Connection connection = winsim::network::Connect(request);
        connection.WaitSettled();
        return connection;
    }

    void Show(const std::string &label, const Connection &connection)
    {
        HeldView view{label, connection.State(), std::nullopt};
        out << "  " << label << ": " << (connection.RequestedRemote().ToString()) << " -> "
            << winsim::network::OutcomeName(view.outcome) << "\n";
        std::vector<agent::VerdictDecision> decisions = log->Decisions();
        for (; seen < decisions.size(); ++seen) {
            const agent::VerdictDecision &d = decisions[seen];
            out << "    held at auth-connect; the service saw " << d.question.records.size()
                << " bytes of redirect records (family " << d.question.family << ", proxy port "
                << d.question.remotePort << ")";
            if (d.question.context) {
                out << ": requested " << d.question.context->requested.ToString() << " by process "
                    << d.question.context->processId;
            }
            out << "\n    the service answered: " << (d.block ? "block" : "permit") << "\n";
            view.verdict = d;
        }
        if (views != nullptr) {
            views->push_back(view);
        }
    }
};

NTSTATUS SetUpFilters(agent::RedirectFilters &filters, const agent::LocalProxy &proxy, std::ostream &out)
{
    agent::RedirectFilterOptions https;
    https.remotePort = 443;
    https.holdForVerdict = true;
    DWORD result = filters.Open();
    if (result == ERROR_SUCCESS) {
        result = filters.AddTarget({kProxyPort, proxy.ProcessId(), false}, https);
    }
    if (result == ERROR_SUCCESS) {
        result = filters.AddQuicFilters(443);
    }
    if (result == ERROR_SUCCESS) {
        result = filters.AddDiscardFilters();
    }
    out << "agent: connect-redirect and redirect-records filters for TCP port 443, QUIC filters for UDP "
           "port 443, discard-diagnostic filters -> "
        << (result == ERROR_SUCCESS ? "added" : "refused " + std::to_string(result)) << "\n";
    return result == ERROR_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void Quic(HeldRun &run, agent::AgentService &service, std::uint64_t browser, std::uint64_t editor)
{
    for (bool on : {true, false}) {
        NTSTATUS status = service.SetQuicBlocking(on);
        run.out << "agent: QUIC blocking " << (on ? "on" : "off") << " -> " << agent::StatusText(status) << "\n";
        for (const auto &who : {std::make_pair("covered", browser), std::make_pair("not covered", editor)}) {
            Connection attempt = run.Connect(who.second, "203.0.113.7:443", 17);
            run.Show(std::string("QUIC (UDP) of a ") + who.first + " process, switch " + (on ? "on" : "off"),
                     attempt);
            attempt.Close();
        }
    }
}

}  // namespace

NTSTATUS RunHeldScenario(agent::Agent &agentModel, std::ostream &out, std::vector<HeldView> *views,
                         std::vector<std::string> *discards)
{
    NTSTATUS status = STATUS_SUCCESS;
    agent::LocalProxy proxy;
    agent::RedirectFilters filters;
    std::vector<std::uint64_t> processes;
    agent::CallbackResponder *callbacks = agentModel.Callbacks();
    HeldRun run{out, views, std::make_shared<agent::VerdictLog>()};
    // The scenario's trace view may hold the provider's one session; then the discard
    // records appear in that view instead of being listed here.
    std::unique_ptr<winsim::TraceSession> trace;
    try {
        trace = std::make_unique<winsim::TraceSession>(kDriverTrace, 0x2, TRACE_LEVEL_VERBOSE);
    } catch (const std::exception &) {
        trace.reset();
    }

    out << "Held connections, QUIC and discard diagnostics\n";
    if (callbacks == nullptr || !proxy.Start(kProxyPort)) {
        out << "agent: no callback carriers, or the proxy cannot listen on port " << kProxyPort << "\n";
        return STATUS_UNSUCCESSFUL;
    }
    agent::VerdictPolicy policy;
    policy.blocked.push_back(Endpoint::Parse("198.51.100.9:0"));
    callbacks->SetHandler(agent::kPortQueryType, agent::FixedPortQueryHandler(kProxyPort));
    callbacks->SetHandler(agent::kRedirectRecordsType, agent::VerdictHandler(policy, run.log));
    out << "agent: proxy listens on port " << kProxyPort << "; its policy blocks 198.51.100.9\n";
    status = SetUpFilters(filters, proxy, out);
    if (NT_SUCCESS(status)) {
        status = agentModel.Service().SetProcessRules({true, {u"webbrowser.exe"}});
        out << "agent: rules intercept [webbrowser.exe] -> " << agent::StatusText(status) << "\n";
    }
    if (NT_SUCCESS(status)) {
        const std::uint64_t browser = winsim::processes::Start(kBrowser);
        const std::uint64_t editor = winsim::processes::Start(kEditor);
        processes = {browser, editor};
        Connection permitted = run.Connect(browser, "203.0.113.7:443", 6);
        run.Show("covered, a destination the policy allows", permitted);
        Connection blocked = run.Connect(browser, "198.51.100.9:443", 6);
        run.Show("covered, a destination the policy blocks", blocked);
        permitted.Close();
        blocked.Close();
        Quic(run, agentModel.Service(), browser, editor);
    }
    // The connection the service blocked was dropped at auth-connect: its discard layer
    // classified it, and the diagnostics wrote what they saw.
    for (const winsim::TraceRecord &record :
         trace ? trace->Matching("discard at FWPS_LAYER_") : std::vector<winsim::TraceRecord>{}) {
        out << "  discard diagnostics: " << record.message << "\n";
        if (discards != nullptr) {
            discards->push_back(record.message);
        }
    }

    callbacks->SetHandler(agent::kRedirectRecordsType, nullptr);
    winsim::network::Reset();
    winsim::DrainWorkItems();
    filters.Close();
    proxy.Stop();
    for (std::uint64_t pid : processes) {
        winsim::processes::End(pid);
    }
    return status;
}

}  // namespace qvr::sim
