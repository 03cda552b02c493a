// Whole-system runs of the simulator: its embedded default scenario and a scenario file
// play against the real driver, get the answers they expect and end with the verifier clean;
// what the steps show is read back from the driver.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace {

using qvr::sim::Json;
using qvr::sim::StepReport;

qvr::sim::Scenario Parse(const std::string &text)
{
    qvr::sim::ParseError error;
    std::optional<qvr::sim::Scenario> scenario = qvr::sim::ParseScenario(text, "test.qvrsim", &error);
    EXPECT_TRUE(scenario.has_value()) << error.ToString();
    return scenario.value_or(qvr::sim::Scenario{});
}

const StepReport *AtLine(const qvr::sim::Report &report, int line)
{
    for (const StepReport &step : report.steps) {
        if (step.line == line) {
            return &step;
        }
    }
    return nullptr;
}

TEST(DefaultScenarioTest, RunsCleanWithEveryAnswerAsExpected)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);

    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    EXPECT_EQ(report.ExitCode(), 0);
    // The implicit load and unload around the file's steps.
    ASSERT_EQ(report.steps.size(), qvr::sim::DefaultScenario().steps.size() + 2) << out.str();
    std::size_t refused = 0;
    for (const StepReport &step : report.steps) {
        refused += step.status && !NT_SUCCESS(*step.status) ? 1 : 0;
    }
    EXPECT_GE(refused, 6u);
    EXPECT_NE(out.str().find("verifier: clean"), std::string::npos);
}

// The rules and the switch are read from the driver after each request: a refused record
// leaves them as they were, and the probes follow only the accepted rules.
TEST(DefaultScenarioTest, RefusedRequestsLeaveTheDriversStateAsItWas)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(
        Parse("probe \\Device\\HarddiskVolume2\\Apps\\webbrowser.exe\n"
              "probe \\Device\\HarddiskVolume2\\Windows\\svchost.exe\n"
              "rules intercept webbrowser.exe\n"
              "quic 7\n"
              "rules intercept a.exe A.EXE expect=STATUS_UNSUCCESSFUL\n"
              "raw rules 1c000000 01000000 0100 expect=STATUS_BUFFER_TOO_SMALL\n"
              "raw quic 0c000000 01000000 00000000 expect=STATUS_INVALID_PARAMETER\n"
              "rules exempt webbrowser.exe\n"),
        out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    ASSERT_TRUE(report.AllAsExpected()) << out.str();

    const Json intercept = Json{{"mode", "intercept"}, {"names", {"webbrowser.exe"}}};
    for (int line : {3, 5, 6}) {
        SCOPED_TRACE(line);
        const StepReport *step = AtLine(report, line);
        ASSERT_NE(step, nullptr);
        EXPECT_EQ(step->details["rules_in_force"], intercept);
        EXPECT_TRUE(step->details["probes"][0]["intercepted"].get<bool>());
        EXPECT_FALSE(step->details["probes"][1]["intercepted"].get<bool>());
    }
    EXPECT_EQ(AtLine(report, 4)->details["quic_switch"], 7);
    EXPECT_EQ(AtLine(report, 7)->details["quic_switch"], 7);
    const StepReport *exempt = AtLine(report, 8);
    EXPECT_EQ(exempt->details["rules_in_force"], (Json{{"mode", "exempt"}, {"names", {"webbrowser.exe"}}}));
    EXPECT_FALSE(exempt->details["probes"][0]["intercepted"].get<bool>());
    EXPECT_TRUE(exempt->details["probes"][1]["intercepted"].get<bool>());
}

TEST(DefaultScenarioTest, ProcessFlagsFollowTheRulesInForce)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(
        Parse("start web \\Device\\HarddiskVolume2\\Apps\\webbrowser.exe\n"
              "start mail \\Device\\HarddiskVolume2\\Apps\\mailclient.exe\n"
              "rules intercept webbrowser.exe\n"
              "start quiet \\Device\\HarddiskVolume2\\Apps\\mailclient.exe notify=no\n"
              "processes\n"
              "rules exempt webbrowser.exe\n"
              "processes\n"
              "end web\n"
              "processes\n"),
        out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    auto flags = [&](int line) {
        std::vector<std::pair<std::string, bool>> seen;
        for (const Json &process : AtLine(report, line)->details["processes"]) {
            seen.emplace_back(process["process"], process["intercepted"]);
        }
        return seen;
    };
    using Flags = std::vector<std::pair<std::string, bool>>;
    // The process the driver was not told about is unknown, so not intercepted, until a rescan.
    EXPECT_EQ(flags(5), (Flags{{"web", true}, {"mail", false}, {"quiet", false}})) << out.str();
    EXPECT_EQ(flags(7), (Flags{{"web", false}, {"mail", true}, {"quiet", true}})) << out.str();
    EXPECT_EQ(flags(9), (Flags{{"mail", true}, {"quiet", true}})) << out.str();
}

TEST(ScenarioFileTest, AnUnexpectedAnswerGivesExitThreeAndSaysSo)
{
    std::ostringstream out;
    const qvr::sim::Report report =
        qvr::sim::RunScenario(Parse("open as=user expect=STATUS_SUCCESS\nquic on expect=STATUS_SUCCESS\n"), out, false);
    EXPECT_TRUE(report.Clean());
    EXPECT_FALSE(report.AllAsExpected());
    EXPECT_EQ(report.ExitCode(), 3);
    EXPECT_NE(out.str().find("UNEXPECTED: the scenario expects STATUS_SUCCESS"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("result: exit 3"), std::string::npos) << out.str();
}

TEST(ScenarioFileTest, UnloadAndLoadAgainInTheMiddle)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(
        Parse("quic on\nunload\nopen expect=STATUS_OBJECT_NAME_NOT_FOUND\nquic on expect=STATUS_INVALID_HANDLE\n"
              "load\nquic 3 expect=STATUS_SUCCESS\n"),
        out, false);
    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    ASSERT_EQ(report.unloads.size(), 2u);
    EXPECT_EQ(AtLine(report, 6)->details["quic_switch"], 3);
}

}  // namespace
