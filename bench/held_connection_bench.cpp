// The two paths that wait for the agent, end to end through winsim, with 1 to 512
// connections in flight at once: the pended redirect (connect-redirect pends, a work item
// asks the agent for the proxy's port, the redirect is applied and the classify completed;
// "Pended/redirect/N") and the held connection (connect-redirect, auth-connect pended and
// absorbed, the redirect-records question to the agent, its reply, the re-authorization
// and the verdict; "Held/connection/N"). The baseline, timed in the same run, is the same
// number of requests through a mutex and condition-variable round trip to one answering
// thread ("Baseline/condvar/N"). Each run reports the p50 and p99 latency of one request
// (counters p50_us, p99_us); the ratios to the baseline with as many in flight follow.
// The agent keeps 64 carriers parked. Run with WINSIM_MODE=release to leave winsim's
// bookkeeping out.
#include <ntddk.h>

#include <benchmark/benchmark.h>
#include <winsim/driver.h>
#include <winsim/io.h>
#include <winsim/network.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include "agent/agent.h"
#include "bench/bench_ratios.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

using Clock = std::chrono::steady_clock;

// Carriers the agent keeps parked: the classifies run below DISPATCH_LEVEL and wait for
// one when more connections than carriers are in flight.
constexpr std::size_t kCarriers = 64;

// Which path the driver and the agent are set up for.
enum class Path { None, Pended, Held };

struct World {
    std::unique_ptr<qvr::agent::Agent> agent;
    std::uint64_t browser = 0;
    Path path = Path::None;

    // Loads the driver and starts the agent for `wanted`, unless they already run that way.
    bool Use(Path wanted)
    {
        if (path == wanted) {
            return true;
        }
        Stop();
        if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
            return false;
        }
        qvr::agent::AgentOptions options;
        options.configuration = qvr::agent::ServiceConfiguration{{true, {u"webbrowser.exe"}}, false};
        options.callbackCarriers = kCarriers;
        options.proxyPort = 8080;
        if (wanted == Path::Pended) {
            options.askAgentForPort = true;
        } else {
            options.verdicts = qvr::agent::VerdictPolicy{};
        }
        browser = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe");
        agent = std::make_unique<qvr::agent::Agent>();
        path = wanted;
        return NT_SUCCESS(agent->Start(options)) &&
               agent->Callbacks()->WaitUntilParked(kCarriers, std::chrono::seconds(5));
    }

    void Stop()
    {
        if (path == Path::None) {
            return;
        }
        winsim::network::Reset();
        agent->Stop();
        agent.reset();
        winsim::processes::End(browser);
        winsim::UnloadResult unload = winsim::UnloadDriver("qvrdrv");
        for (const std::string &item : unload.leftBehind) {
            std::fprintf(stderr, "left behind: %s\n", item.c_str());
        }
        winsim::wfp::Reset();
        path = Path::None;
    }
};

World *world = nullptr;

void ReportPercentiles(benchmark::State &state, std::vector<double> &latenciesUs)
{
    if (latenciesUs.empty()) {
        return;
    }
    state.counters["p50_us"] = qvrbench::Percentile(latenciesUs, 50);
    state.counters["p99_us"] = qvrbench::Percentile(latenciesUs, 99);
}

// Each iteration starts N connections and waits until every one has settled.
void InFlight(benchmark::State &state, Path path)
{
    const std::size_t inFlight = static_cast<std::size_t>(state.range(0));
    if (!world->Use(path)) {
        state.SkipWithError("the driver and the agent could not be set up");
        return;
    }
    winsim::network::ConnectRequest request;
    request.processId = world->browser;
    request.remote = winsim::network::Endpoint::Parse("203.0.113.7:443");
    request.classifyIrql = PASSIVE_LEVEL;
    std::vector<double> latencies;
    std::vector<winsim::network::Connection> connections(inFlight);
    std::vector<Clock::time_point> started(inFlight);
    for (auto _ : state) {
        for (std::size_t i = 0; i < inFlight; ++i) {
            started[i] = Clock::now();
            connections[i] = winsim::network::Connect(request);
        }
        // Waited for in order, blocked as the baseline's asker is: a poll would keep this
        // thread's processor busy and push every hand-over of the path onto the other one.
        for (std::size_t i = 0; i < inFlight; ++i) {
            if (connections[i].WaitSettled() == winsim::network::Outcome::Pending) {
                state.SkipWithError("a connection was still pending after 5 s");
                break;
            }
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started[i]).count());
        }
        state.PauseTiming();
        for (std::size_t i = 0; i < inFlight; ++i) {
            if (connections[i].State() != winsim::network::Outcome::Connected || !connections[i].Redirected()) {
                state.SkipWithError("a connection was not redirected and connected");
            }
            connections[i].Close();
        }
        while (world->agent->Proxy()->Accept()) {
        }
        state.ResumeTiming();
    }
    ReportPercentiles(state, latencies);
}

// N requests handed to one answering thread through a mutex and condition variables.
void ConditionVariableRoundTrip(benchmark::State &state)
{
    const std::size_t inFlight = static_cast<std::size_t>(state.range(0));
    std::mutex mutex;
    std::condition_variable asked;
    std::condition_variable answered;
    std::deque<std::size_t> questions;
    std::vector<bool> done(inFlight);
    bool stop = false;
    std::thread responder([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            asked.wait(lock, [&] { return stop || !questions.empty(); });
            if (stop) {
                return;
            }
            done[questions.front()] = true;
            questions.pop_front();
            answered.notify_all();
        }
    });
    std::vector<double> latencies;
    std::vector<Clock::time_point> started(inFlight);
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::fill(done.begin(), done.end(), false);
        }
        for (std::size_t i = 0; i < inFlight; ++i) {
            started[i] = Clock::now();
            std::lock_guard<std::mutex> lock(mutex);
            questions.push_back(i);
            asked.notify_one();
        }
        std::unique_lock<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < inFlight; ++i) {
            answered.wait(lock, [&] { return done[i]; });
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started[i]).count());
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        asked.notify_one();
    }
    responder.join();
    ReportPercentiles(state, latencies);
}

BENCHMARK(ConditionVariableRoundTrip)->Name("Baseline/condvar")->RangeMultiplier(8)->Range(1, 512);
BENCHMARK_CAPTURE(InFlight, pended, Path::Pended)->Name("Pended/redirect")->RangeMultiplier(8)->Range(1, 512);
BENCHMARK_CAPTURE(InFlight, held, Path::Held)->Name("Held/connection")->RangeMultiplier(8)->Range(1, 512);

// "<path>/<n>" is measured against "Baseline/condvar/<n>".
std::string BaselineOf(const std::string &name)
{
    if (name.rfind("Baseline/", 0) == 0) {
        return "";
    }
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? "" : "Baseline/condvar" + name.substr(slash);
}

}  // namespace

int main(int argc, char **argv)
{
    World w;
    world = &w;
    int result = qvrbench::RunWithRatios(argc, argv, BaselineOf);
    w.Stop();
    return result;
}
