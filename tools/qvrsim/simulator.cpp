/*
 * simulator.cpp
 *
 * A run from start to verdict: the implicit load, each step under a deadline (a watchdog
 * abandons the run, with a message, if one never returns), the implicit unload, the
 * verifier's verdict; and the two ways of writing it, readable text and JSON lines.
 */
#include "simulator.h"

#include "player.h"

#include <winsim/trace_session.h>
#include <winsim/verifier.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qvr::sim {

namespace {

// Ends the process when a step overruns its deadline: the one wait that has no deadline of
// its own (a driver that never gives a request back at unload, say) cannot hang the run.
class Watchdog {
public:
    explicit Watchdog(Output &output) : output_(output), thread_([this] { Run(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Arm(std::chrono::milliseconds limit, std::string what)
    {
        std::lock_guard<std::mutex> guard(lock_);
        deadline_ = std::chrono::steady_clock::now() + limit;
        what_ = std::move(what) + " did not finish within " + std::to_string(limit.count() / 1000) + " s";
        armed_ = true;
        changed_.notify_all();
    }
    void Disarm()
    {
        std::lock_guard<std::mutex> guard(lock_);
        armed_ = false;
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        while (!done_) {
            if (!armed_) {
                changed_.wait(guard);
                continue;
            }
            if (changed_.wait_until(guard, deadline_) == std::cv_status::timeout && armed_ && !done_ &&
                std::chrono::steady_clock::now() >= deadline_) {
                output_.Stuck(what_);
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
    }

    Output &output_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool done_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::string what_;
    std::thread thread_;
};

std::string Dump(const Json &json)
{
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json StatusObject(const std::optional<NTSTATUS> &status)
{
    if (!status) {
        return nullptr;
    }
    return Json{{"name", agent::StatusText(*status)}, {"value", StatusHex(*status)}};
}

class Text : public Output {
public:
    explicit Text(std::ostream &out) : out_(out) {}
    void Begin(const Scenario &scenario) override
    {
        out_ << "scenario: " << scenario.name << " (" << scenario.source << ", " << scenario.steps.size() << " steps)\n";
        out_.flush();
    }
    void Step(const StepReport &step) override
    {
        out_ << "step " << step.number;
        if (step.line > 0) {
            out_ << " (line " << step.line << ")";
        }
        out_ << ": " << step.label;
        if (step.status) {
            out_ << " -> " << agent::StatusText(*step.status) << " (" << StatusHex(*step.status) << ")";
        }
        if (!step.finished) {
            out_ << "  COULD NOT FINISH";
        }
        if (step.status && step.expected && *step.status != *step.expected) {
            out_ << "  UNEXPECTED: the scenario expects " << agent::StatusText(*step.expected);
        } else if (!step.asExpected && step.finished) {
            out_ << "  UNEXPECTED";
        }
        out_ << "\n";
        for (const std::string &line : step.lines) {
            out_ << "      " << line << "\n";
        }
        out_.flush();
    }
    void Connection(const ConnectionReport &connection) override
    {
        out_ << "  connection " << connection.name << ": " << connection.label << "\n";
        for (const std::string &line : connection.lines) {
            out_ << "    " << line << "\n";
        }
        out_.flush();
    }
    void End(const Report &report) override
    {
        if (report.Clean()) {
            out_ << "verifier: clean\n";
        } else {
            out_ << "verifier: NOT CLEAN\n";
            if (!NT_SUCCESS(report.firstLoadStatus)) {
                out_ << "  the driver did not start: " << agent::StatusText(report.firstLoadStatus) << "\n";
            }
            for (const UnloadReport &unload : report.unloads) {
                if (!NT_SUCCESS(unload.status)) {
                    out_ << "  unload: " << agent::StatusText(unload.status) << "\n";
                }
                for (const std::string &item : unload.leftBehind) {
                    out_ << "  left behind: " << item << "\n";
                }
            }
            for (const std::string &violation : report.violations) {
                out_ << "  violation: " << violation << "\n";
            }
        }
        const int code = report.ExitCode();
        view_.reset();  // what is left is printed before the result
        out_ << "result: exit " << code
             << (code == 0   ? " (clean, every answer as expected)"
                 : code == 1 ? " (the verifier's verdict is not clean)"
                             : " (clean, but an answer differed from the scenario's expectation or a step could not finish)")
             << "\n";
        out_.flush();
    }
    void Stuck(const std::string &what) override
    {
        out_ << "STUCK: " << what << "; the run is abandoned (exit 1)\n";
        out_.flush();
    }
    void Trace(const TraceSettings &settings) override
    {
        if (view_) {
            view_->Change(settings);
        } else {
            view_.emplace(out_, settings);
        }
    }
    winsim::TraceSession *Session() override { return view_ ? &view_->Session() : nullptr; }
    std::vector<winsim::TraceRecord> Heard() override
    {
        if (!view_) {
            return {};
        }
        view_->Flush();
        return view_->Heard();
    }

private:
    std::ostream &out_;
    std::optional<TraceView> view_;
};

class JsonLines : public Output {
public:
    explicit JsonLines(std::ostream &out) : out_(out) {}
    void Begin(const Scenario &scenario) override
    {
        Write(Json{{"kind", "scenario"}, {"name", scenario.name}, {"source", scenario.source}, {"steps", scenario.steps.size()}});
    }
    void Step(const StepReport &step) override
    {
        Json json{{"kind", "step"},
                   {"number", step.number},
                   {"line", step.line},
                   {"directive", step.directive},
                   {"label", step.label},
                   {"status", StatusObject(step.status)},
                   {"expected", StatusObject(step.expected)},
                   {"finished", step.finished},
                   {"as_expected", step.asExpected},
                   {"details", step.details}};
        if (session_ != nullptr) {
            json["trace"] = TakeTrace();
        }
        Write(json);
    }
    void Connection(const ConnectionReport &connection) override
    {
        Json json{{"kind", "connection"}, {"name", connection.name}, {"step", connection.step}, {"label", connection.label}};
        for (auto it = connection.details.begin(); it != connection.details.end(); ++it) {
            json[it.key()] = it.value();
        }
        json["as_expected"] = connection.asExpected;
        Write(json);
    }
    void End(const Report &report) override
    {
        Json unloads = Json::array();
        for (const UnloadReport &unload : report.unloads) {
            unloads.push_back(Json{{"status", StatusObject(unload.status)}, {"left_behind", unload.leftBehind}});
        }
        Write(Json{{"kind", "verdict"},
                   {"clean", report.Clean()},
                   {"as_expected", report.AllAsExpected()},
                   {"driver_entry", StatusObject(report.firstLoadStatus)},
                   {"unloads", unloads},
                   {"violations", report.violations},
                   {"exit_code", report.ExitCode()}});
    }
    void Stuck(const std::string &what) override
    {
        Write(Json{{"kind", "stuck"}, {"what", what}, {"exit_code", 1}});
    }
    void Trace(const TraceSettings &settings) override
    {
        if (session_ == nullptr) {
            session_ = std::make_unique<winsim::TraceSession>(kDriverTraceProvider, settings.flags, settings.level);
        }
        if (settings.flags == 0) {
            session_->Disable();
        } else {
            session_->Enable(settings.flags, settings.level);
        }
    }
    winsim::TraceSession *Session() override { return session_.get(); }
    std::vector<winsim::TraceRecord> Heard() override { return heard_; }

private:
    // The records heard since the step before, as a consumer formats them.
    Json TakeTrace()
    {
        Json records = Json::array();
        for (winsim::TraceRecord &record : session_->TakeRecords()) {
            records.push_back(Json{{"flag", record.flagName},
                                   {"level", record.level},
                                   {"function", record.function},
                                   {"message", record.message},
                                   {"line", winsim::FormatTraceRecord(record, "qvrdrv")}});
            heard_.push_back(std::move(record));
        }
        return records;
    }
    std::unique_ptr<winsim::TraceSession> session_;
    std::vector<winsim::TraceRecord> heard_;
    void Write(const Json &json)
    {
        out_ << Dump(json) << "\n";
        out_.flush();
    }
    std::ostream &out_;
};

std::chrono::milliseconds Deadline(const Step &step)
{
    return std::chrono::milliseconds(60000 + step.waitMs + step.delayMs);
}

}  // namespace

std::unique_ptr<Output> TextOutput(std::ostream &out) { return std::make_unique<Text>(out); }
std::unique_ptr<Output> JsonOutput(std::ostream &out) { return std::make_unique<JsonLines>(out); }

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Hex(const std::vector<std::uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::string StatusHex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

bool Report::Clean() const
{
    if (!NT_SUCCESS(firstLoadStatus) || !violations.empty()) {
        return false;
    }
    for (const UnloadReport &unload : unloads) {
        if (!NT_SUCCESS(unload.status) || !unload.leftBehind.empty()) {
            return false;
        }
    }
    return true;
}

bool Report::AllAsExpected() const
{
    for (const StepReport &step : steps) {
        if (!step.asExpected) {
            return false;
        }
    }
    for (const ConnectionReport &connection : connections) {
        if (!connection.asExpected) {
            return false;
        }
    }
    return true;
}

int Report::ExitCode() const
{
    if (!Clean()) {
        return 1;
    }
    return AllAsExpected() ? 0 : 3;
}

Report RunScenario(const Scenario &scenario, Output &output, bool collectViolations,
                   const std::optional<TraceSettings> &trace,
                   const std::function<void(Player &, Report &)> &beforeUnload)
{
    Report report;
    std::mutex violationsLock;
    if (collectViolations) {
        winsim::SetViolationHandler([&](const winsim::Violation &violation) {
            std::lock_guard<std::mutex> guard(violationsLock);
            report.violations.push_back(violation.call + ": " + violation.message);
        });
    }
    output.Begin(scenario);
    if (trace || HasTraceSteps(scenario)) {
        output.Trace(trace.value_or(TraceSettings{0, 0}));
    }
    {
        Watchdog watchdog(output);
        Player player(report, output);
        watchdog.Arm(std::chrono::seconds(60), "step 0 (the driver loads)");
        player.LoadStep(nullptr, 0);
        int number = 0;
        if (NT_SUCCESS(report.firstLoadStatus)) {
            for (const Step &step : scenario.steps) {
                ++number;
                watchdog.Arm(Deadline(step), "step " + std::to_string(number) + " (line " + std::to_string(step.line) +
                                                 ": " + step.label + ")");
                player.Play(step, number);
            }
        }
        if (beforeUnload && NT_SUCCESS(report.firstLoadStatus)) {
            watchdog.Disarm();
            beforeUnload(player, report);
        }
        watchdog.Arm(std::chrono::seconds(120), "the last unload");
        player.Finish(number + 1);
        watchdog.Disarm();
    }
    if (collectViolations) {
        winsim::SetViolationHandler(nullptr);
    }
    report.trace = output.Heard();
    output.End(report);
    return report;
}

Report RunScenario(const Scenario &scenario, std::ostream &out, bool collectViolations,
                   const std::optional<TraceSettings> &trace)
{
    std::unique_ptr<Output> text = TextOutput(out);
    return RunScenario(scenario, *text, collectViolations, trace);
}

}  // namespace qvr::sim
