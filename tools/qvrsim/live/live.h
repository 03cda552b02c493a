/*
 * live.h
 *
 * qvrsim live: a real Linux program's connections go through the driver in winsim and a
 * real proxy. The scenario sets the world up (policy, proxy, filters); then PROGRAM runs
 * with the preload library, whose intercepted connect()/sendto()/sendmsg() calls are asked
 * here over a Unix socket and classified at winsim's layers for a winsim process standing
 * for the real one. Redirected connections go to a Boost.Asio proxy on real loopback that
 * reads their context record, connects onwards and relays both ways.
 */
#pragma once

#include "scenario.h"
#include "simulator.h"

#include <string>
#include <vector>

namespace qvr::sim {

struct LiveOptions {
    std::vector<std::string> program;   // PROGRAM and its arguments
    std::string preload;                // the preload library's path
    bool allowRemote = false;           // destinations other than loopback are allowed
    std::optional<TraceSettings> trace;
};

// The rule that names a real executable in winsim: "\Device\HarddiskVolume1" followed by
// the real path with each '/' turned into '\' ("/usr/bin/curl" ->
// "\Device\HarddiskVolume1\usr\bin\curl"), so that image-name rules ("curl") apply to it.
std::u16string LiveImagePath(const std::string &realPath);

// The address the driver sees for a real destination: loopback is left alone by the driver,
// so 127.0.x.y stands as 198.18.x.y and ::1 as 2001:db8:7f::1 (both never routed); every
// other address stands as itself. RealAddress maps back.
winsim::network::Address StandInAddress(const winsim::network::Address &real);
winsim::network::Address RealAddress(const winsim::network::Address &standIn);

// Checks that PROGRAM can be started with the preload library: found, executable, and
// dynamically linked. Empty when it can, otherwise the message to show.
std::string CheckLiveProgram(const std::string &program, std::string *resolved);

// The built-in live scenario (scenarios/live.qvrsim).
const std::string &LiveScenarioText();

// Plays the scenario, runs the program in it, unloads. Exit codes: as RunScenario's, and
// 2 when the program cannot be started or is statically linked (nothing ran), 3 when the
// program ended with a non-zero status or by a signal (said in the output).
int RunLive(const Scenario &scenario, Output &output, const LiveOptions &options);

}  // namespace qvr::sim
