/*
 * player.cpp
 *
 * Playing each directive against the loaded driver: the service's requests and the
 * driver's answers (read back from the driver where they change its state), processes,
 * the service's port answers, its proxy and filters, the platform's BFE and clock.
 * Connections are in player_connections.cpp.
 */
#include "player.h"

#include "agent/port_query.h"
#include "agent/records.h"
#include "agent/status_names.h"

#include <ntddk.h>

#include <winsim/driver.h>
#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include "driver/frame/driver_entry.h"
#include "driver/frame/driver_state.h"
#include "driver/policy/process_table.h"
#include "driver/policy/rule_store.h"

#include <qvr_ioctl.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace qvr::sim {

namespace {

constexpr char kService[] = "qvrdrv";
constexpr auto kParkWait = std::chrono::seconds(5);

Json StatusJson(NTSTATUS status)
{
    return Json{{"name", agent::StatusText(status)}, {"value", StatusHex(status)}};
}

std::string StatusLine(NTSTATUS status)
{
    return agent::StatusText(status) + (agent::StatusName(status) != nullptr ? " (" + StatusHex(status) + ")" : "");
}

std::string IdentityWord(winsim::Identity identity)
{
    switch (identity) {
    case winsim::Identity::LocalSystem: return "system";
    case winsim::Identity::Administrator: return "admin";
    case winsim::Identity::User: return "user";
    }
    return "?";
}

// Waits until winsim's clock has moved on by delayMs; false when the service stops first, or
// when a minute of real time beyond the delay has gone by (a clock never advanced).
bool WaitOnClock(std::int64_t delayMs, const std::shared_ptr<std::atomic<bool>> &stopping)
{
    const std::int64_t due = winsim::clock::Now() + delayMs * 10000;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs) + std::chrono::seconds(60);
    while (winsim::clock::Now() < due) {
        if (stopping->load() || std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The service's answer to a port query, as the scenario's port-answer says at the time.
agent::CallbackHandler PortHandler(std::shared_ptr<PortAnswerState> state, std::shared_ptr<std::atomic<bool>> stopping)
{
    return [state, stopping](const agent::CallbackQuestion &question) -> std::optional<agent::CallbackAnswer> {
        PortAnswerKind kind;
        std::uint32_t value;
        std::int64_t delayMs;
        std::uint16_t proxyPort;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            kind = state->kind;
            value = state->value;
            delayMs = state->delayMs;
            proxyPort = state->proxyPort;
        }
        if (!agent::ParsePortQuery(question.payload)) {
            return agent::CallbackAnswer{agent::BuildPortQueryReply(1, 0), false};
        }
        // On winsim's clock; bounded in real time so that a clock never advanced, or a service
        // that stops, does not keep the carrier for ever.
        if (delayMs > 0 && !WaitOnClock(delayMs, stopping)) {
            return std::nullopt;
        }
        switch (kind) {
        case PortAnswerKind::Port: return agent::CallbackAnswer{agent::BuildPortQueryReply(0, static_cast<std::uint16_t>(value)), false};
        case PortAnswerKind::ProxyPort: return agent::CallbackAnswer{agent::BuildPortQueryReply(0, proxyPort), false};
        case PortAnswerKind::Silent: return std::nullopt;
        case PortAnswerKind::Result: return agent::CallbackAnswer{agent::BuildPortQueryReply(value, 0), false};
        case PortAnswerKind::Short: {
            std::vector<std::uint8_t> reply = agent::BuildPortQueryReply(0, proxyPort);
            reply.resize(5);
            return agent::CallbackAnswer{reply, false};
        }
        }
        return std::nullopt;
    };
}

// The service's verdict on a held connection, as the scenario's verdict says at the time.
agent::CallbackHandler VerdictHandlerFor(std::shared_ptr<VerdictState> state, std::shared_ptr<std::atomic<bool>> stopping)
{
    return [state, stopping](const agent::CallbackQuestion &raw) -> std::optional<agent::CallbackAnswer> {
        std::optional<agent::RedirectRecordsQuestion> question = agent::ParseRedirectRecordsQuestion(raw.payload);
        if (!question) {
            return agent::CallbackAnswer{std::vector<std::uint8_t>(1, 0), false};  // the driver takes it as block
        }
        VerdictKind kind;
        agent::VerdictPolicy policy;
        std::int64_t delayMs;
        std::shared_ptr<agent::VerdictLog> log;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            kind = state->kind;
            policy.blocked = state->blocked;
            delayMs = state->delayMs;
            log = state->log;
        }
        const bool block = kind == VerdictKind::Block && (policy.blocked.empty() || agent::PolicyBlocks(policy, *question));
        log->Add(agent::VerdictDecision{*question, block, kind != VerdictKind::Silent});
        if (kind == VerdictKind::Silent || (delayMs > 0 && !WaitOnClock(delayMs, stopping))) {
            return std::nullopt;
        }
        return agent::CallbackAnswer{agent::BuildVerdictReply(block ? 1 : 0), false};
    };
}

std::shared_ptr<std::atomic<bool>> &CarrierStop()
{
    static std::shared_ptr<std::atomic<bool>> stopping = std::make_shared<std::atomic<bool>>(false);
    return stopping;
}

}  // namespace

