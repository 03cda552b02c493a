/*
 * kmdf_test_driver.h
 *
 * A tiny KMDF driver for winsim's framework tests: a control device with a default
 * parallel queue and a manual parking queue, a few I/O controls that exercise buffers,
 * completion, forwarding and retrieval, and knobs that make DriverEntry stop or fail at a
 * chosen step.
 */
#pragma once

#include <wdf.h>

#include <atomic>
#include <functional>
#include <string>

namespace kmdftest {

constexpr const char *kService = "kmdftest";
constexpr const char *kWin32Name = "\\\\.\\kmdftest_{5A0C}";

// Control codes of the test driver (all METHOD_BUFFERED).
constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPark = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
constexpr ULONG kIoctlRelease = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlWriteOnly = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kIoctlCompleteTwice = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlStatus = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlRegisterReady = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlMinimum = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x907, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlCompleteParkedInQueue = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x908, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlForwardToSelf = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90A, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlDeletePendingQueue = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90B, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlDeleteDefaultQueue = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90C, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlParkWatched = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90D, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x909, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
// Forwarded at DISPATCH_LEVEL to a parallel queue created at passive execution level.
constexpr ULONG kIoctlForwardRaisedToPassive = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x90E, METHOD_BUFFERED, FILE_ANY_ACCESS);

// DriverEntry's steps, in order; `failAfter` stops after the named step.
enum Step { kNone = 0, kDriverCreated, kInitAllocated, kNamed, kDeviceCreated, kDefaultQueue, kPendingQueue, kLink };

struct Options {
    std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    Step failAfter = kNone;                 // DriverEntry returns failStatus after this step
    NTSTATUS failStatus = STATUS_NOT_FOUND;
    bool finishInitializing = true;         // call WdfControlFinishInitializing last
    bool registerReadyAtEntry = true;       // register the ready notification in DriverEntry
    bool freeInitOnFailure = true;          // WdfDeviceInitFree when WdfDeviceCreate was not reached/failed
    bool createDriverTwice = false;         // call WdfDriverCreate a second time
    std::function<void()> beforeFinish;     // runs in DriverEntry just before finishing
    bool fileCleanup = false;               // register EvtFileCleanup
    std::function<void()> inFileCleanup;    // runs inside EvtFileCleanup
};

struct Counters {
    std::atomic<int> readyCalls{0};
    std::atomic<int> unloadCalls{0};
    std::atomic<int> deviceCleanups{0};
    std::atomic<int> driverCleanups{0};
    std::atomic<int> sharedBuffer{0};       // 1: input and output pointers were equal
    std::atomic<NTSTATUS> secondCreate{0};  // status of the second WdfDriverCreate
    std::atomic<ULONG> nextTag{0};          // tag written into released parked requests
    size_t minimumInput = 0;                // for kIoctlMinimum
    PWDFDEVICE_INIT leakedInit = nullptr;   // the init DriverEntry did not free
    std::atomic<int> passiveHandlerIrql{-1};  // IRQL the passive queue's handler ran at
    std::atomic<int> fileCleanups{0};       // EvtFileCleanup calls
    std::atomic<WDFFILEOBJECT> cleanedFile{nullptr};  // the file object of the last one
    std::atomic<int> cleanupIrql{-1};       // the IRQL it ran at
    std::atomic<WDFFILEOBJECT> parkedFile{nullptr};   // WdfRequestGetFileObject of the last parked request
};

Options &TestOptions();
Counters &TestCounters();
void ResetTestDriver();

extern "C" DRIVER_INITIALIZE TestDriverEntry;

}  // namespace kmdftest
