/*
 * fault_sweep.cpp
 *
 * qvr-fault-sweep: for each scenario, runs it once recording every fallible platform call
 * the driver makes (by call site), then reruns it failing each site's calls in turn, one
 * call ordinal at a time. After every run the verifier must be clean (nothing left behind,
 * no rule violation) and no connection may be left pended. Writes a report of the driver's
 * fallible call sites, which were failed, and what happened.
 */
#include "scenario.h"
#include "simulator.h"

#include "agent/service.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using qvr::sim::Report;
using qvr::sim::Scenario;

struct Options {
    std::uint64_t maxOrdinals = 0;       // 0: every ordinal of every site
    std::string reportPath = "fault-sweep-report.md";
    std::string sourceDir;               // driver sources to list the call sites from
    bool quick = false;                  // skip the whole default scenario
    int hangSeconds = 60;                // one run longer than this is a hang
    bool failUnreached = false;          // a fallible site in the sources that no run reached fails the sweep
    std::string only;                    // only the failing runs whose description holds this
};

struct SiteResult {
    std::string call;
    std::string where;                   // "Function (file.cpp:line)"
    std::set<std::string> scenarios;     // where it was reached
    std::uint64_t runs = 0;              // runs that failed it
    std::uint64_t bad = 0;               // of those, runs that were not clean
    std::map<std::string, std::uint64_t> loadStatuses;  // DriverEntry's result when failed at load
    std::vector<std::string> problems;
    std::vector<std::string> kept;       // what the platform kept when its release was failed
    std::vector<std::string> held;       // connections still held when the scenario looked
};

// Releases that Windows may refuse: when one is failed, the platform keeps what it holds
// (the verifier lists it), and the driver can only trace and go on. Those items are
// reported apart, not as the driver's leaks.
const char *KindReleasedBy(const std::string &call)
{
    static const std::pair<const char *, const char *> releases[] = {
        {"FwpmEngineClose0", "wfp-engine-session"},
        {"FwpmBfeStateUnsubscribeChanges0", "bfe-subscription"},
        {"FwpsCalloutUnregisterByKey0", "callout"},
        {"FwpsCalloutUnregisterById0", "callout"},
        {"PsSetCreateProcessNotifyRoutine", "process-notify-routine"},
    };
    for (const auto &[name, kind] : releases) {
        if (call == name) {
            return kind;
        }
    }
    return nullptr;
}

// A notify routine whose removal was refused stays registered after the unload report has
// listed it; the next load could not register it again, so it is forgotten, as when the
// image that held it is gone.
void ForgetRefusedRemovals(const std::string &call)
{
    if (call == "PsSetCreateProcessNotifyRoutine") {
        winsim::processes::DropNotifyRoutines();
    }
}

// One call to fail: the site's nth call from the run's start, with the status given.
struct Arm {
    const void *site;
    std::uint64_t nth;
    NTSTATUS status;
};

// Calls that Windows answers with a second failure the driver handles apart: the sweep fails
// each of their sites with it as well.
std::optional<NTSTATUS> AlternativeStatus(const std::string &call)
{
    if (call == "ZwQuerySystemInformation" || call == "ZwQueryInformationProcess") {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    return std::nullopt;
}

struct SweptScenario {
    std::string key;
    Scenario scenario;
    std::optional<qvr::sim::TraceSettings> trace;  // a trace session listening, when set
};

}  // namespace

namespace qvr::sim {
// The worked examples of scenarios/, built in (tools/CMakeLists.txt).
extern const char kSweepControlRequests[];
extern const char kSweepProcesses[];
extern const char kSweepRedirect[];
extern const char kSweepHeld[];
extern const char kSweepVerdicts[];
}  // namespace qvr::sim

