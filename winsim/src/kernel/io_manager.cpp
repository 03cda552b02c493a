/*
 * io_manager.cpp (winsim kernel)
 *
 * Driver and device objects: the loader's driver objects, IoCreateDevice and IoDeleteDevice
 * (device objects are kernel objects, so the driver and work items can reference them and a
 * deleted device lives on until its last reference goes), device names and symbolic links.
 * A device created and never deleted is outstanding.
 */
#include "kernel_internal.h"
#include "object_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winsim::kernel {
namespace {

struct DriverBody {
    DRIVER_OBJECT driver;           // what the driver sees
    DRIVER_EXTENSION extension;     // DriverObject->DriverExtension
    WCHAR name[128];                // DriverName's characters
};

struct Namespace {
    std::mutex mutex;
    std::map<std::u16string, PDEVICE_OBJECT> devices;       // device name -> device
    std::map<std::u16string, std::u16string> links;         // link name -> device name
    std::map<PDEVICE_OBJECT, std::u16string> names;         // device -> its name
    std::map<PDEVICE_OBJECT, const void *> created;         // devices not yet deleted -> creator
};

Namespace &Names()
{
    static auto *names = new Namespace();
    return *names;
}

std::u16string ToString(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t *>(text->Buffer), text->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name)
{
    auto *body = static_cast<DriverBody *>(CreateObject(*IoDriverObjectType, sizeof(DriverBody), nullptr,
                                                        Narrow(std::u16string(name))));
    if (body == nullptr) {
        return nullptr;
    }
    std::size_t length = name.size() < 127 ? name.size() : 127;
    for (std::size_t i = 0; i < length; ++i) {
        body->name[i] = static_cast<WCHAR>(name[i]);
    }
    body->driver.Type = IO_TYPE_DRIVER;
    body->driver.Size = sizeof(DRIVER_OBJECT);
    body->driver.DriverExtension = &body->extension;
    body->extension.DriverObject = &body->driver;
    body->driver.DriverName.Buffer = body->name;
    body->driver.DriverName.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    body->driver.DriverName.MaximumLength = static_cast<USHORT>(sizeof(body->name));
    return &body->driver;
}

namespace {

struct UnloadObservers {
    std::mutex mutex;
    std::vector<DriverUnloadObserver> observers;
};

UnloadObservers &Observers()
{
    static UnloadObservers *observers = new UnloadObservers();
    return *observers;
}

}  // namespace

void AddDriverUnloadObserver(DriverUnloadObserver observer)
{
    std::lock_guard<std::mutex> lock(Observers().mutex);
    Observers().observers.push_back(observer);
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    std::vector<DriverUnloadObserver> observers;
    {
        std::lock_guard<std::mutex> lock(Observers().mutex);
        observers = Observers().observers;
    }
    for (DriverUnloadObserver observer : observers) {
        observer(driver);
    }
    DereferenceObject(driver);
}

PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name)
{
    Namespace &names = Names();
    std::lock_guard<std::mutex> lock(names.mutex);
    std::u16string target(name);
    auto link = names.links.find(target);
    if (link != names.links.end()) {
        target = link->second;
    }
    auto device = names.devices.find(target);
    if (device == names.devices.end()) {
        return nullptr;
    }
    ReferenceObject(device->second);
    return device->second;
}

bool IsDeviceObject(PVOID body) { return ObjectTypeOf(body) == *IoDeviceObjectType; }

void CollectDeviceOutstanding(std::vector<OutstandingItem> &items)
{
    Namespace &names = Names();
    std::lock_guard<std::mutex> lock(names.mutex);
    for (const auto &[device, creator] : names.created) {
        auto name = names.names.find(device);
        items.push_back(OutstandingItem{"device-object", device,
                                        "device object " +
                                            (name == names.names.end() ? std::string("(unnamed)") : Narrow(name->second)) +
                                            " created by " + DescribeCodeAddress(creator) + " was never deleted"});
    }
    for (const auto &[link, target] : names.links) {
        items.push_back(OutstandingItem{"symbolic-link", &link,
                                        "symbolic link " + Narrow(link) + " -> " + Narrow(target) + " was never deleted"});
    }
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    const void *creator = __builtin_return_address(0);
    *DeviceObject = nullptr;
    RequireIrqlAtMost("IoCreateDevice", PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("IoCreateDevice", &status)) {
        return status;
    }
    if (ObjectTypeOf(DriverObject) != *IoDriverObjectType) {
        winsim::ReportViolation("IoCreateDevice", "DriverObject is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = ToString(DeviceName);
    Namespace &names = Names();
    std::lock_guard<std::mutex> lock(names.mutex);
    if (!name.empty() && names.devices.count(name) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    std::size_t deviceSize = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
    auto *device = static_cast<PDEVICE_OBJECT>(
        CreateObject(*IoDeviceObjectType, deviceSize + DeviceExtensionSize, nullptr,
                     name.empty() ? std::string("unnamed device") : Narrow(name)));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char *>(device) + deviceSize : nullptr;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (!name.empty()) {
        names.devices[name] = device;
        names.names[device] = name;
    }
    names.created[device] = creator;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost("IoDeleteDevice", PASSIVE_LEVEL);
    {
        Namespace &names = Names();
        std::lock_guard<std::mutex> lock(names.mutex);
        if (names.created.erase(DeviceObject) == 0) {
            winsim::ReportViolation("IoDeleteDevice", "the device object was not created or is already deleted");
            return;
        }
        auto name = names.names.find(DeviceObject);
        if (name != names.names.end()) {
            names.devices.erase(name->second);
            names.names.erase(name);
        }
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
        }
    }
    // The object itself lives on while anyone (a work item, the driver) still references it.
    DereferenceObject(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequireIrqlAtMost("IoCreateSymbolicLink", PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (winsim::faults::ShouldFail("IoCreateSymbolicLink", &status)) {
        return status;
    }
    std::u16string link = ToString(SymbolicLinkName);
    Namespace &names = Names();
    std::lock_guard<std::mutex> lock(names.mutex);
    if (link.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (names.links.count(link) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.links[link] = ToString(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    Namespace &names = Names();
    std::lock_guard<std::mutex> lock(names.mutex);
    if (names.links.erase(ToString(SymbolicLinkName)) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
