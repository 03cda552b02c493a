// The connect-redirect classify in real classifies of winsim's network stack, each timed
// inside the callout: the immediate redirect (request, context record, rewrite, apply) and
// every early exit a connection can take there (not TCP, a loopback destination, a process
// id up to 4, the redirect target's own process, a process the policy does not cover).
// Against, timed the same way in the same run: a null classify that only continues, the
// process-table lookup alone, and an allocation and copy of the same context record (host
// malloc, memcpy, free). Every run is made twice, with winsim's checks on ("/checked/") and
// in winsim's release mode ("/release/"). The yardstick, a real loopback TCP connect on
// this machine (socket, connect, accept, close), reads each classify as a share of a
// connection. Ratios are printed at the end; run with repetitions and interleaving.
#include <ntddk.h>
#include <fwpsk.h>

#include <benchmark/benchmark.h>
#include <winsim/driver.h>
#include <winsim/io.h>
#include <winsim/network.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include "agent/filters.h"
#include "agent/proxy.h"
#include "agent/records.h"
#include "bench/bench_ratios.h"
#include "bench/loopback_connect.h"
#include "driver/policy/process_table.h"
#include "driver/redirect/connect_redirect.h"
#include "driver/redirect/redirect_records.h"
#include "qvr_ioctl.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

const GUID kBenchV4 = {0x4c0ffee1, 0x6a2b, 0x4d1e, {0x91, 0x22, 0x0b, 0x5e, 0x7a, 0x10, 0x33, 0x01}};
const GUID kBenchV6 = {0x4c0ffee1, 0x6a2b, 0x4d1e, {0x91, 0x22, 0x0b, 0x5e, 0x7a, 0x10, 0x33, 0x02}};

// What the bench callout does inside its timing.
enum class Body { Driver, Null, Lookup, AllocCopy };

std::atomic<Body> body{Body::Driver};
std::uint64_t lookupProcess = 0;
double lastClassifyNs = 0;

// The baseline of the record: allocated, filled from the classify's values, freed.
__attribute__((noinline)) void AllocateAndCopyRecord(const FWPS_INCOMING_VALUES0 *values, UINT64 processId)
{
    const FWP_BYTE_BLOB *app = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID].value.byteBlob;
    const std::size_t appBytes = app != nullptr ? app->size : 0;
    auto *record = static_cast<REDIRECT_CONTEXT_RECORD *>(std::malloc(sizeof(REDIRECT_CONTEXT_RECORD) + appBytes));
    std::memset(record, 0, sizeof(REDIRECT_CONTEXT_RECORD));
    record->ProcessId = processId;
    record->LocalPort = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT].value.uint16;
    std::memcpy(&record->RequestedRemote,
                &values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS].value.uint32, 4);
    if (appBytes != 0) {
        std::memcpy(record->AppPath, app->data, appBytes);
    }
    benchmark::DoNotOptimize(record);
    std::free(record);
}

