/*
 * object_manager.cpp (winsim kernel)
 *
 * Kernel objects with headers and reference counts: object types, creation with a delete
 * routine, internal and driver references (ObfReferenceObject, ObfDereferenceObject,
 * ObReferenceObjectByPointer), and the leak report of references the driver still holds.
 * An object is deleted when its last reference and its last handle are gone.
 */
#include "object_manager.h"

#include "kernel_internal.h"
#include "object_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <unordered_set>

struct _OBJECT_TYPE {
    const char *Name;  // "Process", "Thread", ...
};

namespace winsim::kernel {
namespace {

_OBJECT_TYPE gProcessType{"Process"};
_OBJECT_TYPE gThreadType{"Thread"};
_OBJECT_TYPE gFileType{"File"};
_OBJECT_TYPE gEventType{"Event"};
_OBJECT_TYPE gDeviceType{"Device"};
_OBJECT_TYPE gDriverType{"Driver"};

struct Registry {
    std::mutex mutex;
    std::unordered_set<ObjectHeader *> live;
};

Registry &Objects()
{
    static auto *registry = new Registry();
    return *registry;
}

void DeleteObject(ObjectHeader *header)
{
    {
        Registry &registry = Objects();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.live.erase(header);
    }
    if (header->onDelete) {
        header->onDelete(BodyOf(header));
    }
    header->magic = 0;
    header->~ObjectHeader();
    std::free(header);
}

}  // namespace

ObjectHeader *HeaderOf(PVOID body)
{
    return reinterpret_cast<ObjectHeader *>(static_cast<char *>(body) - sizeof(ObjectHeader));
}

PVOID BodyOf(ObjectHeader *header) { return reinterpret_cast<char *>(header) + sizeof(ObjectHeader); }

ObjectHeader *LookupObject(PVOID body)
{
    if (body == nullptr) {
        return nullptr;
    }
    ObjectHeader *header = HeaderOf(body);
    Registry &registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.live.count(header) != 0 ? header : nullptr;
}

void AcquireLifetime(ObjectHeader *header) { header->lifetime.fetch_add(1); }

void ReleaseLifetime(ObjectHeader *header)
{
    // One counter for references and handles together, so exactly one releaser deletes.
    if (header->lifetime.fetch_sub(1) == 1) {
        DeleteObject(header);
    }
}

PVOID CreateObject(POBJECT_TYPE type, std::size_t bodySize, ObjectDeleteRoutine onDelete, std::string description)
{
    std::size_t total = sizeof(ObjectHeader) + (bodySize + 15) / 16 * 16;
    void *memory = std::aligned_alloc(16, total);
    if (memory == nullptr) {
        return nullptr;
    }
    auto *header = new (memory) ObjectHeader();
    header->type = type;
    header->onDelete = std::move(onDelete);
    header->description = std::move(description);
    header->magic = ObjectHeader::kMagic;
    header->pointerCount.store(1);
    header->lifetime.store(1);
    __builtin_memset(BodyOf(header), 0, total - sizeof(ObjectHeader));
    Registry &registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.insert(header);
    return BodyOf(header);
}

void ReferenceObject(PVOID body)
{
    ObjectHeader *header = HeaderOf(body);
    header->pointerCount.fetch_add(1);
    AcquireLifetime(header);
}

void DereferenceObject(PVOID body)
{
    ObjectHeader *header = HeaderOf(body);
    LONG_PTR remaining = header->pointerCount.fetch_sub(1) - 1;
    if (remaining < 0) {
        ReportViolation("ObfDereferenceObject", "reference count of " + DescribeObject(header) + " went below zero");
        header->pointerCount.fetch_add(1);
        return;
    }
    ReleaseLifetime(header);
}

void ReferenceObjectForDriver(PVOID body, std::string_view call)
{
    ObjectHeader *header = HeaderOf(body);
    header->pointerCount.fetch_add(1);
    AcquireLifetime(header);
    header->driverReferences.fetch_add(1);
    if (ReleaseMode()) {
        return;  // the calls that took references are named in leak reports of checked mode only
    }
    std::lock_guard<std::mutex> lock(header->callsMutex);
    header->referencingCalls.insert(std::string(call));
}

bool IsObject(PVOID body) { return LookupObject(body) != nullptr; }

POBJECT_TYPE ObjectTypeOf(PVOID body)
{
    ObjectHeader *header = LookupObject(body);
    return header == nullptr ? nullptr : header->type;
}

std::string ObjectTypeName(POBJECT_TYPE type) { return type == nullptr ? "object" : type->Name; }

LONG_PTR ObjectPointerCount(PVOID body) { return HeaderOf(body)->pointerCount.load(); }
LONG_PTR ObjectHandleCount(PVOID body) { return HeaderOf(body)->handleCount.load(); }
LONG_PTR ObjectDriverReferenceCount(PVOID body) { return HeaderOf(body)->driverReferences.load(); }

void SetObjectDescription(PVOID body, std::string description)
{
    ObjectHeader *header = HeaderOf(body);
    std::lock_guard<std::mutex> lock(header->callsMutex);
    header->description = std::move(description);
}

std::string DescribeObject(ObjectHeader *header)
{
    char address[32];
    std::snprintf(address, sizeof(address), "%p", BodyOf(header));
    std::lock_guard<std::mutex> lock(header->callsMutex);
    std::string text = ObjectTypeName(header->type) + " object " + address;
    if (!header->description.empty()) {
        text += " (" + header->description + ")";
    }
    return text;
}

void CollectObjectOutstanding(std::vector<OutstandingItem> &items)
{
    std::vector<ObjectHeader *> held;
    {
        Registry &registry = Objects();
        std::lock_guard<std::mutex> lock(registry.mutex);
        for (ObjectHeader *header : registry.live) {
            if (header->driverReferences.load() > 0) {
                held.push_back(header);
            }
        }
    }
    for (ObjectHeader *header : held) {
        std::string calls;
        {
            std::lock_guard<std::mutex> lock(header->callsMutex);
            for (const std::string &call : header->referencingCalls) {
                calls += (calls.empty() ? "" : ", ") + call;
            }
        }
        items.push_back(OutstandingItem{"object-reference", BodyOf(header),
                                        DescribeObject(header) + ": " + std::to_string(header->driverReferences.load()) +
                                            " reference(s) taken by the driver (" + calls + ")"});
    }
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

/* As on Windows, each exported type variable points at the type's POBJECT_TYPE. */
static POBJECT_TYPE gProcessTypePointer = &gProcessType;
static POBJECT_TYPE gThreadTypePointer = &gThreadType;
static POBJECT_TYPE gFileTypePointer = &gFileType;
static POBJECT_TYPE gEventTypePointer = &gEventType;
static POBJECT_TYPE gDeviceTypePointer = &gDeviceType;
static POBJECT_TYPE gDriverTypePointer = &gDriverType;
POBJECT_TYPE *PsProcessType = &gProcessTypePointer;
POBJECT_TYPE *PsThreadType = &gThreadTypePointer;
POBJECT_TYPE *IoFileObjectType = &gFileTypePointer;
POBJECT_TYPE *ExEventObjectType = &gEventTypePointer;
POBJECT_TYPE *IoDeviceObjectType = &gDeviceTypePointer;
POBJECT_TYPE *IoDriverObjectType = &gDriverTypePointer;

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    RequireIrqlAtMost("ObfReferenceObject", DISPATCH_LEVEL);
    ObjectHeader *header = LookupObject(Object);
    if (header == nullptr) {
        winsim::ReportViolation("ObfReferenceObject", "the pointer is not an object");
        return 0;
    }
    ReferenceObjectForDriver(Object, "ObfReferenceObject");
    return header->pointerCount.load();
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    RequireIrqlAtMost("ObfDereferenceObject", DISPATCH_LEVEL);
    ObjectHeader *header = LookupObject(Object);
    if (header == nullptr) {
        winsim::ReportViolation("ObfDereferenceObject", "the pointer is not a live object (already deleted?)");
        return 0;
    }
    if (header->driverReferences.fetch_sub(1) <= 0) {
        header->driverReferences.fetch_add(1);
        winsim::ReportViolation("ObfDereferenceObject", "dereferences " + DescribeObject(header) +
                                                            " without holding a reference to it");
        return header->pointerCount.load();
    }
    LONG_PTR remaining = header->pointerCount.load() - 1;
    DereferenceObject(Object);
    return remaining;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    RequireIrqlAtMost("ObReferenceObjectByPointer", DISPATCH_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("ObReferenceObjectByPointer", &status)) {
        return status;
    }
    ObjectHeader *header = LookupObject(Object);
    if (header == nullptr) {
        winsim::ReportViolation("ObReferenceObjectByPointer", "the pointer is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != nullptr && ObjectType != header->type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ReferenceObjectForDriver(Object, "ObReferenceObjectByPointer");
    return STATUS_SUCCESS;
}

}  // extern "C"
