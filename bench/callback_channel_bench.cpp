// The callback channel between the driver and the agent: one question sent with
// SendCallbackRequest and answered by the agent's carriers, its completion routine seen by
// the sender, with 1 to 4096 other questions outstanding (sent, not answered) and 1 or 64
// carriers parked, against a mutex and condition-variable round trip to one answering
// thread, in turn in the same run (counters measured_ns, baseline_ns, ratio). Then the
// driver's unload with N pended redirects still waiting for the agent's port answer,
// against the unload of the same driver with none (the unload's time alone). Run with
// WINSIM_MODE=release to leave winsim's bookkeeping out.
#include <ntddk.h>

#include <benchmark/benchmark.h>
#include <winsim/driver.h>
#include <winsim/network.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include "agent/agent.h"
#include "bench/bench_ratios.h"
#include "driver/frame/callback_channel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBenchQuestionType = 0x51;  // a type the driver itself never asks
constexpr std::uint32_t kPortQueryType = 3;
constexpr std::uint8_t kLeaveUnanswered = 0;
constexpr std::uint8_t kAnswer = 1;

void Report(const winsim::UnloadResult &unload)
{
    for (const std::string &item : unload.leftBehind) {
        std::fprintf(stderr, "left behind: %s\n", item.c_str());
    }
}

// The driver and an agent with `carriers` parked; the bench type's questions are answered
// at once unless their one payload byte asks to be left unanswered.
struct Channel {
    std::unique_ptr<qvr::agent::Agent> agent;

    bool Start(std::size_t carriers, qvr::agent::AgentOptions options = {})
    {
        if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
            return false;
        }
        options.callbackCarriers = carriers;
        agent = std::make_unique<qvr::agent::Agent>();
        if (!NT_SUCCESS(agent->Start(options))) {
            return false;
        }
        agent->Callbacks()->SetHandler(
            kBenchQuestionType, [](const qvr::agent::CallbackQuestion &question) -> std::optional<qvr::agent::CallbackAnswer> {
                if (question.payload.empty() || question.payload[0] == kLeaveUnanswered) {
                    return std::nullopt;
                }
                return qvr::agent::CallbackAnswer{{1}, false};
            });
        return agent->Callbacks()->WaitUntilParked(carriers, std::chrono::seconds(5));
    }

    winsim::UnloadResult Stop()
    {
        winsim::network::Reset();
        agent->Stop();
        agent.reset();
        winsim::UnloadResult unload = winsim::UnloadDriver("qvrdrv");
        winsim::wfp::Reset();
        return unload;
    }
};

std::atomic<std::uint64_t> answers{0};

VOID Answered(const VOID *, UINT32, PVOID) { answers.fetch_add(1, std::memory_order_release); }

void RoundTrip(benchmark::State &state)
{
    const std::size_t outstanding = static_cast<std::size_t>(state.range(0));
    const std::size_t carriers = static_cast<std::size_t>(state.range(1));
    Channel channel;
    if (!channel.Start(carriers)) {
        state.SkipWithError("the driver and the agent could not be set up");
        return;
    }
    std::vector<UINT64> waiting;
    for (std::size_t i = 0; i < outstanding; ++i) {
        UINT64 id = 0;
        if (NT_SUCCESS(SendCallbackRequest(kBenchQuestionType, &kLeaveUnanswered, 1, Answered, nullptr, &id))) {
            waiting.push_back(id);
        }
    }
    // The answering thread of the baseline.
    std::mutex mutex;
    std::condition_variable asked;
    std::condition_variable answered;
    std::uint64_t questions = 0;
    std::uint64_t replies = 0;
    bool stop = false;
    std::thread responder([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            asked.wait(lock, [&] { return stop || questions > replies; });
            if (stop) {
                return;
            }
            replies = questions;
            answered.notify_all();
        }
    });
    bool failed = waiting.size() != outstanding;
    qvrbench::Paired(
        state, 16,
        [&](std::size_t) {
            const std::uint64_t before = answers.load(std::memory_order_acquire);
            if (!NT_SUCCESS(SendCallbackRequest(kBenchQuestionType, &kAnswer, 1, Answered, nullptr, nullptr))) {
                failed = true;
                return;
            }
            while (answers.load(std::memory_order_acquire) == before) {
                std::this_thread::yield();
            }
        },
        [&](std::size_t) {
            std::unique_lock<std::mutex> lock(mutex);
            const std::uint64_t mine = ++questions;
            asked.notify_one();
            answered.wait(lock, [&] { return replies >= mine; });
        });
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        asked.notify_one();
    }
    responder.join();
    for (UINT64 id : waiting) {
        failed = !NT_SUCCESS(CancelCallbackRequest(id)) || failed;
    }
    Report(channel.Stop());
    if (failed) {
        state.SkipWithError("a question could not be sent, or an outstanding one was not cancelled");
    }
}

// The driver unloaded with N redirects pended on a port query the agent never answers.
// Only the unload is timed (manual time); the set-up around it is not.
void UnloadWithPended(benchmark::State &state)
{
    const std::size_t pended = static_cast<std::size_t>(state.range(0));
    const char *failure = nullptr;
    for (auto _ : state) {
        qvr::agent::AgentOptions options;
        options.configuration = qvr::agent::ServiceConfiguration{{true, {u"webbrowser.exe"}}, false};
        options.proxyPort = 8080;
        options.askAgentForPort = true;
        Channel channel;
        const std::uint64_t browser =
            winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe");
        if (!channel.Start(64, options)) {
            failure = "the driver and the agent could not be set up";
            break;
        }
        channel.agent->Callbacks()->SetHandler(kPortQueryType, [](const qvr::agent::CallbackQuestion &) {
            return std::optional<qvr::agent::CallbackAnswer>();
        });
        winsim::network::ConnectRequest request;
        request.processId = browser;
        request.remote = winsim::network::Endpoint::Parse("203.0.113.7:443");
        std::vector<winsim::network::Connection> connections;
        for (std::size_t i = 0; i < pended; ++i) {
            connections.push_back(winsim::network::Connect(request));
        }
        channel.agent->Stop();
        const auto start = Clock::now();
        Report(winsim::UnloadDriver("qvrdrv"));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        for (winsim::network::Connection &connection : connections) {
            // The stack goes on with a completed classify on its own thread: give it time.
            if (connection.WaitSettled(std::chrono::seconds(5)) == winsim::network::Outcome::Pending) {
                failure = "a pended redirect outlived the unload";
            }
        }
        connections.clear();
        channel.agent.reset();
        winsim::network::Reset();
        winsim::wfp::Reset();
        winsim::processes::End(browser);
        if (failure != nullptr) {
            break;
        }
    }
    if (failure != nullptr) {
        state.SkipWithError(failure);
    }
}

void RegisterAll()
{
    for (long carriers : {1L, 64L}) {
        for (long outstanding : {0L, 1L, 64L, 4096L}) {
            benchmark::RegisterBenchmark("Callback/round_trip", RoundTrip)
                ->Args({outstanding, carriers})
                ->ArgNames({"outstanding", "carriers"});
        }
    }
    benchmark::RegisterBenchmark("Unload/pended", UnloadWithPended)
        ->Arg(0)
        ->Arg(1)
        ->Arg(64)
        ->Arg(512)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// "Unload/pended/N" is measured against "Unload/pended/0".
std::string BaselineOf(const std::string &name)
{
    return name.rfind("Unload/pended/", 0) == 0 ? "Unload/pended/0" : "";
}

}  // namespace

int main(int argc, char **argv)
{
    RegisterAll();
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