void NTAPI BenchClassify(const FWPS_INCOMING_VALUES0 *values, const FWPS_INCOMING_METADATA_VALUES0 *meta, void *data,
                         const void *context, const FWPS_FILTER1 *filter, UINT64 flow, FWPS_CLASSIFY_OUT0 *out)
{
    const auto start = std::chrono::steady_clock::now();
    switch (body.load(std::memory_order_relaxed)) {
    case Body::Driver:
        AleConnectRedirectClassifyFn(values, meta, data, context, filter, flow, out);
        break;
    case Body::Lookup: {
        BOOLEAN intercept = FALSE;
        (void)QueryProcessIntercept(lookupProcess, &intercept);
        benchmark::DoNotOptimize(intercept);
    }
        [[fallthrough]];
    case Body::Null:
        if ((out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
            out->actionType = FWP_ACTION_CONTINUE;
        }
        break;
    case Body::AllocCopy:
        AllocateAndCopyRecord(values, lookupProcess);
        if ((out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
            out->actionType = FWP_ACTION_CONTINUE;
        }
        break;
    }
    lastClassifyNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

NTSTATUS NTAPI BenchNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *) { return STATUS_SUCCESS; }

struct World {
    qvr::agent::LocalProxy proxy;
    qvr::agent::RedirectFilters filters;
    winsim::Handle device;
    std::uint64_t browser = 0;
    std::uint64_t editor = 0;

    bool Start()
    {
        if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
            return false;
        }
        winsim::OpenResult open = winsim::OpenDevice("\\\\.\\" QVR_DEVICE_BASE_NAME, winsim::Identity::LocalSystem);
        device = open.handle;
        std::vector<std::uint8_t> rules = qvr::agent::BuildProcessRulesRecord({true, {u"webbrowser.exe"}});
        if (!NT_SUCCESS(open.status) ||
            !NT_SUCCESS(winsim::DeviceIoControl(device, IOCTL_QVR_SET_PROCESS_RULES, rules, 0).status)) {
            return false;
        }
        browser = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe");
        editor = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Tools\\editor.exe");
        static int deviceObject;
        for (const GUID *key : {&kBenchV4, &kBenchV6}) {
            FWPS_CALLOUT1 callout = {};
            callout.calloutKey = *key;
            callout.classifyFn = BenchClassify;
            callout.notifyFn = BenchNotify;
            if (!NT_SUCCESS(FwpsCalloutRegister1(&deviceObject, &callout, nullptr))) {
                return false;
            }
        }
        qvr::agent::RedirectFilterOptions options;
        options.calloutV4 = kBenchV4;
        options.calloutV6 = kBenchV6;
        return proxy.Start(8080) && filters.Open() == ERROR_SUCCESS &&
               filters.AddCallout(kBenchV4, FWPM_LAYER_ALE_CONNECT_REDIRECT_V4) == ERROR_SUCCESS &&
               filters.AddCallout(kBenchV6, FWPM_LAYER_ALE_CONNECT_REDIRECT_V6) == ERROR_SUCCESS &&
               filters.AddTarget({8080, proxy.ProcessId(), false}, options) == ERROR_SUCCESS;
    }

    void Stop()
    {
        winsim::SetMode(winsim::Mode::Checked);
        winsim::network::Reset();
        filters.Close();
        proxy.Stop();
        FwpsCalloutUnregisterByKey0(&kBenchV4);
        FwpsCalloutUnregisterByKey0(&kBenchV6);
        winsim::processes::End(browser);
        winsim::processes::End(editor);
        winsim::CloseHandle(device);
        winsim::UnloadResult unload = winsim::UnloadDriver("qvrdrv");
        for (const std::string &item : unload.leftBehind) {
            std::fprintf(stderr, "left behind: %s\n", item.c_str());
        }
        winsim::wfp::Reset();
    }
};

World *world = nullptr;

// One connection the classify sees, and whether the driver redirects it.
struct Case {
    const char *name;
    Body body;
    std::uint8_t protocol;
    const char *remote;
    enum { Browser, Editor, System, Proxy } process;
    bool redirected;
};

const Case kCases[] = {
    {"baseline_null_classify", Body::Null, 6, "203.0.113.7:443", Case::Browser, false},
    {"baseline_lookup", Body::Lookup, 6, "203.0.113.7:443", Case::Browser, false},
    {"baseline_alloc_copy", Body::AllocCopy, 6, "203.0.113.7:443", Case::Browser, false},
    {"immediate_redirect", Body::Driver, 6, "203.0.113.7:443", Case::Browser, true},
    {"exit_not_covered", Body::Driver, 6, "203.0.113.7:443", Case::Editor, false},
    {"exit_not_tcp", Body::Driver, 17, "203.0.113.7:443", Case::Browser, false},
    {"exit_loopback", Body::Driver, 6, "127.0.0.1:443", Case::Browser, false},
    {"exit_system_process", Body::Driver, 6, "203.0.113.7:443", Case::System, false},
    {"exit_redirect_target", Body::Driver, 6, "203.0.113.7:443", Case::Proxy, false},
};

std::uint64_t ProcessOf(const Case &c)
{
    switch (c.process) {
    case Case::Browser:
        return world->browser;
    case Case::Editor:
        return world->editor;
    case Case::System:
        return 4;
    case Case::Proxy:
        return world->proxy.ProcessId();
    }
    return 0;
}

// One connection per iteration; the iteration's time is the classify's alone.
void Classify(benchmark::State &state, const Case &c, winsim::Mode mode)
{
    winsim::SetMode(mode);
    body = c.body;
    lookupProcess = world->browser;
    winsim::network::ConnectRequest request;
    request.processId = ProcessOf(c);
    request.protocol = c.protocol;
    request.remote = winsim::network::Endpoint::Parse(c.remote);
    for (auto _ : state) {
        winsim::network::Connection connection = winsim::network::Connect(request);
        state.SetIterationTime(lastClassifyNs * 1e-9);
        if (connection.Redirected() != c.redirected) {
            state.SkipWithError("the connection did not go as the benchmark expects");
            break;
        }
        if (c.redirected) {
            world->proxy.Accept();
        }
        connection.Close();
    }
    body = Body::Driver;
    winsim::SetMode(winsim::Mode::Checked);
}

void RegisterAll()
{
    for (const auto &[mode, modeName] : {std::pair{winsim::Mode::Checked, "checked"},
                                         std::pair{winsim::Mode::Release, "release"}}) {
        for (const Case &c : kCases) {
            const winsim::Mode m = mode;
            benchmark::RegisterBenchmark((std::string("ConnectRedirect/") + modeName + "/" + c.name).c_str(),
                                         [&c, m](benchmark::State &state) { Classify(state, c, m); })
                ->UseManualTime()
                ->Iterations(3000);
        }
    }
    benchmark::RegisterBenchmark("Yardstick/loopback_tcp_connect", qvrbench::LoopbackConnect)->Unit(benchmark::kMicrosecond);
}

// Each classify of a mode against that mode's null classify.
std::string BaselineOf(const std::string &name)
{
    if (name.rfind("ConnectRedirect/", 0) != 0 || name.find("/baseline_null_classify") != std::string::npos) {
        return "";
    }
    return name.substr(0, name.rfind('/')) + "/baseline_null_classify";
}

}  // namespace

int main(int argc, char **argv)
{
    World w;
    world = &w;
    if (!w.Start()) {
        std::fprintf(stderr, "the driver and the agent's redirect side could not be set up\n");
        return 1;
    }
    RegisterAll();
    const int result = qvrbench::RunWithRatios(argc, argv, BaselineOf);
    w.Stop();
    return result;
}