Player::Player(Report &report, Output &output)
    : report_(report), output_(output), service_(winsim::Identity::LocalSystem), answers_(std::make_shared<PortAnswerState>()),
      verdicts_(std::make_shared<VerdictState>())
{
}

Player::~Player()
{
    CloseConnections();
    StopService();
}

StepReport Player::NewReport(const Step *step, int number, const std::string &directive, const std::string &label)
{
    StepReport report;
    report.number = number;
    report.step = step;
    report.directive = step != nullptr ? step->directive : directive;
    report.line = step != nullptr ? step->line : 0;
    report.label = step != nullptr ? step->label : label;
    if (step != nullptr) {
        report.expected = step->expectedStatus;
    }
    return report;
}

void Player::Emit(StepReport &report)
{
    if (report.status && report.expected && *report.status != *report.expected) {
        report.asExpected = false;
    }
    if (!report.finished) {
        report.asExpected = false;
    }
    report_.steps.push_back(report);
    output_.Step(report_.steps.back());
}

void Player::StartService(StepReport &report)
{
    const NTSTATUS open = service_.Open();
    report.details["service_open"] = StatusJson(open);
    report.lines.push_back("agent: opens " + agent::ControlDeviceWin32Name() + " as LocalSystem -> " + StatusLine(open));
    if (!NT_SUCCESS(open)) {
        report.status = open;
        return;
    }
    SetCarriers(carriers_, report);
}

void Player::StopService()
{
    if (responder_ != nullptr) {
        CarrierStop()->store(true);
        responder_->Stop();
        responder_.reset();
        CarrierStop() = std::make_shared<std::atomic<bool>>(false);
    }
    filters_.Close();
    proxy_.Stop();
    proxyRunning_ = false;
    service_.Close();
}

void Player::SetHandlers()
{
    responder_->SetHandler(agent::kPortQueryType, PortHandler(answers_, CarrierStop()));
    responder_->SetHandler(agent::kRedirectRecordsType, VerdictHandlerFor(verdicts_, CarrierStop()));
}

std::optional<agent::VerdictDecision> Player::VerdictFor(const winsim::network::Endpoint &local) const
{
    std::optional<agent::VerdictDecision> found;
    for (const agent::VerdictDecision &decision : verdicts_->log->Decisions()) {
        // The record names the connection's local port; the family tells IPv4 from IPv6.
        if (decision.question.context && decision.question.context->localPort == local.port &&
            (decision.question.family == 23) == (local.address.family == 23)) {
            found = decision;  // the latest, should a port come round again
        }
    }
    return found;
}

