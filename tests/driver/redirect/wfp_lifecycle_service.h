// A filter from the service side for the WFP lifecycle tests (see wfp_lifecycle_service.cpp).
#pragma once

#include <ntdef.h>

#include <winsim/network.h>

#include <memory>

// Opens a user-mode session, adds the callout's management object at `layer` and a
// terminating filter calling it; the session (and what it added) lives as long as the result.
std::shared_ptr<void> AddServiceCalloutFilter(const GUID &layer, const GUID &calloutKey);

// Process 1000 connects over TCP to 198.51.100.1:443.
winsim::network::ConnectRequest PlainServiceRequest();
