/*
 * redirect_scenario.cpp
 *
 * Connections of covered and uncovered processes through winsim's network stack, with the
 * agent's proxy and filters, as the simulator shows them.
 */
#include "redirect_scenario.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>

#include "filters.h"
#include "port_query.h"

#include <ostream>
#include <thread>

namespace qvr::sim {
namespace {

using winsim::network::Address;
using winsim::network::Connection;
using winsim::network::Endpoint;
using winsim::network::Outcome;

constexpr std::uint16_t kProxyPort = 8080;
constexpr std::int64_t kSecond = 10 * 1000 * 1000;

const std::u16string kBrowser = u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe";
const std::u16string kEditor = u"\\Device\\HarddiskVolume2\\Tools\\editor.exe";

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string FileName(const std::u16string &path)
{
    std::size_t separator = path.find_last_of(u'\\');
    return Narrow(separator == std::u16string::npos ? path : path.substr(separator + 1));
}

std::string ProcessName(std::uint64_t pid)
{
    std::optional<std::u16string> image = winsim::processes::ImagePath(pid);
    return (image ? FileName(*image) : std::string("?")) + " (pid " + std::to_string(pid) + ")";
}

struct Run {
    agent::Agent &agentModel;
    agent::LocalProxy &proxy;
    std::ostream &out;
    std::vector<ConnectionView> *views;
    int number = 0;

    // Shows where a settled connection went and what the proxy read of it.
    ConnectionView Show(const std::string &label, std::uint64_t pid, const Connection &connection)
    {
        ConnectionView view;
        view.label = label;
        view.processId = pid;
        view.requested = connection.RequestedRemote();
        view.outcome = connection.State();
        view.redirected = connection.Redirected();
        view.remote = connection.Remote();
        view.acceptedBy = connection.AcceptedByProcessId();
        out << "  connection " << ++number << ": " << label << "\n"
            << "    " << ProcessName(pid) << " from " << connection.Local().ToString() << " to "
            << view.requested.ToString() << " -> " << winsim::network::OutcomeName(view.outcome);
        if (view.redirected) {
            out << ", redirected to " << view.remote.ToString() << " for process " << connection.RedirectTargetProcessId();
        } else {
            out << ", not redirected: went to " << view.remote.ToString();
        }
        out << "\n";
        if (view.acceptedBy == proxy.ProcessId()) {
            std::optional<agent::ProxiedConnection> accepted = proxy.Accept(std::chrono::seconds(2));
            if (accepted && accepted->context) {
                view.record = accepted->context;
                out << "    proxy read: requested " << view.record->requested.ToString() << ", local port "
                    << view.record->localPort << ", process " << view.record->processId << ", application "
                    << Narrow(view.record->appPath) << "\n";
                if (number == 1) {
                    ShowOnward(*accepted);
                }
            } else {
                out << "    proxy read: no context record\n";
            }
        }
        if (views != nullptr) {
            views->push_back(view);
        }
        return view;
    }

    // The proxy's own connection onwards to what the application asked for.
    void ShowOnward(const agent::ProxiedConnection &accepted)
    {
        Connection onward = proxy.ConnectOnward(accepted);
        onward.WaitSettled();
        out << "    proxy onwards: " << ProcessName(proxy.ProcessId()) << " to " << onward.RequestedRemote().ToString()
            << " carrying the records -> " << winsim::network::OutcomeName(onward.State())
            << (onward.Redirected() ? ", redirected (unexpected)" : ", permitted as redirected by self") << "\n";
        if (views != nullptr) {
            ConnectionView view;
            view.label = "the proxy's connection onwards";
            view.processId = proxy.ProcessId();
            view.requested = onward.RequestedRemote();
            view.outcome = onward.State();
            view.redirected = onward.Redirected();
            view.remote = onward.Remote();
            views->push_back(view);
        }
        onward.Close();
    }