void Player::SetCarriers(std::uint32_t count, StepReport &report)
{
    carriers_ = count;
    if (responder_ != nullptr) {
        CarrierStop()->store(true);
        responder_->Stop();
        responder_.reset();
        CarrierStop() = std::make_shared<std::atomic<bool>>(false);
    }
    std::size_t parked = 0;
    if (count > 0 && service_.IsOpen()) {
        responder_ = std::make_unique<agent::CallbackResponder>(service_.Device(), count);
        SetHandlers();
        responder_->Start();
        responder_->WaitUntilParked(count, kParkWait);
        parked = responder_->Parked();
    }
    report.details["carriers_parked"] = parked;
    report.lines.push_back("agent: keeps " + std::to_string(parked) + " callback requests parked" +
                           (parked < count ? " (of " + std::to_string(count) + " asked for)" : ""));
    if (parked < count) {
        report.finished = false;
    }
}

void Player::LoadStep(const Step *step, int number)
{
    StepReport report = NewReport(step, number, "load", "the driver loads and the service starts");
    const NTSTATUS status = winsim::LoadDriver(DriverEntry, kService);
    report.status = status;
    if (number == 0) {
        report_.firstLoadStatus = status;
    }
    report.details["driver_entry"] = StatusJson(status);
    report.lines.push_back("driver: DriverEntry -> " + StatusLine(status));
    loaded_ = NT_SUCCESS(status) || status == STATUS_IMAGE_ALREADY_LOADED;
    if (NT_SUCCESS(status)) {
        StartService(report);
    }
    Emit(report);
}

void Player::UnloadStep(StepReport &report, bool keepConnections)
{
    if (!keepConnections) {
        CloseConnections();
    }
    StopService();
    // Waits the driver has on a hand-run clock end in real time, or unload would wait on
    // them for ever; the clock is handed back afterwards.
    const bool manual = winsim::clock::IsManual();
    if (manual) {
        winsim::clock::UseReal();
        report.lines.push_back("the clock runs in real time while the driver unloads");
    }
    winsim::DrainWorkItems();
    winsim::UnloadResult unload = winsim::UnloadDriver(kService);
    if (manual) {
        winsim::clock::UseManual();
    }
    loaded_ = false;
    report.status = unload.status;
    report.details["left_behind"] = unload.leftBehind;
    report.lines.push_back("driver: unload -> " + StatusLine(unload.status));
    for (const std::string &item : unload.leftBehind) {
        report.lines.push_back("  left behind: " + item);
    }
    report_.unloads.push_back({unload.status, unload.leftBehind});
    if (keepConnections) {
        // What the unload left of them, once the network has carried on what it completed
        // (a held connection goes on its way), reported; then they close.
        winsim::network::Drain();
        CloseConnections();
    }
}

void Player::UnloadNow(const std::string &why)
{
    if (loaded_) {
        StepReport report = NewReport(nullptr, lastNumber_ + 1, "unload", "the service stops and the driver unloads (" + why + ")");
        UnloadStep(report);
        Emit(report);
    }
}

void Player::Finish(int number)
{
    if (loaded_) {
        StepReport report = NewReport(nullptr, number, "unload", "the service stops and the driver unloads");
        UnloadStep(report);
        Emit(report);
    }
    for (const auto &process : startOrder_) {
        if (processes_.count(process.first) != 0) {
            winsim::processes::End(process.second);
        }
    }
    processes_.clear();
    winsim::network::Reset();
    if (winsim::clock::IsManual()) {
        winsim::clock::UseReal();
    }
    if (bfeChanged_ && winsim::wfp::BfeState() != FWPM_SERVICE_RUNNING) {
        winsim::wfp::StartBfe();
    }
}

