/*
 * winsim/kernel.h
 *
 * The kernel half of winsim's control surface: what tests and tools use to wait for the
 * system worker threads, to see work items that blocked them, and to quiet the debugger
 * output. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <cstddef>
#include <string>
#include <vector>

namespace winsim {

// Blocks until no I/O work item is queued or running (all routines have returned).
void DrainWorkItems();

// The verifier's report of work items whose routine held a system worker thread for more
// than one second of the kernel's clock, one line each, oldest first; and its reset.
std::vector<std::string> BlockedWorkItems();
void ClearBlockedWorkItems();

// System worker threads started so far (the static ones and the dynamic ones added while
// the queue was backed up).
std::size_t WorkerThreadCount();

// DbgPrint output to stderr: on by default.
void SetDebugOutput(bool enabled);

}  // namespace winsim
