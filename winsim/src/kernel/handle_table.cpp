/*
 * handle_table.cpp (winsim kernel)
 *
 * The handle table: ObOpenObjectByPointer, ObReferenceObjectByHandle, ZwClose and the
 * internal handle insertion used by PsCreateSystemThread and winsim's parts. Kernel handles
 * (OBJ_KERNEL_HANDLE) carry the kernel-handle bit as on Windows and cannot be used from
 * user mode; an open handle is listed as outstanding until it is closed, and closing an
 * invalid handle is a violation (INVALID_KERNEL_HANDLE on Windows).
 */
#include "kernel_internal.h"
#include "object_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

namespace winsim::kernel {
namespace {

constexpr ULONG_PTR kKernelHandleBit = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000000)));

struct HandleEntry {
    ObjectHeader *object;   // referenced object (one handle count)
    ULONG attributes;       // OBJ_* attributes
    ACCESS_MASK access;     // granted access
    std::string openedBy;   // the call that opened it
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, HandleEntry> entries;
    ULONG_PTR next = 1;
};

HandleTable &Handles()
{
    static auto *table = new HandleTable();
    return *table;
}

std::string Hex(ULONG_PTR value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool IsKernelHandle(HANDLE handle)
{
    return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBit) == kKernelHandleBit;
}

}  // namespace

NTSTATUS InsertHandle(PVOID body, ULONG attributes, ACCESS_MASK access, std::string_view call, PHANDLE handle)
{
    ObjectHeader *header = LookupObject(body);
    if (header == nullptr) {
        ReportViolation(call, "opens a handle to a pointer that is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    header->handleCount.fetch_add(1);
    AcquireLifetime(header);
    HandleTable &table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    ULONG_PTR value = (table.next++) * 4;
    if ((attributes & OBJ_KERNEL_HANDLE) != 0) {
        value |= kKernelHandleBit;
    }
    // Release mode does not record which call opened the handle (leak reports name it).
    table.entries[value] = HandleEntry{header, attributes, access, ReleaseMode() ? std::string() : std::string(call)};
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

namespace {

// The end of every lookup that found an object of type `actual`: the type check against
// `wanted` (any when null), then the reference and what the caller asked to know.
NTSTATUS ReferenceFound(PVOID object, POBJECT_TYPE actual, POBJECT_TYPE wanted, ULONG attributes, ACCESS_MASK access,
                        PVOID *body, POBJECT_HANDLE_INFORMATION information)
{
    if (wanted != nullptr && actual != wanted) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ReferenceObject(object);
    *body = object;
    if (information != nullptr) {
        information->HandleAttributes = attributes;
        information->GrantedAccess = access;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReferenceObjectByHandleInternal(HANDLE handle, POBJECT_TYPE type, KPROCESSOR_MODE mode, PVOID *body,
                                         POBJECT_HANDLE_INFORMATION information)
{
    PVOID object = nullptr;
    ULONG attributes = 0;
    ACCESS_MASK access = 0;
    if (handle == NtCurrentThread()) {
        object = KeGetCurrentThread();
        access = THREAD_ALL_ACCESS;
    } else if (handle == NtCurrentProcess()) {
        object = CurrentProcess();
        access = PROCESS_ALL_ACCESS;
        if (object == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
    } else {
        if (mode == UserMode && IsKernelHandle(handle)) {
            return STATUS_INVALID_HANDLE;
        }
        HandleTable &table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.entries.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it == table.entries.end()) {
            return STATUS_INVALID_HANDLE;
        }
        // Referenced under the table lock, so a concurrent close cannot free it first.
        const HandleEntry &entry = it->second;
        return ReferenceFound(BodyOf(entry.object), entry.object->type, type, entry.attributes, entry.access, body,
                              information);
    }
    return ReferenceFound(object, ObjectTypeOf(object), type, attributes, access, body, information);
}

void CollectHandleOutstanding(std::vector<OutstandingItem> &items)
{
    std::vector<std::pair<ULONG_PTR, HandleEntry>> open;
    {
        HandleTable &table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        open.assign(table.entries.begin(), table.entries.end());
    }
    for (const auto &[value, entry] : open) {
        items.push_back(OutstandingItem{"handle", reinterpret_cast<const void *>(value),
                                        std::string((entry.attributes & OBJ_KERNEL_HANDLE) != 0 ? "kernel " : "") +
                                            "handle " + Hex(value) + " to " + DescribeObject(entry.object) +
                                            ", opened by " + entry.openedBy + ", never closed (ZwClose)"});
    }
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    RequireIrqlAtMost("ObReferenceObjectByHandle", PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("ObReferenceObjectByHandle", &status)) {
        return status;
    }
    PVOID body = nullptr;
    status = ReferenceObjectByHandleInternal(Handle, ObjectType, AccessMode, &body, HandleInformation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The internal reference becomes the driver's.
    ObjectHeader *header = HeaderOf(body);
    header->driverReferences.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(header->callsMutex);
        header->referencingCalls.insert("ObReferenceObjectByHandle");
    }
    *Object = body;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                     PHANDLE Handle)
{
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(AccessMode);
    RequireIrqlAtMost("ObOpenObjectByPointer", APC_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("ObOpenObjectByPointer", &status)) {
        return status;
    }
    if ((HandleAttributes & ~static_cast<ULONG>(OBJ_VALID_ATTRIBUTES)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ObjectHeader *header = LookupObject(Object);
    if (header == nullptr) {
        winsim::ReportViolation("ObOpenObjectByPointer", "the pointer is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != nullptr && ObjectType != header->type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((HandleAttributes & OBJ_KERNEL_HANDLE) == 0 && CurrentProcessId() != SystemProcessId()) {
        winsim::ReportViolation("ObOpenObjectByPointer", "opens a handle without OBJ_KERNEL_HANDLE in a user "
                                                         "process's context (the process could use it)");
    }
    return InsertHandle(Object, HandleAttributes, DesiredAccess, "ObOpenObjectByPointer", Handle);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequireIrqlAtMost("ZwClose", PASSIVE_LEVEL);
    ObjectHeader *object = nullptr;
    {
        HandleTable &table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.entries.find(reinterpret_cast<ULONG_PTR>(Handle));
        if (it != table.entries.end()) {
            object = it->second.object;
            table.entries.erase(it);
        }
    }
    if (object == nullptr) {
        winsim::ReportViolation("ZwClose", "closes invalid handle " + Hex(reinterpret_cast<ULONG_PTR>(Handle)) +
                                               " (INVALID_KERNEL_HANDLE)");
        return STATUS_INVALID_HANDLE;
    }
    object->handleCount.fetch_sub(1);
    ReleaseLifetime(object);
    return STATUS_SUCCESS;
}

}  // extern "C"
