// Helpers of the process tests: ids as handles, the image-name query through a handle, and
// the system process snapshot walked as a driver walks it.
#pragma once

#include <ntifs.h>

#include <gtest/gtest.h>
#include <winsim/verifier.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

inline HANDLE ProcessHandle(std::uint64_t id) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id)); }

// The documented head of one snapshot record (winternl's SYSTEM_PROCESS_INFORMATION).
struct SnapshotRecordHead {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    UCHAR Reserved1[48];
    UNICODE_STRING ImageName;
    LONG BasePriority;
    HANDLE UniqueProcessId;
    PVOID InheritedFromUniqueProcessId;
};

extern "C" NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                                   ULONG SystemInformationLength, PULONG ReturnLength);
constexpr ULONG kSystemProcessInformation = 5;

struct SnapshotProcess {
    std::uint64_t id;
    std::uint64_t parentId;
    std::u16string imageName;
    ULONG threads;
};

// Walks a snapshot buffer by NextEntryOffset, checking that every record lies inside it.
inline std::vector<SnapshotProcess> WalkSnapshot(const std::vector<std::uint8_t> &buffer, ULONG used)
{
    std::vector<SnapshotProcess> processes;
    std::size_t offset = 0;
    for (;;) {
        EXPECT_LE(offset + sizeof(SnapshotRecordHead), used);
        if (offset + sizeof(SnapshotRecordHead) > used) {
            break;
        }
        EXPECT_EQ(offset % 8, 0u) << "records are 8-byte aligned";
        const auto *record = reinterpret_cast<const SnapshotRecordHead *>(buffer.data() + offset);
        std::u16string name;
        if (record->ImageName.Length != 0) {
            const auto *begin = reinterpret_cast<const std::uint8_t *>(record->ImageName.Buffer);
            EXPECT_GE(begin, buffer.data() + offset);
            EXPECT_LE(begin + record->ImageName.Length, buffer.data() + used);
            name.assign(reinterpret_cast<const char16_t *>(record->ImageName.Buffer), record->ImageName.Length / 2);
        }
        processes.push_back({reinterpret_cast<ULONG_PTR>(record->UniqueProcessId),
                             reinterpret_cast<ULONG_PTR>(record->InheritedFromUniqueProcessId), name,
                             record->NumberOfThreads});
        if (record->NextEntryOffset == 0) {
            break;
        }
        offset += record->NextEntryOffset;
    }
    return processes;
}

inline std::vector<SnapshotProcess> TakeSnapshot()
{
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    std::vector<std::uint8_t> buffer(needed);
    ULONG used = 0;
    EXPECT_EQ(ZwQuerySystemInformation(kSystemProcessInformation, buffer.data(), needed, &used), STATUS_SUCCESS);
    return WalkSnapshot(buffer, used);
}

inline std::set<std::uint64_t> ListedIds()
{
    std::set<std::uint64_t> ids;
    for (const SnapshotProcess &process : TakeSnapshot()) {
        ids.insert(process.id);
    }
    return ids;
}

// ProcessImageFileName of a process object, through a kernel handle as a driver gets it.
inline std::u16string ImageNameOf(PEPROCESS process)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    std::vector<std::uint64_t> buffer((needed + 7) / 8);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer.data(), needed, &needed), STATUS_SUCCESS);
    const auto *name = reinterpret_cast<const UNICODE_STRING *>(buffer.data());
    std::u16string result(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / 2);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return result;
}

inline bool HasOutstanding(std::string_view kind, std::string_view text)
{
    for (const winsim::OutstandingItem &item : winsim::OutstandingItems()) {
        if (item.kind == kind && item.description.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace
