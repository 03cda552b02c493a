/*
 * control_device.cpp
 *
 * Creation of the control device: a named, non-Plug-and-Play device secured so that only
 * LocalSystem and administrators can open it, with a parallel default queue for the
 * service's I/O controls and a manual queue that holds the callback requests the service
 * parks. The framework owns everything created here and deletes it with the driver.
 */
#include <ntddk.h>
#include <wdf.h>

#include "qvr_ioctl.h"
#include "../flow/auth_connect.h"
#include "control_device.h"
#include "control_requests.h"
#include "device_context.h"
#include "../trace/trace.h"
#include "control_device.tmh"

VOID PendingQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Context);
    PQVR_DRV_DEVICE_CONTEXT deviceContext = WdfObjectGet_QVR_DRV_DEVICE_CONTEXT(WdfIoQueueGetDevice(Queue));

    KeSetEvent(&deviceContext->RequestAvailableEvent, IO_NO_INCREMENT, FALSE);
}

VOID ControlDeviceFileCleanup(WDFFILEOBJECT FileObject)
{
    ReleaseHeldAuthOperationsOf(FileObject);
}

// The default queue: parallel, so the service's requests run concurrently on its threads,
// and at passive level, so the framework never calls a request handler raised (it defers
// to a worker thread a request that arrives at DISPATCH_LEVEL).
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CreateDefaultQueue(_In_ WDFDEVICE Device)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfFalse;
    config.EvtIoDeviceControl = ControlDeviceIoControl;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    return WdfIoQueueCreate(Device, &config, &attributes, WDF_NO_HANDLE);
}

// The pending queue: manual, filled only by forwarding parked callback requests into it.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CreatePendingQueue(_In_ WDFDEVICE Device, _Inout_ PQVR_DRV_DEVICE_CONTEXT DeviceContext)
{
    NTSTATUS status;
    WDF_IO_QUEUE_CONFIG config;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->PendingQueue);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: pending queue %!STATUS!", status);
        goto Exit;
    }
    status = WdfIoQueueReadyNotify(DeviceContext->PendingQueue, PendingQueueReady, WDF_NO_CONTEXT);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: ready notification %!STATUS!", status);
    }

Exit:
    return status;
}

// The control device object under its name and security descriptor, with the file-cleanup
// callback and the device context; the framework holds its requests until it is finished.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CreateDeviceObject(_In_ WDFDRIVER Driver, _Out_ WDFDEVICE *Device)
{
    NTSTATUS status = STATUS_SUCCESS;
    DECLARE_CONST_UNICODE_STRING(sddl, L"" QVR_DEVICE_SDDL);
    DECLARE_CONST_UNICODE_STRING(deviceName, L"\\Device\\" QVR_DEVICE_BASE_NAME);
    PWDFDEVICE_INIT deviceInit = nullptr;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_FILEOBJECT_CONFIG fileConfig;

    *Device = nullptr;
    deviceInit = WdfControlDeviceInitAllocate(Driver, &sddl);
    if (deviceInit == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: device init %!STATUS!", status);
        goto Exit;
    }
    WdfDeviceInitSetCharacteristics(deviceInit, FILE_DEVICE_SECURE_OPEN, FALSE);
    // When the service's handle closes, nobody can answer the questions its requests carried:
    // the connections they hold are let go.
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, WDF_NO_EVENT_CALLBACK, WDF_NO_EVENT_CALLBACK, ControlDeviceFileCleanup);
    WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
    status = WdfDeviceInitAssignName(deviceInit, &deviceName);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: device name %!STATUS!", status);
        goto Exit;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, QVR_DRV_DEVICE_CONTEXT);
    // On success the framework takes the init structure and clears deviceInit.
    status = WdfDeviceCreate(&deviceInit, &attributes, Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: device %!STATUS!", status);
    }

Exit:
    if (deviceInit != nullptr) {
        WdfDeviceInitFree(deviceInit);
    }
    return status;
}

NTSTATUS CreateControlDevice(WDFDRIVER Driver, WDFDEVICE *Device)
{
    NTSTATUS status;
    DECLARE_CONST_UNICODE_STRING(linkName, L"\\DosDevices\\" QVR_DEVICE_BASE_NAME);
    WDFDEVICE device = nullptr;
    PQVR_DRV_DEVICE_CONTEXT deviceContext;

    *Device = nullptr;
    status = CreateDeviceObject(Driver, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = CreateDefaultQueue(device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: default queue %!STATUS!", status);
        return status;
    }

    deviceContext = WdfObjectGet_QVR_DRV_DEVICE_CONTEXT(device);
    deviceContext->NextRequestId = 0;
    KeInitializeEvent(&deviceContext->RequestAvailableEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&deviceContext->SendersStopEvent, NotificationEvent, FALSE);

    status = CreatePendingQueue(device, deviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = WdfDeviceCreateSymbolicLink(device, &linkName);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: symbolic link %!STATUS!", status);
        return status;
    }
    *Device = device;
    return STATUS_SUCCESS;
}

VOID FinishControlDevice(WDFDEVICE Device)
{
    WdfControlFinishInitializing(Device);
}
