/*
 * simulator.cpp
 *
 * Plays a scenario against the real driver in winsim: load, the service's steps with the
 * driver's answers, the policy's verdict on the scenario's image paths, unload, and the
 * verifier's verdict.
 */
#include "simulator.h"

#include "agent/agent.h"
#include "agent/service.h"

#include <ntddk.h>

#include <winsim/driver.h>
#include <winsim/verifier.h>

#include "driver/frame/driver_entry.h"
#include "driver/frame/driver_state.h"
#include "driver/policy/rule_store.h"

#include <qvr_ioctl.h>

#include <mutex>
#include <optional>

namespace qvr::sim {

namespace {

constexpr char kService[] = "qvrdrv";
// IOCTL_QVR_CALLBACK requests the service keeps parked for the driver's questions.
constexpr std::size_t kCallbackCarriers = 2;

const char *IdentityName(winsim::Identity identity)
{
    switch (identity) {
    case winsim::Identity::LocalSystem: return "LocalSystem";
    case winsim::Identity::Administrator: return "an administrator";
    case winsim::Identity::User: return "an ordinary user";
    }
    return "?";
}

// The rule store's verdict, as the process table will ask it for each process it enters.
std::vector<ProbeOutcome> Probe(const std::vector<std::u16string> &paths, bool show, std::ostream &out)
{
    std::vector<ProbeOutcome> outcomes;
    for (const std::u16string &path : paths) {
        UNICODE_STRING string;
        string.Buffer = const_cast<PWCH>(path.data());
        string.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        string.MaximumLength = string.Length;
        const bool intercepted = IsImageIntercepted(&string) != FALSE;
        outcomes.push_back({path, intercepted});
        if (!show) {
            continue;
        }
        out << "      policy: " << Utf8(path) << " -> " << (intercepted ? "intercepted" : "left alone") << "\n";
    }
    return outcomes;
}

NTSTATUS PlayStep(const Step &step, agent::AgentService &service, TraceView *trace)
{
    switch (step.kind) {
    case StepKind::Trace:
        if (trace != nullptr) {
            trace->Change(step.trace);
        }
        return STATUS_SUCCESS;
    case StepKind::Open: {
        winsim::OpenResult open = winsim::OpenDevice(agent::ControlDeviceWin32Name(), step.identity);
        if (open.handle.IsOpen()) {
            winsim::CloseHandle(open.handle);
        }
        return open.status;
    }
    case StepKind::Rules:
        return service.SetProcessRules(step.policy);
    case StepKind::Quic:
        return service.SetQuicBlocking(step.quic);
    case StepKind::RawControl:
        return service.SendRaw(step.description, step.code, step.input);
    }
    return STATUS_NOT_SUPPORTED;
}

}  // namespace

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Report::AllAsExpected() const
{
    for (const StepOutcome &step : steps) {
        if (!step.AsExpected()) {
            return false;
        }
    }
    return NT_SUCCESS(openStatus) && NT_SUCCESS(processStatus);
}

Report RunScenario(const Scenario &scenario, std::ostream &out, bool collectViolations,
                   const std::optional<TraceSettings> &trace)
{
    Report report;
    std::optional<TraceView> traceView;
    if (trace || HasTraceSteps(scenario)) {
        traceView.emplace(out, trace.value_or(TraceSettings{0, 0}));
    }
    std::mutex violationsLock;
    if (collectViolations) {
        winsim::SetViolationHandler([&](const winsim::Violation &violation) {
            std::lock_guard<std::mutex> guard(violationsLock);
            report.violations.push_back(violation.call + ": " + violation.message);
        });
    }

    out << "scenario: " << scenario.name << "\n";
    report.loadStatus = winsim::LoadDriver(DriverEntry, kService);
    out << "driver: DriverEntry -> " << agent::StatusText(report.loadStatus) << "\n";
    if (NT_SUCCESS(report.loadStatus)) {
        agent::Agent agentModel(winsim::Identity::LocalSystem);
        agent::AgentOptions options;
        options.callbackCarriers = kCallbackCarriers;
        report.openStatus = agentModel.Start(options);
        agent::AgentService &service = agentModel.Service();
        out << "agent: opens " << agent::ControlDeviceWin32Name() << " as LocalSystem and parks "
            << kCallbackCarriers << " callback carriers -> " << agent::StatusText(report.openStatus) << "\n";
        for (std::size_t i = 0; i < scenario.steps.size() && NT_SUCCESS(report.openStatus); ++i) {
            const Step &step = scenario.steps[i];
            const NTSTATUS status = PlayStep(step, service, traceView ? &*traceView : nullptr);
            StepOutcome outcome{step.description, status, step.expected};
            if (step.kind == StepKind::Trace) {
                report.steps.push_back(outcome);
                out << "step " << (i + 1) << ": " << step.description << "\n";
                continue;
            }
            out << "step " << (i + 1) << ": " << step.description << " -> "
                << (NT_SUCCESS(status) ? "accepted" : "refused") << " (" << agent::StatusText(status) << ")";
            if (!outcome.AsExpected()) {
                out << "  UNEXPECTED: the scenario expects " << agent::StatusText(*step.expected);
            }
            out << "\n";
            report.steps.push_back(outcome);
            if (step.kind == StepKind::Rules || (step.kind == StepKind::RawControl && step.code == IOCTL_QVR_SET_PROCESS_RULES)) {
                if (!NT_SUCCESS(status)) {
                    out << "      policy: the rules in force stay as they were\n";
                }
                report.probes.push_back(Probe(scenario.probes, NT_SUCCESS(status), out));
            }
            if (step.kind == StepKind::Quic || (step.kind == StepKind::RawControl && step.code == IOCTL_QVR_SET_QUIC_BLOCKING)) {
                out << "      driver: QUIC blocking is " << (QuicBlockingEnabled != 0 ? "on" : "off") << "\n";
            }
        }
        if (scenario.processes && NT_SUCCESS(report.openStatus)) {
            report.processStatus = RunProcessPolicyScenario(service, out, &report.processViews);
        }
        if (scenario.connections && NT_SUCCESS(report.openStatus)) {
            report.connectionStatus = RunRedirectScenario(agentModel, out, &report.connectionViews);
        }
        if (scenario.held && NT_SUCCESS(report.openStatus)) {
            report.heldStatus = RunHeldScenario(agentModel, out, &report.heldViews, &report.discards);
        }
        agentModel.Stop();
        winsim::UnloadResult unload = winsim::UnloadDriver(kService);
        report.unloadStatus = unload.status;
        report.leftBehind = unload.leftBehind;
        out << "driver: unload -> " << agent::StatusText(unload.status) << "\n";
    }

    if (collectViolations) {
        winsim::SetViolationHandler(nullptr);
    }
    if (traceView) {
        traceView->Flush();
        report.trace = traceView->Heard();
    }
    if (report.Clean()) {
        out << "verifier: clean\n";
    } else {
        out << "verifier: NOT CLEAN\n";
        for (const std::string &item : report.leftBehind) {
            out << "  left behind: " << item << "\n";
        }
        for (const std::string &violation : report.violations) {
            out << "  violation: " << violation << "\n";
        }
    }
    return report;
}

}  // namespace qvr::sim
