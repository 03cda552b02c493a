/*
 * release_mode_test.cpp
 *
 * winsim's release mode keeps what the driver sees: each case runs in both modes and must
 * give the same answers (ended processes leave the id table only when unreferenced, armed
 * faults fire, a double free and a leak are still caught).
 */
#include <ntifs.h>
#include <winsim/processes.h>
#include <winsim/verifier.h>

#include <gtest/gtest.h>

#include "kernel_test_util.h"

#include <string>

namespace {

using kerneltest::Tag;

class ReleaseModeTest : public ::testing::TestWithParam<winsim::Mode> {
protected:
    void SetUp() override { winsim::SetMode(GetParam()); }
    void TearDown() override
    {
        winsim::SetMode(winsim::Mode::Checked);
        winsim::faults::Clear();
        winsim::processes::Reset();
    }
};

HANDLE Handle(winsim::processes::ProcessId id) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id)); }

TEST_P(ReleaseModeTest, EndedProcessIsFoundWhileReferencedAndGoneAfterwards)
{
    const auto held = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\held.exe");
    const auto other = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\other.exe");
    PEPROCESS process = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(Handle(held), &process), STATUS_SUCCESS);
    ASSERT_TRUE(winsim::processes::End(held));
    ASSERT_TRUE(winsim::processes::End(other));

    PEPROCESS again = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(Handle(held), &again), STATUS_SUCCESS);
    EXPECT_EQ(again, process);
    ObDereferenceObject(again);
    ObDereferenceObject(process);
    EXPECT_EQ(PsLookupProcessByProcessId(Handle(held), &again), STATUS_INVALID_CID);
    EXPECT_EQ(PsLookupProcessByProcessId(Handle(other), &again), STATUS_INVALID_CID);
    EXPECT_FALSE(winsim::processes::ExtraReferences(held).has_value());
}

TEST_P(ReleaseModeTest, ArmedFaultsFire)
{
    struct Case {
        const char *what;
        void (*arm)();
        bool (*fails)();
    };
    const Case cases[] = {
        {"named call", [] { winsim::faults::FailCall("PsLookupProcessByProcessId", STATUS_ACCESS_DENIED); },
         [] {
             PEPROCESS system = nullptr;
             const NTSTATUS status = PsLookupProcessByProcessId(Handle(winsim::processes::kSystemProcessId), &system);
             if (NT_SUCCESS(status)) {
                 ObDereferenceObject(system);
             }
             return status == STATUS_ACCESS_DENIED;
         }},
        {"nth allocation", [] { winsim::faults::FailNthAllocation(1); },
         [] {
             PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag("Test"));
             if (block != nullptr) {
                 ExFreePoolWithTag(block, Tag("Test"));
             }
             return block == nullptr;
         }},
        {"tag", [] { winsim::faults::FailAllocationsWithTag("Test"); },
         [] {
             PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag("Test"));
             if (block != nullptr) {
                 ExFreePoolWithTag(block, Tag("Test"));
             }
             return block == nullptr;
         }},
    };
    for (const Case &c : cases) {
        c.arm();
        EXPECT_TRUE(c.fails()) << c.what;
        winsim::faults::Clear();
        EXPECT_FALSE(c.fails()) << c.what << " after Clear";
    }
}

TEST_P(ReleaseModeTest, LeakAndDoubleFreeAreCaught)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag("Rlsm"));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(winsim::OutstandingAllocations("Rlsm"), 1u);
    ExFreePoolWithTag(block, Tag("Rlsm"));
    EXPECT_EQ(winsim::OutstandingAllocations("Rlsm"), 0u);
    winsim::ViolationCapture capture;
    ExFreePoolWithTag(block, Tag("Rlsm"));
    EXPECT_TRUE(capture.Caught("ExFreePoolWithTag"));
}

INSTANTIATE_TEST_SUITE_P(BothModes, ReleaseModeTest, ::testing::Values(winsim::Mode::Checked, winsim::Mode::Release),
                         [](const ::testing::TestParamInfo<winsim::Mode> &info) {
                             return std::string(info.param == winsim::Mode::Checked ? "Checked" : "Release");
                         });

}  // namespace
