/*
 * main.cpp
 *
 * qvrsim: runs a scenario (the embedded default, or a scenario file) against qvrdrv in
 * winsim and prints what happened and the verifier's verdict.
 *
 * Exit status: 0 clean and as the scenario expects; 1 the verifier's verdict is not clean
 * (or the driver did not start); 2 bad arguments or scenario file; 3 clean, but an answer
 * differed from the scenario's expectation.
 */
#include "scenario.h"
#include "simulator.h"

#include <iostream>
#include <optional>
#include <string>

namespace {

int Usage()
{
    std::cerr << "usage: qvrsim [--trace[=FLAGS[,LEVEL]]] [scenario-file]\n"
                 "Runs the embedded default scenario, or the scenario file, against qvrdrv in winsim.\n"
                 "--trace shows the driver's WPP trace between the steps: FLAGS a number (0x1 rules,\n"
                 "0x2 driver) or rules+driver, all (the default); LEVEL 1 (critical) to 5 (verbose, the\n"
                 "default) or its name.\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    qvr::sim::Scenario scenario = qvr::sim::DefaultScenario();
    std::optional<qvr::sim::TraceSettings> trace;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--trace") {
            trace = qvr::sim::TraceSettings{};
        } else if (argument.rfind("--trace=", 0) == 0) {
            trace = qvr::sim::ParseTraceSettings(argument.substr(8));
            if (!trace) {
                std::cerr << "qvrsim: --trace takes FLAGS[,LEVEL], not " << argument.substr(8) << "\n";
                return Usage();
            }
        } else if (argument.empty() || argument[0] == '-' || !file.empty()) {
            return Usage();
        } else {
            file = argument;
        }
    }
    if (!file.empty()) {
        std::string error;
        auto loaded = qvr::sim::LoadScenarioFile(file, &error);
        if (!loaded) {
            std::cerr << "qvrsim: " << error << "\n";
            return 2;
        }
        scenario = std::move(*loaded);
    }

    const qvr::sim::Report report = qvr::sim::RunScenario(scenario, std::cout, true, trace);
    if (!report.Clean()) {
        return 1;
    }
    return report.AllAsExpected() ? 0 : 3;
}
