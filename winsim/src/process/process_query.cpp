/*
 * process_query.cpp (winsim processes)
 *
 * ZwQueryInformationProcess (ProcessImageFileName) and ZwQuerySystemInformation
 * (SystemProcessInformation), with their size protocol: a buffer that is too small, an
 * empty one included, gets STATUS_INFO_LENGTH_MISMATCH and the length needed. The process
 * snapshot is written as the documented packed records chained by NextEntryOffset, and a
 * test hook can change the process list between a size query and the fill.
 */
#include "process_internal.h"

#include "kernel/object_manager.h"
#include "kernel/thread_context.h"

#include <cstring>
#include <mutex>

namespace winsim::process {
namespace {

// The public layout of one snapshot record, as the documentation gives it.
struct SystemProcessRecord {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    UCHAR Reserved1[48];
    UNICODE_STRING ImageName;
    KPRIORITY BasePriority;
    HANDLE UniqueProcessId;
    PVOID InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    PVOID Reserved3;
    SIZE_T PeakVirtualSize;
    SIZE_T VirtualSize;
    ULONG Reserved4;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    PVOID Reserved5;
    SIZE_T QuotaPagedPoolUsage;
    PVOID Reserved6;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
    SIZE_T PrivatePageCount;
    LARGE_INTEGER Reserved7[6];
};

struct SystemThreadRecord {
    LARGE_INTEGER KernelTime;
    LARGE_INTEGER UserTime;
    LARGE_INTEGER CreateTime;
    ULONG WaitTime;
    PVOID StartAddress;
    CLIENT_ID ClientId;
    KPRIORITY Priority;
    LONG BasePriority;
    ULONG ContextSwitches;
    ULONG ThreadState;
    ULONG WaitReason;
};

static_assert(sizeof(void *) != 8 || sizeof(SystemProcessRecord) == 0x100, "x64 record size");
static_assert(sizeof(void *) != 8 || sizeof(SystemThreadRecord) == 0x50, "x64 thread record size");
static_assert(offsetof(SystemProcessRecord, ImageName) == 56, "ImageName offset");

constexpr ULONG kSystemProcessInformation = 5;

struct HookState {
    std::mutex mutex;
    processes::SnapshotHook hook;
    struct Growth {
        std::u16string imagePath;
        unsigned count;
        processes::Notify notify;
    };
    std::vector<Growth> growth;
    processes::ImageQueryHook imageHook;
};

HookState &Hooks()
{
    static auto *state = new HookState();
    return *state;
}

std::size_t AlignUp(std::size_t value, std::size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

std::size_t RecordSize(const ListedProcess &process)
{
    return AlignUp(sizeof(SystemProcessRecord) + process.threads * sizeof(SystemThreadRecord) +
                       (process.imageName.size() + 1) * sizeof(WCHAR),
                   sizeof(LONGLONG));
}

void WriteRecord(PUCHAR at, const ListedProcess &process, bool last)
{
    auto *record = reinterpret_cast<SystemProcessRecord *>(at);
    std::memset(at, 0, RecordSize(process));
    record->NextEntryOffset = last ? 0 : static_cast<ULONG>(RecordSize(process));
    record->NumberOfThreads = process.threads;
    record->BasePriority = 8;
    record->UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(process.id));
    record->InheritedFromUniqueProcessId = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(process.parentId));
    record->HandleCount = 4;
    auto *threads = reinterpret_cast<SystemThreadRecord *>(record + 1);
    for (std::uint32_t i = 0; i < process.threads; ++i) {
        threads[i].ClientId.UniqueProcess = record->UniqueProcessId;
        threads[i].ClientId.UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(process.id + 4 * (i + 1)));
        threads[i].Priority = 8;
        threads[i].BasePriority = 8;
    }
    auto *name = reinterpret_cast<PWCH>(threads + process.threads);
    std::memcpy(name, process.imageName.data(), process.imageName.size() * sizeof(WCHAR));
    record->ImageName.Length = static_cast<USHORT>(process.imageName.size() * sizeof(WCHAR));
    record->ImageName.MaximumLength = static_cast<USHORT>(record->ImageName.Length + sizeof(WCHAR));
    record->ImageName.Buffer = process.imageName.empty() ? nullptr : name;
}

NTSTATUS QueryProcessList(PVOID buffer, ULONG length, PULONG returnLength)
{
    std::vector<ListedProcess> listed = ListProcesses();
    std::size_t total = 0;
    for (const ListedProcess &process : listed) {
        total += RecordSize(process);
    }
    if (returnLength != nullptr) {
        *returnLength = static_cast<ULONG>(total);
    }
    if (length < total) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (buffer == nullptr) {
        ReportViolation("ZwQuerySystemInformation", "SystemInformation is NULL with a length of " + std::to_string(length));
        return STATUS_ACCESS_VIOLATION;
    }
    auto *at = static_cast<PUCHAR>(buffer);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        WriteRecord(at, listed[i], i + 1 == listed.size());
        at += RecordSize(listed[i]);
    }
    return STATUS_SUCCESS;
}

}  // namespace