void Player::ShowRules(StepReport &report)
{
    if (RuleStore == nullptr) {
        report.details["rules_in_force"] = nullptr;
        report.lines.push_back("driver: no rule store (not loaded)");
        return;
    }
    std::vector<std::string> names;
    BOOLEAN mode;
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(RuleStore->Lock, TRUE);
    mode = RuleStore->Mode;
    PVOID restart = nullptr;
    for (PVOID element = RtlEnumerateGenericTableWithoutSplayingAvl(&RuleStore->Names->Avl, &restart); element != nullptr;
         element = RtlEnumerateGenericTableWithoutSplayingAvl(&RuleStore->Names->Avl, &restart)) {
        const NAME_ENTRY *entry = static_cast<const NAME_ENTRY *>(element);
        names.push_back(Utf8(std::u16string(reinterpret_cast<const char16_t *>(entry->Name.Buffer), entry->Name.Length / 2)));
    }
    ExReleaseResourceLite(RuleStore->Lock);
    KeLeaveCriticalRegion();

    std::string listed;
    for (const std::string &name : names) {
        listed += (listed.empty() ? "" : ", ") + name;
    }
    report.details["rules_in_force"] = Json{{"mode", mode ? "intercept" : "exempt"}, {"names", names}};
    report.lines.push_back("driver: rules in force: " + std::string(mode ? "intercept" : "exempt") + " [" + listed + "]");
    Json probes = Json::array();
    for (const std::u16string &path : probes_) {
        UNICODE_STRING string;
        string.Buffer = const_cast<PWCH>(reinterpret_cast<const WCHAR *>(path.data()));
        string.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        string.MaximumLength = string.Length;
        const bool intercepted = IsImageIntercepted(&string) != FALSE;
        probes.push_back(Json{{"image", Utf8(path)}, {"intercepted", intercepted}});
        report.lines.push_back("policy: " + Utf8(path) + " -> " + (intercepted ? "intercepted" : "left alone"));
    }
    report.details["probes"] = probes;
}

void Player::ShowQuic(StepReport &report)
{
    const std::uint32_t value = static_cast<std::uint32_t>(QuicBlockingEnabled);
    report.details["quic_switch"] = value;
    report.lines.push_back("driver: QUIC switch is " + std::to_string(value) + (value != 0 ? " (blocking)" : " (off)"));
}

std::string Player::ProcessName(std::uint64_t pid) const
{
    for (const auto &process : startOrder_) {
        if (process.second == pid) {
            return process.first;
        }
    }
    return pid == proxy_.ProcessId() && proxyRunning_ ? "proxy" : "";
}

void Player::PlayProcesses(const Step &step, StepReport &report)
{
    switch (step.kind) {
    case StepKind::Start: {
        const std::uint64_t pid = winsim::processes::Start(step.imagePath, step.notify ? winsim::processes::Notify::Yes
                                                                                        : winsim::processes::Notify::No);
        processes_[step.subject] = pid;
        startOrder_.emplace_back(step.subject, pid);
        report.details["pid"] = pid;
        report.lines.push_back("process " + step.subject + ": pid " + std::to_string(pid) +
                               (step.notify ? "" : " (the driver is not told)"));
        break;
    }
    case StepKind::End: {
        const std::uint64_t pid = processes_[step.subject];
        const bool ended = winsim::processes::End(pid, step.notify ? winsim::processes::Notify::Yes
                                                                   : winsim::processes::Notify::No);
        processes_.erase(step.subject);
        report.details["pid"] = pid;
        report.details["ended"] = ended;
        report.lines.push_back("process " + step.subject + " (pid " + std::to_string(pid) + ") " +
                               (ended ? "ended" : "was not running"));
        break;
    }
    default: {
        Json list = Json::array();
        for (const auto &process : startOrder_) {
            if (processes_.count(process.first) == 0) {
                continue;
            }
            BOOLEAN intercept = FALSE;
            (void)QueryProcessIntercept(process.second, &intercept);
            const std::string image = Utf8(winsim::processes::ImagePath(process.second).value_or(u""));
            list.push_back(Json{{"process", process.first}, {"pid", process.second}, {"image", image},
                                {"intercepted", intercept != FALSE}});
            report.lines.push_back("pid " + std::to_string(process.second) + "  " + process.first +
                                   std::string(process.first.size() < 14 ? 14 - process.first.size() : 1, ' ') +
                                   (intercept ? "intercepted    " : "not intercepted") + "  " + image);
        }
        report.details["processes"] = list;
        break;
    }
    }
}

