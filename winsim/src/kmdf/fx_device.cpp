/*
 * fx_device.cpp (winsim, KMDF stand-in)
 *
 * Control devices: the init structure with its SDDL, characteristics and name, creation
 * of the framework device over a named WDM device object (DO_DEVICE_INITIALIZING until the
 * driver finishes initializing it), its symbolic link, and its teardown when the framework
 * deletes it.
 */
#include "fx_internal.h"

using namespace winsim;
using namespace winsim::fx;

namespace winsim::fx {

void CloseFileLocked(const std::shared_ptr<detail::FileState> &state, Delivery *out)
{
    if (!state->open) {
        return;
    }
    state->open = false;
    // Kept here: cancelling the last queued request of the handle below lets the file go.
    std::shared_ptr<File> file = state->file;
    std::shared_ptr<Device> device = state->device.lock();
    if (device) {
        // Cleanup: the framework cancels this file object's requests in every queue.
        for (const auto &child : device->children) {
            if (child->kind == Kind::Queue) {
                PurgeQueueLocked(static_cast<Queue &>(*child), state.get(), out);
            }
        }
        // The framework calls EvtFileCleanup in the closing thread once the last handle is
        // closed; the file object itself lives on until its outstanding I/O is done.
        if (device->fileCleanup != nullptr && file) {
            out->cleanups.emplace_back(device->fileCleanup, file);
            out->CountCallLocked(state->device);
        }
        device->files.erase(file);
        if (device->wdm != nullptr && device->wdm->ReferenceCount > 0) {
            --device->wdm->ReferenceCount;
        }
    }
    if (state->outstanding.empty() && state->file) {
        UnregisterLocked(*state->file);
        state->file.reset();
    }
}

void TeardownDeviceLocked(Device &device, Delivery *out)
{
    std::vector<std::shared_ptr<File>> files(device.files.begin(), device.files.end());
    for (const auto &file : files) {
        std::shared_ptr<detail::FileState> state = file->state.lock();
        if (state) {
            CloseFileLocked(state, out);
        }
    }
    Framework &fx = Fx();
    if (!device.linkKey.empty()) {
        UNICODE_STRING link{static_cast<USHORT>(device.linkName.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(device.linkName.size() * sizeof(WCHAR)),
                            reinterpret_cast<PWCH>(device.linkName.data())};
        IoDeleteSymbolicLink(&link);
        fx.links.erase(device.linkKey);
        device.linkKey.clear();
    }
    if (!device.nameKey.empty()) {
        fx.deviceNames.erase(device.nameKey);
        device.nameKey.clear();
    }
    if (device.wdm != nullptr) {
        DeleteWdmDeviceObject(device.wdm);
        device.wdm = nullptr;
    }
}

void ReadyDevicesAfterDriverEntry(LoadedDriver &load)
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (!load.driver) {
        return;
    }
    for (const auto &child : load.driver->children) {
        if (child->kind != Kind::Device) {
            continue;
        }
        auto &device = static_cast<Device &>(*child);
        if (device.initializing && device.createdInDriverEntry) {
            // The I/O manager readies devices created in DriverEntry, but KMDF's rule
            // CtlDeviceFinishInitDrEntry wants the driver to have done it.
            ReportViolation("WdfControlFinishInitializing",
                            "DriverEntry returned success without calling WdfControlFinishInitializing for "
                            "control device " + Hex(device.handle) + " (rule CtlDeviceFinishInitDrEntry)");
            device.initializing = false;
            if (device.wdm != nullptr) {
                device.wdm->Flags &= ~DO_DEVICE_INITIALIZING;
            }
        }
    }
}

}  // namespace winsim::fx

namespace {

bool LiveInitLocked(PWDFDEVICE_INIT init, const char *call)
{
    if (init == nullptr || Fx().inits.count(init) == 0) {
        ReportViolation(call, "DeviceInit " + Hex(reinterpret_cast<uintptr_t>(init)) +
                                  " is not a live WDFDEVICE_INIT (freed, already used by WdfDeviceCreate, or never "
                                  "allocated)");
        return false;
    }
    return true;
}

void FreeInitLocked(PWDFDEVICE_INIT init)
{
    Fx().inits.erase(init);
    Untrack("device-init", init);
    delete init;
}

std::string LinkKey(std::string_view name)
{
    std::string key = UpperKey(name);
    for (const char *prefix : {"\\DOSDEVICES\\GLOBAL\\", "\\GLOBAL??\\", "\\DOSDEVICES\\", "\\??\\GLOBAL\\", "\\??\\"}) {
        std::string_view p(prefix);
        if (key.compare(0, p.size(), p) == 0) {
            return key.substr(p.size());
        }
    }
    return std::string();
}

}  // namespace

PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER Driver, CONST UNICODE_STRING *SDDLString)
{
    const char *call = "WdfControlDeviceInitAllocate";
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto driver = LookupAsLocked<fx::Driver>(Driver, Kind::Driver, call);
    if (!driver) {
        return nullptr;
    }
    if (SDDLString == nullptr) {
        ReportViolation(call, "SDDLString is required for a control device");
        return nullptr;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return nullptr;
    }
    auto *init = new WDFDEVICE_INIT();
    std::string why;
    if (!ParseDeviceSddl(Narrow(SDDLString), &init->security, &why)) {
        ReportViolation(call, "SDDL \"" + Narrow(SDDLString) + "\" refused: " + why);
        delete init;
        return nullptr;
    }
    init->driver = driver;
    Fx().inits.insert(init);
    Track("device-init", init, "WDFDEVICE_INIT from WdfControlDeviceInitAllocate, never freed");
    return init;
}

VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics, BOOLEAN OrInValues)
{
    const char *call = "WdfDeviceInitSetCharacteristics";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (LiveInitLocked(DeviceInit, call)) {
        DeviceInit->characteristics = OrInValues ? (DeviceInit->characteristics | DeviceCharacteristics)
                                                 : DeviceCharacteristics;
    }
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    const char *call = "WdfDeviceInitSetDeviceType";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (LiveInitLocked(DeviceInit, call)) {
        DeviceInit->deviceType = DeviceType;
    }
}

VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    const char *call = "WdfDeviceInitSetExclusive";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (LiveInitLocked(DeviceInit, call)) {
        DeviceInit->exclusive = IsExclusive;
    }
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    const char *call = "WdfDeviceInitAssignName";
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (!LiveInitLocked(DeviceInit, call)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    if (DeviceName == nullptr) {
        DeviceInit->name.clear();
        DeviceInit->hasName = false;
        return STATUS_SUCCESS;
    }
    DeviceInit->name.assign(reinterpret_cast<const char16_t *>(DeviceName->Buffer),
                            DeviceName->Length / sizeof(WCHAR));
    DeviceInit->hasName = true;
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    const char *call = "WdfDeviceInitSetFileObjectConfig";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (!LiveInitLocked(DeviceInit, call)) {
        return;
    }
    if (FileObjectConfig == nullptr || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        ReportViolation(call, "FileObjectConfig is NULL or its Size is wrong");
        return;
    }
    if (FileObjectConfig->EvtDeviceFileCreate != nullptr || FileObjectConfig->EvtFileClose != nullptr ||
        FileObjectAttributes != nullptr) {
        ReportViolation(call, "only EvtFileCleanup is stood in (no EvtDeviceFileCreate, EvtFileClose or file context)");
        return;
    }
    DeviceInit->fileCleanup = FileObjectConfig->EvtFileCleanup;
}

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    const char *call = "WdfDeviceInitFree";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (LiveInitLocked(DeviceInit, call)) {
        FreeInitLocked(DeviceInit);
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE *Device)
{
    const char *call = "WdfDeviceCreate";
    if (Device != nullptr) {
        *Device = nullptr;
    }
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    if (DeviceInit == nullptr || Device == nullptr || !LiveInitLocked(*DeviceInit, call)) {
        return STATUS_INVALID_PARAMETER;
    }
    PWDFDEVICE_INIT init = *DeviceInit;
    std::shared_ptr<fx::Driver> driver = init->driver.lock();
    if (!driver || driver->deleting) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        ReportViolation(call, "a device's parent is always the driver; ParentObject must be NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (!init->hasName) {
        return STATUS_INVALID_SECURITY_DESCR;  // an SDDL string needs a named device
    }
    auto device = std::make_shared<fx::Device>();
    status = ApplyAttributesLocked(*device, DeviceAttributes, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(init->name.data());
    name.Length = static_cast<USHORT>(init->name.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    std::string nameKey = UpperKey(Narrow(&name));
    if (Fx().deviceNames.count(nameKey) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT wdm = nullptr;
    status = CreateWdmDeviceObject(driver->load->driverObject, &name, init->deviceType,
                                   init->characteristics | FILE_DEVICE_SECURE_OPEN, init->exclusive, &wdm);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    wdm->Flags |= DO_DEVICE_INITIALIZING;
    device->wdm = wdm;
    device->driver = driver;
    device->parent = driver;
    device->nameKey = nameKey;
    device->name = init->name;
    device->security = init->security;
    device->createdInDriverEntry = driver->load->inDriverEntry;
    device->fileCleanup = init->fileCleanup;
    driver->children.push_back(device);
    Fx().deviceNames[nameKey] = device;
    RegisterLocked(device);
    FreeInitLocked(init);
    *DeviceInit = nullptr;
    *Device = reinterpret_cast<WDFDEVICE>(device->handle);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    const char *call = "WdfDeviceCreateSymbolicLink";
    if (!CheckIrql(call, PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto device = LookupAsLocked<fx::Device>(Device, Kind::Device, call);
    if (!device || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    if (!device->linkKey.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // the framework keeps one link per device
    }
    std::string key = LinkKey(Narrow(SymbolicLinkName));
    if (key.empty()) {
        ReportViolation(call, "link \"" + Narrow(SymbolicLinkName) +
                                  "\" is not under \\DosDevices or \\??, the only namespace winsim stands in");
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (Fx().links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    std::u16string deviceName = device->name;
    UNICODE_STRING target{static_cast<USHORT>(deviceName.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(deviceName.size() * sizeof(WCHAR)),
                          reinterpret_cast<PWCH>(deviceName.data())};
    status = IoCreateSymbolicLink(const_cast<PUNICODE_STRING>(SymbolicLinkName), &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->linkName.assign(reinterpret_cast<const char16_t *>(SymbolicLinkName->Buffer),
                            SymbolicLinkName->Length / sizeof(WCHAR));
    device->linkKey = key;
    Fx().links[key] = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    const char *call = "WdfDeviceWdmGetDeviceObject";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto device = LookupAsLocked<fx::Device>(Device, Kind::Device, call);
    return device ? device->wdm : nullptr;
}

VOID WdfControlFinishInitializing(WDFDEVICE Device)
{
    const char *call = "WdfControlFinishInitializing";
    CheckIrql(call, DISPATCH_LEVEL);
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto device = LookupAsLocked<fx::Device>(Device, Kind::Device, call);
    if (!device) {
        return;
    }
    device->initializing = false;
    if (device->wdm != nullptr) {
        device->wdm->Flags &= ~DO_DEVICE_INITIALIZING;
    }
}
