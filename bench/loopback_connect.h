// loopback_connect.h
//
// The yardstick the classifies are read against: a real TCP connect over this machine's
// loopback (socket, connect, accept, both ends closed), one per iteration. In a source of
// its own, as the host's socket headers and winsim's Windows headers do not mix.
#pragma once

#include <benchmark/benchmark.h>

namespace qvrbench {

void LoopbackConnect(benchmark::State &state);

}  // namespace qvrbench
