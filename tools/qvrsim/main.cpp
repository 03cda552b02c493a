/*
 * main.cpp
 *
 * qvrsim: runs a scenario (the embedded default, a scenario file, or "-" for standard
 * input) against qvrdrv in winsim and prints what happened and the verifier's verdict, as
 * text or, with --json, as one JSON object per line.
 *
 * Exit status: 0 clean and as the scenario expects; 1 the verifier's verdict is not clean,
 * the driver did not start, or a step overran its deadline; 2 bad arguments or scenario
 * file (nothing ran); 3 clean, but an answer differed from the scenario's expectation or a
 * step could not finish.
 */
#include "live.h"
#include "scenario.h"
#include "simulator.h"

#include <climits>
#include <unistd.h>

#include "agent/status_names.h"

#include <iostream>
#include <iterator>
#include <string>

namespace {

void PrintHelp(std::ostream &out)
{
    out << "usage: qvrsim [--json] [--trace[=FLAGS[,LEVEL]]] [scenario-file | -]\n"
           "\n"
           "Loads qvrdrv into winsim, starts the agent's service model, plays the scenario (the\n"
           "embedded default without a file; '-' reads standard input), unloads the driver and\n"
           "prints the verifier's verdict.\n"
           "\n"
           "  --json      one JSON object per line: scenario, step, connection, verdict\n"
           "              (schema: tools/qvrsim/qvrsim-output.schema.json)\n"
           "  --trace[=FLAGS[,LEVEL]]\n"
           "              the driver's WPP trace, each record before the line that follows it\n"
           "              (with --json, in each step's trace): FLAGS a number (0x1 rules, 0x2\n"
           "              driver) or rules+driver, all (the default); LEVEL 1 (critical) to 5\n"
           "              (verbose, the default) or its name\n"
           "  -h, --help  this text\n"
           "\n"
           "Scenario directives (one per line, '#' starts a comment, \"quoted words\" may hold\n"
           "spaces; every step also takes label=<text>):\n"
        << qvr::sim::DirectiveHelp()
        << "\n"
           "Times are written 250ms or 10s; numbers in decimal or as 0x and hex digits; bytes as\n"
           "pairs of hex digits without 0x.\n"
           "\n"
           "Exit status:\n"
           "  0  clean, and every answer as the scenario expects\n"
           "  1  the verifier's verdict is not clean, the driver did not start, or a step overran\n"
           "     its deadline (the run is abandoned)\n"
           "  2  bad arguments or a bad scenario file: nothing ran\n"
           "  3  clean, but an answer differed from an expect= or a step could not finish\n"
           "\n"
           "Status names known to expect=:\n";
    std::size_t count = 0;
    const qvr::agent::KnownStatus *statuses = qvr::agent::KnownStatuses(&count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = statuses[i].name;
        out << "  " << name << std::string(name.size() < 40 ? 40 - name.size() : 1, ' ')
            << qvr::sim::StatusHex(statuses[i].value) << "\n";
    }
}

const char kLiveUsage[] =
    "usage: qvrsim live [--json] [--trace[=FLAGS[,LEVEL]]] [--allow-remote] [scenario-file] -- PROGRAM [ARGS...]\n";

void PrintLiveHelp(std::ostream &out)
{
    out << kLiveUsage
        << "\n"
           "Plays the scenario (the built-in live default without a file: a proxy on port 8080,\n"
           "its filters for every TCP port, curl and wget covered), then runs PROGRAM with a\n"
           "preload library that asks qvrsim about each connect() and UDP send: the driver\n"
           "classifies it in winsim for a process whose image is \\Device\\HarddiskVolume1 and\n"
           "the real path (/usr/bin/curl: \\Device\\HarddiskVolume1\\usr\\bin\\curl). Redirected\n"
           "connections go to a real proxy on loopback that reads the context record, connects\n"
           "onwards and relays; blocked ones fail with EACCES, refused ones with ECONNREFUSED, a\n"
           "classify still pending after 30 s with ETIMEDOUT. Destinations other than loopback\n"
           "fail with ENETUNREACH unless --allow-remote is given.\n"
           "\n"
           "Exit status: as qvrsim's; 2 also when PROGRAM cannot be started or is statically\n"
           "linked (nothing ran), 3 when it exits non-zero or ends by a signal.\n";
}

std::string PreloadPath()
{
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./qvrsim");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/libqvrlive-preload.so";
}

int Usage(const std::string &problem)
{
    std::cerr << "qvrsim: " << problem
              << "\nusage: qvrsim [--json] [--trace[=FLAGS[,LEVEL]]] [scenario-file | -]   (qvrsim --help for more)\n";
    return 2;
}

}  // namespace

int Live(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "live") {
        return Live(argc, argv);
    }
    bool json = false;
    std::optional<qvr::sim::TraceSettings> trace;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintHelp(std::cout);
            return 0;
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "--trace") {
            trace = qvr::sim::TraceSettings{};
        } else if (arg.rfind("--trace=", 0) == 0) {
            trace = qvr::sim::ParseTraceSettings(arg.substr(8));
            if (!trace) {
                return Usage("--trace takes FLAGS[,LEVEL], not " + arg.substr(8));
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (!file.empty()) {
            return Usage("one scenario file at a time");
        } else {
            file = arg;
        }
    }

    qvr::sim::ParseError error;
    std::optional<qvr::sim::Scenario> scenario;
    if (file.empty()) {
        scenario = qvr::sim::ParseScenario(qvr::sim::DefaultScenarioText(), "default.qvrsim", &error);
    } else if (file == "-") {
        std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        scenario = qvr::sim::ParseScenario(text, "(standard input)", &error);
    } else {
        scenario = qvr::sim::LoadScenarioFile(file, &error);
    }
    if (!scenario) {
        std::cerr << "qvrsim: " << error.ToString() << "\n";
        if (json) {
            std::cout << qvr::sim::Json{{"kind", "error"}, {"source", error.source}, {"line", error.line},
                                        {"field", error.field}, {"message", error.message}, {"exit_code", 2}}
                             .dump(-1, ' ', false, qvr::sim::Json::error_handler_t::replace)
                      << std::endl;
        }
        return 2;
    }

    std::unique_ptr<qvr::sim::Output> output = json ? qvr::sim::JsonOutput(std::cout) : qvr::sim::TextOutput(std::cout);
    const qvr::sim::Report report = qvr::sim::RunScenario(*scenario, *output, true, trace);
    return report.ExitCode();
}

// qvrsim live [options] [scenario] -- PROGRAM [ARGS...]
int Live(int argc, char **argv)
{
    bool json = false;
    qvr::sim::LiveOptions options;
    std::string file;
    int i = 2;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            PrintLiveHelp(std::cout);
            return 0;
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "--allow-remote") {
            options.allowRemote = true;
        } else if (arg == "--trace") {
            options.trace = qvr::sim::TraceSettings{};
        } else if (arg.rfind("--trace=", 0) == 0) {
            options.trace = qvr::sim::ParseTraceSettings(arg.substr(8));
            if (!options.trace) {
                std::cerr << "qvrsim live: --trace takes FLAGS[,LEVEL], not " << arg.substr(8) << "\n" << kLiveUsage;
                return 2;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::cerr << "qvrsim live: unknown option " << arg << "\n" << kLiveUsage;
            return 2;
        } else if (!file.empty()) {
            std::cerr << "qvrsim live: one scenario file at a time (PROGRAM comes after --)\n" << kLiveUsage;
            return 2;
        } else {
            file = arg;
        }
    }
    for (; i < argc; ++i) {
        options.program.push_back(argv[i]);
    }
    if (options.program.empty()) {
        std::cerr << "qvrsim live: no PROGRAM after --\n" << kLiveUsage;
        return 2;
    }
    std::string resolved;
    const std::string problem = qvr::sim::CheckLiveProgram(options.program[0], &resolved);
    if (!problem.empty()) {
        std::cerr << "qvrsim live: " << problem << "\n";
        return 2;
    }
    options.preload = PreloadPath();
    if (access(options.preload.c_str(), R_OK) != 0) {
        std::cerr << "qvrsim live: the preload library " << options.preload << " is missing (build the qvrsim target)\n";
        return 2;
    }
    qvr::sim::ParseError error;
    std::optional<qvr::sim::Scenario> scenario =
        file.empty() ? qvr::sim::ParseScenario(qvr::sim::LiveScenarioText(), "live.qvrsim", &error)
                     : qvr::sim::LoadScenarioFile(file, &error);
    if (!scenario) {
        std::cerr << "qvrsim live: " << error.ToString() << "\n";
        return 2;
    }
    std::unique_ptr<qvr::sim::Output> output = json ? qvr::sim::JsonOutput(std::cout) : qvr::sim::TextOutput(std::cout);
    return qvr::sim::RunLive(*scenario, *output, options);
}
