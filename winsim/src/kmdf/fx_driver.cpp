/*
 * fx_driver.cpp (winsim, KMDF stand-in)
 *
 * The framework driver object and the loader around it: DriverEntry on a system thread,
 * the framework's clean-up when DriverEntry fails (the driver object and its children are
 * deleted, the unload callback is not called), the non-PnP unload sequence (unload
 * callback, then deletion of the driver object's tree) and the verifier's leak report.
 */
#include "fx_internal.h"

#include <winsim/driver.h>

#include <chrono>
#include <string>

using namespace winsim;
using namespace winsim::fx;

namespace winsim::fx {

LoadedDriver *FindLoadLocked(PDRIVER_OBJECT driverObject)
{
    for (auto &entry : Fx().services) {
        if (entry.second->driverObject == driverObject) {
            return entry.second.get();
        }
    }
    return nullptr;
}

}  // namespace winsim::fx

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER *Driver)
{
    const char *call = "WdfDriverCreate";
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
        ReportViolation(call, "DriverObject, RegistryPath and DriverConfig are required (bug check)");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    LoadedDriver *load = FindLoadLocked(DriverObject);
    if (load == nullptr) {
        ReportViolation(call, "the driver object was not created by winsim::LoadDriver");
        return STATUS_INVALID_PARAMETER;
    }
    if (load->driver) {
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0 && DriverConfig->EvtDriverDeviceAdd != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0) {
        ReportViolation(call, "Plug and Play drivers are not stood in by winsim (set WdfDriverInitNonPnpDriver)");
        return STATUS_NOT_SUPPORTED;
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        ReportViolation(call, "the framework driver object has no parent");
        return STATUS_INVALID_PARAMETER;
    }
    auto driver = std::make_shared<fx::Driver>();
    status = ApplyAttributesLocked(*driver, DriverAttributes, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    driver->load = load;
    driver->config = *DriverConfig;
    RegisterLocked(driver);
    load->driver = driver;
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(driver->handle);
    }
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    const char *call = "WdfDriverWdmGetDriverObject";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto driver = LookupAsLocked<fx::Driver>(Driver, Kind::Driver, call);
    return driver ? driver->load->driverObject : nullptr;
}

WDFDRIVER WdfGetDriver(VOID)
{
    const char *call = "WdfGetDriver";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    WDFDRIVER found = nullptr;
    size_t count = 0;
    for (auto &entry : Fx().services) {
        if (entry.second->driver) {
            found = reinterpret_cast<WDFDRIVER>(entry.second->driver->handle);
            ++count;
        }
    }
    if (count != 1) {
        ReportViolation(call, "winsim answers WdfGetDriver only while exactly one framework driver is loaded (" +
                                  std::to_string(count) + " are)");
        return nullptr;
    }
    return found;
}

namespace {

void ForgetService(const std::string &key)
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto it = Fx().services.find(key);
    if (it == Fx().services.end()) {
        return;
    }
    DeleteWdmDriverObject(it->second->driverObject);
    Fx().services.erase(it);
}

// Requests the driver owns (presented or retrieved, not completed) on its devices.
std::vector<std::shared_ptr<Request>> DriverOwnedRequestsLocked(const fx::Driver &driver)
{
    std::vector<std::shared_ptr<Request>> owned;
    for (const auto &entry : Fx().objects) {
        if (entry.second->kind != Kind::Request) {
            continue;
        }
        auto request = std::static_pointer_cast<Request>(entry.second);
        auto device = request->device.lock();
        if (request->state == RequestState::DriverOwned && device && device->driver.lock().get() == &driver) {
            owned.push_back(request);
        }
    }
    return owned;
}

// Closes the handles still open to the driver's devices, as if the processes holding them
// exited; each close runs the framework's cleanup in this thread.
void CloseOpenFiles(const fx::Driver &driver)
{
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        for (const auto &child : driver.children) {
            if (child->kind != Kind::Device) {
                continue;
            }
            auto &device = static_cast<Device &>(*child);
            std::vector<std::shared_ptr<File>> files(device.files.begin(), device.files.end());
            for (const auto &file : files) {
                if (auto state = file->state.lock()) {
                    CloseFileLocked(state, &delivery);
                }
            }
        }
    }
    RunDelivery(delivery);
}

