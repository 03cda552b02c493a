// The simulator's process-policy demonstration against the driver: what its `processes`
// steps show is what the driver answers, before and after the policy change.
#include <gtest/gtest.h>

#include <winsim/processes.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace qvr_test {
namespace {

// The intercept flags that each `processes` step of the run showed, in order.
std::vector<std::vector<bool>> FlagsShown(const qvr::sim::Report &report, std::vector<std::uint64_t> *pids = nullptr)
{
    std::vector<std::vector<bool>> shown;
    for (const qvr::sim::StepReport &step : report.steps) {
        if (step.directive != "processes") {
            continue;
        }
        shown.emplace_back();
        for (const qvr::sim::Json &process : step.details.at("processes")) {
            shown.back().push_back(process.at("intercepted").get<bool>());
            if (pids != nullptr) {
                pids->push_back(process.at("pid").get<std::uint64_t>());
            }
        }
    }
    return shown;
}

TEST(ProcessScenarioTest, SimulatorShowsTheFlagsOfBothPolicies)
{
    qvr::sim::ParseError error;
    const auto scenario = qvr::sim::ParseScenario(
        "start web1 \\Device\\HarddiskVolume2\\WebBrowser\\webbrowser.exe\n"
        "start web2 \\Device\\HarddiskVolume2\\WebBrowser\\webbrowser.exe\n"
        "start other \\Device\\HarddiskVolume2\\OtherBrowser\\otherbrowser.exe\n"
        "start mail \\Device\\HarddiskVolume2\\Mail\\mailclient.exe\n"
        "start editor \\Device\\HarddiskVolume2\\Tools\\editor.exe\n"
        "start updater \\Device\\HarddiskVolume2\\Updater\\updater.exe\n"
        "rules intercept webbrowser.exe otherbrowser.exe expect=STATUS_SUCCESS\n"
        "processes\n"
        "rules exempt mailclient.exe updater.exe expect=STATUS_SUCCESS\n"
        "start terminal \\Device\\HarddiskVolume2\\Tools\\terminal.exe\n"
        "processes\n",
        "processes.qvrsim", &error);
    ASSERT_TRUE(scenario.has_value()) << error.ToString();
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    ASSERT_TRUE(report.AllAsExpected()) << out.str();

    std::vector<std::uint64_t> pids;
    const std::vector<std::vector<bool>> shown = FlagsShown(report, &pids);
    ASSERT_EQ(shown.size(), 2u) << out.str();
    // Two browsers listed: only they are intercepted.
    EXPECT_EQ(shown[0], (std::vector<bool>{true, true, true, false, false, false}));
    // Everything but the mail client and the updater, including the process started later.
    EXPECT_EQ(shown[1], (std::vector<bool>{true, true, true, false, true, false, true}));
    EXPECT_NE(out.str().find("mail          not intercepted"), std::string::npos) << out.str();
    for (std::uint64_t pid : pids) {
        EXPECT_FALSE(winsim::processes::IsRunning(pid)) << "the simulator ends what the scenario started";
    }
}

TEST(ProcessScenarioTest, DefaultSimulatorRunShowsProcessesUnderBothPolicies)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);
    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    const std::vector<std::vector<bool>> shown = FlagsShown(report);
    ASSERT_EQ(shown.size(), 2u) << out.str();
    EXPECT_TRUE(shown[0][0]);
    EXPECT_FALSE(shown[0][4]);
    EXPECT_TRUE(shown[1][4]);
    EXPECT_NE(out.str().find("the processes, one started after the change"), std::string::npos);
}

}  // namespace
}  // namespace qvr_test
