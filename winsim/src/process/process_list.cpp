/*
 * process_list.cpp (winsim processes)
 *
 * The machine's processes: process objects (dispatcher objects, signalled when the process
 * ends), the id table, starting and ending processes as a test plays them, and
 * PsLookupProcessByProcessId and PsGetProcessId. An ended process stays findable by id
 * and listed while anybody still references its object, as on Windows; the list's own
 * reference is dropped as soon as it is the last one.
 */
#include "process_internal.h"

#include "kernel/kernel_internal.h"
#include "kernel/object_manager.h"
#include "kernel/thread_context.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace winsim::process {
namespace {

constexpr ProcessId kFirstProcessId = 1000;

struct ProcessList {
    std::mutex mutex;
    // Objects answering to an id; the list holds one internal reference on each.
    std::map<ProcessId, PEPROCESS> byId;
    ProcessId nextId = kFirstProcessId;
    std::uint64_t nextSequence = 1;
};

std::string NarrowForReport(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::u16string LastComponent(std::u16string_view path)
{
    std::size_t separator = path.find_last_of(u"\\/");
    return std::u16string(separator == std::u16string_view::npos ? path : path.substr(separator + 1));
}

PEPROCESS CreateProcessObject(ProcessId id, ProcessId parentId, std::u16string_view imagePath,
                              std::u16string imageName, std::uint64_t sequence)
{
    auto *info = new ProcessInfo();
    info->id = id;
    info->parentId = parentId;
    info->imagePath = std::u16string(imagePath);
    info->imageName = std::move(imageName);
    info->sequence = sequence;
    std::string description = "Process " + std::to_string(id) + " " + NarrowForReport(info->imageName);
    PVOID body = kernel::CreateObject(
        *PsProcessType, sizeof(struct _KPROCESS), [](PVOID object) { delete static_cast<PEPROCESS>(object)->Info; },
        std::move(description));
    auto *process = static_cast<PEPROCESS>(body);
    kernel::InitializeDispatcherHeader(&process->Header, ProcessObject, sizeof(struct _KPROCESS), 0);
    process->Info = info;
    return process;
}

ProcessList &CreateList()
{
    auto *list = new ProcessList();
    PEPROCESS system = CreateProcessObject(processes::kSystemProcessId, processes::kIdleProcessId, u"", u"System", 0);
    list->byId[processes::kSystemProcessId] = system;
    kernel::SetSystemProcess(system, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(processes::kSystemProcessId)));
    return *list;
}

ProcessList &List()
{
    static ProcessList &list = CreateList();
    return list;
}

// The System process exists from the start, as the kernel's threads run in it.
const bool gSystemProcessCreated = (List(), true);

// Unlists ended processes that only the list still references; their last reference is
// dropped by the caller once the list's lock is released.
void SweepEndedLocked(ProcessList &list, std::vector<PEPROCESS> &release)
{
    for (auto it = list.byId.begin(); it != list.byId.end();) {
        PEPROCESS process = it->second;
        if (process->Info->state.load() == RunState::Ended && kernel::ObjectPointerCount(process) == 1 &&
            kernel::ObjectHandleCount(process) == 0) {
            release.push_back(process);
            it = list.byId.erase(it);
        } else {
            ++it;
        }
    }
}

// Release mode's sweep: only the entry of `id`, so that a lookup or an exit costs one tree
// search, not a walk of the whole list. What it does not visit stays listed, ended, until
// a lookup of its id, a listing or a full sweep finds it unreferenced: to the driver the
// id table answers the same either way.
void SweepEndedIdLocked(ProcessList &list, ProcessId id, std::vector<PEPROCESS> &release)
{
    auto it = list.byId.find(id);
    if (it == list.byId.end()) {
        return;
    }
    PEPROCESS process = it->second;
    if (process->Info->state.load() == RunState::Ended && kernel::ObjectPointerCount(process) == 1 &&
        kernel::ObjectHandleCount(process) == 0) {
        release.push_back(process);
        list.byId.erase(it);
    }
}

// The sweep a lookup or an exit of `id` makes: of every ended process (checked mode, so
// that a leftover reference shows at once), or of that id's alone (release mode).
void SweepForLocked(ProcessList &list, ProcessId id, std::vector<PEPROCESS> &release)
{
    if (kernel::ReleaseMode()) {
        SweepEndedIdLocked(list, id, release);
    } else {
        SweepEndedLocked(list, release);
    }
}

void Release(const std::vector<PEPROCESS> &release)
{
    for (PEPROCESS process : release) {
        kernel::DereferenceObject(process);
    }
}

bool IsReservedId(ProcessId id) { return id == processes::kIdleProcessId || id == processes::kSystemProcessId; }

bool RequirePassive(const char *call)
{
    return kernel::RequireIrqlExactly(call, PASSIVE_LEVEL);
}

// Lists the new process under `id` (replacing an ended one) and tells the routines.
void Launch(ProcessList &list, std::unique_lock<std::mutex> &lock, ProcessId id, std::u16string_view imagePath,
            processes::Notify notify, ProcessId parentId)
{
    std::vector<PEPROCESS> release;
    auto old = list.byId.find(id);
    if (old != list.byId.end()) {
        // An ended process gives up its id; whoever references it keeps a valid object.
        release.push_back(old->second);
        list.byId.erase(old);
    }
    PEPROCESS process = CreateProcessObject(id, parentId, imagePath, LastComponent(imagePath), list.nextSequence++);
    list.byId[id] = process;
    PEPROCESS parent = nullptr;
    auto parentIt = list.byId.find(parentId);
    if (parentIt != list.byId.end()) {
        parent = parentIt->second;
        kernel::ReferenceObject(parent);
    }
    lock.unlock();
    Release(release);
    if (notify == processes::Notify::Yes) {
        // The creating thread runs in the parent's context.
        kernel::ScopedProcessContext context(parent != nullptr ? parent : kernel::SystemProcess(),
                                             reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(
                                                 parent != nullptr ? parentId : processes::kSystemProcessId)));
        CallCreateProcessNotifyRoutines(parentId, id, true);
    }
    if (parent != nullptr) {
        kernel::DereferenceObject(parent);
    }
}

}  // namespace