namespace {

Scenario Parse(const std::string &text, const std::string &source, const std::string &title)
{
    qvr::sim::ParseError error;
    std::optional<Scenario> scenario = qvr::sim::ParseScenario(text, source, &error);
    if (!scenario) {
        // The examples are checked by CI as they are; one that no longer parses is a build fault.
        std::cerr << "qvr-fault-sweep: built-in scenario: " << error.ToString() << "\n";
        std::exit(2);
    }
    scenario->name = title;
    return *scenario;
}

std::vector<SweptScenario> Scenarios(bool quick)
{
    std::vector<SweptScenario> out;
    out.push_back({"load", Parse("", "(load and unload)", "load and unload"), std::nullopt});
    out.push_back({"control",
                   Parse(qvr::sim::kSweepControlRequests, "scenarios/control-requests.qvrsim",
                         "control requests (identities, handles, records of every shape, the callback channel)"),
                   std::nullopt});
    out.push_back({"processes",
                   Parse(qvr::sim::kSweepProcesses, "scenarios/processes.qvrsim", "process churn under changing rules"),
                   std::nullopt});
    out.push_back({"connections",
                   Parse(qvr::sim::kSweepRedirect, "scenarios/redirect.qvrsim",
                         "connections: immediate and pended redirect, port query answered, refused and timed out"),
                   std::nullopt});
    out.push_back({"held",
                   Parse(qvr::sim::kSweepHeld, "scenarios/held-verdicts.qvrsim",
                         "connections held for the service's verdict, QUIC on and off, the discard diagnostics"),
                   std::nullopt});
    out.push_back({"verdicts",
                   Parse(qvr::sim::kSweepVerdicts, "scenarios/verdicts.qvrsim",
                         "the service's verdicts on its own filter's held connections; an unload with them open"),
                   std::nullopt});
    out.push_back({"traced",
                   Parse(std::string(qvr::sim::kSweepControlRequests) + "\n" + qvr::sim::kSweepRedirect,
                         "scenarios/control-requests.qvrsim + scenarios/redirect.qvrsim",
                         "control requests and connections with every trace point on"),
                   qvr::sim::TraceSettings{}});
    if (!quick) {
        out.push_back({"default", qvr::sim::DefaultScenario(), std::nullopt});
    }
    return out;
}

// winsim's fault points that the driver calls (winsim/docs/inventory.md): a source line
// naming one that no scenario reaches is listed as unreached.
const char *const kFaultPoints[] = {
    "ExAllocatePoolWithTag", "ObReferenceObjectByHandle", "ObReferenceObjectByPointer", "ObOpenObjectByPointer",
    "PsCreateSystemThread", "PsLookupProcessByProcessId", "PsSetCreateProcessNotifyRoutine",
    "ZwQueryInformationProcess", "ZwQuerySystemInformation", "ZwWaitForSingleObject", "IoAllocateWorkItem",
    "EtwRegisterClassicProvider", "WdfControlDeviceInitAllocate", "WdfDeviceCreate", "WdfDeviceCreateSymbolicLink",
    "WdfDeviceInitAssignName", "WdfDriverCreate", "WdfIoQueueCreate", "WdfIoQueueReadyNotify",
    "WdfIoQueueRetrieveNextRequest", "WdfRequestForwardToIoQueue", "WdfRequestRetrieveInputBuffer",
    "WdfRequestRetrieveOutputBuffer", "FwpsAcquireClassifyHandle0", "FwpsAcquireWritableLayerDataPointer0",
    "FwpsPendClassify0", "FwpsPendOperation0", "FwpsCalloutRegister1", "FwpsCalloutUnregisterByKey0",
    "FwpsCalloutUnregisterById0", "FwpsFlowAssociateContext0", "FwpsFlowRemoveContext0",
    "FwpsQueryConnectionSioFormatRedirectRecords0", "FwpmBfeStateSubscribeChanges0",
    "FwpmBfeStateUnsubscribeChanges0", "FwpmEngineOpen0", "FwpmEngineClose0", "FwpsRedirectHandleCreate0",
};

// Problems of one run: anything the verifier reported, anything still held, a pended connection.
std::vector<std::string> Problems(const Report &report, const std::vector<std::string> &before)
{
    const std::multiset<std::string> held(before.begin(), before.end());
    // Items held before the run are reported by the run that left them, not again by every
    // later unload's report.
    auto heldBefore = [&](const std::string &text) {
        for (const std::string &item : before) {
            if (text.find(item) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    std::vector<std::string> problems;
    for (const qvr::sim::UnloadReport &unload : report.unloads) {
        for (const std::string &item : unload.leftBehind) {
            if (!heldBefore(item)) {
                problems.push_back("left behind: " + item);
            }
        }
    }
    for (const std::string &violation : report.violations) {
        if (!heldBefore(violation)) {
            problems.push_back("violation: " + violation);
        }
    }
    for (const std::string &item : winsim::Outstanding()) {
        if (held.count(item) != 0) {
            continue;  // held before the run: already reported by the run that left it
        }
        problems.push_back("outstanding after the run: " + item);
    }
    for (const qvr::sim::ConnectionReport &connection : report.connections) {
        if (connection.details.value("outcome", "") == "pending") {
            problems.push_back("connection left pended: " + connection.label);
        }
    }
    for (const qvr::sim::HeldView &view : report.heldViews) {
        if (view.outcome == winsim::network::Outcome::Pending) {
            problems.push_back("connection left pended: " + view.label);
        }
    }
    return problems;
}

// Where every thread of this process stands, on stderr, through gdb where the machine has it:
// what a hang report needs to be read.
void DumpThreads()
{
    if (std::system("command -v gdb >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "qvr-fault-sweep: no gdb here to show the threads\n");
        return;
    }
    (void)prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);  // a child may attach under Yama
    const std::string command = "gdb -p " + std::to_string(getpid()) +
                                " -batch -ex 'thread apply all bt 30' </dev/null 1>&2 2>/dev/null";
    std::fflush(nullptr);
    (void)std::system(command.c_str());
}

// One run, under a watchdog: a run that does not finish is a hang and ends the sweep.
Report RunGuarded(const SweptScenario &swept, const std::string &what, int hangSeconds, std::string *output = nullptr)
{
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!finished.wait_for(guard, std::chrono::seconds(hangSeconds), [&] { return done; })) {
            std::fprintf(stderr, "qvr-fault-sweep: HANG: %s did not finish in %d s\n", what.c_str(), hangSeconds);
            DumpThreads();
            std::_Exit(4);
        }
    });
    std::ostringstream sink;
    Report report = qvr::sim::RunScenario(swept.scenario, sink, true, swept.trace);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
    winsim::clock::UseReal();
    if (output != nullptr) {
        *output = sink.str();
    }
    return report;
}

// Where the driver's sources name a fallible call: "file.cpp:line" -> call name.
std::map<std::string, std::string> SourceSites(const std::string &dir, const std::set<std::string> &calls)
{
    std::map<std::string, std::string> sites;
    if (dir.empty()) {
        return sites;
    }
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() != ".cpp") {
            continue;
        }
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            for (const std::string &call : calls) {
                // ExAllocatePool is the header's spelling of an untagged ExAllocatePoolWithTag.
                std::string spelled = call == "ExAllocatePoolWithTag" ? "ExAllocatePool" : call;
                std::regex word("\\b" + spelled + "(WithTag)?\\s*\\(");
                if (std::regex_search(line, word) && line.find("//") == std::string::npos) {
                    std::string what = call;
                    sites[entry.path().filename().string() + ":" + std::to_string(number)] = what;
                }
            }
        }
    }
    return sites;
}

