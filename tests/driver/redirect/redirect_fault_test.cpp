// Failures injected on the redirect path: every allocation in turn, every allocation under
// the WFP side's tag, and each fallible platform call. Each failure leaves the connection
// unredirected, going where it asked, with no classify handle, writable data, pended
// classify or work item held; the unload at the end of each test finds nothing left.

#include "redirect_fixture.h"

#include <winsim/kernel.h>

namespace redirect_test {
namespace {

using winsim::network::Outcome;

class RedirectFaultTest : public CoveredBrowserTest {
protected:
    // Connects once with the armed fault and checks what a failure must leave.
    bool ConnectOnce(const char *remote = "203.0.113.7:443")
    {
        winsim::network::Connection connection = Connect(browser_, remote);
        EXPECT_EQ(connection.WaitSettled(), Outcome::Connected);
        winsim::faults::Clear();
        winsim::DrainWorkItems();
        winsim::network::Drain();
        const bool redirected = connection.Redirected();
        if (!redirected) {
            EXPECT_EQ(connection.Remote(), Ep(remote));
        }
        EXPECT_EQ(winsim::wfp::PendedClassifyCount(), 0u);
        EXPECT_EQ(winsim::wfp::HeldClassifyHandleCount(), 0u);
        while (proxy_.Accept()) {
        }
        connection.Close();
        return redirected;
    }

    // Fails the 1st, 2nd, ... allocation from the connect on until a connection gets through;
    // returns how many allocations the path made.
    int WalkAllocations()
    {
        for (int n = 1; n <= 32; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n));
            winsim::faults::FailNthAllocation(n);
            if (ConnectOnce()) {
                return n - 1;
            }
        }
        ADD_FAILURE() << "the redirect never got through";
        return -1;
    }
};

TEST_F(RedirectFaultTest, EveryAllocationOfTheImmediatePathFailsCleanly)
{
    AddProxyFilters();
    // Only the context record: the request stays on the classify's stack unless it is pended.
    EXPECT_EQ(WalkAllocations(), 1);
}

TEST_F(RedirectFaultTest, EveryAllocationOfThePendedPathFailsCleanly)
{
    AddProxyFilters(true);
    StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort));
    // The record, the request moved to the pool with its classify-out copy, the deferred
    // work, the port query and the callback channel's question records.
    EXPECT_GE(WalkAllocations(), 5);
}

TEST_F(RedirectFaultTest, AllocationsUnderTheWfpTagFail)
{
    for (bool ask : {false, true}) {
        SCOPED_TRACE(ask ? "pended" : "immediate");
        std::vector<std::uint64_t> ids;
        ASSERT_EQ(filters_.AddTarget(ProxyTarget(ask), {}, &ids), (DWORD)ERROR_SUCCESS);
        if (ask && !responder_) {
            StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort));
        }
        winsim::faults::FailAllocationsWithTag("-QVR");
        EXPECT_FALSE(ConnectOnce());
        EXPECT_TRUE(ConnectOnce());
        for (std::uint64_t id : ids) {
            ASSERT_EQ(filters_.RemoveFilter(id), (DWORD)ERROR_SUCCESS);
        }
    }
}

TEST_F(RedirectFaultTest, PlatformCallsOfTheRedirectPathFailCleanly)
{
    struct Case {
        const char *call;
        NTSTATUS status;
        bool ask;
    } cases[] = {
        {"FwpsAcquireClassifyHandle0", STATUS_NO_MEMORY, false},
        {"FwpsAcquireWritableLayerDataPointer0", STATUS_FWP_IN_USE, false},
        {"FwpsAcquireClassifyHandle0", STATUS_NO_MEMORY, true},
        {"FwpsAcquireWritableLayerDataPointer0", STATUS_FWP_IN_USE, true},
        {"FwpsPendClassify0", STATUS_FWP_CANNOT_PEND, true},
        {"IoAllocateWorkItem", STATUS_INSUFFICIENT_RESOURCES, true},
    };
    StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort));
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.call) + (c.ask ? " (pended)" : " (immediate)"));
        std::vector<std::uint64_t> ids;
        ASSERT_EQ(filters_.AddTarget(ProxyTarget(c.ask), {}, &ids), (DWORD)ERROR_SUCCESS);
        winsim::faults::FailCall(c.call, c.status);
        EXPECT_FALSE(ConnectOnce());
        EXPECT_TRUE(ConnectOnce());
        for (std::uint64_t id : ids) {
            ASSERT_EQ(filters_.RemoveFilter(id), (DWORD)ERROR_SUCCESS);
        }
    }
}

// The redirect-records lookup failing is not a failure of the classify: the connecting
// process is judged instead.
TEST_F(RedirectFaultTest, FailedRecordsLookupFallsBackToTheConnectingProcess)
{
    AddProxyFilters();
    qvr::agent::RedirectContext record;
    record.requested = Ep("203.0.113.7:443");
    record.processId = 999999;  // not a covered process
    record.appPath = kEditorImage;
    const std::vector<std::uint8_t> records =
        BuildSioRecords({{0x7777000000000003ull, 1, Ep("203.0.113.7:443"), qvr::agent::BuildRedirectContextBytes(record)}});

    struct Case {
        const char *name;
        bool failQuery;
        bool failAllocation;
        bool redirected;
    } cases[] = {
        {"lookup succeeds: the record's uncovered process decides", false, false, false},
        {"records query fails: the covered connecting process decides", true, false, true},
        {"records buffer cannot be allocated: the connecting process decides", false, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.failQuery) {
            winsim::faults::FailCall("FwpsQueryConnectionSioFormatRedirectRecords0", STATUS_NOT_FOUND);
        }
        if (c.failAllocation) {
            winsim::faults::FailNthAllocation(1);
        }
        winsim::network::ConnectRequest request;
        request.processId = browser_;
        request.remote = Ep("198.51.100.9:443");
        request.redirectRecords = records;
        winsim::network::Connection connection = winsim::network::Connect(request);
        winsim::faults::Clear();
        EXPECT_EQ(connection.Redirected(), c.redirected);
        while (proxy_.Accept()) {
        }
        connection.Close();
    }
}

}  // namespace
}  // namespace redirect_test
