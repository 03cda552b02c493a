// The simulator's process-policy scenario against the loaded driver: what it shows is what
// the driver answers, before and after the policy change.
#include "process_fixture.h"

#include "process_scenario.h"
#include "simulator.h"

#include <sstream>

namespace qvr_test {
namespace {

TEST_F(ProcessTableTest, SimulatorScenarioShowsTheFlagsOfBothPolicies)
{
    qvr::agent::AgentService service;
    ASSERT_EQ(service.Open(), STATUS_SUCCESS);
    std::ostringstream out;
    std::vector<std::vector<qvr::sim::ProcessView>> views;
    ASSERT_EQ(qvr::sim::RunProcessPolicyScenario(service, out, &views), STATUS_SUCCESS);
    service.Close();

    ASSERT_EQ(views.size(), 2u);
    // Two browsers listed: only they are intercepted.
    std::vector<bool> first;
    for (const auto &view : views[0]) {
        first.push_back(view.intercepted);
    }
    EXPECT_EQ(first, (std::vector<bool>{true, true, true, false, false, false}));
    // Everything but the mail client and the updater, including the process started later.
    std::vector<bool> second;
    for (const auto &view : views[1]) {
        second.push_back(view.intercepted);
    }
    EXPECT_EQ(second, (std::vector<bool>{true, true, true, false, true, false, true}));

    const std::string text = out.str();
    EXPECT_NE(text.find("intercept only webbrowser.exe, otherbrowser.exe -> STATUS_SUCCESS"), std::string::npos)
        << text;
    EXPECT_NE(text.find("mailclient.exe    not intercepted"), std::string::npos) << text;
    for (const auto &view : views[1]) {
        EXPECT_FALSE(winsim::processes::IsRunning(view.id)) << "the scenario ends what it started";
    }
}

TEST(ProcessScenarioTest, DefaultSimulatorRunShowsProcessesUnderBothPolicies)
{
    std::ostringstream out;
    qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), out, false);
    winsim::processes::Reset();
    EXPECT_TRUE(report.Clean()) << out.str();
    EXPECT_TRUE(report.AllAsExpected()) << out.str();
    EXPECT_EQ(report.processStatus, STATUS_SUCCESS);
    ASSERT_EQ(report.processViews.size(), 2u) << out.str();
    EXPECT_TRUE(report.processViews[0][0].intercepted);
    EXPECT_FALSE(report.processViews[0][4].intercepted);
    EXPECT_TRUE(report.processViews[1][4].intercepted);
    EXPECT_NE(out.str().find("Processes (one started after the change):"), std::string::npos);
}

}  // namespace
}  // namespace qvr_test
