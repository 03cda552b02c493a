/*
 * player.h
 *
 * The world a scenario plays in and the playing of each directive: the loaded driver,
 * the agent's service with its callback carriers, port answers, proxy and filters, the
 * scenario's processes and connections. One Player per run.
 */
#pragma once

#include "scenario.h"
#include "simulator.h"

#include "agent/callback_responder.h"
#include "agent/filters.h"
#include "agent/proxy.h"
#include "agent/service.h"
#include "agent/verdicts.h"

#include <winsim/network.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace qvr::sim {

// How the service answers port queries; read by the carriers' threads.
struct PortAnswerState {
    std::mutex lock;
    PortAnswerKind kind = PortAnswerKind::ProxyPort;
    std::uint32_t value = 0;
    std::int64_t delayMs = 0;
    std::uint16_t proxyPort = 0;
};

// How the service decides held connections, and what it decided; read by the carriers' threads.
struct VerdictState {
    std::mutex lock;
    VerdictKind kind = VerdictKind::Permit;
    std::vector<winsim::network::Endpoint> blocked;  // Block: none means every destination
    std::int64_t delayMs = 0;
    std::shared_ptr<agent::VerdictLog> log = std::make_shared<agent::VerdictLog>();
};

// A verdict as connection reports show it: block, answered, and what the question carried.
Json VerdictJson(const agent::VerdictDecision &decision);
// "blocked", "permitted" or "no answer".
std::string VerdictWord(const agent::VerdictDecision &decision);

class Player {
public:
    Player(Report &report, Output &output);
    ~Player();

    // The implicit first step: load, open, park the carriers.
    void LoadStep(const Step *step, int number);
    void Play(const Step &step, int number);
    // The implicit last step when the scenario left the driver loaded.
    void Finish(int number);
    // The unload step, at once, while live mode's program still runs (it was interrupted):
    // held classifies end with it. Finish afterwards does the rest.
    void UnloadNow(const std::string &why);

    // Live mode works in the world the scenario left: its proxy (null when none runs) and
    // the service's filter session.
    agent::LocalProxy *RunningProxy() { return proxyRunning_ ? &proxy_ : nullptr; }
    agent::RedirectFilters &Filters() { return filters_; }
    // The service's verdict on the held connection whose local end is `local`, if it gave one.
    std::optional<agent::VerdictDecision> VerdictFor(const winsim::network::Endpoint &local) const;
    bool Loaded() const { return loaded_; }

private:
    struct LiveConnection {
        std::string name;
        int step = 0;
        std::string label;
        std::string process;                 // the scenario's name of the connecting process
        std::uint64_t pid = 0;
        bool udp = false;
        winsim::network::Connection connection;
        std::optional<agent::ProxiedConnection> accepted;
        std::optional<ConnectionExpectation> expected;
        bool reported = false;
    };

    StepReport NewReport(const Step *step, int number, const std::string &directive, const std::string &label);
    void Emit(StepReport &report);

    void StartService(StepReport &report);
    void StopService();
    void SetCarriers(std::uint32_t count, StepReport &report);
    void SetHandlers();
    void UnloadStep(StepReport &report, bool keepConnections = false);

    void PlayProcesses(const Step &step, StepReport &report);
    void PlayRules(const Step &step, StepReport &report);
    void PlayRaw(const Step &step, StepReport &report);
    void PlayOpen(const Step &step, StepReport &report);
    void PlayFilter(const Step &step, StepReport &report);
    void PlayConnect(const Step &step, StepReport &report);
    void PlayOnward(const Step &step, StepReport &report);
    void PlayAdvance(const Step &step, StepReport &report);
    void PlaySettle(const Step &step, StepReport &report);
    void PlayWorld(const Step &step, StepReport &report);
    void PlayHeld(StepReport &report);

    // After a request that may change them: what the driver holds now.
    void ShowRules(StepReport &report);
    void ShowQuic(StepReport &report);

    // Reports the connection as it stands (once).
    void ReportConnection(LiveConnection &live);
    std::optional<agent::ProxiedConnection> TakeAccepted(const winsim::network::Connection &connection);
    void CloseConnections();

    std::string ProcessName(std::uint64_t pid) const;

    Report &report_;
    Output &output_;
    bool loaded_ = false;
    int lastNumber_ = 0;  // the last step played
    std::uint32_t carriers_ = 2;
    agent::AgentService service_;
    std::unique_ptr<agent::CallbackResponder> responder_;
    std::shared_ptr<PortAnswerState> answers_;
    std::shared_ptr<VerdictState> verdicts_;
    agent::LocalProxy proxy_;
    bool proxyRunning_ = false;
    agent::RedirectFilters filters_;
    std::vector<std::u16string> probes_;
    std::map<std::string, std::uint64_t> processes_;       // running, by scenario name
    std::vector<std::pair<std::string, std::uint64_t>> startOrder_;
    std::map<std::string, std::unique_ptr<LiveConnection>> connections_;
    std::vector<agent::ProxiedConnection> unclaimed_;       // accepted by the proxy, not yet matched
    bool bfeChanged_ = false;
};

}  // namespace qvr::sim
