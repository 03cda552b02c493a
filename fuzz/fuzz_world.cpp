// The world of the connection fuzz targets (fuzz_world.h).
#include "fuzz_world.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/wfp.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace qvr_fuzz {
namespace {

World *world = nullptr;


void StartAgent(World &world)
{
    world.agent = std::make_unique<qvr::agent::Agent>();
    if (!NT_SUCCESS(world.agent->Start(world.options))) {
        Fail("the agent did not start");
    }
}

void Unload()
{
    winsim::UnloadResult result = winsim::UnloadDriver("qvrdrv");
    if (!NT_SUCCESS(result.status) || !result.leftBehind.empty()) {
        Fail("unload left something behind");
    }
}

}  // namespace

World &StartWorld(const qvr::agent::AgentOptions &options)
{
    winsim::SetDebugOutput(false);
    if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
        Fail("the driver did not load");
    }
    world = new World();
    world->options = options;
    world->options.proxyPort = kProxyPort;
    StartAgent(*world);
    world->app = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Apps\\webbrowser.exe");
    // On a thread of its own: by the time atexit handlers run, the main thread's thread_local
    // objects (winsim's per-thread callback records among them) have been destroyed.
    std::atexit([] {
        std::thread([] {
            world->agent->Stop();
            winsim::processes::Reset();
            Unload();
        }).join();
    });
    return *world;
}

void RestartAgent(World &world)
{
    world.agent->Stop();
    StartAgent(world);
}

void ReloadDriver(World &world)
{
    world.agent->Stop();
    Unload();
    if (!NT_SUCCESS(winsim::LoadDriver(DriverEntry, "qvrdrv"))) {
        Fail("the driver did not load again");
    }
    StartAgent(world);
}

winsim::network::Connection ConnectApp(World &world, const winsim::network::Endpoint &remote,
                                       std::optional<std::vector<std::uint8_t>> records)
{
    winsim::network::ConnectRequest request;
    request.processId = world.app;
    request.remote = remote;
    request.redirectRecords = std::move(records);
    return winsim::network::Connect(request);
}

void Finish(World &world, winsim::network::Connection &connection, const PoolCounts &before)
{
    if (connection.WaitSettled(std::chrono::seconds(20)) == winsim::network::Outcome::Pending) {
        Fail("a connection was still pending after 20 s");
    }
    connection.Close();
    while (world.agent->Proxy()->Accept().has_value()) {
    }
    if (!winsim::network::Drain()) {
        Fail("the network stack did not drain");
    }
    if (winsim::wfp::FlowContextCount() != 0) {
        Fail("a flow context outlived its connection");
    }
    // A pended redirect's work item may still be letting go of its port query.
    winsim::DrainWorkItems();
    ExpectSettled(before, "a connection");
}

}  // namespace qvr_fuzz
