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
#include "../redirect/wfp_lifecycle.h"
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

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;
    BOOLEAN staticObjectsBuilt = FALSE;
    BOOLEAN wfpRegistered = FALSE;

    // The switch starts off at every load, whether or not the image was loaded before.
    InterlockedExchange(&QuicBlockingEnabled, 0);

    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC!: %wZ", RegistryPath);

    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.EvtDriverUnload = DriverUnload;
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    config.DriverPoolTag = 0;
    status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: WdfDriverCreate %!STATUS!", status);
        goto Exit;
    }

    status = CreateControlDevice(driver, &device);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    status = RunStaticInitializers();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: static objects %!STATUS!", status);
        goto Exit;
    }
    staticObjectsBuilt = TRUE;

    status = InitProcessPolicy();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: process policy %!STATUS!", status);
        goto Exit;
    }

    // WfpInitialize undoes its own work when it fails.
    status = WfpInitialize(WdfDeviceWdmGetDeviceObject(device), QueryProcessIntercept, SendCallbackRequest,
                           CancelCallbackRequest);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: WFP registration %!STATUS!", status);
        goto Exit;
    }
    wfpRegistered = TRUE;

    status = InitCallbackTable(WdfObjectGet_QVR_DRV_DEVICE_CONTEXT(device));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_CRITICAL, TRACE_DRIVER, "%!FUNC!: callback table %!STATUS!", status);
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