// Windows cannot finish an unload while the driver still owns requests of the handles that
// were closed, or while a dispatch or clean-up call is still running in it; give the
// driver's threads time to complete them and the calls time to return.
void WaitForDriverToSettle(const fx::Driver &driver)
{
    Framework &fx = Fx();
    std::unique_lock<std::mutex> guard(fx.lock);
    bool drained = fx.requestsChanged.wait_for(guard, std::chrono::seconds(30), [&driver] {
        return driver.callsDue == 0 && DriverOwnedRequestsLocked(driver).empty();
    });
    if (!drained && driver.callsDue != 0) {
        ReportViolation("UnloadDriver", std::to_string(driver.callsDue) +
                                            " framework call(s) into the driver did not return within 30 s");
    } else if (!drained) {
        std::string list;
        for (const auto &request : DriverOwnedRequestsLocked(driver)) {
            list += " " + Hex(request->handle) + " (IOCTL " + Hex(request->ioControlCode) + ")";
        }
        ReportViolation("UnloadDriver", "the driver still owns requests it never completed:" + list);
    }
}

}  // namespace

namespace winsim {

NTSTATUS LoadDriver(DriverEntryRoutine entry, std::string_view serviceName)
{
    Framework &fx = Fx();
    std::string key = UpperKey(serviceName);
    LoadedDriver *load = nullptr;
    {
        std::lock_guard<std::mutex> guard(fx.lock);
        if (fx.services.count(key) != 0) {
            return STATUS_IMAGE_ALREADY_LOADED;
        }
        auto record = std::make_unique<LoadedDriver>();
        record->service = std::string(serviceName);
        record->driverObject = CreateWdmDriverObject(record->service);
        record->driverObject->DriverInit = entry;
        std::string path = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + record->service;
        record->registryPathText.assign(path.begin(), path.end());
        record->registryPath.Buffer = reinterpret_cast<PWCH>(record->registryPathText.data());
        record->registryPath.Length = static_cast<USHORT>(record->registryPathText.size() * sizeof(WCHAR));
        record->registryPath.MaximumLength = record->registryPath.Length;
        record->inDriverEntry = true;
        load = record.get();
        fx.services[key] = std::move(record);
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread([&] { status = entry(load->driverObject, &load->registryPath); });
    std::shared_ptr<fx::Driver> driver;
    {
        std::lock_guard<std::mutex> guard(fx.lock);
        load->inDriverEntry = false;
        driver = load->driver;
    }
    if (NT_SUCCESS(status)) {
        ReadyDevicesAfterDriverEntry(*load);
        return status;
    }
    // A failing DriverEntry: the framework's stub deletes the driver object and its
    // children; the unload callback is not called.
    if (driver) {
        RunOnSystemThread([&] { DeleteObjectTree(driver); });
    }
    ForgetService(key);
    CheckDriverLeftNothing("LoadDriver");
    return status;
}

UnloadResult UnloadDriver(std::string_view serviceName)
{
    Framework &fx = Fx();
    std::string key = UpperKey(serviceName);
    LoadedDriver *load = nullptr;
    std::shared_ptr<fx::Driver> driver;
    {
        std::lock_guard<std::mutex> guard(fx.lock);
        auto it = fx.services.find(key);
        if (it == fx.services.end()) {
            return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        }
        load = it->second.get();
        driver = load->driver;
        bool unloadable = driver ? driver->config.EvtDriverUnload != nullptr : load->driverObject->DriverUnload != nullptr;
        if (!unloadable) {
            return {STATUS_INVALID_DEVICE_REQUEST, {}};
        }
        load->unloading = true;  // no handle opens from here on
    }
    if (driver) {
        CloseOpenFiles(*driver);
        WaitForDriverToSettle(*driver);
        RunOnSystemThread([&] {
            driver->config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver->handle));
            DeleteObjectTree(driver);
        });
    } else {
        RunOnSystemThread([&] { load->driverObject->DriverUnload(load->driverObject); });
    }
    ForgetService(key);
    UnloadResult result{STATUS_SUCCESS, {}};
    for (const OutstandingItem &item : DriverOutstandingItems()) {
        result.leftBehind.push_back(item.kind + ": " + item.description);
    }
    CheckDriverLeftNothing("UnloadDriver");
    return result;
}

bool IsDriverLoaded(std::string_view serviceName)
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    return Fx().services.count(UpperKey(serviceName)) != 0;
}

}  // namespace winsim
