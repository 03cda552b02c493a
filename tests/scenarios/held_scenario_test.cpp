// The simulator's held-connection section: the service sees the records of each held
// connection and its verdict decides it; QUIC of the covered process is blocked only while
// the switch is on; the discard diagnostics report the packets WFP dropped.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace {

using winsim::network::Outcome;

TEST(HeldScenarioTest, VerdictsQuicAndDiscardsAsTheServiceDecided)
{
    qvr::sim::Scenario scenario;
    scenario.name = "held only";
    scenario.held = true;
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(scenario, out, false);
    ASSERT_TRUE(report.Clean()) << out.str();
    ASSERT_EQ(report.heldStatus, STATUS_SUCCESS) << out.str();

    const struct {
        Outcome outcome;
        int verdict;  // -1: not asked, 0: permit, 1: block
    } expected[] = {
        {Outcome::Connected, 0}, {Outcome::Blocked, 1},     // TCP, allowed and blocked destination
        {Outcome::Blocked, -1}, {Outcome::Connected, -1},   // QUIC on: covered, not covered
        {Outcome::Connected, -1}, {Outcome::Connected, -1}, // QUIC off
    };
    ASSERT_EQ(report.heldViews.size(), std::size(expected)) << out.str();
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const qvr::sim::HeldView &view = report.heldViews[i];
        EXPECT_EQ(view.outcome, expected[i].outcome) << view.label;
        EXPECT_EQ(view.verdict.has_value(), expected[i].verdict >= 0) << view.label;
        if (view.verdict && expected[i].verdict >= 0) {
            EXPECT_EQ(view.verdict->block, expected[i].verdict == 1) << view.label;
            EXPECT_TRUE(view.verdict->question.context.has_value()) << view.label;
        }
    }
    // The blocked connection and the blocked QUIC attempt.
    EXPECT_EQ(report.discards.size(), 2u) << out.str();
}

}  // namespace