void RunSnapshotHook(processes::SnapshotPoint point, std::uint32_t bufferLength)
{
    std::vector<HookState::Growth> growth;
    processes::SnapshotHook hook;
    {
        HookState &state = Hooks();
        std::lock_guard<std::mutex> lock(state.mutex);
        hook = state.hook;
        if (point == processes::SnapshotPoint::BeforeAnswer && bufferLength != 0) {
            growth.swap(state.growth);
        }
    }
    for (const HookState::Growth &grow : growth) {
        for (unsigned i = 0; i < grow.count; ++i) {
            processes::Start(grow.imagePath, grow.notify);
        }
    }
    if (hook) {
        hook(point, bufferLength);
    }
}

void ClearSnapshotHooks()
{
    HookState &state = Hooks();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hook = nullptr;
    state.growth.clear();
    state.imageHook = nullptr;
}

void RunImageQueryHook(processes::ProcessId id, std::uint32_t bufferLength)
{
    processes::ImageQueryHook hook;
    {
        HookState &state = Hooks();
        std::lock_guard<std::mutex> lock(state.mutex);
        hook = state.imageHook;
    }
    if (hook) {
        hook(id, bufferLength);
    }
}

}  // namespace winsim::process

namespace winsim::processes {

void SetImageQueryHook(ImageQueryHook hook)
{
    process::HookState &state = process::Hooks();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.imageHook = std::move(hook);
}

void SetSnapshotHook(SnapshotHook hook)
{
    process::HookState &state = process::Hooks();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hook = std::move(hook);
}

void GrowBeforeNextFill(std::u16string_view imagePath, unsigned count, Notify notify)
{
    process::HookState &state = process::Hooks();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.growth.push_back({std::u16string(imagePath), count, notify});
}

}  // namespace winsim::processes

extern "C" {

NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                         PVOID ProcessInformation, ULONG ProcessInformationLength,
                                         PULONG ReturnLength)
{
    if (!winsim::kernel::RequireIrqlExactly("ZwQueryInformationProcess", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (winsim::faults::ShouldFail("ZwQueryInformationProcess", &status)) {
        return status;
    }
    if (ProcessInformationClass != ProcessImageFileName) {
        winsim::ReportViolation("ZwQueryInformationProcess", "information class " +
                                                                 std::to_string(ProcessInformationClass) +
                                                                 " is not stood in");
        return STATUS_INVALID_INFO_CLASS;
    }
    PVOID body = nullptr;
    status = winsim::kernel::ReferenceObjectByHandleInternal(ProcessHandle, *PsProcessType, KernelMode, &body,
                                                             nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    winsim::process::RunImageQueryHook(static_cast<PEPROCESS>(body)->Info->id, ProcessInformationLength);
    // The device-form path as the kernel keeps it; no terminating zero is added.
    const std::u16string &path = static_cast<PEPROCESS>(body)->Info->imagePath;
    const ULONG pathBytes = static_cast<ULONG>(path.size() * sizeof(WCHAR));
    const ULONG required = static_cast<ULONG>(sizeof(UNICODE_STRING)) + pathBytes;
    if (ReturnLength != nullptr) {
        *ReturnLength = required;
    }
    if (ProcessInformationLength < required) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else if (ProcessInformation == nullptr) {
        winsim::ReportViolation("ZwQueryInformationProcess", "ProcessInformation is NULL with a length of " +
                                                                 std::to_string(ProcessInformationLength));
        status = STATUS_ACCESS_VIOLATION;
    } else if (reinterpret_cast<ULONG_PTR>(ProcessInformation) % alignof(UNICODE_STRING) != 0) {
        status = STATUS_DATATYPE_MISALIGNMENT;
    } else {
        auto *name = static_cast<PUNICODE_STRING>(ProcessInformation);
        name->Length = static_cast<USHORT>(pathBytes);
        name->MaximumLength = static_cast<USHORT>(pathBytes);
        name->Buffer = reinterpret_cast<PWCH>(name + 1);
        std::memcpy(name->Buffer, path.data(), pathBytes);
        status = STATUS_SUCCESS;
    }
    winsim::kernel::DereferenceObject(body);
    return status;
}

NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                        ULONG SystemInformationLength, PULONG ReturnLength)
{
    if (!winsim::kernel::RequireIrqlExactly("ZwQuerySystemInformation", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (winsim::faults::ShouldFail("ZwQuerySystemInformation", &status)) {
        return status;
    }
    if (SystemInformationClass != winsim::process::kSystemProcessInformation) {
        winsim::ReportViolation("ZwQuerySystemInformation", "information class " +
                                                                std::to_string(SystemInformationClass) +
                                                                " is not stood in");
        return STATUS_INVALID_INFO_CLASS;
    }
    winsim::process::RunSnapshotHook(winsim::processes::SnapshotPoint::BeforeAnswer, SystemInformationLength);
    status = winsim::process::QueryProcessList(SystemInformation, SystemInformationLength, ReturnLength);
    winsim::process::RunSnapshotHook(winsim::processes::SnapshotPoint::AfterAnswer, SystemInformationLength);
    return status;
}

}  // extern "C"