void Player::PlayRules(const Step &step, StepReport &report)
{
    if (step.kind == StepKind::Rules) {
        report.status = service_.SetProcessRules(step.policy);
        ShowRules(report);
    } else if (step.kind == StepKind::Quic) {
        report.status = service_.SendRaw(step.label, IOCTL_QVR_SET_QUIC_BLOCKING, agent::BuildQuicBlockingRecord(step.quicValue));
        ShowQuic(report);
    } else {
        // Shows this probe alone; from now on it is judged with the others.
        std::vector<std::u16string> others = {step.imagePath};
        probes_.swap(others);
        ShowRules(report);
        probes_.swap(others);
        probes_.push_back(step.imagePath);
    }
}

void Player::PlayOpen(const Step &step, StepReport &report)
{
    winsim::OpenResult open = winsim::OpenDevice(agent::ControlDeviceWin32Name(), step.identity,
                                                 step.access.value_or(GENERIC_READ | GENERIC_WRITE));
    report.status = open.status;
    if (open.handle.IsOpen()) {
        char granted[16];
        std::snprintf(granted, sizeof(granted), "0x%08X", static_cast<unsigned>(open.handle.GrantedAccess()));
        report.details["granted_access"] = granted;
        report.lines.push_back("granted access " + std::string(granted));
        winsim::CloseHandle(open.handle);
    }
}

void Player::PlayRaw(const Step &step, StepReport &report)
{
    winsim::Handle handle = service_.Device();
    if (step.ownHandle) {
        winsim::OpenResult open = winsim::OpenDevice(agent::ControlDeviceWin32Name(), step.identity,
                                                     step.access.value_or(GENERIC_READ | GENERIC_WRITE));
        report.details["open"] = StatusJson(open.status);
        report.lines.push_back("opens the device as " + IdentityWord(step.identity) + " -> " + StatusLine(open.status));
        if (!open.handle.IsOpen()) {
            report.status = open.status;
            return;
        }
        handle = open.handle;
    }
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(step.code));
    report.details["code"] = code;
    report.details["input"] = Hex(step.input);
    report.details["output_length"] = step.outputLength;

    winsim::IoResult result;
    if (!handle.IsOpen()) {
        result.status = STATUS_INVALID_HANDLE;
    } else {
        winsim::Overlapped io = winsim::DeviceIoControlOverlapped(handle, step.code, step.input, step.outputLength);
        if (!io.Wait(std::chrono::milliseconds(step.waitMs))) {
            report.lines.push_back("still pending after " + std::to_string(step.waitMs) + " ms: cancelled");
            report.details["cancelled_after_ms"] = step.waitMs;
            winsim::CancelIoEx(handle, &io);
            if (!io.Wait(std::chrono::seconds(5))) {
                report.finished = false;
                report.lines.push_back("the cancelled request did not complete within 5 s");
            }
        }
        result = io.Result();
    }
    if (step.ownHandle) {
        winsim::CloseHandle(handle);
    }
    report.status = result.status;
    report.details["information"] = static_cast<std::uint64_t>(result.information);
    report.details["output"] = Hex(result.output);
    report.lines.push_back("information " + std::to_string(result.information) +
                           (result.output.empty() ? ", no output" : ", output " + Hex(result.output)));
    if (step.code == IOCTL_QVR_SET_PROCESS_RULES) {
        ShowRules(report);
    }
    if (step.code == IOCTL_QVR_SET_QUIC_BLOCKING) {
        ShowQuic(report);
    }
}

