/*
 * player_connections.cpp
 *
 * Connections and UDP sends through winsim's network stack: each waits (bounded) until it
 * settles or the driver waits on the hand-run clock, is reported once it has settled (or as
 * it stands when it is closed or the driver unloads), with where it went and, when the proxy
 * accepted it, the context record the proxy read, in hex and decoded.
 */
#include "player.h"

#include <winsim/processes.h>
#include <winsim/verifier.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qvr::sim {

namespace {

using winsim::network::Outcome;

const char *OutcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pending: return "pending";
    case Outcome::Connected: return "connected";
    case Outcome::Blocked: return "blocked";
    case Outcome::Refused: return "refused";
    case Outcome::Closed: return "closed";
    }
    return "?";
}

const char *ExpectationWord(ConnectionExpectation expectation)
{
    switch (expectation) {
    case ConnectionExpectation::Redirected: return "redirected";
    case ConnectionExpectation::Direct: return "direct";
    case ConnectionExpectation::Blocked: return "blocked";
    case ConnectionExpectation::Refused: return "refused";
    case ConnectionExpectation::Pending: return "pending";
    }
    return "?";
}

bool Meets(ConnectionExpectation expectation, Outcome outcome, bool redirected)
{
    switch (expectation) {
    case ConnectionExpectation::Redirected: return outcome == Outcome::Connected && redirected;
    case ConnectionExpectation::Direct: return outcome == Outcome::Connected && !redirected;
    case ConnectionExpectation::Blocked: return outcome == Outcome::Blocked;
    case ConnectionExpectation::Refused: return outcome == Outcome::Refused;
    case ConnectionExpectation::Pending: return outcome == Outcome::Pending;
    }
    return false;
}

