// The process queries' size protocol and contents: the image file name through a process
// handle, and the system process snapshot with records chained by NextEntryOffset, also
// when the list grows between the size query and the fill.
#include "process_test_support.h"

#include <gtest/gtest.h>
#include <winsim/processes.h>

#include <algorithm>

namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;
using winsim::processes::SnapshotPoint;

class ProcessQueryTest : public ::testing::Test {
protected:
    void TearDown() override { winsim::processes::Reset(); }

    // A kernel handle to the process, closed by the test.
    HANDLE Open(ProcessId id)
    {
        PEPROCESS process = nullptr;
        EXPECT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_SUCCESS);
        HANDLE handle = nullptr;
        EXPECT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
                  STATUS_SUCCESS);
        ObDereferenceObject(process);
        return handle;
    }
};

struct ImageCase {
    const char16_t *path;
};

class ImageNameSizeTest : public ProcessQueryTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageNameSizeTest, TooSmallBuffersGetTheLengthMismatchAndTheSizeNeeded)
{
    const std::u16string path = GetParam().path;
    ProcessId id = winsim::processes::Start(path);
    HANDLE handle = Open(id);
    const ULONG needed = static_cast<ULONG>(sizeof(UNICODE_STRING) + path.size() * 2);

    ULONG returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, needed);

    std::vector<std::uint64_t> buffer(needed / 8 + 2, 0xCCCCCCCCCCCCCCCCull);
    returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer.data(), needed - 1, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, needed);

    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer.data(), needed, &returned),
              STATUS_SUCCESS);
    const auto *name = reinterpret_cast<const UNICODE_STRING *>(buffer.data());
    EXPECT_EQ(name->Length, path.size() * 2);
    EXPECT_EQ(name->MaximumLength, name->Length) << "no terminator is promised";
    EXPECT_EQ(reinterpret_cast<const void *>(name->Buffer), reinterpret_cast<const void *>(name + 1));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / 2), path);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Paths, ImageNameSizeTest,
                         ::testing::Values(ImageCase{u"\\Device\\HarddiskVolume2\\Windows\\System32\\notepad.exe"},
                                           ImageCase{u"\\Device\\HarddiskVolume3\\Program Files\\Browser\\browser.exe"},
                                           ImageCase{u"x"}));

TEST_F(ProcessQueryTest, SystemHasAnEmptyImageName)
{
    HANDLE handle = Open(winsim::processes::kSystemProcessId);
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, sizeof(UNICODE_STRING));
    UNICODE_STRING name{};
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, &name, sizeof(name), &returned), STATUS_SUCCESS);
    EXPECT_EQ(name.Length, 0);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(ProcessQueryTest, HandlesThatAreNotProcessHandlesAreRefused)
{
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(reinterpret_cast<HANDLE>(0x7FF4), ProcessImageFileName, nullptr, 0, &returned),
              STATUS_INVALID_HANDLE);
    HANDLE thread = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&thread, 0, &attributes, nullptr, nullptr, [](PVOID) {}, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(thread, ProcessImageFileName, nullptr, 0, &returned),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
}

TEST_F(ProcessQueryTest, QueriesFailOnDemandByName)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    HANDLE handle = Open(id);
    ULONG returned = 0;
    winsim::faults::FailCall("ZwQueryInformationProcess", STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &returned), STATUS_ACCESS_DENIED);
    winsim::faults::FailCall("ZwQuerySystemInformation", STATUS_NO_MEMORY);
    EXPECT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &returned), STATUS_NO_MEMORY);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(ProcessQueryTest, SnapshotListsIdleFirstThenEveryProcessInCreationOrder)
{
    ProcessId browser = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Browser\\browser.exe");
    ProcessId editor = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Tools\\editor.exe", Notify::Yes, browser);
    std::vector<SnapshotProcess> snapshot = TakeSnapshot();
    ASSERT_GE(snapshot.size(), 4u);
    EXPECT_EQ(snapshot[0].id, 0u);
    EXPECT_EQ(snapshot[0].imageName, u"");
    EXPECT_EQ(snapshot[1].id, 4u);
    EXPECT_EQ(snapshot[1].imageName, u"System");
    EXPECT_EQ(snapshot[snapshot.size() - 2].id, browser);
    EXPECT_EQ(snapshot[snapshot.size() - 2].imageName, u"browser.exe");
    EXPECT_EQ(snapshot.back().id, editor);
    EXPECT_EQ(snapshot.back().parentId, browser);
    EXPECT_EQ(snapshot.back().threads, 1u);
    std::vector<ProcessId> running = winsim::processes::Running();
    EXPECT_EQ(snapshot.size(), running.size());
}

TEST_F(ProcessQueryTest, SmallBuffersGetTheFullSizeAndGrowthShowsInTheNextAnswer)
{
    ULONG needed = 0;
    ASSERT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    std::vector<std::uint8_t> buffer(needed);
    ULONG returned = 0;
    EXPECT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, buffer.data(), 16, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, needed);

    winsim::processes::GrowBeforeNextFill(u"\\Device\\HarddiskVolume2\\late.exe", 2);
    // The size query alone does not trigger the growth; the fill does, and outgrows it.
    ULONG again = 0;
    ASSERT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &again), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(again, needed);
    EXPECT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, buffer.data(), needed, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_GT(returned, needed);

    buffer.resize(returned);
    ULONG used = 0;
    ASSERT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, buffer.data(), returned, &used), STATUS_SUCCESS);
    EXPECT_EQ(used, returned);
    std::vector<SnapshotProcess> snapshot = WalkSnapshot(buffer, used);
    EXPECT_EQ(std::count_if(snapshot.begin(), snapshot.end(),
                            [](const SnapshotProcess &p) { return p.imageName == u"late.exe"; }),
              2);
}

TEST_F(ProcessQueryTest, HookSeesBothSidesOfTheAnswer)
{
    std::vector<std::pair<SnapshotPoint, std::uint32_t>> seen;
    winsim::processes::SetSnapshotHook([&seen](SnapshotPoint point, std::uint32_t length) {
        seen.emplace_back(point, length);
    });
    ULONG needed = 0;
    ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &needed);
    winsim::processes::SetSnapshotHook(nullptr);
    ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &needed);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, SnapshotPoint::BeforeAnswer);
    EXPECT_EQ(seen[1].first, SnapshotPoint::AfterAnswer);
    EXPECT_EQ(seen[0].second, 0u);
}

TEST_F(ProcessQueryTest, EndedReferencedProcessIsListedWithoutThreads)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\zombie.exe");
    PEPROCESS process = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(ProcessHandle(id), &process), STATUS_SUCCESS);
    winsim::processes::End(id, Notify::No);
    std::vector<SnapshotProcess> snapshot = TakeSnapshot();
    auto it = std::find_if(snapshot.begin(), snapshot.end(), [id](const SnapshotProcess &p) { return p.id == id; });
    ASSERT_NE(it, snapshot.end());
    EXPECT_EQ(it->threads, 0u);
    ObDereferenceObject(process);
}

TEST_F(ProcessQueryTest, QueriesAboveDispatchAreViolations)
{
    ProcessId id = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\app.exe");
    HANDLE handle = Open(id);
    winsim::ViolationCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ULONG returned = 0;
    EXPECT_FALSE(NT_SUCCESS(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &returned)));
    EXPECT_FALSE(NT_SUCCESS(ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &returned)));
    KeLowerIrql(old);
    EXPECT_TRUE(capture.Caught("ZwQueryInformationProcess"));
    EXPECT_TRUE(capture.Caught("ZwQuerySystemInformation"));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

}  // namespace