std::vector<ListedProcess> ListProcesses()
{
    ProcessList &list = List();
    std::vector<PEPROCESS> release;
    std::vector<std::pair<std::uint64_t, ListedProcess>> ordered;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        SweepEndedLocked(list, release);
        for (const auto &[id, process] : list.byId) {
            const ProcessInfo &info = *process->Info;
            ordered.push_back({info.sequence, ListedProcess{id, info.parentId, info.imageName,
                                                            info.state.load() == RunState::Ended ? 0u : 1u}});
        }
    }
    Release(release);
    std::sort(ordered.begin(), ordered.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<ListedProcess> result;
    result.push_back(ListedProcess{processes::kIdleProcessId, processes::kIdleProcessId, u"", 1});
    for (auto &entry : ordered) {
        result.push_back(std::move(entry.second));
    }
    return result;
}

}  // namespace winsim::process

namespace winsim::processes {

using namespace winsim::process;

ProcessId Start(std::u16string_view imagePath, Notify notify, ProcessId parentId)
{
    RequirePassive("winsim::processes::Start");
    ProcessList &list = List();
    std::unique_lock<std::mutex> lock(list.mutex);
    while (list.byId.count(list.nextId) != 0) {
        list.nextId += 4;
    }
    ProcessId id = list.nextId;
    list.nextId += 4;
    Launch(list, lock, id, imagePath, notify, parentId);
    return id;
}

bool StartWithId(ProcessId id, std::u16string_view imagePath, Notify notify, ProcessId parentId)
{
    RequirePassive("winsim::processes::StartWithId");
    if (IsReservedId(id)) {
        return false;
    }
    ProcessList &list = List();
    std::unique_lock<std::mutex> lock(list.mutex);
    auto it = list.byId.find(id);
    if (it != list.byId.end() && it->second->Info->state.load() != RunState::Ended) {
        return false;
    }
    Launch(list, lock, id, imagePath, notify, parentId);
    return true;
}

bool End(ProcessId id, Notify notify)
{
    RequirePassive("winsim::processes::End");
    if (IsReservedId(id)) {
        return false;
    }
    ProcessList &list = List();
    PEPROCESS process = nullptr;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        auto it = list.byId.find(id);
        if (it == list.byId.end() || it->second->Info->state.load() != RunState::Running) {
            return false;
        }
        process = it->second;
        process->Info->state.store(RunState::Ending);
        kernel::ReferenceObject(process);
    }
    if (notify == Notify::Yes) {
        // The last thread of the process calls the routines, in the process's context.
        kernel::ScopedProcessContext context(process, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id)));
        CallCreateProcessNotifyRoutines(process->Info->parentId, id, false);
    }
    process->Info->state.store(RunState::Ended);
    kernel::SignalDispatcherObject(&process->Header);
    kernel::DereferenceObject(process);

    std::vector<PEPROCESS> release;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        SweepForLocked(list, id, release);
    }
    Release(release);
    return true;
}

