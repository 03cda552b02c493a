/*
 * control_device.h
 *
 * The named control device through which the agent's service talks to the driver, with
 * its parallel default queue and the manual queue of parked callback requests.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

/*
 * Creates the control device "\Device\qvrdrv_{...}" (admitting LocalSystem and
 * administrators only), its default queue, its QVR_DRV_DEVICE_CONTEXT, the pending queue
 * with its ready notification and the symbolic link. On failure the status of the failing
 * step is returned (STATUS_INSUFFICIENT_RESOURCES when no device-init structure can be
 * had); whatever was created belongs to the framework, which deletes it with the driver.
 * The device receives no I/O until FinishControlDevice.
 */
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateControlDevice(_In_ WDFDRIVER Driver, _Out_ WDFDEVICE *Device);

// EvtFileCleanup of the control device: connections held on questions its requests carried are let go.
EVT_WDF_FILE_CLEANUP ControlDeviceFileCleanup;

// Lets I/O reach the control device; the last step of a successful DriverEntry.
_IRQL_requires_(PASSIVE_LEVEL)
VOID FinishControlDevice(_In_ WDFDEVICE Device);
