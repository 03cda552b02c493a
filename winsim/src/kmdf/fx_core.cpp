/*
 * fx_core.cpp (winsim, KMDF stand-in)
 *
 * The framework object model: opaque handles that never repeat (so a stale handle is
 * always caught), typed context space, deletion of an object tree children-first with
 * its cleanup and destroy callbacks, and WdfObjectDelete's rules.
 */
#include "fx_internal.h"

#include "kernel/thread_context.h"

#include <cstdio>
#include <cstring>

namespace winsim::fx {

Framework &Fx()
{
    static Framework *framework = new Framework();
    return *framework;
}

const char *KindName(Kind kind)
{
    switch (kind) {
    case Kind::Driver:
        return "WDFDRIVER";
    case Kind::Device:
        return "WDFDEVICE";
    case Kind::Queue:
        return "WDFQUEUE";
    case Kind::Request:
        return "WDFREQUEST";
    case Kind::File:
        return "WDFFILEOBJECT";
    }
    return "WDFOBJECT";
}

std::string Hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Narrow(PCUNICODE_STRING text)
{
    std::string out;
    if (text == nullptr || text->Buffer == nullptr) {
        return out;
    }
    for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i) {
        char16_t c = static_cast<char16_t>(text->Buffer[i]);
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string UpperKey(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool CheckIrql(const char *call, KIRQL maximum)
{
    return kernel::RequireIrqlAtMost(call, maximum);
}

bool InjectFault(const char *call, NTSTATUS *status)
{
    return faults::ShouldFail(call, status);
}

uintptr_t RegisterLocked(const std::shared_ptr<Object> &object)
{
    Framework &fx = Fx();
    fx.nextHandle += 0x10;
    object->handle = fx.nextHandle;
    fx.objects[object->handle] = object;
    return object->handle;
}

void UnregisterLocked(Object &object)
{
    Fx().objects.erase(object.handle);
}

std::shared_ptr<Object> FindLocked(const void *handle)
{
    Framework &fx = Fx();
    auto it = fx.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == fx.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> LookupLocked(const void *handle, Kind kind, const char *call)
{
    Framework &fx = Fx();
    std::shared_ptr<Object> object = FindLocked(handle);
    if (object && object->kind == kind) {
        return object;
    }
    std::string message = std::string("invalid ") + KindName(kind) + " handle " +
                          Hex(reinterpret_cast<uintptr_t>(handle));
    if (object) {
        message += ": it is a " + std::string(KindName(object->kind));
    } else if (kind == Kind::Request) {
        for (const auto &entry : fx.completedRequests) {
            if (entry.first == reinterpret_cast<uintptr_t>(handle)) {
                message += ": the request was already completed by " + entry.second +
                           " and its handle is no longer valid";
                break;
            }
        }
    }
    ReportViolation(call, message);
    return nullptr;
}

NTSTATUS ApplyAttributesLocked(Object &object, PWDF_OBJECT_ATTRIBUTES attributes, const char *call)
{
    if (attributes == nullptr) {
        return STATUS_SUCCESS;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        ReportViolation(call, "WDF_OBJECT_ATTRIBUTES.Size is " + std::to_string(attributes->Size) +
                                  ", expected " + std::to_string(sizeof(WDF_OBJECT_ATTRIBUTES)));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    bool inheritsLevel = attributes->ExecutionLevel == WdfExecutionLevelInheritFromParent;
    // Queues may ask for passive-level callbacks (KMDF 1.9 and later); see Present.
    bool passiveQueue = attributes->ExecutionLevel == WdfExecutionLevelPassive && object.kind == Kind::Queue;
    bool inheritsScope = attributes->SynchronizationScope == WdfSynchronizationScopeInheritFromParent ||
                         attributes->SynchronizationScope == WdfSynchronizationScopeNone;
    if ((!inheritsLevel && !passiveQueue) || !inheritsScope) {
        ReportViolation(call, "winsim stands in only for inherited execution level (or passive level for a "
                              "queue) and synchronization scope (callbacks are not serialised here)");
        return STATUS_NOT_SUPPORTED;
    }
    object.passiveCallbacks = passiveQueue;
    object.cleanup = attributes->EvtCleanupCallback;
    object.destroy = attributes->EvtDestroyCallback;
    const WDF_OBJECT_CONTEXT_TYPE_INFO *type = attributes->ContextTypeInfo;
    if (type != nullptr) {
        if (type->Size != sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO) || type->UniqueType == nullptr) {
            ReportViolation(call, "malformed WDF_OBJECT_CONTEXT_TYPE_INFO");
            return STATUS_INVALID_PARAMETER;
        }
        size_t size = type->ContextSize;
        if (attributes->ContextSizeOverride > size) {
            size = attributes->ContextSizeOverride;
        }
        object.contextType = type->UniqueType;
        object.context.assign((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t) + 1,
                              std::max_align_t{});
        std::memset(object.context.data(), 0, object.context.size() * sizeof(std::max_align_t));
    } else if (attributes->ContextSizeOverride != 0) {
        ReportViolation(call, "ContextSizeOverride without a context type");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

namespace {

void CollectPostOrder(const std::shared_ptr<Object> &object, std::vector<std::shared_ptr<Object>> *order)
{
    for (const auto &child : object->children) {
        CollectPostOrder(child, order);
    }
    order->push_back(object);
}

void DetachFromParentLocked(const std::shared_ptr<Object> &object)
{
    std::shared_ptr<Object> parent = object->parent.lock();
    if (!parent) {
        return;
    }
    auto &siblings = parent->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (*it == object) {
            siblings.erase(it);
            break;
        }
    }
}

}  // namespace

void DeleteObjectTree(const std::shared_ptr<Object> &root)
{
    Framework &fx = Fx();
    std::vector<std::shared_ptr<Object>> order;
    {
        std::lock_guard<std::mutex> guard(fx.lock);
        if (root->deleting) {
            return;
        }
        CollectPostOrder(root, &order);
        for (const auto &object : order) {
            object->deleting = true;
        }
    }
    // The framework deletes a queue only once its callbacks in progress have returned.
    for (const auto &object : order) {
        if (object->kind == Kind::Queue) {
            WaitForQueueCallbacks(static_cast<Queue &>(*object));
        }
    }
    // Cleanup callbacks: children before parents, each followed by the object's teardown.
    for (const auto &object : order) {
        if (object->cleanup != nullptr) {
            object->cleanup(reinterpret_cast<WDFOBJECT>(object->handle));
        }
        Delivery delivery;
        {
            std::lock_guard<std::mutex> guard(fx.lock);
            if (object->kind == Kind::Queue) {
                PurgeQueueLocked(static_cast<Queue &>(*object), nullptr, &delivery);
            } else if (object->kind == Kind::Device) {
                TeardownDeviceLocked(static_cast<Device &>(*object), &delivery);
            }
        }
        RunDelivery(delivery);
    }
    for (const auto &object : order) {
        if (object->destroy != nullptr) {
            object->destroy(reinterpret_cast<WDFOBJECT>(object->handle));
        }
        std::lock_guard<std::mutex> guard(fx.lock);
        UnregisterLocked(*object);
    }
    std::lock_guard<std::mutex> guard(fx.lock);
    DetachFromParentLocked(root);
    for (const auto &object : order) {
        object->children.clear();
    }
}

}  // namespace winsim::fx

using namespace winsim;
using namespace winsim::fx;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    const char *call = "WdfObjectGetTypedContextWorker";
    std::lock_guard<std::mutex> guard(Fx().lock);
    std::shared_ptr<Object> object = FindLocked(Handle);
    if (!object) {
        ReportViolation(call, "invalid object handle " + Hex(reinterpret_cast<uintptr_t>(Handle)));
        return nullptr;
    }
    if (TypeInfo == nullptr || object->contextType != TypeInfo->UniqueType || object->context.empty()) {
        return nullptr;
    }
    return object->context.data();
}

VOID WdfObjectDelete(WDFOBJECT Object)
{
    const char *call = "WdfObjectDelete";
    std::shared_ptr<fx::Object> object;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        object = FindLocked(Object);
        if (!object) {
            ReportViolation(call, "invalid object handle " + Hex(reinterpret_cast<uintptr_t>(Object)));
            return;
        }
        bool deletable = object->kind == Kind::Device ||
                         (object->kind == Kind::Queue &&
                          std::static_pointer_cast<Queue>(object)->config.DefaultQueue == FALSE);
        if (!deletable) {
            ReportViolation(call, std::string("a driver may not delete a ") + KindName(object->kind) +
                                      (object->kind == Kind::Queue ? " that is the default queue" : ""));
            return;
        }
    }
    // Control devices and queues are deleted at PASSIVE_LEVEL.
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return;
    }
    DeleteObjectTree(object);
}