// "Function (file.cpp:42)" -> "file.cpp", 42.
bool SplitWhere(const std::string &where, std::string *file, int *line)
{
    std::smatch match;
    static const std::regex pattern(R"(\(([^():]+):(\d+)\)$)");
    if (!std::regex_search(where, match, pattern)) {
        return false;
    }
    *file = match[1];
    *line = std::stoi(match[2]);
    return true;
}

int Usage()
{
    std::cerr << "usage: qvr-fault-sweep [--max-ordinals N] [--quick] [--fail-unreached] [--only TEXT] [--hang-seconds N]\n"
                 "                      [--report FILE] [--sources DIR]\n"
                 "  --max-ordinals N  fail at most the first N calls of each site (default: all)\n"
                 "  --quick           leave out the whole default scenario (the CI's bounded sweep)\n"
                 "  --fail-unreached  exit 1 when a fallible call site in --sources was reached by no run\n"
                 "  --only TEXT       only the failing runs whose description holds TEXT, each printed as\n"
                 "                    qvrsim prints it (to replay one)\n"
                 "  --hang-seconds N  a run longer than this is a hang (default 60)\n"
                 "  --report FILE     where the report goes (default fault-sweep-report.md)\n"
                 "  --sources DIR     the driver's sources, to list sites no scenario reaches\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--max-ordinals" && i + 1 < argc) {
            options.maxOrdinals = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--report" && i + 1 < argc) {
            options.reportPath = argv[++i];
        } else if (arg == "--sources" && i + 1 < argc) {
            options.sourceDir = argv[++i];
        } else if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--fail-unreached") {
            options.failUnreached = true;
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else if (arg == "--hang-seconds" && i + 1 < argc) {
            options.hangSeconds = std::atoi(argv[++i]);
        } else {
            return Usage();
        }
    }
    winsim::SetDebugOutput(false);
    winsim::faults::SetSiteFilter("/driver/");

    std::map<const void *, SiteResult> sites;
    std::vector<std::string> baselineProblems;
    std::uint64_t totalRuns = 0;
    std::uint64_t badRuns = 0;
    const auto started = std::chrono::steady_clock::now();

    for (const SweptScenario &scenario : Scenarios(options.quick)) {
        const std::string &key = scenario.key;
        winsim::faults::Clear();
        winsim::faults::StartRecording();
        std::vector<std::string> before = winsim::Outstanding();
        Report baseline = RunGuarded(scenario, key + " (baseline)", options.hangSeconds);
        std::vector<winsim::faults::FallibleCall> calls = winsim::faults::StopRecording();
        for (const std::string &problem : Problems(baseline, before)) {
            baselineProblems.push_back(key + ": " + problem);
        }
        std::map<const void *, std::uint64_t> ordinals;
        for (const auto &call : calls) {
            if (call.site == nullptr) {
                continue;
            }
            SiteResult &site = sites[call.site];
            if (site.where.empty()) {
                site.call = call.call;
                site.where = winsim::faults::DescribeSite(call.site);
            }
            site.scenarios.insert(key);
            ordinals[call.site] = std::max(ordinals[call.site], call.ordinal);
        }
        std::cout << key << ": " << calls.size() << " fallible calls from " << ordinals.size() << " sites" << std::flush;
        const auto scenarioStarted = std::chrono::steady_clock::now();
        std::uint64_t scenarioRuns = 0;
        // Sites that only a failure elsewhere reaches (a clean-up after a failed reference, a
        // second query after an answer that the list grew), each with the first failure that
        // reached it; they are failed together with it below.
        std::map<const void *, Arm> reachedByFailure;

        // One run with the armed calls failing; its problems go to `result`, the first arm's site.
        auto failingRun = [&](const std::vector<Arm> &arms, const std::string &what) {
            if (!options.only.empty() && what.find(options.only) == std::string::npos) {
                return;
            }
            SiteResult &result = sites[arms.front().site];
            winsim::faults::Clear();
            for (const Arm &arm : arms) {
                winsim::faults::FailAtSite(arm.site, arm.nth, arm.status);
            }
            winsim::faults::StartRecording();
            before = winsim::Outstanding();
            std::string output;
            Report report = RunGuarded(scenario, what, options.hangSeconds, &output);
            if (!options.only.empty()) {
                // A run replayed on its own: what the scenario printed, as qvrsim prints it.
                std::cout << "== " << what << " ==\n" << output;
            }
            std::vector<winsim::faults::FallibleCall> reached = winsim::faults::StopRecording();
            winsim::faults::Clear();
            std::vector<const char *> released;
            for (const Arm &arm : arms) {
                ForgetRefusedRemovals(sites[arm.site].call);
                if (const char *kind = KindReleasedBy(sites[arm.site].call)) {
                    released.push_back(kind);
                }
            }
            ++totalRuns;
            ++scenarioRuns;
            ++result.runs;
            if (!NT_SUCCESS(report.firstLoadStatus)) {
                ++result.loadStatuses[key];
            }
            for (const auto &call : reached) {
                if (call.site == nullptr || ordinals.count(call.site) != 0) {
                    continue;
                }
                SiteResult &other = sites[call.site];
                if (other.where.empty()) {
                    other.call = call.call;
                    other.where = winsim::faults::DescribeSite(call.site);
                }
                other.scenarios.insert(key + " (after a failure)");
                reachedByFailure.emplace(call.site, arms.front());
            }
            bool clean = true;
            for (const std::string &problem : Problems(report, before)) {
                bool kept = false;
                for (const char *kind : released) {
                    kept = kept || problem.find(std::string(kind) + ":") != std::string::npos;
                }
                if (kept) {
                    result.kept.push_back(what + ": " + problem);
                } else if (problem.rfind("connection left pended", 0) == 0 &&
                           winsim::Outstanding().size() == before.size()) {
                    // Unload completed it and left no pended classify behind.
                    result.held.push_back(what + ": " + problem);
                } else {
                    clean = false;
                    result.problems.push_back(what + ": " + problem);
                    std::cerr << "qvr-fault-sweep: " << what << ": " << problem << "\n";
                }
            }
            if (!clean) {  // one run, however many problems
                ++result.bad;
                ++badRuns;
            }
        };

        for (const auto &[site, count] : ordinals) {
            const std::uint64_t last = options.maxOrdinals == 0 ? count : std::min(count, options.maxOrdinals);
            const std::string where = sites[site].where;
            for (std::uint64_t nth = 1; nth <= last; ++nth) {
                failingRun({Arm{site, nth, STATUS_INSUFFICIENT_RESOURCES}},
                           key + ": " + where + " call " + std::to_string(nth));
                // A query that Windows also answers with "the list grew, ask again".
                if (const std::optional<NTSTATUS> other = AlternativeStatus(sites[site].call)) {
                    failingRun({Arm{site, nth, *other}},
                               key + ": " + where + " call " + std::to_string(nth) + " answering " +
                                   qvr::agent::StatusText(*other));
                }
            }
        }
        // Each site reached only after a failure, failed together with that failure. A copy is
        // walked: the paired runs add what they reach, which would need a third failure.
        for (const auto &[site, first] : std::map<const void *, Arm>(reachedByFailure)) {
            if (sites[site].runs != 0) {
                continue;
            }
            failingRun({Arm{site, 1, STATUS_INSUFFICIENT_RESOURCES}, first},
                       key + ": " + sites[site].where + " call 1, with " + sites[first.site].where + " call " +
                           std::to_string(first.nth) + " failed (" + qvr::agent::StatusText(first.status) + ")");
        }
        std::cout << "; " << scenarioRuns << " failing runs in "
                  << static_cast<int>(std::chrono::duration<double>(std::chrono::steady_clock::now() - scenarioStarted).count())
                  << " s\n";
    }

    std::set<std::string> callNames(std::begin(kFaultPoints), std::end(kFaultPoints));
    std::set<std::string> reached;  // "file.cpp:line" of every site seen
    for (const auto &[site, result] : sites) {
        callNames.insert(result.call);
        std::string file;
        int line = 0;
        if (SplitWhere(result.where, &file, &line)) {
            reached.insert(file + ":" + std::to_string(line));
        }
    }
    // A call spread over lines is reported at one of its lines: allow a few.
    std::vector<std::string> unreached;
    for (const auto &[where, call] : SourceSites(options.sourceDir, callNames)) {
        std::string file = where.substr(0, where.find(':'));
        int line = std::stoi(where.substr(where.find(':') + 1));
        bool seen = false;
        for (int d = 0; d <= 4 && !seen; ++d) {
            seen = reached.count(file + ":" + std::to_string(line + d)) != 0;
        }
        if (!seen) {
            unreached.push_back(where + " " + call);
        }
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::ofstream report(options.reportPath);
    std::size_t failed = 0;
    for (const auto &[site, result] : sites) {
        failed += result.runs != 0 ? 1 : 0;
    }
    report << "# Failure-injection sweep\n\n"
           << "Runs: " << totalRuns << " failing runs in " << static_cast<int>(seconds) << " s"
           << (options.maxOrdinals != 0 ? " (at most " + std::to_string(options.maxOrdinals) + " ordinals per site)" : "")
           << (options.quick ? ", default scenario left out" : "") << ".\n\n"
           << "Fallible call sites reached: " << sites.size() << "; failed in at least one scenario: " << failed
           << "; runs not clean: " << badRuns << "; baseline problems: " << baselineProblems.size() << ".\n\n";
    if (!options.sourceDir.empty()) {
        report << "Call sites in the driver's sources that no scenario reached: " << unreached.size() << "\n\n";
        for (const std::string &where : unreached) {
            report << "- " << where << "\n";
        }
        report << "\n";
    }
    report << "| Call | Site | Scenarios | Runs failing it | Not clean | Load failed in |\n|---|---|---|---|---|---|\n";
    for (const auto &[site, result] : sites) {
        std::string scenarios;
        for (const std::string &s : result.scenarios) {
            scenarios += (scenarios.empty() ? "" : ", ") + s;
        }
        std::string loads;
        for (const auto &[s, n] : result.loadStatuses) {
            loads += (loads.empty() ? "" : ", ") + s + " x" + std::to_string(n);
        }
        report << "| " << result.call << " | " << result.where << " | " << scenarios << " | " << result.runs << " | "
               << result.bad << " | " << loads << " |\n";
    }
    std::size_t keptRuns = 0;
    std::size_t heldRuns = 0;
    for (const auto &[site, result] : sites) {
        keptRuns += result.kept.size();
        heldRuns += result.held.size();
    }
    report << "\n## Releases the platform refused (" << keptRuns << " items)\n\n"
           << "The failed call was a release; the platform kept what it held and the verifier lists it.\n\n";
    for (const auto &[site, result] : sites) {
        for (const std::string &item : result.kept) {
            report << "- " << item << "\n";
        }
    }
    report << "\n## Connections still held when the scenario looked (" << heldRuns << ")\n\n"
           << "Their question's reply was lost to the failure; unload completed them (no pended classify "
              "was left behind).\n\n";
    for (const auto &[site, result] : sites) {
        for (const std::string &item : result.held) {
            report << "- " << item << "\n";
        }
    }
    if (!baselineProblems.empty() || badRuns != 0) {
        report << "\n## Problems\n\n";
        for (const std::string &problem : baselineProblems) {
            report << "- baseline " << problem << "\n";
        }
        for (const auto &[site, result] : sites) {
            for (const std::string &problem : result.problems) {
                report << "- " << problem << "\n";
            }
        }
    }
    report.close();
    std::cout << "sites " << sites.size() << ", failed " << failed << ", runs " << totalRuns << ", not clean "
              << badRuns << ", unreached in sources " << unreached.size() << ", " << static_cast<int>(seconds)
              << " s; report: " << options.reportPath << "\n";
    if (options.failUnreached && !unreached.empty()) {
        std::cerr << "qvr-fault-sweep: " << unreached.size() << " call site(s) in " << options.sourceDir
                  << " reached by no run (listed in the report)\n";
        return 1;
    }
    return (badRuns == 0 && baselineProblems.empty()) ? 0 : 1;
}
