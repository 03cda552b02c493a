/*
 * fx_wdm.cpp (winsim, KMDF stand-in)
 *
 * The WDM objects underneath the framework: the driver object the loader builds for a
 * service, the device objects the framework creates through the I/O manager, and the
 * system thread on which the loader runs DriverEntry and the unload sequence.
 */
#include "fx_internal.h"

#include "kernel/object_manager.h"
#include "kernel/thread_context.h"

#include <thread>

namespace winsim::fx {

PDRIVER_OBJECT CreateWdmDriverObject(const std::string &service)
{
    std::string name = "\\Driver\\" + service;
    return kernel::CreateDriverObject(std::u16string(name.begin(), name.end()));
}

void DeleteWdmDriverObject(PDRIVER_OBJECT driverObject)
{
    kernel::DeleteDriverObject(driverObject);
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