void Player::PlayFilter(const Step &step, StepReport &report)
{
    DWORD result = ERROR_SUCCESS;
    if (!filters_.IsOpen()) {
        result = filters_.Open();
    }
    std::vector<std::uint64_t> ids;
    if (result == ERROR_SUCCESS) {
        agent::RedirectFilterOptions options;
        options.remotePort = step.remotePort;
        options.weight = step.weight;
        options.holdForVerdict = step.holdForVerdict;
        if (step.blob) {
            result = filters_.AddRawBlob(*step.blob, options, &ids);
        } else {
            agent::RedirectTarget target;
            target.port = step.askForPort ? 0 : step.port != 0 ? step.port : proxy_.Port();
            target.processId = step.targetIsProxy ? proxy_.ProcessId() : step.targetPid;
            target.askAgentForPort = step.askForPort;
            result = filters_.AddTarget(target, options, &ids);
            report.details["blob"] = Hex(agent::BuildRedirectTargetBlob(target));
        }
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(result));
    report.details["result"] = text;
    report.details["filter_ids"] = ids;
    report.lines.push_back("agent: filters at connect-redirect (IPv4, IPv6) -> " +
                           (result == ERROR_SUCCESS ? std::string("added") : "refused " + std::string(text)));
    if (result != ERROR_SUCCESS) {
        report.asExpected = false;
    }
}

void Player::PlayWorld(const Step &step, StepReport &report)
{
    switch (step.kind) {
    case StepKind::Carriers:
        SetCarriers(step.count, report);
        break;
    case StepKind::Verdict: {
        std::lock_guard<std::mutex> guard(verdicts_->lock);
        verdicts_->kind = step.verdict;
        verdicts_->blocked.clear();
        for (const std::string &destination : step.verdictBlocked) {
            verdicts_->blocked.push_back(winsim::network::Endpoint::Parse(destination));
        }
        verdicts_->delayMs = step.delayMs;
        break;
    }
    case StepKind::PortAnswer: {
        std::lock_guard<std::mutex> guard(answers_->lock);
        answers_->kind = step.answer;
        answers_->value = step.answerValue;
        answers_->delayMs = step.delayMs;
        break;
    }
    case StepKind::Proxy: {
        const bool started = step.imagePath.empty() ? proxy_.Start(step.port) : proxy_.Start(step.port, step.imagePath);
        proxyRunning_ = started;
        {
            std::lock_guard<std::mutex> guard(answers_->lock);
            answers_->proxyPort = step.port;
        }
        report.details["listening"] = started;
        report.details["pid"] = started ? proxy_.ProcessId() : 0;
        report.lines.push_back(started ? "agent: proxy (pid " + std::to_string(proxy_.ProcessId()) + ") listens on port " +
                                             std::to_string(step.port)
                                       : "agent: the proxy cannot listen on port " + std::to_string(step.port));
        if (!started) {
            report.asExpected = false;
        }
        break;
    }
    case StepKind::Addresses:
        winsim::network::SetHostAddresses(winsim::network::Address::Parse(step.address4),
                                          winsim::network::Address::Parse(step.address6));
        break;
    case StepKind::Bfe: {
        bfeChanged_ = true;
        if (step.bfe == "stop") {
            winsim::wfp::StopBfe();
        } else if (step.bfe == "start") {
            winsim::wfp::StartBfe();
        } else {
            winsim::wfp::SetBfeState(step.bfe == "stopped"         ? FWPM_SERVICE_STOPPED
                                     : step.bfe == "start-pending" ? FWPM_SERVICE_START_PENDING
                                     : step.bfe == "running"       ? FWPM_SERVICE_RUNNING
                                                                   : FWPM_SERVICE_STOP_PENDING);
        }
        const FWPM_SERVICE_STATE state = winsim::wfp::BfeState();
        if (state == FWPM_SERVICE_STOPPED) {
            filters_.Close();  // the engine ended the service's dynamic session with its filters
        }
        const char *names[] = {"stopped", "start-pending", "stop-pending", "running"};
        const std::string name = static_cast<unsigned>(state) < 4 ? names[state] : "?";
        report.details["bfe_state"] = name;
        report.details["callouts_registered"] = winsim::wfp::RegisteredCallouts().size();
        report.lines.push_back("BFE is " + name + "; the driver has " +
                               std::to_string(winsim::wfp::RegisteredCallouts().size()) + " callouts registered");
        break;
    }
    case StepKind::Clock:
        if (step.manualClock) {
            winsim::clock::UseManual();
        } else {
            winsim::clock::UseReal();
        }
        break;
    case StepKind::Unload:
        UnloadStep(report, step.keepConnections);
        break;
    case StepKind::Trace:
        output_.Trace(step.trace);
        break;
    default:
        break;
    }
}

