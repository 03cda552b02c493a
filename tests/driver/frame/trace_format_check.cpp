// Trace points whose format does not fit their arguments must not compile. Each
// TRACE_FORMAT_CASE above 0 adds one such point; case 0 is the well-formed baseline.
#include <ntddk.h>

#include "../../../driver/trace/trace.h"
#include "trace_format_check.tmh"

VOID TraceFormatCheck(UINT64 Big, ULONG Small, PCUNICODE_STRING Name, PCSTR Text, const GUID *Guid,
                      const IN6_ADDR *Address)
{
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%I64u %u %wZ %s %!STATUS! %p %!GUID! %!bool! %!FUNC! %08X %%",
                Big, Small, Name, Text, static_cast<NTSTATUS>(Small), Name, Guid, Small != 0, Small);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!IPADDR!:%!PORT! %!IPV6ADDR!", Small, (USHORT)Small, Address);
#if TRACE_FORMAT_CASE == 1
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "a 64-bit value for %u", Big);
#elif TRACE_FORMAT_CASE == 2
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "narrow text for %wZ", Text);
#elif TRACE_FORMAT_CASE == 3
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%u and %u", Small);
#elif TRACE_FORMAT_CASE == 4
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%u", Small, Small);
#elif TRACE_FORMAT_CASE == 5
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "an unknown conversion %q", Small);
#elif TRACE_FORMAT_CASE == 6
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_UNDECLARED, "a flag the provider does not have %u", Small);
#elif TRACE_FORMAT_CASE == 7
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "a 32-bit value for %I64u", Small);
#elif TRACE_FORMAT_CASE == 8
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "bytes that are not an IN6_ADDR for %!IPV6ADDR!", Text);
#endif
}
