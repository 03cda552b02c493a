#include "redirect_fixture.h"

#include <qvr_ioctl.h>
#include <winsim/kernel.h>

#include <cstring>

namespace redirect_test {

using winsim::network::Address;
using winsim::network::Endpoint;

Endpoint Ep(const char *text) { return Endpoint::Parse(text); }

namespace {

template <typename T>
void Put(std::vector<std::uint8_t> &out, T value)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

}  // namespace

std::vector<std::uint8_t> BuildSioRecords(const std::vector<SioRecord> &records)
{
    std::vector<std::uint8_t> out;
    Put<std::uint32_t>(out, 0x52524657);
    Put<std::uint32_t>(out, 1);
    Put<std::uint32_t>(out, static_cast<std::uint32_t>(records.size()));
    for (const SioRecord &r : records) {
        Put<std::uint64_t>(out, r.redirectHandleId);
        Put<std::uint32_t>(out, r.targetProcessId);
        std::uint8_t storage[128] = {};
        const std::uint16_t family = r.requested.address.family;
        const std::uint16_t port = static_cast<std::uint16_t>((r.requested.port >> 8) | (r.requested.port << 8));
        std::memcpy(storage, &family, 2);
        std::memcpy(storage + 2, &port, 2);
        std::memcpy(storage + (family == 23 ? 8 : 4), r.requested.address.bytes.data(), family == 23 ? 16 : 4);
        out.insert(out.end(), storage, storage + sizeof(storage));
        Put<std::uint32_t>(out, static_cast<std::uint32_t>(r.context.size()));
        out.insert(out.end(), r.context.begin(), r.context.end());
    }
    return out;
}

std::uint64_t FirstRecordHandleId(const std::vector<std::uint8_t> &bytes)
{
    std::uint64_t id = 0;
    if (bytes.size() >= 20) {
        std::memcpy(&id, bytes.data() + 12, sizeof(id));
    }
    return id;
}

void RedirectTest::SetUp()
{
    qvr_test::DriverTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    winsim::network::SetHostAddresses(Address::Parse(kHostV4), Address::Parse("2001:db8::10"));
    ASSERT_TRUE(proxy_.Start(kProxyPort));
    ASSERT_EQ(filters_.Open(), static_cast<DWORD>(ERROR_SUCCESS));
}

void RedirectTest::TearDown()
{
    if (responder_) {
        responder_->Stop();
        responder_.reset();
    }
    winsim::network::Drain();
    winsim::DrainWorkItems();
    // Connections end (WFP frees the context records they carry) before the driver goes.
    winsim::network::Reset();
    filters_.Close();
    proxy_.Stop();
    for (std::uint64_t id : processes_) {
        winsim::processes::End(id);
    }
    processes_.clear();
    winsim::clock::UseReal();
    qvr_test::DriverTest::TearDown();
    winsim::wfp::Reset();
}

void RedirectTest::SetRules(const qvr::agent::ProcessPolicy &policy)
{
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, qvr::agent::BuildProcessRulesRecord(policy)).status,
              STATUS_SUCCESS);
}

std::uint64_t RedirectTest::StartProcess(const std::u16string &image)
{
    std::uint64_t id = winsim::processes::Start(image);
    processes_.push_back(id);
    return id;
}

qvr::agent::RedirectTarget RedirectTest::ProxyTarget(bool askAgentForPort) const
{
    return {kProxyPort, proxy_.ProcessId(), askAgentForPort};
}

void RedirectTest::AddProxyFilters(bool askAgentForPort, const qvr::agent::RedirectFilterOptions &options)
{
    ASSERT_EQ(filters_.AddTarget(ProxyTarget(askAgentForPort), options), static_cast<DWORD>(ERROR_SUCCESS));
}

void RedirectTest::StartResponder(qvr::agent::CallbackHandler handler, std::size_t carriers)
{
    responder_ = std::make_unique<qvr::agent::CallbackResponder>(device_, carriers);
    responder_->SetHandler(qvr::agent::kPortQueryType, std::move(handler));
    responder_->Start();
    ASSERT_TRUE(responder_->WaitUntilParked(carriers, std::chrono::seconds(5)));
}

winsim::network::Connection RedirectTest::Connect(std::uint64_t processId, const char *remote, const char *local,
                                                  std::uint8_t protocol)
{
    winsim::network::ConnectRequest request;
    request.processId = processId;
    request.protocol = protocol;
    request.remote = Ep(remote);
    if (local != nullptr) {
        request.local = Ep(local);
    }
    return winsim::network::Connect(request);
}

void CoveredBrowserTest::SetUp()
{
    RedirectTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    InterceptOnly(u"webbrowser.exe");
    browser_ = StartProcess(kBrowserImage);
}

}  // namespace redirect_test
