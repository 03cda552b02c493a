// Whole-system runs of the simulator: its embedded default scenario and a scenario file
// play against the real driver, get the answers they expect and end with the verifier clean.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

TEST(DefaultScenarioTest, RunsCleanWithEveryAnswerAsExpected)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);

    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    ASSERT_EQ(report.steps.size(), qvr::sim::DefaultScenario().steps.size()) << out.str();
    // Refusals exercise more than one kind of bad record.
    std::size_t refused = 0;
    for (const qvr::sim::StepOutcome &step : report.steps) {
        refused += NT_SUCCESS(step.status) ? 0 : 1;
    }
    EXPECT_GE(refused, 4u);
    EXPECT_NE(out.str().find("verifier: clean"), std::string::npos);
}

// After the intercept list, the web browser is intercepted and svchost is not; a refused record
// changes nothing; the final exemption list turns that round.
TEST(DefaultScenarioTest, PolicyVerdictsFollowOnlyTheAcceptedRules)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);
    ASSERT_GE(report.probes.size(), 2u) << out.str();
    for (std::size_t i = 0; i + 1 < report.probes.size(); ++i) {
        ASSERT_EQ(report.probes[i].size(), 4u);
        EXPECT_TRUE(report.probes[i][0].intercepted) << "web browser, rules step " << i;
        EXPECT_TRUE(report.probes[i][1].intercepted) << "other browser, rules step " << i;
        EXPECT_FALSE(report.probes[i][2].intercepted) << "svchost, rules step " << i;
        EXPECT_FALSE(report.probes[i][3].intercepted) << "no file name, rules step " << i;
    }
    const auto &last = report.probes.back();
    EXPECT_TRUE(last[0].intercepted);
    EXPECT_FALSE(last[2].intercepted);
    EXPECT_FALSE(last[3].intercepted);
}

TEST(ScenarioFileTest, FileStepsRunWithTheirExpectations)
{
    const std::string path = ::testing::TempDir() + "qvrsim_scenario_test.txt";
    {
        std::ofstream file(path);
        file << "# a service that exempts one program\n"
                "name exempt notepad\n"
                "open user expect STATUS_ACCESS_DENIED\n"
                "rules exempt notepad.exe expect STATUS_SUCCESS\n"
                "quic on\n"
                "raw quic 0c000000 04000000 expect STATUS_BUFFER_TOO_SMALL\n"
                "raw rules 12000000 01000000 01000000 01000000 4100 expect STATUS_INVALID_PARAMETER\n"
                "probe \\Device\\HarddiskVolume1\\Windows\\notepad.exe\n"
                "probe \\Device\\HarddiskVolume1\\Windows\\write.exe\n";
    }
    std::string error;
    std::optional<qvr::sim::Scenario> scenario = qvr::sim::LoadScenarioFile(path, &error);
    std::remove(path.c_str());
    ASSERT_TRUE(scenario.has_value()) << error;
    EXPECT_EQ(scenario->name, "exempt notepad");
    ASSERT_EQ(scenario->steps.size(), 5u);

    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, out, false);
    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    ASSERT_FALSE(report.probes.empty());
    EXPECT_FALSE(report.probes[0][0].intercepted);
    EXPECT_TRUE(report.probes[0][1].intercepted);
}

TEST(ScenarioFileTest, BadLinesAreReportedWithTheirNumber)
{
    const std::string path = ::testing::TempDir() + "qvrsim_bad_scenario.txt";
    {
        std::ofstream file(path);
        file << "quic on\n\nrules sometimes a.exe\n";
    }
    std::string error;
    EXPECT_FALSE(qvr::sim::LoadScenarioFile(path, &error).has_value());
    std::remove(path.c_str());
    EXPECT_NE(error.find(":3:"), std::string::npos) << error;
}

}  // namespace
