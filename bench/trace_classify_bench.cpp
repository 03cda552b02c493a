// What tracing costs a classify. The connect-redirect classify of a connection the policy
// does not cover (the parameter record's collection, the cheap refusals, the blob, the
// process-table lookup) and the record's collection alone (TraceClassifyParameters) are
// timed with no session, with a session at level 4 (nothing of the record is written) and
// at level 5 (the record is written and rendered), against a null classify that only
// continues, called the same way in the same run. Ratios are printed at the end.
#include <ntddk.h>
#include <fwpsk.h>

#include <benchmark/benchmark.h>
#include <winsim/driver.h>
#include <winsim/trace_session.h>

#include "bench/bench_ratios.h"
#include "bench/connect_redirect_values.h"
#include "driver/redirect/connect_redirect.h"
#include "driver/redirect/redirect_request.h"
#include "driver/redirect/classify_trace.h"

#include <cstdio>
#include <memory>
#include <string>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

// The driver's trace provider, {2FD5E1A4-F49D-452E-ACDB-FC87A8EDB322}.
constexpr GUID kDriverTraceGuid = {0x2FD5E1A4, 0xF49D, 0x452E, {0xAC, 0xDB, 0xFC, 0x87, 0xA8, 0xED, 0xB3, 0x22}};
constexpr UINT64 kUncoveredProcessId = 0x7FF0;  // no process of that id exists

winsim::TraceSession *session = nullptr;

// A classify that does what every classify must and nothing else.
__attribute__((noinline)) VOID NTAPI NullClassify(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *,
                                                  void *, const void *, const FWPS_FILTER1 *, UINT64,
                                                  FWPS_CLASSIFY_OUT0 *out)
{
    if ((out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
        out->actionType = FWP_ACTION_CONTINUE;
    }
    benchmark::ClobberMemory();
}

// The null classify's counterpart for the collection: the same arguments, nothing done.
__attribute__((noinline)) VOID NullCollection(const FWPS_INCOMING_VALUES0 *values, const FWPS_FILTER1 *filter,
                                              const FWPS_CLASSIFY_OUT0 *out, PCSTR name)
{
    benchmark::DoNotOptimize(values);
    benchmark::DoNotOptimize(filter);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(name);
}

// A filter of the agent's, with the 10-byte target blob, and the classify's metadata.
struct ClassifyCall {
    qvrbench::ConnectRedirectValues values{false};
    UCHAR blob[REDIRECT_TARGET_BLOB_SIZE] = {0x90, 0x1F, 0x34, 0x12, 0, 0, 0, 0, 0, 0};  // port 8080, process 0x1234
    FWP_BYTE_BLOB data{REDIRECT_TARGET_BLOB_SIZE, blob};
    FWPM_PROVIDER_CONTEXT1 context{};
    FWPS_FILTER1 filter{};
    FWPS_INCOMING_METADATA_VALUES0 meta{};

    ClassifyCall()
    {
        context.type = FWPM_GENERAL_CONTEXT;
        context.dataBuffer = &data;
        filter.filterId = 77;
        filter.providerContext = &context;
        meta.currentMetadataValues = FWPS_METADATA_FIELD_PROCESS_ID;
        meta.processId = kUncoveredProcessId;
    }
};

// Session settings by the run's last name segment.
void SetTracing(const std::string &how)
{
    if (how == "trace_off") {
        session->Disable();
    } else {
        session->Enable(0x3, how == "trace_level4" ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_VERBOSE);
    }
}

// Records written at level 5 are dropped now and then, outside the timing.
void DropRecords(benchmark::State &state, unsigned long long iteration)
{
    if ((iteration & 1023) == 0) {
        state.PauseTiming();
        session->Clear();
        state.ResumeTiming();
    }
}

void Classify(benchmark::State &state, const std::string &how)
{
    ClassifyCall call;
    const bool null = how == "null";
    SetTracing(null ? "trace_off" : how);
    unsigned long long iteration = 0;
    for (auto _ : state) {
        FWPS_CLASSIFY_OUT0 out{};
        out.rights = FWPS_RIGHT_ACTION_WRITE;
        if (null) {
            NullClassify(&call.values.fixed, &call.meta, nullptr, nullptr, &call.filter, 0, &out);
        } else {
            AleConnectRedirectClassifyFn(&call.values.fixed, &call.meta, nullptr, nullptr, &call.filter, 0, &out);
        }
        benchmark::DoNotOptimize(out.actionType);
        DropRecords(state, ++iteration);
    }
    if (!null) {
        FWPS_CLASSIFY_OUT0 out{};
        out.rights = FWPS_RIGHT_ACTION_WRITE;
        AleConnectRedirectClassifyFn(&call.values.fixed, &call.meta, nullptr, nullptr, &call.filter, 0, &out);
        if (out.actionType != FWP_ACTION_CONTINUE || out.rights != FWPS_RIGHT_ACTION_WRITE) {
            state.SkipWithError("the classify did not leave the connection alone");
        }
    }
    session->Disable();
    session->Clear();
}

void Collection(benchmark::State &state, const std::string &how)
{
    ClassifyCall call;
    const bool null = how == "null";
    SetTracing(null ? "trace_off" : how);
    FWPS_CLASSIFY_OUT0 out{};
    out.actionType = FWP_ACTION_CONTINUE;
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    unsigned long long iteration = 0;
    for (auto _ : state) {
        if (null) {
            NullCollection(&call.values.fixed, &call.filter, &out, "AleConnectRedirectClassifyFn");
        } else {
            TraceClassifyParameters(&call.values.fixed, &call.filter, &out, "AleConnectRedirectClassifyFn");
        }
        DropRecords(state, ++iteration);
    }
    session->Disable();
    session->Clear();
}

void RegisterAll()
{
    for (const char *how : {"null", "trace_off", "trace_level4", "trace_level5"}) {
        benchmark::RegisterBenchmark((std::string("Classify/") + how).c_str(),
                                     [how](benchmark::State &state) { Classify(state, how); });
        benchmark::RegisterBenchmark((std::string("Collection/") + how).c_str(),
                                     [how](benchmark::State &state) { Collection(state, how); });
    }
}

// "<group>/<how>" is measured against "<group>/null".
std::string BaselineOf(const std::string &name)
{
    return name.substr(0, name.find('/')) + "/null";
}

}  // namespace

int main(int argc, char **argv)
{
    winsim::TraceSession traceSession(kDriverTraceGuid, 0, 0);
    traceSession.Disable();
    session = &traceSession;
    if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
        std::fprintf(stderr, "the driver did not start\n");
        return 1;
    }
    RegisterAll();
    const int result = qvrbench::RunWithRatios(argc, argv, BaselineOf);
    winsim::UnloadResult unload = winsim::UnloadDriver("qvrdrv");
    for (const std::string &item : unload.leftBehind) {
        std::fprintf(stderr, "left behind: %s\n", item.c_str());
    }
    return result;
}
