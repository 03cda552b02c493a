// libFuzzer target: the service's replies to each question type the driver asks, as arbitrary
// payloads. Every connection of the covered process is pended at connect-redirect for a port
// query (type 3), whose reply is the input's first part, and, once redirected, held at
// auth-connect for its redirect records (type 4), whose reply is the rest. Whatever the
// replies say, the connection must settle (connected, blocked or refused), nothing of it may
// stay with WFP, and the driver's pool is back where it was.
#include "fuzz_world.h"

#include "agent/callback_responder.h"
#include "agent/port_query.h"
#include "agent/verdicts.h"

#include <mutex>

namespace {

qvr_fuzz::World *world = nullptr;

std::mutex lock;
std::vector<std::uint8_t> portReply;
std::vector<std::uint8_t> recordsReply;

// A reply of at least one byte: an empty one is refused as too short, and the question would
// wait out its whole time-out.
qvr::agent::CallbackHandler Replying(std::vector<std::uint8_t> *payload)
{
    return [payload](const qvr::agent::CallbackQuestion &) -> std::optional<qvr::agent::CallbackAnswer> {
        std::lock_guard<std::mutex> guard(lock);
        qvr::agent::CallbackAnswer answer;
        answer.payload = payload->empty() ? std::vector<std::uint8_t>{0} : *payload;
        return answer;
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qvr::agent::AgentOptions options;
    options.askAgentForPort = true;
    options.verdicts = qvr::agent::VerdictPolicy{};
    world = &qvr_fuzz::StartWorld(options);
    world->agent->Callbacks()->SetHandler(qvr::agent::kPortQueryType, Replying(&portReply));
    world->agent->Callbacks()->SetHandler(qvr::agent::kRedirectRecordsType, Replying(&recordsReply));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qvr_fuzz::Input in(data, size);
    {
        std::lock_guard<std::mutex> guard(lock);
        portReply = in.Counted();
        recordsReply = in.Rest();
    }
    const qvr_fuzz::PoolCounts pool = qvr_fuzz::PoolCounts::Now();
    winsim::network::Connection connection =
        qvr_fuzz::ConnectApp(*world, winsim::network::Endpoint::Parse("203.0.113.7:443"));
    qvr_fuzz::Finish(*world, connection, pool);
    return 0;
}
