/*
 * scenario.cpp
 *
 * The embedded default scenario and the scenario-file reader.
 */
#include "scenario.h"

#include "agent/service.h"

#include <qvr_ioctl.h>

#include <fstream>
#include <sstream>

namespace qvr::sim {

namespace {

Step RulesStep(std::string description, bool interceptListed, std::vector<std::u16string> names,
               NTSTATUS expected)
{
    Step step;
    step.kind = StepKind::Rules;
    step.description = std::move(description);
    step.policy.interceptListed = interceptListed;
    step.policy.names = std::move(names);
    step.expected = expected;
    return step;
}

Step QuicStep(std::string description, bool on, NTSTATUS expected)
{
    Step step;
    step.kind = StepKind::Quic;
    step.description = std::move(description);
    step.quic = on;
    step.expected = expected;
    return step;
}

Step RawStep(std::string description, ULONG code, std::vector<std::uint8_t> input, NTSTATUS expected)
{
    Step step;
    step.kind = StepKind::RawControl;
    step.description = std::move(description);
    step.code = code;
    step.input = std::move(input);
    step.expected = expected;
    return step;
}

Step OpenStep(std::string description, winsim::Identity identity, NTSTATUS expected)
{
    Step step;
    step.kind = StepKind::Open;
    step.description = std::move(description);
    step.identity = identity;
    step.expected = expected;
    return step;
}

std::string Trim(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::u16string Utf16(const std::string &text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = c;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

// Splits "... expect STATUS" off the end of a directive's words.
bool TakeExpectation(std::vector<std::string> &words, Step &step, std::string *error)
{
    if (words.size() >= 2 && words[words.size() - 2] == "expect") {
        step.expected = ParseStatus(words.back());
        if (!step.expected) {
            *error = "unknown status " + words.back();
            return false;
        }
        words.resize(words.size() - 2);
    }
    return true;
}

std::optional<ULONG> ParseCode(const std::string &word)
{
    if (word == "rules") return IOCTL_QVR_SET_PROCESS_RULES;
    if (word == "quic") return IOCTL_QVR_SET_QUIC_BLOCKING;
    if (word == "callback") return IOCTL_QVR_CALLBACK;
    try {
        return static_cast<ULONG>(std::stoul(word, nullptr, 16));
    } catch (...) {
        return std::nullopt;
    }
}

bool ParseDirective(const std::string &line, Scenario &scenario, std::string *error)
{
    std::istringstream stream(line);
    std::string keyword;
    stream >> keyword;
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    Step step;
    if (keyword == "name") {
        scenario.name = Trim(line.substr(4));
        return true;
    }
    if (keyword == "processes" && words.empty()) {
        scenario.processes = true;
        return true;
    }
    if (keyword == "connections" && words.empty()) {
        scenario.connections = true;
        return true;
    }
    if (keyword == "held" && words.empty()) {
        scenario.held = true;
        return true;
    }
    if (keyword == "probe") {
        scenario.probes.push_back(Utf16(Trim(line.substr(5))));
        return true;
    }
    if (keyword == "trace" && words.size() == 1) {
        std::optional<TraceSettings> settings = ParseTraceSettings(words[0]);
        if (!settings) {
            *error = "trace takes FLAGS[,LEVEL] or off";
            return false;
        }
        step.kind = StepKind::Trace;
        step.trace = *settings;
        step.description = "the trace session changes to " + DescribeTraceSettings(*settings);
        scenario.steps.push_back(std::move(step));
        return true;
    }
    if (!TakeExpectation(words, step, error)) {
        return false;
    }
    if (keyword == "open" && words.size() == 1) {
        step.kind = StepKind::Open;
        const std::string &who = words[0];
        if (who != "system" && who != "admin" && who != "user") {
            *error = "open takes system, admin or user";
            return false;
        }
        step.identity = who == "system" ? winsim::Identity::LocalSystem
                        : who == "admin" ? winsim::Identity::Administrator
                                         : winsim::Identity::User;
        step.description = "a caller running as " + who + " opens the control device";
    } else if (keyword == "rules" && !words.empty() && (words[0] == "intercept" || words[0] == "exempt")) {
        step.kind = StepKind::Rules;
        step.policy.interceptListed = words[0] == "intercept";
        std::string listed;
        for (std::size_t i = 1; i < words.size(); ++i) {
            step.policy.names.push_back(Utf16(words[i]));
            listed += (i > 1 ? ", " : "") + words[i];
        }
        step.description = "rules: " + words[0] + " [" + listed + "]";
    } else if (keyword == "quic" && words.size() == 1 && (words[0] == "on" || words[0] == "off")) {
        step.kind = StepKind::Quic;
        step.quic = words[0] == "on";
        step.description = "QUIC blocking " + words[0];
    } else if (keyword == "raw" && words.size() >= 1) {
        step.kind = StepKind::RawControl;
        std::optional<ULONG> code = ParseCode(words[0]);
        if (!code) {
            *error = "raw needs rules, quic, callback or a hex control code";
            return false;
        }
        step.code = *code;
        for (std::size_t i = 1; i < words.size(); ++i) {
            for (std::size_t k = 0; k + 1 < words[i].size() + 1; k += 2) {
                try {
                    step.input.push_back(static_cast<std::uint8_t>(std::stoul(words[i].substr(k, 2), nullptr, 16)));
                } catch (...) {
                    *error = "bad hex bytes " + words[i];
                    return false;
                }
            }
        }
        step.description = "raw " + words[0] + " request of " + std::to_string(step.input.size()) + " bytes";
    } else {
        *error = "unknown directive: " + line;
        return false;
    }
    scenario.steps.push_back(std::move(step));
    return true;
}

}  // namespace

std::optional<NTSTATUS> ParseStatus(const std::string &text)
{
    const NTSTATUS known[] = {STATUS_SUCCESS,          STATUS_UNSUCCESSFUL,      STATUS_INVALID_PARAMETER,
                              STATUS_NO_MEMORY,        STATUS_ACCESS_DENIED,     STATUS_BUFFER_TOO_SMALL,
                              STATUS_INSUFFICIENT_RESOURCES, STATUS_NOT_SUPPORTED, STATUS_NOT_FOUND,
                              STATUS_OBJECT_NAME_NOT_FOUND, STATUS_CANCELLED};
    for (NTSTATUS status : known) {
        if (agent::StatusText(status) == text) {
            return status;
        }
    }
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 16);
        if (used == text.size()) {
            return static_cast<NTSTATUS>(value);
        }
    } catch (...) {
    }
    return std::nullopt;
}

bool HasTraceSteps(const Scenario &scenario)
{
    for (const Step &step : scenario.steps) {
        if (step.kind == StepKind::Trace) {
            return true;
        }
    }
    return false;
}

Scenario DefaultScenario()
{
    Scenario s;
    s.name = "default: the service configures the driver, then sends what a faulty service might";
    s.probes = {
        u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe",
        u"\\Device\\HarddiskVolume2\\Program Files\\OtherBrowser\\OTHERBROWSER.EXE",
        u"\\Device\\HarddiskVolume2\\Windows\\System32\\svchost.exe",
        u"\\Device\\HarddiskVolume2\\Windows\\System32\\",
    };
    s.steps.push_back(OpenStep("an ordinary user opens the control device", winsim::Identity::User,
                               STATUS_ACCESS_DENIED));
    s.steps.push_back(OpenStep("an administrator opens the control device", winsim::Identity::Administrator,
                               STATUS_SUCCESS));
    s.steps.push_back(RulesStep("rules: intercept [webbrowser.exe, otherbrowser.exe, thirdbrowser.exe]", true,
                                {u"webbrowser.exe", u"otherbrowser.exe", u"thirdbrowser.exe"}, STATUS_SUCCESS));
    s.steps.push_back(QuicStep("QUIC blocking on", true, STATUS_SUCCESS));
    s.steps.push_back(RulesStep("rules listing one name twice: intercept [WebBrowser.exe, WEBBROWSER.EXE]", true,
                                {u"WebBrowser.exe", u"WEBBROWSER.EXE"}, STATUS_UNSUCCESSFUL));
    agent::ProcessPolicy one;
    one.names = {u"a.exe"};
    std::vector<std::uint8_t> shortRecord = agent::BuildProcessRulesRecord(one);
    shortRecord.resize(10);
    s.steps.push_back(RawStep("a rules record of 10 bytes", IOCTL_QVR_SET_PROCESS_RULES, shortRecord,
                              STATUS_BUFFER_TOO_SMALL));
    std::vector<std::uint8_t> unterminated = agent::BuildProcessRulesRecord(one);
    unterminated.resize(unterminated.size() - 2);
    unterminated[0] = static_cast<std::uint8_t>(unterminated.size());
    s.steps.push_back(RawStep("a rules record whose last name has no terminator", IOCTL_QVR_SET_PROCESS_RULES,
                              unterminated, STATUS_INVALID_PARAMETER));
    std::vector<std::uint8_t> wrongType = agent::BuildQuicBlockingRecord(1);
    wrongType[4] = QVR_RECORD_TYPE_PROCESS_RULES;
    s.steps.push_back(RawStep("a QUIC record carrying the rules type", IOCTL_QVR_SET_QUIC_BLOCKING, wrongType,
                              STATUS_INVALID_PARAMETER));
    s.steps.push_back(RawStep("an unknown control code", CTL_CODE(QVR_DEVICE_TYPE, 0x8FF, METHOD_BUFFERED, 0),
                              {}, STATUS_INVALID_PARAMETER));
    s.steps.push_back(QuicStep("QUIC blocking off", false, STATUS_SUCCESS));
    s.steps.push_back(RulesStep("rules: exempt [svchost.exe]", false, {u"svchost.exe"}, STATUS_SUCCESS));
    s.processes = true;
    s.connections = true;
    s.held = true;
    return s;
}

std::optional<Scenario> LoadScenarioFile(const std::string &path, std::string *error)
{
    std::ifstream file(path);
    if (!file) {
        *error = path + ": cannot open";
        return std::nullopt;
    }
    Scenario scenario;
    scenario.name = path;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string text = Trim(line.substr(0, line.find('#')));
        if (text.empty()) {
            continue;
        }
        std::string why;
        if (!ParseDirective(text, scenario, &why)) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
    }
    return scenario;
}

}  // namespace qvr::sim
