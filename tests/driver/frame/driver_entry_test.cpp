// Driver start and stop: every failing step of DriverEntry returns its status and leaves
// nothing behind, a successful start unloads clean, and the image can be loaded again.
#include "driver_fixture.h"

#include <winsim/trace_session.h>

#include "driver/frame/driver_state.h"
#include "driver/frame/static_init.h"

#include <string>

namespace qvr_test {
namespace {

struct FailingCall {
    const char *call;
    std::uint64_t nth;
    NTSTATUS injected;
    NTSTATUS expected;
};

void PrintTo(const FailingCall &c, std::ostream *os) { *os << c.call << " #" << c.nth; }

class DriverEntryFailureTest : public ::testing::TestWithParam<FailingCall> {};

// A failed start is traced at critical level with the failing step's status, and the
// framework's clean-up plus the driver's own unwinding leave nothing held.
TEST_P(DriverEntryFailureTest, ReturnsTheStepsStatusAndLeavesNothing)
{
    const FailingCall &c = GetParam();
    winsim::TraceSession session(kDriverTraceGuid, kTraceDriver | kTraceRules, TRACE_LEVEL_VERBOSE);
    winsim::faults::FailCall(c.call, c.injected, c.nth);

    EXPECT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), c.expected);

    EXPECT_FALSE(winsim::IsDriverLoaded(kDriverService));
    EXPECT_TRUE(winsim::Outstanding().empty()) << ::testing::PrintToString(winsim::Outstanding());
    EXPECT_FALSE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));
    EXPECT_EQ(ExitListLength(), 0u);
    bool tracedCritical = false;
    for (const winsim::TraceRecord &record : session.Records()) {
        if (record.level == TRACE_LEVEL_CRITICAL && !record.arguments.empty() &&
            static_cast<NTSTATUS>(record.arguments.back().value) == c.expected) {
            tracedCritical = true;
        }
    }
    EXPECT_TRUE(tracedCritical) << "no critical trace point with the failing status";
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlatformCall, DriverEntryFailureTest,
    ::testing::Values(
        FailingCall{"WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        // The framework reports no status here; the driver reports the missing init structure.
        FailingCall{"WdfControlDeviceInitAllocate", 1, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES},
        FailingCall{"WdfDeviceInitAssignName", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        FailingCall{"WdfDeviceCreate", 1, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION},
        FailingCall{"WdfIoQueueCreate", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        FailingCall{"WdfIoQueueCreate", 2, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        FailingCall{"WdfIoQueueReadyNotify", 1, STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
        FailingCall{"WdfDeviceCreateSymbolicLink", 1, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION},
        // The process table, after the rule store.
        FailingCall{"PsSetCreateProcessNotifyRoutine", 1, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        FailingCall{"PsCreateSystemThread", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        // The WFP registration, after the process policy: both must be gone again.
        FailingCall{"FwpsRedirectHandleCreate0", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        FailingCall{"FwpmBfeStateSubscribeChanges0", 1, STATUS_FWP_NULL_POINTER, STATUS_FWP_NULL_POINTER}),
    [](const ::testing::TestParamInfo<FailingCall> &info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.nth);
    });

// Failing each pool allocation of DriverEntry in turn: each failure is reported as an
// allocation failure and unwinds completely; the first n past the last allocation starts
// the driver.
TEST(DriverEntryAllocationTest, EveryAllocationFailureUnwinds)
{
    std::uint64_t n = 1;
    for (; n < 256; ++n) {
        winsim::faults::Clear();
        winsim::faults::FailNthAllocation(n);
        const NTSTATUS status = winsim::LoadDriver(DriverEntry, kDriverService);
        if (NT_SUCCESS(status)) {
            break;
        }
        EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
            << "allocation " << n << ": 0x" << std::hex << status;
        EXPECT_TRUE(winsim::Outstanding().empty()) << "allocation " << n << ": "
                                                   << ::testing::PrintToString(winsim::Outstanding());
        EXPECT_FALSE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));
    }
    winsim::faults::Clear();
    ASSERT_TRUE(winsim::IsDriverLoaded(kDriverService)) << "still failing after " << n << " allocations";
    EXPECT_GT(n, 1u) << "DriverEntry allocated nothing";
    UnloadDriverClean();
}

// Each part reports its own allocation failure: the process policy STATUS_NO_MEMORY (its
// rule store comes first), the callback channel STATUS_INSUFFICIENT_RESOURCES.
TEST(DriverEntryAllocationTest, EachPartReportsItsOwnStatus)
{
    const std::pair<const char *, NTSTATUS> parts[] = {{"QVPM", STATUS_NO_MEMORY},
                                                       {"QVCB", STATUS_INSUFFICIENT_RESOURCES}};
    for (const auto &[tag, expected] : parts) {
        winsim::faults::FailAllocationsWithTag(tag);
        EXPECT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), expected) << tag;
        winsim::faults::Clear();
        EXPECT_TRUE(winsim::Outstanding().empty()) << tag << ": " << ::testing::PrintToString(winsim::Outstanding());
    }
}

TEST(DriverLifecycleTest, UnloadAfterStartLeavesNothing)
{
    winsim::TraceSession session(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_INFORMATION);
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    EXPECT_TRUE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));

    UnloadDriverClean();

    EXPECT_FALSE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));
    EXPECT_EQ(ExitListLength(), 0u);
    EXPECT_EQ(session.Matching("DriverUnload").size(), 1u);
}

// The image keeps its data between loads in one process; every load starts from the
// driver's load state all the same.
TEST(DriverLifecycleTest, ReloadStartsWithQuicBlockingOff)
{
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS) << "round " << round;
        EXPECT_EQ(QuicBlockingEnabled, 0) << "round " << round;
        winsim::OpenResult open = winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem);
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        std::vector<std::uint8_t> on = QuicRecord(1);
        EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, on, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(QuicBlockingEnabled, 1);
        winsim::CloseHandle(open.handle);
        UnloadDriverClean();
    }
}

}  // namespace
}  // namespace qvr_test