    Connection Connect(std::uint64_t pid, const char *remote, const char *local)
    {
        winsim::network::ConnectRequest request;
        request.processId = pid;
        request.remote = Endpoint::Parse(remote);
        if (local != nullptr) {
            request.local = Endpoint::Parse(local);
        }
        return winsim::network::Connect(request);
    }
};

// Waits in real time until `count` more threads than `baseline` sleep in timed waits.
bool WaitForWaiters(std::size_t baseline, std::size_t count)
{
    for (int i = 0; i < 5000; ++i) {
        if (winsim::clock::Waiters() >= baseline + count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void AskedPort(Run &run, std::uint64_t browser)
{
    agent::CallbackResponder *callbacks = run.agentModel.Callbacks();
    run.out << "A filter for port 8443 asks the agent for the target port:\n";
    callbacks->SetHandler(agent::kPortQueryType, agent::FixedPortQueryHandler(kProxyPort));
    Connection answered = run.Connect(browser, "203.0.113.7:8443", nullptr);
    answered.WaitSettled();
    run.Show("the agent answers port 8080", browser, answered);
    answered.Close();

    callbacks->SetHandler(agent::kPortQueryType, agent::PortQueryHandler([](std::uint32_t) {
                              return std::optional<std::uint16_t>();
                          }));
    const bool wasManual = winsim::clock::IsManual();
    winsim::clock::UseManual();
    const std::size_t baseline = winsim::clock::Waiters();
    Connection silent = run.Connect(browser, "203.0.113.7:8443", nullptr);
    const bool waiting = WaitForWaiters(baseline, 1);
    run.out << "  the agent stays silent: the connection is "
            << winsim::network::OutcomeName(silent.State()) << (waiting ? ", the driver waits for the answer" : "")
            << "; 10 seconds pass on the clock\n";
    winsim::clock::Advance(10 * kSecond);
    silent.WaitSettled();
    run.Show("the agent does not answer within 10 seconds", browser, silent);
    silent.Close();
    if (!wasManual) {
        winsim::clock::UseReal();
    }
    callbacks->SetHandler(agent::kPortQueryType, agent::FixedPortQueryHandler(kProxyPort));
}

}  // namespace

NTSTATUS RunRedirectScenario(agent::Agent &agentModel, std::ostream &out, std::vector<ConnectionView> *views)
{
    NTSTATUS status = STATUS_SUCCESS;
    agent::LocalProxy proxy;
    agent::RedirectFilters filters;
    std::vector<std::uint64_t> processes;
    winsim::network::SetHostAddresses(Address::Parse("10.0.0.5"), Address::Parse("2001:db8::10"));

    out << "Connect redirection (the machine's addresses: 10.0.0.5, 2001:db8::10)\n";
    if (!proxy.Start(kProxyPort)) {
        status = STATUS_UNSUCCESSFUL;
        out << "agent: the proxy cannot listen on port " << kProxyPort << "\n";
    }
    if (NT_SUCCESS(status)) {
        out << "agent: proxy " << ProcessName(proxy.ProcessId()) << " listens on port " << kProxyPort << "\n";
        DWORD result = filters.Open();
        if (result == ERROR_SUCCESS) {
            agent::RedirectFilterOptions https;
            https.remotePort = 443;
            result = filters.AddTarget({kProxyPort, proxy.ProcessId(), false}, https);
        }
        if (result == ERROR_SUCCESS) {
            agent::RedirectFilterOptions asking;
            asking.remotePort = 8443;
            asking.weight = 1ull << 62;  // before the immediate filters
            result = filters.AddTarget({0, proxy.ProcessId(), true}, asking);
        }
        out << "agent: connect-redirect filters (IPv4, IPv6): port 443 to port " << kProxyPort
            << " of the proxy, port 8443 with the port asked for -> "
            << (result == ERROR_SUCCESS ? "added" : "refused " + std::to_string(result)) << "\n";
        if (result != ERROR_SUCCESS) {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (NT_SUCCESS(status)) {
        status = agentModel.Service().SetProcessRules({true, {u"webbrowser.exe"}});
        out << "agent: rules intercept [webbrowser.exe] -> " << agent::StatusText(status) << "\n";
    }
    if (NT_SUCCESS(status) && agentModel.Callbacks() != nullptr) {
        const std::uint64_t browser = winsim::processes::Start(kBrowser);
        const std::uint64_t editor = winsim::processes::Start(kEditor);
        processes = {browser, editor};
        Run run{agentModel, proxy, out, views};
        const struct {
            const char *label;
            std::uint64_t pid;
            const char *remote;
            const char *local;
        } connections[] = {
            {"covered, IPv4, unspecified local address", browser, "203.0.113.7:443", nullptr},
            {"covered, IPv4, bound to 10.0.0.5", browser, "203.0.113.7:443", "10.0.0.5:0"},
            {"covered, IPv6, unspecified local address", browser, "[2001:db8:1::7]:443", "[::]:0"},
            {"covered, IPv6, bound to 2001:db8::10", browser, "[2001:db8:1::7]:443", "[2001:db8::10]:0"},
            {"not covered, IPv4", editor, "203.0.113.7:443", nullptr},
            {"not covered, IPv6", editor, "[2001:db8:1::7]:443", nullptr},
            {"covered, to a loopback address", browser, "127.0.0.1:5000", nullptr},
        };
        for (const auto &c : connections) {
            Connection connection = run.Connect(c.pid, c.remote, c.local);
            connection.WaitSettled();
            run.Show(c.label, c.pid, connection);
            connection.Close();
        }
        AskedPort(run, browser);
    }

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
