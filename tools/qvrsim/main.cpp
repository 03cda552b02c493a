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
#include <string>

int main(int argc, char **argv)
{
    qvr::sim::Scenario scenario = qvr::sim::DefaultScenario();
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::cerr << "usage: qvrsim [scenario-file]\n"
                     "Runs the embedded default scenario, or the scenario file, against qvrdrv in winsim.\n";
        return 2;
    }
    if (argc == 2) {
        std::string error;
        auto loaded = qvr::sim::LoadScenarioFile(argv[1], &error);
        if (!loaded) {
            std::cerr << "qvrsim: " << error << "\n";
            return 2;
        }
        scenario = std::move(*loaded);
    }

    const qvr::sim::Report report = qvr::sim::RunScenario(scenario, std::cout);
    if (!report.Clean()) {
        return 1;
    }
    return report.AllAsExpected() ? 0 : 3;
}
