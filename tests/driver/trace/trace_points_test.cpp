// Every trace point at the level and under the flag the driver's tracing conventions give it:
// the simulator's default scenario (load, the service's good and bad requests, processes,
// redirected, pended and uncovered connections, unload) runs with its trace view hearing
// everything, and each point below must have been written at its level and flag. Every
// point written at all must carry TRACE_RULES exactly when it comes from the rule store or
// its control request.
#include <gtest/gtest.h>

#include <winsim/trace_session.h>

#include "scenario.h"
#include "simulator.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

using winsim::TraceRecord;

constexpr std::uint32_t kRules = 0x1;
constexpr std::uint32_t kDriver = 0x2;

struct PointRow {
    const char *function;  // the function that writes it
    const char *format;    // a part of its format (or, for the classify record, its name argument)
    UCHAR level;
    std::uint32_t flag;
};

const PointRow kPoints[] = {
    // Lifecycle: driver entry and unload, registration and teardown.
    {"DriverEntry", "%!FUNC!: %wZ", TRACE_LEVEL_INFORMATION, kDriver},
    {"DriverEntry", "started", TRACE_LEVEL_INFORMATION, kDriver},
    {"DriverUnload", "%!FUNC!", TRACE_LEVEL_INFORMATION, kDriver},
    {"WfpInitializeEx", "WFP registration starts", TRACE_LEVEL_INFORMATION, kDriver},
    {"WfpInitializeEx", "WFP registration done", TRACE_LEVEL_INFORMATION, kDriver},
    {"WfpUninitialize", "WFP teardown starts", TRACE_LEVEL_INFORMATION, kDriver},
    {"WfpUninitialize", "WFP teardown done", TRACE_LEVEL_INFORMATION, kDriver},
    {"OpenEngine", "management session opened", TRACE_LEVEL_INFORMATION, kDriver},
    {"CloseEngine", "management session closed", TRACE_LEVEL_INFORMATION, kDriver},
    {"RegisterWfpCalloutGroup", "registering the %s callouts", TRACE_LEVEL_INFORMATION, kDriver},
    {"RegisterWfpCalloutGroup", "registering the %s callouts: %!STATUS!", TRACE_LEVEL_INFORMATION, kDriver},
    {"UnregisterWfpCalloutGroup", "unregistering the %s callouts", TRACE_LEVEL_INFORMATION, kDriver},
    {"UnregisterWfpCalloutGroup", "unregistering the %s callouts: %!STATUS!", TRACE_LEVEL_INFORMATION, kDriver},
    {"ProcessWatcherThread", "Process watcher ends", TRACE_LEVEL_INFORMATION, kDriver},
    // Entry and exit of the registration loops, their steps and the frees: verbose.
    {"RegisterCalloutGroup", "registering %u callouts", TRACE_LEVEL_VERBOSE, kDriver},
    {"RegisterCalloutGroup", "loop ends", TRACE_LEVEL_VERBOSE, kDriver},
    {"UnregisterCalloutGroup", "unregistering up to %u callouts", TRACE_LEVEL_VERBOSE, kDriver},
    {"UnregisterCalloutGroup", "loop ends", TRACE_LEVEL_VERBOSE, kDriver},
    {"RegisterCallout", "registered with id", TRACE_LEVEL_VERBOSE, kDriver},
    {"UnregisterCallout", "record freed", TRACE_LEVEL_VERBOSE, kDriver},
    // Handlers: entry and result at information, policy changes at information, failures at
    // error; the rules handler and the rule store under TRACE_RULES.
    {"SetProcessRules", "entry", TRACE_LEVEL_INFORMATION, kRules},
    {"SetProcessRules", "result", TRACE_LEVEL_INFORMATION, kRules},
    {"SetProcessRules", "input buffer", TRACE_LEVEL_ERROR, kRules},
    {"SetProcessRules", "rules refused", TRACE_LEVEL_ERROR, kRules},
    {"ReplaceRules", "names in", TRACE_LEVEL_INFORMATION, kRules},
    {"ReplaceRules", "result", TRACE_LEVEL_INFORMATION, kRules},
    {"BuildNameTable", "has no terminator", TRACE_LEVEL_ERROR, kRules},
    {"BuildNameTable", "not entered", TRACE_LEVEL_ERROR, kRules},
    {"IsNameIntercepted", "listed", TRACE_LEVEL_VERBOSE, kRules},
    {"SetQuicBlocking", "entry", TRACE_LEVEL_INFORMATION, kDriver},
    {"SetQuicBlocking", "QUIC blocking %u", TRACE_LEVEL_INFORMATION, kDriver},
    {"SetQuicBlocking", "result", TRACE_LEVEL_INFORMATION, kDriver},
    {"SetQuicBlocking", "type %u %!STATUS!", TRACE_LEVEL_ERROR, kDriver},
    {"ControlDeviceIoControl", "control code", TRACE_LEVEL_ERROR, kDriver},
    {"RescanProcesses", "rescan done", TRACE_LEVEL_INFORMATION, kDriver},
    // Per connection: the classify record and the classify's notes are verbose, failures
    // are errors.
    {"TraceClassifyParameters", "AleConnectRedirectClassifyFn", TRACE_LEVEL_VERBOSE, kDriver},
    {"AleConnectRedirectClassifyFn", "not covered", TRACE_LEVEL_VERBOSE, kDriver},
    {"IsOwnRedirect", "redirect state", TRACE_LEVEL_VERBOSE, kDriver},
    {"TraceRedirect", "redirect %ws", TRACE_LEVEL_VERBOSE, kDriver},
    {"ConnectRedirectNotifyFn", "filter %I64u", TRACE_LEVEL_VERBOSE, kDriver},
    {"SendCallbackRequest", "payload bytes", TRACE_LEVEL_VERBOSE, kDriver},
    {"RedirectWorkRoutine", "pended redirect completed", TRACE_LEVEL_VERBOSE, kDriver},
    {"QueryTargetPort", "no answer to request", TRACE_LEVEL_ERROR, kDriver},
    // Held connections, QUIC and the discard diagnostics: the classify records and the
    // per-connection notes are verbose, only a QUIC block is information.
    {"TraceClassifyParameters", "AleAuthConnectClassifyFnRedirectRecords", TRACE_LEVEL_VERBOSE, kDriver},
    {"TraceClassifyParameters", "AleAuthConnectClassifyFnBlockQUIC", TRACE_LEVEL_VERBOSE, kDriver},
    {"IsConnectionToHold", "re-authorization", TRACE_LEVEL_VERBOSE, kDriver},
    {"ApplyAuthVerdict", "permitted", TRACE_LEVEL_VERBOSE, kDriver},
    {"ApplyAuthVerdict", "blocked", TRACE_LEVEL_VERBOSE, kDriver},
    {"OnRedirectRecordsReply", "block flag", TRACE_LEVEL_VERBOSE, kDriver},
    {"RedirectRecordsNotifyFn", "filter %I64u", TRACE_LEVEL_VERBOSE, kDriver},
    {"BlockQuicNotifyFn", "filter %I64u", TRACE_LEVEL_VERBOSE, kDriver},
    {"AleAuthConnectClassifyFnBlockQUIC", "QUIC of process", TRACE_LEVEL_INFORMATION, kDriver},
    {"TraceDiscard", "discard at %s", TRACE_LEVEL_VERBOSE, kDriver},
};

