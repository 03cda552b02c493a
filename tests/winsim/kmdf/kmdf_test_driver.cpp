/*
 * kmdf_test_driver.cpp
 *
 * The test driver behind winsim's framework tests, written as a KMDF driver would be:
 * staged DriverEntry with one exit path, a parallel default queue for the I/O controls
 * and a manual queue for parked requests with a ready notification that counts its calls.
 */
#include "kmdf_test_driver.h"

#include <cstring>

namespace kmdftest {

namespace {

typedef struct _DEVICE_CONTEXT {
    WDFQUEUE PendingQueue;  // parked requests
    WDFQUEUE WatchedQueue;  // parked requests whose cancellation the driver handles
    WDFQUEUE PassiveQueue;  // parallel, callbacks at PASSIVE_LEVEL only
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

Options gOptions;
Counters gCounters;

EVT_WDF_DRIVER_UNLOAD TestDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TestDriverCleanup;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TestDeviceCleanup;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TestIoControl;
EVT_WDF_IO_QUEUE_STATE TestPendingReady;
EVT_WDF_FILE_CLEANUP TestFileCleanup;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE TestCanceledOnQueue;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TestPassiveIoControl;

VOID NTAPI TestPassiveIoControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                          ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    gCounters.passiveHandlerIrql = KeGetCurrentIrql();
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

// The driver owns a request the framework took out of the watched queue; it completes it
// with a status of its own so that a test can tell this path from the framework's.
VOID TestCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request)
{
    UNREFERENCED_PARAMETER(Queue);
    WdfRequestComplete(Request, STATUS_REQUEST_ABORTED);
}

VOID TestDriverUnload(WDFDRIVER Driver)
{
    UNREFERENCED_PARAMETER(Driver);
    ++gCounters.unloadCalls;
}

VOID TestDriverCleanup(WDFOBJECT Object)
{
    UNREFERENCED_PARAMETER(Object);
    ++gCounters.driverCleanups;
}

VOID TestDeviceCleanup(WDFOBJECT Object)
{
    UNREFERENCED_PARAMETER(Object);
    ++gCounters.deviceCleanups;
}

VOID TestFileCleanup(WDFFILEOBJECT FileObject)
{
    gCounters.cleanedFile = FileObject;
    gCounters.cleanupIrql = KeGetCurrentIrql();
    if (gOptions.inFileCleanup) {
        gOptions.inFileCleanup();
    }
    ++gCounters.fileCleanups;
}

VOID TestPendingReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Context);
    ++gCounters.readyCalls;
}

void Echo(WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength)
{
    PVOID input = nullptr;
    PVOID output = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &input, nullptr);
    if (NT_SUCCESS(status)) {
        status = WdfRequestRetrieveOutputBuffer(Request, 1, &output, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    gCounters.sharedBuffer = input == output ? 1 : 0;
    // The buffers are one: copy the input aside before writing the output.
    std::string copy(static_cast<const char *>(input), InputBufferLength);
    size_t count = InputBufferLength < OutputBufferLength ? InputBufferLength : OutputBufferLength;
    for (size_t i = 0; i < count; ++i) {
        static_cast<char *>(output)[i] = copy[InputBufferLength - 1 - i];
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, count);
}

void Release(WDFQUEUE Queue, WDFREQUEST Request)
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    WDFREQUEST parked = nullptr;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(context->PendingQueue, &parked);
    if (NT_SUCCESS(status)) {
        PVOID output = nullptr;
        NTSTATUS parkedStatus = WdfRequestRetrieveOutputBuffer(parked, 1, &output, nullptr);
        if (NT_SUCCESS(parkedStatus)) {
            *static_cast<UCHAR *>(output) = static_cast<UCHAR>(++gCounters.nextTag);
        }
        WdfRequestCompleteWithInformation(parked, parkedStatus, NT_SUCCESS(parkedStatus) ? 1 : 0);
    }
    WdfRequestComplete(Request, status);
}

void CompleteWithGivenStatus(WDFREQUEST Request)
{
    PVOID input = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 2 * sizeof(ULONG), &input, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    ULONG values[2];
    memcpy(values, input, sizeof(values));
    WdfRequestCompleteWithInformation(Request, static_cast<NTSTATUS>(values[0]), values[1]);
}

VOID TestIoControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                   ULONG IoControlCode)
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    NTSTATUS status = STATUS_SUCCESS;
    PVOID buffer = nullptr;
    switch (IoControlCode) {
    case kIoctlEcho:
        Echo(Request, OutputBufferLength, InputBufferLength);
        return;
    case kIoctlPark:
        gCounters.parkedFile = WdfRequestGetFileObject(Request);
        status = WdfRequestForwardToIoQueue(Request, context->PendingQueue);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
        }
        return;
    case kIoctlRelease:
        Release(Queue, Request);
        return;
    case kIoctlCompleteTwice:
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case kIoctlStatus:
        CompleteWithGivenStatus(Request);
        return;
    case kIoctlRegisterReady:
        WdfRequestComplete(Request, WdfIoQueueReadyNotify(context->PendingQueue, TestPendingReady, WDF_NO_CONTEXT));
        return;
    case kIoctlMinimum:
        WdfRequestComplete(Request, WdfRequestRetrieveInputBuffer(Request, gCounters.minimumInput, &buffer, nullptr));
        return;
    case kIoctlCompleteParkedInQueue:
        status = WdfRequestForwardToIoQueue(Request, context->PendingQueue);
        if (NT_SUCCESS(status)) {
            WdfRequestComplete(Request, STATUS_SUCCESS);  // no longer ours: it sits in a queue
        }
        return;
    case kIoctlForwardToSelf:
        WdfRequestComplete(Request, WdfRequestForwardToIoQueue(Request, Queue));
        return;
    case kIoctlDeletePendingQueue:
        WdfObjectDelete(context->PendingQueue);
        context->PendingQueue = nullptr;
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case kIoctlDeleteDefaultQueue:
        WdfObjectDelete(Queue);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case kIoctlParkWatched:
        status = WdfRequestForwardToIoQueue(Request, context->WatchedQueue);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
        }
        return;
    case kIoctlWriteOnly:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case kIoctlForwardRaisedToPassive: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        status = WdfRequestForwardToIoQueue(Request, context->PassiveQueue);
        KeLowerIrql(old);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
        }
        return;
    }
    default:
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
}

