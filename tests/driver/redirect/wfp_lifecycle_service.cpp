// The service side of the WFP lifecycle tests: a user-mode session that adds a callout's
// management object and a filter calling it. Kept apart because the user-mode fwpmu.h and
// the driver's fwpmk.h declare the same management calls.
#include "wfp_lifecycle_service.h"

#include "wfp_test_support.h"

std::shared_ptr<void> AddServiceCalloutFilter(const GUID &layer, const GUID &calloutKey)
{
    auto service = std::make_shared<wfptest::Service>();
    service->AddCalloutAndFilter(wfptest::CalloutFilter(layer, calloutKey));
    return service;
}

winsim::network::ConnectRequest PlainServiceRequest()
{
    return wfptest::PlainRequest();
}
