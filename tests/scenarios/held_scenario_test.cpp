// The simulator's held-connection section, as the held directive runs it: the service sees
// the records of each held connection and its verdict decides it; QUIC of the covered
// process is blocked only while the switch is on; the discard diagnostics report the packets
// WFP dropped, from the section's own trace session or from the run's when it has one.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace {

using winsim::network::Outcome;

qvr::sim::Scenario Parse(const std::string &text)
{
    qvr::sim::ParseError error;
    std::optional<qvr::sim::Scenario> scenario = qvr::sim::ParseScenario(text, "held.qvrsim", &error);
    EXPECT_TRUE(scenario.has_value()) << error.ToString();
    return scenario.value_or(qvr::sim::Scenario{});
}

void ExpectVerdictsQuicAndDiscards(const qvr::sim::Report &report, const std::string &account)
{
    ASSERT_TRUE(report.Clean()) << account;
    ASSERT_TRUE(report.AllAsExpected()) << account;
    const struct {
        Outcome outcome;
        int verdict;  // -1: not asked, 0: permit, 1: block
    } expected[] = {
        {Outcome::Connected, 0}, {Outcome::Blocked, 1},     // TCP, allowed and blocked destination
        {Outcome::Blocked, -1}, {Outcome::Connected, -1},   // QUIC on: covered, not covered
        {Outcome::Connected, -1}, {Outcome::Connected, -1}, // QUIC off
    };
    ASSERT_EQ(report.heldViews.size(), std::size(expected)) << account;
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
    EXPECT_EQ(report.discards.size(), 2u) << account;
}

TEST(HeldScenarioTest, VerdictsQuicAndDiscardsAsTheServiceDecided)
{
    std::ostringstream out;
    const qvr::sim::Report report = qvr::sim::RunScenario(Parse("held\n"), out, false);
    ExpectVerdictsQuicAndDiscards(report, out.str());
    const qvr::sim::StepReport &held = report.steps.at(1);
    EXPECT_EQ(held.directive, "held");
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    ASSERT_EQ(held.details["held"].size(), 6u);
    EXPECT_EQ(held.details["held"][1]["verdict"]["block"], true);
    EXPECT_EQ(held.details["discards"].size(), 2u);
}

TEST(HeldScenarioTest, DiscardsReadFromTheRunsTraceSession)
{
    std::ostringstream out;
    const qvr::sim::Report report =
        qvr::sim::RunScenario(Parse("held\n"), out, false, qvr::sim::TraceSettings{0x3, TRACE_LEVEL_VERBOSE});
    ExpectVerdictsQuicAndDiscards(report, out.str());
}

}  // namespace