NTSTATUS CreateQueues(WDFDEVICE Device, Step *reached)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfFalse;
    config.EvtIoDeviceControl = TestIoControl;
    NTSTATUS status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status) || gOptions.failAfter == (*reached = kDefaultQueue)) {
        return status;
    }
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &context->PendingQueue);
    if (NT_SUCCESS(status)) {
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        config.EvtIoCanceledOnQueue = TestCanceledOnQueue;
        status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &context->WatchedQueue);
    }
    if (NT_SUCCESS(status)) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = WdfExecutionLevelPassive;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
        config.PowerManaged = WdfFalse;
        config.EvtIoDeviceControl = TestPassiveIoControl;
        status = WdfIoQueueCreate(Device, &config, &attributes, &context->PassiveQueue);
    }
    if (NT_SUCCESS(status) && gOptions.registerReadyAtEntry) {
        status = WdfIoQueueReadyNotify(context->PendingQueue, TestPendingReady, WDF_NO_CONTEXT);
    }
    if (NT_SUCCESS(status)) {
        *reached = kPendingQueue;
    }
    return status;
}

}  // namespace

Options &TestOptions() { return gOptions; }
Counters &TestCounters() { return gCounters; }

void ResetTestDriver()
{
    gOptions = Options();
    gCounters.readyCalls = 0;
    gCounters.unloadCalls = 0;
    gCounters.deviceCleanups = 0;
    gCounters.driverCleanups = 0;
    gCounters.sharedBuffer = 0;
    gCounters.secondCreate = 0;
    gCounters.fileCleanups = 0;
    gCounters.cleanedFile = nullptr;
    gCounters.cleanupIrql = -1;
    gCounters.parkedFile = nullptr;
    gCounters.nextTag = 0;
    gCounters.minimumInput = 0;
    gCounters.leakedInit = nullptr;
    gCounters.passiveHandlerIrql = -1;
}

extern "C" NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING deviceName = RTL_CONSTANT_STRING(u"\\Device\\kmdftest_{5A0C}");
    UNICODE_STRING linkName = RTL_CONSTANT_STRING(u"\\DosDevices\\kmdftest_{5A0C}");
    std::u16string sddlText(gOptions.sddl.begin(), gOptions.sddl.end());
    UNICODE_STRING sddl{static_cast<USHORT>(sddlText.size() * 2), static_cast<USHORT>(sddlText.size() * 2),
                        reinterpret_cast<PWCH>(sddlText.data())};
    PWDFDEVICE_INIT init = nullptr;
    WDFDEVICE device = nullptr;
    Step reached = kNone;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.DriverInitFlags |= WdfDriverInitNonPnpDriver;
    config.EvtDriverUnload = TestDriverUnload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = TestDriverCleanup;
    WDFDRIVER driver = nullptr;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status) || gOptions.failAfter == (reached = kDriverCreated)) {
        goto Exit;
    }
    if (gOptions.createDriverTwice) {
        gCounters.secondCreate = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
    }
    init = WdfControlDeviceInitAllocate(driver, &sddl);
    if (init == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    if (gOptions.failAfter == (reached = kInitAllocated)) {
        goto Exit;
    }
    WdfDeviceInitSetCharacteristics(init, FILE_DEVICE_SECURE_OPEN, FALSE);
    if (gOptions.fileCleanup) {
        WDF_FILEOBJECT_CONFIG fileConfig;
        WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, WDF_NO_EVENT_CALLBACK, WDF_NO_EVENT_CALLBACK, TestFileCleanup);
        WdfDeviceInitSetFileObjectConfig(init, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
    }
    status = WdfDeviceInitAssignName(init, &deviceName);
    if (!NT_SUCCESS(status) || gOptions.failAfter == (reached = kNamed)) {
        goto Exit;
    }
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = TestDeviceCleanup;
    status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status) || gOptions.failAfter == (reached = kDeviceCreated)) {
        goto Exit;
    }
    status = CreateQueues(device, &reached);
    if (!NT_SUCCESS(status) || gOptions.failAfter == reached) {
        goto Exit;
    }
    status = WdfDeviceCreateSymbolicLink(device, &linkName);
    if (!NT_SUCCESS(status) || gOptions.failAfter == (reached = kLink)) {
        goto Exit;
    }
    if (gOptions.beforeFinish) {
        gOptions.beforeFinish();
    }
    if (gOptions.finishInitializing) {
        WdfControlFinishInitializing(device);
    }
Exit:
    if (gOptions.failAfter != kNone && gOptions.failAfter == reached && NT_SUCCESS(status)) {
        status = gOptions.failStatus;
    }
    if (init != nullptr && gOptions.freeInitOnFailure) {
        WdfDeviceInitFree(init);
    } else if (init != nullptr) {
        gCounters.leakedInit = init;
    }
    return status;
}

}  // namespace kmdftest
