// The pended redirect: a filter whose blob asks for the port pends the classify, the work
// item asks the agent's service (port query, type 3) and completes the classify, on every
// path: an answer, silence (10 seconds on winsim's clock), a refusal or a short reply, a
// late reply, and an unload while the question is still open.

#include "redirect_fixture.h"

#include <winsim/kernel.h>
#include <winsim/trace_session.h>

#include "driver/redirect/deferred_work.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>

PDEVICE_OBJECT DriverDeviceObject();  // driver_device_object.cpp

namespace redirect_test {
namespace {

using winsim::network::Outcome;

constexpr std::int64_t kSecond = 10 * 1000 * 1000;

class DeferredWorkTest : public CoveredBrowserTest {
protected:
    void SetUp() override
    {
        CoveredBrowserTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        AddProxyFilters(true);
        // The driver's process watcher sleeps in a timed wait of its own.
        for (int i = 0; i < 2000 && winsim::clock::Waiters() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        baseline_ = winsim::clock::Waiters();
    }

    // Waits (in real time) until `count` work routines are blocked in their timed waits.
    bool WaitForTimedWaiter(std::size_t count = 1)
    {
        for (int i = 0; i < 2000; ++i) {
            if (winsim::clock::Waiters() >= baseline_ + count) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::size_t baseline_ = 0;
};

TEST_F(DeferredWorkTest, AnsweredPortIsWhereTheConnectionGoes)
{
    std::mutex lock;
    std::vector<std::uint32_t> families;
    StartResponder(qvr::agent::PortQueryHandler([&](std::uint32_t family) {
        std::lock_guard<std::mutex> guard(lock);
        families.push_back(family);
        return std::optional<std::uint16_t>(kProxyPort);
    }));
    // The configured port in the blob is not the one used: the filter asks for it.
    ASSERT_EQ(filters_.AddTarget({1, proxy_.ProcessId(), true}), (DWORD)ERROR_SUCCESS);

    struct Case {
        const char *remote;
        const char *expected;
        std::uint32_t family;
    } cases[] = {{"203.0.113.7:443", "127.0.0.1:8080", 2}, {"[2001:db8:1::7]:443", "[::1]:8080", 23}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.remote);
        winsim::network::Connection connection = Connect(browser_, c.remote);
        EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
        EXPECT_TRUE(connection.Redirected());
        EXPECT_EQ(connection.Remote(), Ep(c.expected));
        EXPECT_EQ(connection.AcceptedByProcessId(), proxy_.ProcessId());
        std::optional<qvr::agent::ProxiedConnection> accepted = proxy_.Accept(std::chrono::seconds(2));
        ASSERT_TRUE(accepted && accepted->context);
        EXPECT_EQ(accepted->context->requested, Ep(c.remote));
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_FALSE(families.empty());
        EXPECT_EQ(families.back(), c.family);
    }
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
}

struct RefusedCase {
    const char *name;
    std::vector<std::uint8_t> reply;  // empty: no reply at all
};

TEST_F(DeferredWorkTest, RefusedOrSilentAgentLeavesTheConnectionWhereItAsked)
{
    const RefusedCase cases[] = {
        {"5-byte reply", {0, 0, 0, 0, 0x90}},
        {"result 1", qvr::agent::BuildPortQueryReply(1, kProxyPort)},
        {"port 0", qvr::agent::BuildPortQueryReply(0, 0)},
        {"no reply within 10 seconds", {}},
    };
    std::vector<std::uint8_t> reply;
    std::mutex lock;
    StartResponder([&](const qvr::agent::CallbackQuestion &) -> std::optional<qvr::agent::CallbackAnswer> {
        std::lock_guard<std::mutex> guard(lock);
        if (reply.empty()) {
            return std::nullopt;
        }
        return qvr::agent::CallbackAnswer{reply, false};
    });
    winsim::clock::UseManual();
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> guard(lock);
            reply = c.reply;
        }
        winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
        if (c.reply.empty()) {
            ASSERT_TRUE(WaitForTimedWaiter());
            EXPECT_EQ(connection.State(), Outcome::Pending);
            winsim::clock::Advance(10 * kSecond - 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(connection.State(), Outcome::Pending);
            winsim::clock::Advance(1);
        }
        EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
        EXPECT_FALSE(connection.Redirected());
        EXPECT_EQ(connection.Remote(), Ep("203.0.113.7:443"));
        winsim::DrainWorkItems();
        EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
        EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
        connection.Close();
    }
}

// A reply that comes after the driver gave up finds no question and writes nothing.
TEST_F(DeferredWorkTest, LateReplyFindsNothing)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    StartResponder([released](const qvr::agent::CallbackQuestion &) -> std::optional<qvr::agent::CallbackAnswer> {
        released.wait();
        return qvr::agent::CallbackAnswer{qvr::agent::BuildPortQueryReply(0, kProxyPort), false};
    });
    winsim::clock::UseManual();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    ASSERT_TRUE(WaitForTimedWaiter());
    winsim::clock::Advance(10 * kSecond);
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    EXPECT_FALSE(connection.Redirected());
    winsim::DrainWorkItems();
    release.set_value();
    for (int i = 0; i < 2000 && responder_->RepliesRefused() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(responder_->RepliesRefused(), 1u);
}

// Without a parked carrier the question cannot be sent: after the channel's own wait the
// classify is completed and the connection proceeds unchanged.
TEST_F(DeferredWorkTest, NoCarrierCompletesUnredirected)
{
    winsim::clock::UseManual();
    winsim::network::Connection connection = Connect(browser_, "203.0.113.7:443");
    ASSERT_TRUE(WaitForTimedWaiter());
    winsim::clock::Advance(5 * kSecond);
    EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
    EXPECT_FALSE(connection.Redirected());
}

// Unloading while pended redirects wait for the agent: the teardown wakes them, each
// classify is completed unredirected, and the unload leaves nothing behind.
TEST_F(DeferredWorkTest, UnloadWithPendedRedirectsInFlightCompletesThem)
{
    StartResponder([](const qvr::agent::CallbackQuestion &) -> std::optional<qvr::agent::CallbackAnswer> {
        return std::nullopt;
    }, 3);
    winsim::clock::UseManual();
    std::vector<winsim::network::Connection> connections;
    for (int i = 0; i < 3; ++i) {
        connections.push_back(Connect(browser_, "203.0.113.7:443"));
    }
    // Each pended redirect has a system worker thread of its own: three questions wait for
    // the agent.
    ASSERT_TRUE(WaitForTimedWaiter(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(winsim::clock::Waiters(), baseline_ + 3);
    winsim::TraceSession trace(qvr_test::kDriverTraceGuid, qvr_test::kTraceDriver, TRACE_LEVEL_INFORMATION);
    for (winsim::network::Connection &connection : connections) {
        ASSERT_EQ(connection.State(), Outcome::Pending);
    }
    ASSERT_EQ(PendedRedirectsInFlight(), 3);

    responder_->Stop();
    responder_.reset();
    filters_.Close();
    if (device_.IsOpen()) {
        winsim::CloseHandle(device_);
    }
    qvr_test::UnloadDriverClean();  // the clock stays frozen: nothing times out by itself
    for (winsim::network::Connection &connection : connections) {
        EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
        EXPECT_FALSE(connection.Redirected());
    }
    EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
    std::vector<winsim::TraceRecord> rundown = trace.Matching("pended redirects in flight");
    ASSERT_EQ(rundown.size(), 1u);
    EXPECT_EQ(rundown[0].message.find("RundownPendedRedirects: 3 "), 0u) << rundown[0].message;

}

// 256 connections pended while the service parks a few carriers and answers nothing: each
// one ends at its own 10-second time-out, not one after another, and the rest of the
// system's work items keep running meanwhile.
std::atomic<bool> unrelatedWorkRan{false};

VOID NTAPI UnrelatedWork(PDEVICE_OBJECT, PVOID Context)
{
    unrelatedWorkRan = true;
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
}

TEST_F(DeferredWorkTest, ManyPendedRedirectsWithASilentServiceEachEndAtTheirOwnTimeOut)
{
    constexpr std::size_t kConnections = 256;
    constexpr std::size_t kCarriers = 4;
    std::atomic<std::size_t> asked{0};
    StartResponder([&](const qvr::agent::CallbackQuestion &) -> std::optional<qvr::agent::CallbackAnswer> {
        ++asked;
        return std::nullopt;
    }, kCarriers);
    winsim::ClearBlockedWorkItems();
    winsim::clock::UseManual();
    std::vector<winsim::network::Connection> connections;
    for (std::size_t i = 0; i < kConnections; ++i) {
        connections.push_back(Connect(browser_, "203.0.113.7:443"));
    }
    ASSERT_TRUE(WaitForTimedWaiter(kConnections)) << "pended redirects wait for worker threads";
    // Every question reaches the service before the clock moves (carriers come back empty).
    ASSERT_TRUE(qvr_test::Eventually([&] { return asked == kConnections; }, std::chrono::seconds(60)));

    unrelatedWorkRan = false;
    PIO_WORKITEM unrelated = IoAllocateWorkItem(DriverDeviceObject());
    ASSERT_NE(unrelated, nullptr);
    IoQueueWorkItem(unrelated, UnrelatedWork, DelayedWorkQueue, unrelated);
    EXPECT_TRUE(qvr_test::Eventually([] { return unrelatedWorkRan.load(); }, std::chrono::seconds(2)))
        << "the system's other work waits behind the pended redirects";

    // The carriers come back empty after each question, so every question reaches the
    // service and waits its own 10 seconds; all of them end together, none later.
    const auto settled = [&] {
        return static_cast<std::size_t>(std::count_if(connections.begin(), connections.end(), [](const auto &c) {
            return c.State() == Outcome::Connected;
        }));
    };
    winsim::clock::Advance(10 * kSecond - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(settled(), 0u);
    winsim::clock::Advance(1);
    EXPECT_TRUE(qvr_test::Eventually([&] { return settled() == kConnections; }, std::chrono::seconds(60)));
    for (winsim::network::Connection &connection : connections) {
        EXPECT_FALSE(connection.Redirected());
    }
    winsim::DrainWorkItems();
    // Holding a worker thread that long is what the verifier reports.
    EXPECT_EQ(winsim::BlockedWorkItems().size(), kConnections);
    winsim::ClearBlockedWorkItems();
}

}  // namespace
}  // namespace redirect_test