// Until the connection settles, or (hand-run clock) a thread more than before has waited
// on the clock for 200 ms, or the wait runs out. A driver that waits on a clock nobody moves would
// otherwise keep the step for the whole wait.
void WaitForConnection(const winsim::network::Connection &connection, std::int64_t waitMs, std::size_t waitersBefore)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    int clockWaits = 0;
    while (connection.State() == Outcome::Pending && std::chrono::steady_clock::now() < deadline) {
        if (winsim::clock::IsManual() && winsim::clock::Waiters() > waitersBefore) {
            if (++clockWaits >= 200) {
                return;  // still waiting after 200 ms: it waits for the clock
            }
        } else {
            clockWaits = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

Json VerdictJson(const agent::VerdictDecision &decision)
{
    const agent::RedirectRecordsQuestion &question = decision.question;
    return Json{{"block", decision.block},
                {"answered", decision.answered},
                {"records_bytes", question.records.size()},
                {"proxy_port", question.remotePort},
                {"requested", question.context ? Json(question.context->requested.ToString()) : Json(nullptr)}};
}

std::string VerdictWord(const agent::VerdictDecision &decision)
{
    return !decision.answered ? "no answer" : decision.block ? "blocked" : "permitted";
}

std::optional<agent::ProxiedConnection> Player::TakeAccepted(const winsim::network::Connection &connection)
{
    const winsim::network::Endpoint local = connection.Local();
    for (auto it = unclaimed_.begin(); it != unclaimed_.end(); ++it) {
        if (it->peer == local) {
            agent::ProxiedConnection found = *it;
            unclaimed_.erase(it);
            return found;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        std::optional<agent::ProxiedConnection> next = proxy_.Accept(std::chrono::milliseconds(100));
        if (!next) {
            continue;
        }
        if (next->peer == local) {
            return next;
        }
        unclaimed_.push_back(*next);
    }
    return std::nullopt;
}

void Player::ReportConnection(LiveConnection &live)
{
    live.reported = true;
    const winsim::network::Connection &c = live.connection;
    const Outcome outcome = c.State();
    const bool redirected = c.Redirected();
    ConnectionReport report;
    report.name = live.name;
    report.step = live.step;
    report.label = live.label;
    Json &d = report.details;
    d["process"] = live.process;
    d["pid"] = live.pid;
    d["protocol"] = live.udp ? "udp" : "tcp";
    d["family"] = c.RequestedRemote().address.family == 23 ? "ipv6" : "ipv4";
    d["requested"] = c.RequestedRemote().ToString();
    d["local"] = c.Local().ToString();
    d["outcome"] = OutcomeWord(outcome);
    d["redirected"] = redirected;
    d["remote"] = c.Remote().ToString();
    d["redirect_target_pid"] = redirected ? Json(c.RedirectTargetProcessId()) : Json(nullptr);
    const std::uint64_t acceptedBy = c.AcceptedByProcessId();
    d["accepted_by"] = acceptedBy == 0 ? Json(nullptr) : Json(ProcessName(acceptedBy).empty() ? std::to_string(acceptedBy) : ProcessName(acceptedBy));

    std::string line = live.process + " (pid " + std::to_string(live.pid) + ") " + (live.udp ? "UDP " : "") + "from " +
                       c.Local().ToString() + " to " + c.RequestedRemote().ToString() + " -> " + OutcomeWord(outcome);
    if (outcome == Outcome::Connected || outcome == Outcome::Closed) {
        line += redirected ? ", redirected to " + c.Remote().ToString() + " for process " + std::to_string(c.RedirectTargetProcessId())
                           : ", not redirected: went to " + c.Remote().ToString();
    }
    report.lines.push_back(line);

    Json context = nullptr;
    if (proxyRunning_ && acceptedBy == proxy_.ProcessId() && acceptedBy != 0) {
        live.accepted = TakeAccepted(c);
        if (live.accepted) {
            const agent::ProxiedConnection &accepted = *live.accepted;
            context = Json{{"query_status", agent::StatusText(accepted.contextStatus)},
                           {"size", accepted.contextBytes.size()},
                           {"hex", Hex(accepted.contextBytes)}};
            if (accepted.context) {
                const agent::RedirectContext &r = *accepted.context;
                context["record"] = Json{{"requested", r.requested.ToString()}, {"local_port", r.localPort},
                                         {"process_id", r.processId},       {"app_path", Utf8(r.appPath)},
                                         {"size", r.size},                  {"version", r.version}};
                report.lines.push_back("proxy read: requested " + r.requested.ToString() + ", local port " +
                                       std::to_string(r.localPort) + ", process " + std::to_string(r.processId) +
                                       ", application " + Utf8(r.appPath));
            } else {
                context["record"] = nullptr;
                report.lines.push_back("proxy read: " + agent::StatusText(accepted.contextStatus) + ", not the driver's record");
            }
            report.lines.push_back("context record (" + std::to_string(accepted.contextBytes.size()) +
                                   " bytes): " + Hex(accepted.contextBytes));
        } else {
            report.lines.push_back("proxy: the connection did not reach its accept queue within 2 s");
        }
    }
    d["context"] = context;
    if (!live.udp) {
        if (std::optional<agent::VerdictDecision> verdict = VerdictFor(c.Local())) {
            d["verdict"] = VerdictJson(*verdict);
            report.lines.push_back("held for the service's verdict: " + VerdictWord(*verdict));
        }
    }
    if (live.expected) {
        report.asExpected = Meets(*live.expected, outcome, redirected);
        d["expected"] = ExpectationWord(*live.expected);
        d["as_expected"] = report.asExpected;
        if (!report.asExpected) {
            report.lines.push_back(std::string("UNEXPECTED: the scenario expects ") + ExpectationWord(*live.expected));
        }
    }
    report_.connections.push_back(report);
    output_.Connection(report_.connections.back());
}

void Player::PlayConnect(const Step &step, StepReport &report)
{
    auto live = std::make_unique<LiveConnection>();
    live->name = step.connection;
    live->step = report.number;
    live->label = step.label;
    live->process = step.subject;
    live->pid = processes_[step.subject];
    live->udp = step.udp;
    live->expected = step.expectedConnection;

    winsim::network::ConnectRequest request;
    request.processId = live->pid;
    request.protocol = step.udp ? 17 : 6;
    request.remote = winsim::network::Endpoint::Parse(step.remote);
    if (!step.local.empty()) {
        request.local = winsim::network::Endpoint::Parse(step.local);
    }
    if (step.records) {
        request.redirectRecords = *step.records;
    }
    const std::size_t waiters = winsim::clock::Waiters();
    live->connection = winsim::network::Connect(request);
    WaitForConnection(live->connection, step.waitMs, waiters);
    report.details["connection"] = live->name;
    if (live->connection.State() == Outcome::Pending) {
        report.details["pending"] = true;
        report.lines.push_back("connection " + live->name + " is pending" +
                               (winsim::clock::IsManual() ? ": the driver waits on the clock" : " after " + std::to_string(step.waitMs) + " ms"));
    }
    connections_[live->name] = std::move(live);
}

void Player::PlayOnward(const Step &step, StepReport &report)
{
    LiveConnection &from = *connections_.at(step.subject);
    if (!from.accepted) {
        report.finished = false;
        report.lines.push_back("connection " + from.name + " was not accepted by the proxy: nothing to connect onwards");
        return;
    }
    auto live = std::make_unique<LiveConnection>();
    live->name = step.connection;
    live->step = report.number;
    live->label = step.label;
    live->process = step.onwardBy.empty() ? "proxy" : step.onwardBy;
    live->pid = step.onwardBy.empty() ? proxy_.ProcessId() : processes_.at(step.onwardBy);
    live->expected = step.expectedConnection;
    live->connection = proxy_.ConnectOnward(*from.accepted, step.onwardBy.empty() ? std::nullopt
                                                                                   : std::optional<std::uint64_t>(live->pid));
    WaitForConnection(live->connection, 5000, winsim::clock::Waiters());
    report.details["connection"] = live->name;
    connections_[live->name] = std::move(live);
}

void Player::PlayAdvance(const Step &step, StepReport &report)
{
    winsim::clock::Advance(step.advanceMs * 10000);
    report.details["advanced_ms"] = step.advanceMs;
    // What the clock woke goes on in real time: give each pending connection up to a second,
    // less when the driver is back to waiting on the clock (200 ms of waiting, as settle).
    Json stillPending = Json::array();
    for (auto &entry : connections_) {
        if (entry.second->reported) {
            continue;
        }
        WaitForConnection(entry.second->connection, 1000, 0);
        if (entry.second->connection.State() == Outcome::Pending) {
            stillPending.push_back(entry.first);
            report.lines.push_back("connection " + entry.first + " is still pending");
        }
    }
    report.details["still_pending"] = stillPending;
}

void Player::PlaySettle(const Step &step, StepReport &report)
{
    Json stillPending = Json::array();
    for (auto &entry : connections_) {
        LiveConnection &live = *entry.second;
        const bool named = step.connections.empty() ||
                           std::find(step.connections.begin(), step.connections.end(), entry.first) != step.connections.end();
        if (!named || live.reported) {
            continue;
        }
        // On a hand-run clock whatever still waits waits on it: 200 ms of waiting settle that.
        WaitForConnection(live.connection, step.waitMs, 0);
        if (live.connection.State() == Outcome::Pending) {
            stillPending.push_back(entry.first);
            report.lines.push_back("connection " + entry.first + " is still pending");
        }
    }
    report.details["still_pending"] = stillPending;
}

void Player::CloseConnections()
{
    for (auto &entry : connections_) {
        if (!entry.second->reported) {
            ReportConnection(*entry.second);
        }
        entry.second->connection.Close();
    }
    connections_.clear();
    unclaimed_.clear();
}

}  // namespace qvr::sim
