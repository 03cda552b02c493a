/*
 * trace.h
 *
 * The driver's WPP trace provider: its control GUID, its two flags and the trace function
 * every source uses, TraceEvents(LEVEL, FLAGS, MSG, ...). Each source includes this header
 * and then its own generated "<basename>.tmh". A point is written only while a trace
 * session has the provider enabled with the point's flag and at least the point's level.
 *
 * Flags: TRACE_RULES (0x1) for the process rule store and its control request,
 * TRACE_DRIVER (0x2) for everything else. Levels are the standard ones of evntrace.h:
 * TRACE_LEVEL_CRITICAL (a failing driver-entry step) to TRACE_LEVEL_VERBOSE.
 */
#pragma once

#define WPP_CONTROL_GUIDS                                                                \
    WPP_DEFINE_CONTROL_GUID(QvrDrvTraceGuid, (2FD5E1A4, F49D, 452E, ACDB, FC87A8EDB322), \
                            WPP_DEFINE_BIT(TRACE_RULES)  /* 0x1 */                       \
                            WPP_DEFINE_BIT(TRACE_DRIVER) /* 0x2 */                       \
    )

#define WPP_LEVEL_FLAGS_LOGGER(lvl, flags)  WPP_LEVEL_LOGGER(flags)
#define WPP_LEVEL_FLAGS_ENABLED(lvl, flags) (WPP_LEVEL_ENABLED(flags) && WPP_CONTROL(WPP_BIT_##flags).Level >= (lvl))

// A null text argument is written as "NULL".
#define WPP_CHECK_FOR_NULL_STRING

// %!IPV6ADDR!: the 16 bytes an IN6_ADDR pointer points to.
#define WPP_LOGIPV6(x) WPP_LOGPAIR(16, (x))

//
// begin_wpp config
// FUNC TraceEvents(LEVEL, FLAGS, MSG, ...);
// DEFINE_CPLX_TYPE(IPV6ADDR, WPP_LOGIPV6, const IN6_ADDR *, ItemIPV6Addr, "s", _IPV6_, 0);
// end_wpp
//
