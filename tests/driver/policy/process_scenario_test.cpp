// The simulator's process-policy scenario against the loaded driver: what it shows is what
// the driver answers, before and after the policy change.
#include "process_fixture.h"

#include "process_scenario.h"

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

}  // namespace
}  // namespace qvr_test