void Player::Play(const Step &step, int number)
{
    lastNumber_ = number;
    if (step.kind == StepKind::Load) {
        LoadStep(&step, number);
        return;
    }
    StepReport report = NewReport(&step, number, step.directive, step.label);
    switch (step.kind) {
    case StepKind::Start:
    case StepKind::End:
    case StepKind::Processes: PlayProcesses(step, report); break;
    case StepKind::Rules:
    case StepKind::Quic:
    case StepKind::Probe: PlayRules(step, report); break;
    case StepKind::Open: PlayOpen(step, report); break;
    case StepKind::Raw: PlayRaw(step, report); break;
    case StepKind::Filter: PlayFilter(step, report); break;
    case StepKind::Connect: PlayConnect(step, report); break;
    case StepKind::Onward: PlayOnward(step, report); break;
    case StepKind::Close: {
        auto found = connections_.find(step.subject);
        if (found != connections_.end()) {
            if (!found->second->reported) {
                ReportConnection(*found->second);
            }
            found->second->connection.Close();
            connections_.erase(found);
        }
        break;
    }
    case StepKind::Advance: PlayAdvance(step, report); break;
    case StepKind::Settle: PlaySettle(step, report); break;
    case StepKind::Held: PlayHeld(report); break;
    default: PlayWorld(step, report); break;
    }
    // Connections that settled in this step are reported after it.
    Emit(report);
    if (step.kind == StepKind::Connect || step.kind == StepKind::Onward || step.kind == StepKind::Advance ||
        step.kind == StepKind::Settle) {
        for (auto &entry : connections_) {
            LiveConnection &live = *entry.second;
            if (!live.reported && live.connection.State() != winsim::network::Outcome::Pending) {
                ReportConnection(live);
            }
        }
    }
}

void Player::PlayHeld(StepReport &report)
{
    std::ostringstream text;
    const std::size_t first = report_.heldViews.size();
    const std::size_t firstDiscard = report_.discards.size();
    const NTSTATUS status = RunHeldScenario(service_, responder_.get(), text, &report_.heldViews, &report_.discards,
                                            output_.Session());
    if (responder_ != nullptr) {
        SetHandlers();  // the section used its own
    }
    report.status = status;
    if (!NT_SUCCESS(status)) {
        report.asExpected = false;  // a set-up step failed
    }
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            report.lines.push_back(line);
        }
    }
    Json connections = Json::array();
    for (std::size_t i = first; i < report_.heldViews.size(); ++i) {
        const HeldView &view = report_.heldViews[i];
        Json verdict = nullptr;
        if (view.verdict) {
            const agent::RedirectRecordsQuestion &question = view.verdict->question;
            verdict = Json{{"block", view.verdict->block},
                           {"records_bytes", question.records.size()},
                           {"family", question.family},
                           {"proxy_port", question.remotePort}};
            if (question.context) {
                verdict["requested"] = question.context->requested.ToString();
                verdict["pid"] = question.context->processId;
            }
        }
        connections.push_back(Json{{"label", view.label},
                                   {"outcome", winsim::network::OutcomeName(view.outcome)},
                                   {"verdict", verdict}});
    }
    report.details["held"] = connections;
    report.details["discards"] =
        std::vector<std::string>(report_.discards.begin() + static_cast<std::ptrdiff_t>(firstDiscard), report_.discards.end());
    ShowQuic(report);
}

}  // namespace qvr::sim
