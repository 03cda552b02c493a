/*
 * wfp_bfe_test.cpp
 *
 * The kernel-mode management calls of fwpmk.h: BFE state, its change subscription and
 * the rules around it, and kernel-mode engine sessions that open only while BFE runs.
 */
#include <ntddk.h>
#include <ndis.h>
#include <fwpsk.h>
#include <fwpmk.h>

#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

struct Observer {
    std::vector<FWPM_SERVICE_STATE> states;
    HANDLE change = nullptr;
    bool unsubscribeInside = false;
    NTSTATUS insideStatus = STATUS_SUCCESS;
};

void NTAPI OnChange(void *context, FWPM_SERVICE_STATE state)
{
    auto *o = static_cast<Observer *>(context);
    o->states.push_back(state);
    if (o->unsubscribeInside) {
        o->insideStatus = FwpmBfeStateUnsubscribeChanges0(o->change);
    }
}

void *Device()
{
    static int device;
    return &device;
}

class BfeTest : public testing::Test {
protected:
    void SetUp() override { winsim::wfp::Reset(); }
    void TearDown() override { winsim::wfp::Reset(); }
};

TEST_F(BfeTest, SubscriberSeesEveryStateAndSessionsOpenOnlyWhileRunning)
{
    Observer o;
    ASSERT_EQ(FwpmBfeStateSubscribeChanges0(Device(), OnChange, &o, &o.change), STATUS_SUCCESS);
    EXPECT_EQ(FwpmBfeStateGet0(), FWPM_SERVICE_RUNNING);

    winsim::wfp::StopBfe();
    EXPECT_EQ(FwpmBfeStateGet0(), FWPM_SERVICE_STOPPED);
    HANDLE engine = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), RPC_NT_SERVER_UNAVAILABLE);
    EXPECT_EQ(engine, nullptr);

    winsim::wfp::StartBfe();
    ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_SUCCESS);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 1u);
    EXPECT_EQ(FwpmEngineClose0(engine), STATUS_SUCCESS);
    EXPECT_EQ(winsim::wfp::OpenKernelSessionCount(), 0u);

    EXPECT_EQ(o.states, (std::vector<FWPM_SERVICE_STATE>{FWPM_SERVICE_STOP_PENDING, FWPM_SERVICE_STOPPED,
                                                         FWPM_SERVICE_START_PENDING, FWPM_SERVICE_RUNNING}));
    EXPECT_EQ(FwpmBfeStateUnsubscribeChanges0(o.change), STATUS_SUCCESS);
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
}

TEST_F(BfeTest, SessionOpenedBeforeAStopIsStillClosedByTheDriver)
{
    HANDLE engine = nullptr;
    ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_SUCCESS);
    winsim::wfp::StopBfe();
    EXPECT_EQ(FwpmEngineClose0(engine), STATUS_SUCCESS);
    winsim::wfp::StartBfe();
}

TEST_F(BfeTest, EngineOpenRefusesARemoteServerAndAnUnknownAuthenticationService)
{
    HANDLE engine = nullptr;
    const WCHAR server[] = u"remote";
    EXPECT_EQ(FwpmEngineOpen0(server, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpmEngineOpen0(nullptr, 9, nullptr, nullptr, &engine), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_DEFAULT, nullptr, nullptr, &engine), STATUS_SUCCESS);
    EXPECT_EQ(FwpmEngineClose0(engine), STATUS_SUCCESS);
}

TEST_F(BfeTest, QueryingTheStateBeforeSubscribingIsAVerifierFailure)
{
    winsim::ViolationCapture capture;
    FwpmBfeStateGet0();
    EXPECT_TRUE(capture.Caught("FwpmBfeStateGet0"));
}

TEST_F(BfeTest, UnsubscribingFromInsideTheCallbackIsAVerifierFailure)
{
    Observer o;
    o.unsubscribeInside = true;
    ASSERT_EQ(FwpmBfeStateSubscribeChanges0(Device(), OnChange, &o, &o.change), STATUS_SUCCESS);
    {
        winsim::ViolationCapture capture;
        winsim::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING);
        EXPECT_TRUE(capture.Caught("FwpmBfeStateUnsubscribeChanges0"));
    }
    EXPECT_NE(o.insideStatus, STATUS_SUCCESS);
    EXPECT_EQ(FwpmBfeStateUnsubscribeChanges0(o.change), STATUS_SUCCESS);
    winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
}

// A callback running on another thread ends before the unsubscription returns, and none
// starts after it.
struct SlowObserver {
    std::promise<void> entered;
    std::shared_future<void> release;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
};

void NTAPI OnChangeSlowly(void *context, FWPM_SERVICE_STATE)
{
    auto *o = static_cast<SlowObserver *>(context);
    if (o->calls++ == 0) {
        o->entered.set_value();
        o->release.wait();
        o->returned = true;
    }
}

TEST_F(BfeTest, UnsubscribingWaitsForACallbackInProgressOnAnotherThread)
{
    SlowObserver o;
    std::promise<void> release;
    o.release = release.get_future().share();
    HANDLE change = nullptr;
    ASSERT_EQ(FwpmBfeStateSubscribeChanges0(Device(), OnChangeSlowly, &o, &change), STATUS_SUCCESS);
    std::thread stopper([] { winsim::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING); });
    o.entered.get_future().wait();

    std::future<NTSTATUS> unsubscribed =
        std::async(std::launch::async, [&] { return FwpmBfeStateUnsubscribeChanges0(change); });
    EXPECT_EQ(unsubscribed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "the unsubscription returned while its callback still ran";
    release.set_value();
    EXPECT_EQ(unsubscribed.get(), STATUS_SUCCESS);
    EXPECT_TRUE(o.returned);
    stopper.join();
    winsim::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    EXPECT_EQ(o.calls, 1) << "a callback after the unsubscription";
}

TEST_F(BfeTest, SubscriptionAndSessionCallsFailOnDemand)
{
    HANDLE change = nullptr;
    Observer o;
    winsim::faults::FailCall("FwpmBfeStateSubscribeChanges0", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(FwpmBfeStateSubscribeChanges0(Device(), OnChange, &o, &change), STATUS_INSUFFICIENT_RESOURCES);
    winsim::faults::FailCall("FwpmEngineOpen0", STATUS_FWP_TCPIP_NOT_READY);
    HANDLE engine = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_FWP_TCPIP_NOT_READY);
    EXPECT_EQ(winsim::wfp::BfeSubscriptionCount(), 0u);
}

}  // namespace
