// libFuzzer target: the redirect records a connection carries, as the connect-redirect
// classify reads them back (FwpsQueryConnectionSioFormatRedirectRecords0) to find the
// process a proxied connection was redirected for. The input gives one to three records
// (handle id, target process, and the context bytes a redirecting callout attached); when
// a record's first byte asks for it, the driver's record marker is placed in its context
// at an offset the input chooses, so the record header behind it is reached. Whatever the bytes, the connection
// must settle, nothing of it may stay with WFP, and the driver's pool is back where it was.
#include "fuzz_world.h"

#include "driver/redirect/redirect_records.h"
#include "wfp/wfp_internal.h"

#include <cstring>

namespace {

qvr_fuzz::World *world = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    world = &qvr_fuzz::StartWorld(qvr::agent::AgentOptions{});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qvr_fuzz::Input in(data, size);
    winsim::wfp::detail::RedirectRecords parsed;
    const std::uint8_t count = static_cast<std::uint8_t>(1 + in.Byte() % 3);
    for (std::uint8_t i = 0; i < count; ++i) {
        winsim::wfp::detail::RedirectRecord record;
        const std::uint8_t how = in.Byte();
        record.redirectHandleId = in.Byte();
        record.targetProcessId = in.Byte();
        record.context = i + 1 == count ? in.Rest() : in.Bytes(in.U16() % 512);
        if ((how & 0x80) != 0) {
            const std::size_t at = (how & 0x7f) % (record.context.size() + 1);
            record.context.insert(record.context.begin() + static_cast<std::ptrdiff_t>(at), RedirectContextMarker,
                                  RedirectContextMarker + REDIRECT_CONTEXT_MARKER_SIZE);
        }
        parsed.records.push_back(std::move(record));
    }
    const std::vector<std::uint8_t> records = winsim::wfp::detail::SerializeRecords(parsed);
    const qvr_fuzz::PoolCounts pool = qvr_fuzz::PoolCounts::Now();
    winsim::network::Connection connection =
        qvr_fuzz::ConnectApp(*world, winsim::network::Endpoint::Parse("203.0.113.7:443"), records);
    qvr_fuzz::Finish(*world, connection, pool);
    return 0;
}
