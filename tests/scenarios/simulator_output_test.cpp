// What qvrsim --json writes: one parseable object per line in the order scenario, steps and
// connections as they happen, verdict; any text a scenario carries comes back intact; raw
// requests that would wait for ever are cancelled after their wait and say so.
#include <gtest/gtest.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>

namespace {

using qvr::sim::Json;

std::vector<Json> RunJson(const std::string &text, qvr::sim::Report *report = nullptr)
{
    qvr::sim::ParseError error;
    const auto scenario = qvr::sim::ParseScenario(text, "json.qvrsim", &error);
    EXPECT_TRUE(scenario.has_value()) << error.ToString();
    if (!scenario) {
        return {};
    }
    std::ostringstream out;
    const std::unique_ptr<qvr::sim::Output> output = qvr::sim::JsonOutput(out);
    qvr::sim::Report result = qvr::sim::RunScenario(*scenario, *output, false);
    if (report != nullptr) {
        *report = result;
    }
    std::vector<Json> objects;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(Json::parse(line));  // throws, failing the test, on anything not JSON
    }
    return objects;
}

TEST(SimulatorOutputTest, ObjectsComeInTheOrderOfTheRun)
{
    const std::vector<Json> objects = RunJson(
        "proxy 8080\nfilter proxy\nrules intercept web.exe\nstart web \\Device\\HarddiskVolume1\\web.exe\n"
        "connect web 203.0.113.7:443 as=first\nquic on\n");
    ASSERT_GE(objects.size(), 10u);
    EXPECT_EQ(objects.front()["kind"], "scenario");
    EXPECT_EQ(objects.front()["steps"], 6);
    EXPECT_EQ(objects.back()["kind"], "verdict");
    EXPECT_EQ(objects.back()["exit_code"], 0);
    std::vector<std::string> sequence;
    for (const Json &object : objects) {
        sequence.push_back(object["kind"].get<std::string>() +
                           (object["kind"] == "step" ? " " + std::to_string(object["number"].get<int>()) : ""));
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"scenario", "step 0", "step 1", "step 2", "step 3", "step 4", "step 5",
                                                  "connection", "step 6", "step 7", "verdict"}));
    EXPECT_EQ(objects[7]["name"], "first");
    EXPECT_EQ(objects[7]["step"], 5);
}

TEST(SimulatorOutputTest, TextComesBackIntact)
{
    const std::string labels[] = {
        "a \\\\ backslash and a ' quote",
        "tab\there, braces {} and [brackets]",
        "caf\xc3\xa9, \xe2\x82\xac and \xf0\x9f\x98\x80",
        "control \x01\x1f and DEL \x7f",
    };
    std::string text;
    for (const std::string &label : labels) {
        text += "quic on label=\"" + label + "\"\n";
    }
    text += "start p \"\\Device\\HarddiskVolume1\\\xe5\x86\x99\xe7\x9c\x9f.exe\"\nprocesses\n";
    const std::vector<Json> objects = RunJson(text);
    ASSERT_GE(objects.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(objects[2 + i]["label"], labels[i]);
    }
    EXPECT_EQ(objects[7]["details"]["processes"][0]["image"], "\\Device\\HarddiskVolume1\\\xe5\x86\x99\xe7\x9c\x9f.exe");
}

TEST(SimulatorOutputTest, BytesThatAreNotUtf8AreReplacedNotDropped)
{
    const std::vector<Json> objects = RunJson("quic on label=\"bad \xff\xfe byte\"\n");
    ASSERT_GE(objects.size(), 3u);
    EXPECT_EQ(objects[2]["label"], "bad \xef\xbf\xbd\xef\xbf\xbd byte");
}

TEST(SimulatorOutputTest, RawRequestsThatWouldWaitForEverAreCancelled)
{
    qvr::sim::Report report;
    const std::vector<Json> objects = RunJson(
        "carriers 0\n"
        "raw callback wait=100ms\n"
        "raw callback out=4096 wait=100ms as=admin\n"
        "raw callback 5156525f434252000200000021000000030000000900000000000000010000000000 out=64\n"
        "raw rules out=8 as=user\n",
        &report);
    ASSERT_EQ(objects.size(), 9u);
    for (int step : {2, 3}) {
        SCOPED_TRACE(step);
        const Json &raw = objects[1 + step];
        EXPECT_EQ(raw.at("status").at("name"), "STATUS_CANCELLED");
        EXPECT_TRUE(raw.at("finished").get<bool>());
        EXPECT_EQ(raw.at("details").at("cancelled_after_ms"), 100);
        EXPECT_EQ(raw.at("details").at("information"), 0);
    }
    EXPECT_EQ(objects[4].at("details").at("open").at("name"), "STATUS_SUCCESS");
    EXPECT_EQ(objects[4].at("details").at("output_length"), 4096);
    EXPECT_EQ(objects[5].at("status").at("name"), "STATUS_NOT_FOUND");
    EXPECT_EQ(objects[5].at("details").at("input").get<std::string>().size(), 68u);
    EXPECT_EQ(objects[6].at("status").at("name"), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(objects[6].at("details").at("open").at("name"), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(report.ExitCode(), 0);
}

TEST(SimulatorOutputTest, APendingConnectionIsReportedWhenItEnds)
{
    const std::vector<Json> objects = RunJson(
        "proxy 8080\nfilter ask\nrules intercept web.exe\nstart web \\Device\\HarddiskVolume1\\web.exe\n"
        "port-answer silent\nclock manual\nconnect web 203.0.113.7:443 as=held expect=pending\n");
    // Pending at its step; reported, still pending, when the driver unloads.
    ASSERT_GE(objects.size(), 4u);
    const Json &connect = objects[objects.size() - 4];
    EXPECT_EQ(connect["directive"], "connect");
    EXPECT_EQ(connect["details"]["pending"], true);
    const Json &held = objects[objects.size() - 3];
    EXPECT_EQ(held["kind"], "connection");
    EXPECT_EQ(held["outcome"], "pending");
    EXPECT_EQ(held["as_expected"], true);
    EXPECT_EQ(objects.back()["clean"], true);
}

}  // namespace
