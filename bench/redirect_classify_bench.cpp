// The connect-redirect classify in real classifies of winsim's network stack: the immediate
// redirect (request, context record, rewrite, apply) and the refusal fast paths (a process
// the policy does not cover; a protocol that is not TCP), each timed inside the callout,
// against an empty classify function timed the same way in the same run. Ratios printed at
// the end. The driver is loaded with the agent's proxy, rules and filters as in service.
#include <ntddk.h>
#include <fwpsk.h>

#include <benchmark/benchmark.h>
#include <winsim/driver.h>
#include <winsim/io.h>
#include <winsim/network.h>
#include <winsim/processes.h>
#include <winsim/wfp.h>

#include "agent/filters.h"
#include "agent/proxy.h"
#include "agent/records.h"
#include "driver/redirect/connect_redirect.h"
#include "qvr_ioctl.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

const GUID kBenchV4 = {0x4c0ffee1, 0x6a2b, 0x4d1e, {0x91, 0x22, 0x0b, 0x5e, 0x7a, 0x10, 0x33, 0x01}};
const GUID kBenchV6 = {0x4c0ffee1, 0x6a2b, 0x4d1e, {0x91, 0x22, 0x0b, 0x5e, 0x7a, 0x10, 0x33, 0x02}};

std::atomic<bool> callDriver{true};
double lastClassifyNs = 0;

// Times one classify: the driver's, or an empty one that only continues.
void NTAPI BenchClassify(const FWPS_INCOMING_VALUES0 *values, const FWPS_INCOMING_METADATA_VALUES0 *meta, void *data,
                         const void *context, const FWPS_FILTER1 *filter, UINT64 flow, FWPS_CLASSIFY_OUT0 *out)
{
    const auto start = std::chrono::steady_clock::now();
    if (callDriver) {
        AleConnectRedirectClassifyFn(values, meta, data, context, filter, flow, out);
    } else if ((out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
        out->actionType = FWP_ACTION_CONTINUE;
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

// One connection per iteration; the iteration's time is the classify's alone.
void Classify(benchmark::State &state, bool driver, bool covered, std::uint8_t protocol, bool expectRedirect)
{
    callDriver = driver;
    winsim::network::ConnectRequest request;
    request.processId = covered ? world->browser : world->editor;
    request.protocol = protocol;
    request.remote = winsim::network::Endpoint::Parse("203.0.113.7:443");
    for (auto _ : state) {
        winsim::network::Connection connection = winsim::network::Connect(request);
        state.SetIterationTime(lastClassifyNs * 1e-9);
        if (connection.Redirected() != expectRedirect) {
            state.SkipWithError("the connection did not go as the benchmark expects");
            break;
        }
        if (expectRedirect) {
            world->proxy.Accept();
        }
        connection.Close();
    }
}

void ImmediateRedirect(benchmark::State &state) { Classify(state, true, true, 6, true); }
void RefusalNotCovered(benchmark::State &state) { Classify(state, true, false, 6, false); }
void RefusalNotTcp(benchmark::State &state) { Classify(state, true, true, 17, false); }
void EmptyClassify(benchmark::State &state) { Classify(state, false, true, 6, false); }

BENCHMARK(EmptyClassify)->Name("ConnectRedirect/baseline_empty_classify")->UseManualTime()->Iterations(3000);
BENCHMARK(ImmediateRedirect)->Name("ConnectRedirect/immediate_redirect")->UseManualTime()->Iterations(3000);
BENCHMARK(RefusalNotCovered)->Name("ConnectRedirect/refusal_not_covered")->UseManualTime()->Iterations(3000);
BENCHMARK(RefusalNotTcp)->Name("ConnectRedirect/refusal_not_tcp")->UseManualTime()->Iterations(3000);

// Prints each classify's time as a ratio of the empty classify from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const
    {
        auto baseline = times_.begin();
        while (baseline != times_.end() && baseline->first.rfind("ConnectRedirect/baseline", 0) != 0) {
            ++baseline;
        }
        if (baseline == times_.end() || baseline->second <= 0) {
            return;
        }
        for (const auto &[name, time] : times_) {
            if (name != baseline->first) {
                std::printf("%s: %.2f x the empty classify\n", name.c_str(), time / baseline->second);
            }
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    World w;
    world = &w;
    if (!w.Start()) {
        std::fprintf(stderr, "the driver and the agent's redirect side could not be set up\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    w.Stop();
    benchmark::Shutdown();
    return 0;
}
