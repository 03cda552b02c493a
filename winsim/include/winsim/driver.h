/*
 * winsim/driver.h
 *
 * Loading and unloading a kernel driver as the service control manager and the
 * framework's loader stub do it: DriverEntry on a system thread with a driver object and
 * its service's registry path, the unload callback and the framework's clean-up at unload,
 * and the verifier's report of everything the driver left behind. Host code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntddk.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// The driver's DriverEntry, as the loader calls it.
using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Starts the kernel service `serviceName` whose image has the entry point `entry`: creates
// the driver object "\Driver\<serviceName>" and calls DriverEntry at PASSIVE_LEVEL on a
// system thread with the registry path
// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<serviceName>". Returns
// DriverEntry's status. When it fails, the framework deletes the driver's framework
// objects (devices, queues, symbolic links; queued requests are cancelled) without calling
// the unload callback, the image is unloaded and anything still held is reported as a
// violation. Loading a service that is already loaded returns
// STATUS_IMAGE_ALREADY_LOADED.
NTSTATUS LoadDriver(DriverEntryRoutine entry, std::string_view serviceName);

// What stopping a service found.
struct UnloadResult {
    NTSTATUS status;                       // STATUS_SUCCESS when the driver was unloaded
    std::vector<std::string> leftBehind;   // the verifier's report; empty when clean
};

// Stops the service: handles still open to its devices are closed first (as when the
// processes holding them exit: cleanup cancels their queued requests), requests the driver
// still owns are waited for, then the unload callback runs at PASSIVE_LEVEL on a system
// thread, the framework deletes the driver object and its children (queued requests are
// cancelled with STATUS_CANCELLED), and the verifier's leak report must be empty: every
// item left is reported as one violation listing them all.
// Fails with STATUS_INVALID_DEVICE_REQUEST, leaving the driver loaded, when the driver
// registered no unload callback; STATUS_OBJECT_NAME_NOT_FOUND when it is not loaded.
UnloadResult UnloadDriver(std::string_view serviceName);

bool IsDriverLoaded(std::string_view serviceName);

}  // namespace winsim
