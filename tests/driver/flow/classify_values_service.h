// The agent service's side for the accessor tests that run through winsim's network: a
// user-mode management session that adds, for each of the test's callout keys, the
// management callout and an inspection filter at the callout's layer. Kept apart from the
// tests because fwpmu.h and the driver's fwpmk.h cannot share a translation unit.
#pragma once

#include <ntdef.h>

#include <utility>
#include <vector>

namespace classify_values_test {

// Opens a dynamic session and adds one callout and one inspection filter per (callout
// key, run-time layer id) pair; returns the session, whose closing deletes them all.
HANDLE AddInspectionFilters(const std::vector<std::pair<GUID, UINT16>> &calloutsAtLayers);
void CloseService(HANDLE engine);

}  // namespace classify_values_test
