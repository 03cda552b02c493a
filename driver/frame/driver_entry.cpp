/*
 * driver_entry.cpp
 *
 * DriverEntry and DriverUnload: the order in which the driver's parts come up, the two
 * stage flags that say how far a failed start got, and the order in which the parts go
 * down again. Failures past WdfDriverCreate leave the control device and its queues to the
 * framework, which deletes them with the driver object.
 */
#include <ntddk.h>
#include <wdf.h>

#include "callback_channel.h"
#include "control_device.h"
#include "driver_entry.h"
#include "driver_state.h"
#include "policy_setup.h"
#include "static_init.h"
#include "../policy/process_table.h"
#include "../flow/wfp_lifecycle.h"
#include "../trace/trace.h"
#include "driver_entry.tmh"

// Takes the driver's parts down in the reverse of their start order, for an unload and for
// a start that failed. The stage flags say how far a failed start got; an unload passes TRUE
// for both.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID StopDriverParts(_In_ PDRIVER_OBJECT DriverObject, _In_ BOOLEAN WfpRegistered,
                            _In_ BOOLEAN StaticObjectsBuilt)
{
    // Pended work waiting for a carrier gives up at once instead of holding the teardown.
    StopCallbackSenders();
    // The WFP side goes first: once it is down no classify can run, so nothing uses what is
    // freed below.
    if (WfpRegistered) {
        WfpUninitialize();
    }
    CleanupProcessPolicy();
    // Outstanding questions are dropped without calling their routines.
    FreeCallbackTable();
    if (StaticObjectsBuilt) {
        RunExitList();
    }
    WPP_CLEANUP(DriverObject);
}

// The framework driver object of a non-PnP driver whose unload is DriverUnload.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS CreateFrameworkDriver(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath,
                                      _Out_ WDFDRIVER *Driver)
{
    WDF_DRIVER_CONFIG config;

    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.EvtDriverUnload = DriverUnload;
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    config.DriverPoolTag = 0;
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, Driver);
}

// The start steps after the control device, in their order: the static objects, the
// process policy, the WFP side, the callback table. The flags say how far it got, for
// StopDriverParts.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS StartDriverParts(_In_ WDFDEVICE Device, _Out_ PBOOLEAN StaticObjectsBuilt, _Out_ PBOOLEAN WfpRegistered)
{
    NTSTATUS status;

    *StaticObjectsBuilt = FALSE;
    *WfpRegistered = FALSE;
    status = RunStaticInitializers();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: static objects %!STATUS!", status);
        return status;
    }
    *StaticObjectsBuilt = TRUE;

    status = InitProcessPolicy();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: process policy %!STATUS!", status);
        return status;
    }

    // WfpInitialize undoes its own work when it fails.
    status = WfpInitialize(WdfDeviceWdmGetDeviceObject(Device), QueryProcessIntercept, SendCallbackRequest,
                           CancelCallbackRequest);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: WFP registration %!STATUS!", status);
        return status;
    }
    *WfpRegistered = TRUE;

    status = InitCallbackTable(WdfObjectGet_QVR_DRV_DEVICE_CONTEXT(Device));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: callback table %!STATUS!", status);
    }
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;
    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;
    BOOLEAN staticObjectsBuilt = FALSE;
    BOOLEAN wfpRegistered = FALSE;

    // The switch starts off at every load, whether or not the image was loaded before.
    InterlockedExchange(&QuicBlockingEnabled, 0);

    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: %wZ", RegistryPath);

    status = CreateFrameworkDriver(DriverObject, RegistryPath, &driver);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: WdfDriverCreate %!STATUS!", status);
        goto Exit;
    }

    status = CreateControlDevice(driver, &device);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    status = StartDriverParts(device, &staticObjectsBuilt, &wfpRegistered);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    // Last: until now the framework has held back every request, so none can arrive
    // before all of the above exists.
    FinishControlDevice(device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: started");

Exit:
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: start failed %!STATUS!", status);
        StopDriverParts(DriverObject, wfpRegistered, staticObjectsBuilt);
    }
    return status;
}

VOID DriverUnload(WDFDRIVER Driver)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!");
    StopDriverParts(WdfDriverWdmGetDriverObject(Driver), TRUE, TRUE);
}
