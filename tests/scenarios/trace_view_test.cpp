// The simulator's trace view: the driver's trace printed before the line that follows it, as
// a trace consumer prints it, under the settings of --trace and of the scenario's trace
// directives; and what those settings accept.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"
#include "trace_view.h"

#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Index of the first line that contains `text` at or after `from`; lines.size() if none.
std::size_t Find(const std::vector<std::string> &lines, const std::string &text, std::size_t from = 0)
{
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return i;
        }
    }
    return lines.size();
}

TEST(TraceViewTest, DriverTraceComesBeforeTheStepItBelongsTo)
{
    std::ostringstream out;
    const qvr::sim::Report report =
        qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false, qvr::sim::TraceSettings{0x3, TRACE_LEVEL_VERBOSE});
    ASSERT_TRUE(report.Clean()) << out.str();
    const std::vector<std::string> lines = Lines(out.str());

    // DriverEntry's points before the simulator's "driver: DriverEntry" line, then a rules
    // step's handler points before that step's line, then the unload's before the verdict.
    const std::size_t entry = Find(lines, "[qvrdrv]TRACE_DRIVER TRACE_LEVEL_INFORMATION DriverEntry: ");
    const std::size_t loaded = Find(lines, "driver: DriverEntry -> ");
    EXPECT_LT(entry, loaded) << out.str();
    EXPECT_EQ(lines[entry].rfind("  | [0]", 0), 0u) << lines[entry];
    const std::size_t rules = Find(lines, "TRACE_RULES TRACE_LEVEL_INFORMATION SetProcessRules: ", loaded);
    const std::size_t step = Find(lines, "step 7 (line 13): rules intercept [webbrowser.exe", loaded);
    EXPECT_LT(rules, step) << out.str();
    EXPECT_EQ(Find(lines, "step ", rules), step) << "the handler's points belong to the step after them";
    const std::size_t record = Find(lines, "TraceClassifyParameters: AleConnectRedirectClassifyFn: "
                                           "FWPS_LAYER_ALE_CONNECT_REDIRECT_V4");
    EXPECT_LT(record, lines.size()) << out.str();
    const std::size_t unload = Find(lines, "DriverUnload: ", record);
    EXPECT_LT(unload, Find(lines, "verifier: clean", unload)) << out.str();
}

// A directive part-way switches the session: nothing before it, only rule-store points at
// information level and above after it.
TEST(TraceViewTest, DirectiveChangesTheSessionPartWay)
{
    const std::string path = ::testing::TempDir() + "qvrsim_trace_view_test.txt";
    {
        std::ofstream file(path);
        file << "rules intercept a.exe\n"
                "trace rules,information\n"
                "rules intercept b.exe\n"
                "quic on\n"
                "trace off\n"
                "rules intercept c.exe\n";
    }
    qvr::sim::ParseError error;
    auto scenario = qvr::sim::LoadScenarioFile(path, &error);
    ASSERT_TRUE(scenario) << error.ToString();
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    ASSERT_TRUE(report.AllAsExpected()) << out.str();

    const std::vector<std::string> lines = Lines(out.str());
    const std::size_t on = Find(lines, "step 2 (line 2): the trace session changes to flags 0x1 (TRACE_RULES) up to level 4");
    const std::size_t off = Find(lines, "step 5 (line 5): the trace session changes to off");
    ASSERT_LT(on, off) << out.str();
    std::size_t traced = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("  | ", 0) != 0) {
            continue;
        }
        ++traced;
        EXPECT_GT(i, on) << lines[i];
        EXPECT_LT(i, off) << lines[i];
        EXPECT_NE(lines[i].find("[qvrdrv]TRACE_RULES TRACE_LEVEL_"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("TRACE_LEVEL_VERBOSE"), std::string::npos) << lines[i];
    }
    // One rules request: the handler's entry and result, the replacement's two points.
    EXPECT_EQ(traced, 4u) << out.str();
}

// With --json the records go into the step they came before, as structured fields and as
// the consumer's line.
TEST(TraceViewTest, JsonStepsCarryTheirTrace)
{
    qvr::sim::ParseError error;
    const auto scenario = qvr::sim::ParseScenario("trace rules,information\nrules intercept a.exe\ntrace off\nquic on\n",
                                                  "trace.qvrsim", &error);
    ASSERT_TRUE(scenario) << error.ToString();
    std::ostringstream out;
    const std::unique_ptr<qvr::sim::Output> output = qvr::sim::JsonOutput(out);
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, *output, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    std::vector<qvr::sim::Json> steps;
    for (const std::string &line : Lines(out.str())) {
        qvr::sim::Json object = qvr::sim::Json::parse(line);
        if (object["kind"] == "step") {
            steps.push_back(object);
        }
    }
    ASSERT_EQ(steps.size(), 6u) << out.str();
    EXPECT_TRUE(steps[0].at("trace").empty()) << "the session is off until the directive";
    const qvr::sim::Json &rules = steps[2].at("trace");
    ASSERT_EQ(rules.size(), 4u) << out.str();
    for (const qvr::sim::Json &record : rules) {
        EXPECT_EQ(record.at("flag"), "TRACE_RULES");
        EXPECT_LE(record.at("level").get<int>(), TRACE_LEVEL_INFORMATION);
        EXPECT_NE(record.at("line").get<std::string>().find("[qvrdrv]TRACE_RULES"), std::string::npos);
    }
    EXPECT_TRUE(steps[4].at("trace").empty()) << "off again";
}

struct SettingsCase {
    const char *text;
    bool valid;
    std::uint32_t flags;
    std::uint8_t level;
};

TEST(TraceViewTest, SettingsAreReadAsDocumented)
{
    const SettingsCase cases[] = {
        {"0x3", true, 0x3, TRACE_LEVEL_VERBOSE},      {"2,4", true, 0x2, TRACE_LEVEL_INFORMATION},
        {"rules+driver,error", true, 0x3, 2},         {"all,verbose", true, 0x3, 5},
        {"driver,1", true, 0x2, 1},                   {"off", true, 0, 0},
        {"0x2,6", false, 0, 0},                       {"0x2,0", false, 0, 0},
        {"quic", false, 0, 0},                        {"", false, 0, 0},
        {"0x2,", false, 0, 0},                        {"0x1ffffffff", false, 0, 0},
    };
    for (const SettingsCase &c : cases) {
        std::optional<qvr::sim::TraceSettings> settings = qvr::sim::ParseTraceSettings(c.text);
        ASSERT_EQ(settings.has_value(), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(settings->flags, c.flags) << c.text;
            EXPECT_EQ(settings->level, c.level) << c.text;
        }
    }
}

}  // namespace
