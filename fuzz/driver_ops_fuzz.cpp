// libFuzzer target, stateful: the input is a sequence of operations on a loaded driver with the
// reference agent around it (process rules and QUIC records, well-formed or raw; TCP
// connections of covered and uncovered processes to allowed, blocked and local destinations,
// held for the service's verdict; QUIC attempts; processes starting and ending; stray callback
// replies; BFE stopping and starting again; an unload and a new load). After every input each
// connection it opened is closed, what it started is ended and the rules it changed are put
// back; then nothing may be left pended or held with WFP and the driver's pool must be where
// it was. Every unload must leave nothing behind; any verifier violation aborts.
#include "fuzz_world.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include <qvr_ioctl.h>

#include "agent/records.h"

#include <chrono>
#include <cstring>

namespace {

using qvr_fuzz::Fail;
using winsim::network::Endpoint;

qvr_fuzz::World *world = nullptr;

const qvr::agent::ProcessPolicy kInitialPolicy{true, {u"webbrowser.exe"}};
const char16_t *const kImages[] = {u"\\Device\\HarddiskVolume2\\Apps\\webbrowser.exe",
                                   u"\\Device\\HarddiskVolume2\\Tools\\editor.exe"};
const char *const kDestinations[] = {"203.0.113.7:443", "198.51.100.9:80", "127.0.0.1:9000", "[2001:db8::5]:443"};

struct Run {
    std::vector<winsim::network::Connection> connections;
    std::vector<std::uint64_t> processes;
    bool rulesChanged = false;
};

// Straight to the device: the service's own request history would grow with every input.
void SendRules(const std::vector<std::uint8_t> &record)
{
    (void)winsim::DeviceIoControl(world->agent->Service().Device(), IOCTL_QVR_SET_PROCESS_RULES, record, 0);
}

void SetQuic(bool enabled)
{
    const std::vector<std::uint8_t> record = {12, 0, 0, 0, QVR_RECORD_TYPE_QUIC_BLOCKING, 0, 0, 0,
                                              static_cast<std::uint8_t>(enabled), 0, 0, 0};
    (void)winsim::DeviceIoControl(world->agent->Service().Device(), IOCTL_QVR_SET_QUIC_BLOCKING, record, 0);
}

void Policy(qvr_fuzz::Input &in)
{
    const std::uint8_t choice = in.Byte();
    qvr::agent::ProcessPolicy policy;
    policy.interceptListed = (choice & 1) != 0;
    if ((choice & 2) != 0) {
        policy.names.push_back(u"webbrowser.exe");
    }
    if ((choice & 4) != 0) {
        policy.names.push_back(u"EDITOR.EXE");
    }
    SendRules(qvr::agent::BuildProcessRulesRecord(policy));
}

std::uint64_t Process(qvr_fuzz::Input &in, Run &run)
{
    const std::uint8_t which = in.Byte();
    if ((which & 0x80) == 0 || run.processes.empty()) {
        return world->app;
    }
    return run.processes[which % run.processes.size()];
}

void Connect(qvr_fuzz::Input &in, Run &run, std::uint8_t protocol)
{
    winsim::network::ConnectRequest request;
    request.processId = Process(in, run);
    request.protocol = protocol;
    request.remote = Endpoint::Parse(kDestinations[in.Byte() % 4]);
    if (protocol == 17) {
        request.remote.port = 443;
    }
    run.connections.push_back(winsim::network::Connect(request));
    if ((in.Byte() & 1) != 0) {
        run.connections.back().WaitSettled(std::chrono::seconds(20));
    }
}

void Close(Run &run)
{
    for (winsim::network::Connection &connection : run.connections) {
        if (connection.WaitSettled(std::chrono::seconds(20)) == winsim::network::Outcome::Pending) {
            Fail("a connection was still pending after 20 s");
        }
        connection.Close();
    }
    run.connections.clear();
    while (world->agent->Proxy()->Accept().has_value()) {
    }
}

void Apply(std::uint8_t op, qvr_fuzz::Input &in, Run &run)
{
    switch (op % 11) {
    case 0:
        SendRules(in.Counted());
        run.rulesChanged = true;
        break;
    case 1:
        Policy(in);
        run.rulesChanged = true;
        break;
    case 2:
        SetQuic((in.Byte() & 1) != 0);
        break;
    case 3:
    case 4:
        Connect(in, run, 6);
        break;
    case 5:
        Connect(in, run, 17);
        break;
    case 6:
        if (run.processes.size() < 8) {
            run.processes.push_back(winsim::processes::Start(kImages[in.Byte() & 1]));
        }
        break;
    case 7:
        if (!run.processes.empty()) {
            winsim::processes::End(run.processes.back());
            run.processes.pop_back();
        }
        break;
    case 8:
        (void)qvr_fuzz::SendCallbackBytes(world->agent->Service().Device(), in.Counted(), 0);
        break;
    case 9:
        // BFE goes away with every session, the agent's filters included; the agent adds
        // them again once it is back.
        Close(run);
        winsim::wfp::StopBfe();
        winsim::wfp::StartBfe();
        qvr_fuzz::RestartAgent(*world);
        break;
    default:
        Close(run);
        qvr_fuzz::ReloadDriver(*world);
        SendRules(qvr::agent::BuildProcessRulesRecord(kInitialPolicy));
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qvr::agent::AgentOptions options;
    qvr::agent::VerdictPolicy verdicts;
    verdicts.blocked.push_back(Endpoint::Parse("198.51.100.9:0"));
    options.verdicts = verdicts;
    options.quicFilters = true;
    world = &qvr_fuzz::StartWorld(options);
    SendRules(qvr::agent::BuildProcessRulesRecord(kInitialPolicy));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qvr_fuzz::Input in(data, size);
    const qvr_fuzz::PoolCounts pool = qvr_fuzz::PoolCounts::Now();
    Run run;
    for (int ops = 0; !in.Empty() && ops < 32; ++ops) {
        Apply(in.Byte(), in, run);
    }
    Close(run);
    for (std::uint64_t process : run.processes) {
        winsim::processes::End(process);
    }
    if (run.rulesChanged) {
        SendRules(qvr::agent::BuildProcessRulesRecord(kInitialPolicy));
    }
    SetQuic(false);
    if (!winsim::network::Drain()) {
        Fail("the network stack did not drain");
    }
    if (winsim::wfp::FlowContextCount() != 0) {
        Fail("a flow context outlived its connection");
    }
    winsim::DrainWorkItems();
    qvr_fuzz::ExpectSettled(pool, "a sequence of operations");
    return 0;
}