bool IsRunning(ProcessId id)
{
    if (id == kIdleProcessId) {
        return true;
    }
    ProcessList &list = List();
    std::lock_guard<std::mutex> lock(list.mutex);
    auto it = list.byId.find(id);
    return it != list.byId.end() && it->second->Info->state.load() != RunState::Ended;
}

std::vector<ProcessId> Running()
{
    std::vector<ProcessId> ids{kIdleProcessId};
    ProcessList &list = List();
    std::lock_guard<std::mutex> lock(list.mutex);
    for (const auto &[id, process] : list.byId) {
        if (process->Info->state.load() != RunState::Ended) {
            ids.push_back(id);
        }
    }
    return ids;
}

std::optional<std::u16string> ImagePath(ProcessId id)
{
    if (id == kIdleProcessId) {
        return std::u16string();
    }
    ProcessList &list = List();
    std::lock_guard<std::mutex> lock(list.mutex);
    auto it = list.byId.find(id);
    if (it == list.byId.end() || it->second->Info->state.load() == RunState::Ended) {
        return std::nullopt;
    }
    return it->second->Info->imagePath;
}

std::optional<std::uint64_t> ExtraReferences(ProcessId id)
{
    ProcessList &list = List();
    std::vector<PEPROCESS> release;
    std::optional<std::uint64_t> count;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        SweepEndedLocked(list, release);
        auto it = list.byId.find(id);
        if (it != list.byId.end()) {
            count = static_cast<std::uint64_t>(kernel::ObjectPointerCount(it->second) - 1);
        }
    }
    Release(release);
    return count;
}

std::size_t NotifyRoutineCount() { return RegisteredNotifyRoutines(); }

std::size_t DropNotifyRoutines() { return process::DropNotifyRoutines(); }

void Reset()
{
    std::vector<ProcessId> started;
    {
        ProcessList &list = List();
        std::lock_guard<std::mutex> lock(list.mutex);
        for (const auto &[id, process] : list.byId) {
            if (!IsReservedId(id) && process->Info->state.load() == RunState::Running) {
                started.push_back(id);
            }
        }
    }
    for (ProcessId id : started) {
        End(id, Notify::No);
    }
    ClearSnapshotHooks();
    ProcessList &list = List();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.nextId = kFirstProcessId;
}

}  // namespace winsim::processes

extern "C" {

NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process)
{
    if (!winsim::kernel::RequireIrqlAtMost("PsLookupProcessByProcessId", APC_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (winsim::faults::ShouldFail("PsLookupProcessByProcessId", &status)) {
        return status;
    }
    if (Process == nullptr) {
        winsim::ReportViolation("PsLookupProcessByProcessId", "Process is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    auto id = static_cast<winsim::process::ProcessId>(reinterpret_cast<ULONG_PTR>(ProcessId));
    winsim::process::ProcessList &list = winsim::process::List();
    std::vector<PEPROCESS> release;
    status = STATUS_INVALID_CID;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        // An ended process that nobody references any more is gone from the id table.
        winsim::process::SweepForLocked(list, id, release);
        auto it = list.byId.find(id);
        // The idle process has no entry in the id table.
        if (it != list.byId.end()) {
            winsim::kernel::ReferenceObjectForDriver(it->second, "PsLookupProcessByProcessId");
            *Process = it->second;
            status = STATUS_SUCCESS;
        }
    }
    winsim::process::Release(release);
    return status;
}

HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    if (Process == nullptr || winsim::kernel::ObjectTypeOf(Process) != *PsProcessType) {
        winsim::ReportViolation("PsGetProcessId", "the pointer is not a process object");
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Process->Info->id));
}

}  // extern "C"
