/*
 * fx_wdm.cpp (winsim, KMDF stand-in)
 *
 * The WDM objects underneath the framework: the driver object the loader builds for a
 * service, the device objects the framework creates through the I/O manager, and the
 * system thread on which the loader runs DriverEntry and the unload sequence.
 */
#include "fx_internal.h"

#include "kernel/thread_context.h"

#include <thread>

namespace winsim::fx {

namespace {

// The driver object with the storage its counted strings point into.
struct WdmDriver {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string driverName;
    std::u16string serviceName;
};

std::u16string Widen(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

void SetString(UNICODE_STRING *target, std::u16string &storage)
{
    target->Buffer = reinterpret_cast<PWCH>(storage.data());
    target->Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    target->MaximumLength = target->Length;
}

}  // namespace

PDRIVER_OBJECT CreateWdmDriverObject(const std::string &service)
{
    auto *driver = new WdmDriver();
    driver->driverName = Widen("\\Driver\\" + service);
    driver->serviceName = Widen(service);
    driver->object.Type = IO_TYPE_DRIVER;
    driver->object.Size = sizeof(DRIVER_OBJECT);
    driver->object.DriverExtension = &driver->extension;
    driver->extension.DriverObject = &driver->object;
    SetString(&driver->object.DriverName, driver->driverName);
    SetString(&driver->extension.ServiceKeyName, driver->serviceName);
    static_assert(offsetof(WdmDriver, object) == 0, "the driver object opens its record");
    return &driver->object;
}

void DeleteWdmDriverObject(PDRIVER_OBJECT driverObject)
{
    delete reinterpret_cast<WdmDriver *>(driverObject);
}

NTSTATUS CreateWdmDeviceObject(PDRIVER_OBJECT driverObject, PCUNICODE_STRING name, DEVICE_TYPE type,
                               ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device)
{
    return IoCreateDevice(driverObject, 0, const_cast<PUNICODE_STRING>(name), type, characteristics, exclusive,
                          device);
}

void DeleteWdmDeviceObject(PDEVICE_OBJECT device)
{
    IoDeleteDevice(device);
}

void RunOnSystemThread(const std::function<void()> &work)
{
    std::thread thread([&work] {
        work();
        std::string unclean = kernel::DescribeUncleanThreadState();
        if (!unclean.empty()) {
            ReportViolation("LoadDriver", "the driver left the loader's system thread " + unclean);
            kernel::ResetCurrentThreadState();
        }
    });
    thread.join();
}

}  // namespace winsim::fx