bool Matches(const TraceRecord &record, const PointRow &row)
{
    if (record.function != row.function) {
        return false;
    }
    if (record.format.find(row.format) != std::string::npos) {
        return true;
    }
    // The classify record is told apart by the classify's name, its first argument.
    return !record.arguments.empty() && record.arguments[0].text == row.format;
}

bool IsRuleStorePoint(const TraceRecord &record)
{
    return record.file == "rule_store.cpp" || record.function == "SetProcessRules";
}

TEST(TracePointsTest, EveryPointHasItsLevelAndFlag)
{
    std::ostringstream account;
    const qvr::sim::Report report = qvr::sim::RunScenario(qvr::sim::DefaultScenario(), account, true,
                                                          qvr::sim::TraceSettings{kRules | kDriver, TRACE_LEVEL_VERBOSE});
    ASSERT_TRUE(report.Clean()) << account.str();
    const std::vector<TraceRecord> &records = report.trace;

    for (const PointRow &row : kPoints) {
        bool seen = false;
        for (const TraceRecord &record : records) {
            if (!Matches(record, row)) {
                continue;
            }
            seen = true;
            EXPECT_EQ(record.level, row.level) << row.function << ": " << record.message;
            EXPECT_EQ(record.flag, row.flag) << row.function << ": " << record.message;
        }
        EXPECT_TRUE(seen) << "not written: " << row.function << " \"" << row.format << "\"";
    }
    for (const TraceRecord &record : records) {
        EXPECT_EQ(record.flag, IsRuleStorePoint(record) ? kRules : kDriver) << record.file << ": " << record.message;
        EXPECT_GE(record.level, TRACE_LEVEL_CRITICAL) << record.message;
        EXPECT_LE(record.level, TRACE_LEVEL_VERBOSE) << record.message;
    }
}

}  // namespace
