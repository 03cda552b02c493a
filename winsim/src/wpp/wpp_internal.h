/*
 * wpp_internal.h (winsim WPP, internal)
 *
 * Between the writer of trace points and the session registry.
 */
#pragma once

#include <evntrace.h>

#include <winsim/trace_session.h>

#include <string>

namespace winsim::wpp {

// Appends the record to the session of logger, if that session still exists.
void RecordTracePoint(TRACEHANDLE logger, TraceRecord record);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::string GuidText(const GUID &guid);

}  // namespace winsim::wpp
