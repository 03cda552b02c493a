/*
 * winsim/kernel.h
 *
 * The kernel half of winsim's control surface: what tests and tools use to wait for the
 * system worker threads and to quiet the debugger output. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

namespace winsim {

// Blocks until no I/O work item is queued or running (all routines have returned).
void DrainWorkItems();

// DbgPrint output to stderr: on by default.
void SetDebugOutput(bool enabled);

}  // namespace winsim
