/*
 * process_scenario.h
 *
 * The process-policy part of the simulator's scenario: a handful of processes start
 * (browsers and others), the service sends a policy, and each process is shown with the
 * intercept flag the driver keeps for it; after a policy change (and a process that starts
 * under it), the flags are shown again.
 */
#pragma once

#include <winsim/processes.h>

#include "agent/service.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace qvr::sim {

// One process as the driver's process table sees it.
struct ProcessView {
    winsim::processes::ProcessId id;
    std::u16string imagePath;  // NT device path
    bool intercepted;          // QueryProcessIntercept's answer, as the classify path gets it
};

// The processes the scenario starts, in order: two instances of one browser, another
// browser, a mail client, an editor and a background updater.
std::vector<std::u16string> ScenarioImages();

// Reads each process's flag from the loaded driver.
std::vector<ProcessView> ViewProcesses(const std::vector<winsim::processes::ProcessId> &ids);

// "  pid 1000  webbrowser.exe  intercepted  \Device\...\webbrowser.exe" per process.
void PrintProcesses(std::ostream &out, const std::string &heading, const std::vector<ProcessView> &views);

// Runs the scenario against the loaded driver through an open service, prints it, and
// ends the processes it started. Returns the first status the driver refused a policy
// with, else STATUS_SUCCESS. `views` receives the two tables shown (before and after the
// policy change), for callers that check them.
NTSTATUS RunProcessPolicyScenario(agent::AgentService &service, std::ostream &out,
                                  std::vector<std::vector<ProcessView>> *views = nullptr);

}  // namespace qvr::sim
