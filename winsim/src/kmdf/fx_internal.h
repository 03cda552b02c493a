/*
 * fx_internal.h (winsim, KMDF stand-in)
 *
 * The framework's own state: the object tree with handles and contexts, drivers, control
 * devices, queues, requests and file objects, and the I/O manager's view of open handles
 * and outstanding I/O. One lock guards it all; no driver callback is ever called with it
 * held.
 */
#pragma once

#include <wdf.h>
#include <winsim/io.h>
#include <winsim/verifier.h>

#include "sddl_access.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::fx {

enum class Kind { Driver, Device, Queue, Request, File };
const char *KindName(Kind kind);

struct Driver;
struct Device;
struct Queue;
struct Request;
struct File;

// Every framework object: handle, tree links, callbacks and the typed context.
struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;                                        // which handle type
    uintptr_t handle = 0;                             // opaque value the driver sees
    std::weak_ptr<Object> parent;                     // null for the driver
    std::vector<std::shared_ptr<Object>> children;    // deleted before this object
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr; // EvtCleanupCallback
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr; // EvtDestroyCallback
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;  // UniqueType of the context
    std::vector<std::max_align_t> context;            // zeroed context memory
    bool deleting = false;                            // deletion has started
    bool passiveCallbacks = false;                    // ExecutionLevel Passive: callbacks only at PASSIVE_LEVEL
};

// A service started through winsim::LoadDriver.
struct LoadedDriver {
    std::string service;                  // service name as given
    PDRIVER_OBJECT driverObject = nullptr;  // the WDM driver object
    std::u16string registryPathText;      // backing store of registryPath
    UNICODE_STRING registryPath{};        // handed to DriverEntry
    std::shared_ptr<Driver> driver;       // the framework driver, once created
    bool inDriverEntry = false;           // DriverEntry has not returned yet
    bool unloading = false;               // opens are refused from here on
};

struct Driver : Object {
    Driver() : Object(Kind::Driver) {}
    LoadedDriver *load = nullptr;         // owning service record
    WDF_DRIVER_CONFIG config{};           // as given to WdfDriverCreate
    // Calls into the driver decided under the lock (a presented request, a ready
    // notification, EvtIoCanceledOnQueue, EvtFileCleanup) that have not yet returned. An
    // unload waits for them: Windows does not unload a driver while a file object still
    // references its device or a dispatch routine is still running in it.
    int callsDue = 0;
};

struct Device : Object {
    Device() : Object(Kind::Device) {}
    std::weak_ptr<Driver> driver;         // parent driver
    PDEVICE_OBJECT wdm = nullptr;         // the WDM device object
    std::u16string name;                  // "\Device\X" as the driver named it
    std::string nameKey;                  // upper-cased "\DEVICE\X", or empty
    std::string linkKey;                  // upper-cased link name without its prefix, or empty
    std::u16string linkName;              // the link as the driver named it
    DeviceSecurity security;              // parsed SDDL
    bool initializing = true;             // DO_DEVICE_INITIALIZING
    bool createdInDriverEntry = false;    // the I/O manager readies it when DriverEntry returns
    std::shared_ptr<Queue> defaultQueue;  // receives every I/O control
    std::set<std::shared_ptr<File>> files;  // open file objects
    PFN_WDF_FILE_CLEANUP fileCleanup = nullptr;  // EvtFileCleanup, if the driver set one
};

struct Queue : Object {
    Queue() : Object(Kind::Queue) {}
    std::weak_ptr<Device> device;         // parent device
    WDF_IO_QUEUE_CONFIG config{};         // as given
    std::deque<std::shared_ptr<Request>> pending;  // queued, not yet presented or retrieved
    PFN_WDF_IO_QUEUE_STATE readyRoutine = nullptr;  // ready notification
    WDFCONTEXT readyContext = nullptr;    // its context
    bool readyPending = false;            // an empty-to-non-empty transition awaits its call
    bool readyRunning = false;            // a thread is calling the notification
    int callbacksRunning = 0;             // request handlers and ready notifications running now
};

// Counts a queue callback in and out (fx.lock not held): the queue's deletion waits for the
// callbacks running on other threads, as the framework does before it deletes a queue.
void EnterQueueCallback(Queue &queue);
void LeaveQueueCallback(Queue &queue);
// Waits until no callback of `queue` runs on another thread.
void WaitForQueueCallbacks(Queue &queue);

// The caller-side record of one I/O operation; shared with winsim::Overlapped.
}  // namespace winsim::fx

namespace winsim::detail {
struct IoState {
    std::mutex mutex;                     // guards the fields below
    std::condition_variable done;         // signalled at completion
    bool complete = false;                // the request was completed
    NTSTATUS initialStatus = STATUS_PENDING;  // what the issuing call returned
    IoResult result;                      // status, information, copied-back bytes
    std::weak_ptr<fx::Request> request;   // framework request while outstanding (fx lock)
};

// An open handle (and its file object).
struct FileState {
    bool open = false;                    // fx lock
    Identity identity = Identity::User;   // whose token opened it
    ACCESS_MASK granted = 0;              // granted access after mapping
    std::weak_ptr<fx::Device> device;     // target device
    std::shared_ptr<fx::File> file;       // framework file object
    std::set<std::shared_ptr<IoState>> outstanding;  // I/O not yet completed (fx lock)
};
}  // namespace winsim::detail

namespace winsim::fx {

struct File : Object {
    File() : Object(Kind::File) {}
    std::weak_ptr<detail::FileState> state;  // the handle it belongs to
};

enum class RequestState { Queued, DriverOwned, Completed };

struct Request : Object {
    Request() : Object(Kind::Request) {}
    ULONG ioControlCode = 0;              // IoControlCode
    size_t inputLength = 0;               // InputBufferLength
    size_t outputLength = 0;              // OutputBufferLength
    std::vector<UCHAR> systemBuffer;      // METHOD_BUFFERED: max(input, output) bytes
    std::shared_ptr<detail::FileState> fileState;  // issuing handle
    std::shared_ptr<detail::IoState> io;  // the caller's record
    std::weak_ptr<Device> device;         // target device
    std::weak_ptr<Queue> queue;           // queue it sits in or was last presented from
    RequestState state = RequestState::Queued;
    bool requeued = false;                // the driver forwarded it at least once
    bool cancelled = false;               // the I/O was cancelled
    ULONG_PTR information = 0;            // WdfRequestSetInformation
};

// The framework's global state.
struct Framework {
    std::mutex lock;
    std::condition_variable requestsChanged;  // a request was completed
    std::map<uintptr_t, std::shared_ptr<Object>> objects;  // live handles
    uintptr_t nextHandle = 0x10;
    std::deque<std::pair<uintptr_t, std::string>> completedRequests;  // recent, for messages
    std::map<std::string, std::unique_ptr<LoadedDriver>> services;    // by upper-cased name
    std::map<std::string, std::weak_ptr<Device>> deviceNames;         // "\DEVICE\X"
    std::map<std::string, std::weak_ptr<Device>> links;               // "X" of "\DosDevices\X"
    std::set<WDFDEVICE_INIT *> inits;                                 // allocated, not consumed
};

Framework &Fx();

// Lock-held helpers (fx_core.cpp).
uintptr_t RegisterLocked(const std::shared_ptr<Object> &object);
void UnregisterLocked(Object &object);
std::shared_ptr<Object> FindLocked(const void *handle);
// Looks up a live object of the kind; reports a violation naming `call` otherwise.
std::shared_ptr<Object> LookupLocked(const void *handle, Kind kind, const char *call);
template <class T>
std::shared_ptr<T> LookupAsLocked(const void *handle, Kind kind, const char *call)
{
    return std::static_pointer_cast<T>(LookupLocked(handle, kind, call));
}
NTSTATUS ApplyAttributesLocked(Object &object, PWDF_OBJECT_ATTRIBUTES attributes, const char *call);
bool InjectFault(const char *call, NTSTATUS *status);
// LookupAsLocked for a call that can be made to fail: STATUS_INVALID_PARAMETER when the
// handle is not a live object of the kind, the injected status when the call is to fail.
// `*object` is set only when the call may go on.
template <class T>
NTSTATUS LookupForCallLocked(const void *handle, Kind kind, const char *call, std::shared_ptr<T> *object)
{
    std::shared_ptr<T> found = LookupAsLocked<T>(handle, kind, call);
    if (!found) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (InjectFault(call, &status)) {
        return status;
    }
    *object = std::move(found);
    return STATUS_SUCCESS;
}
LoadedDriver *FindLoadLocked(PDRIVER_OBJECT driverObject);

// IRQL: true when the caller is within the call's documented bound, else a violation.
bool CheckIrql(const char *call, KIRQL maximum);
std::string Hex(uint64_t value);
std::string Narrow(PCUNICODE_STRING text);
std::string UpperKey(std::string_view text);

// Object deletion (fx_core.cpp). Runs cleanup callbacks child-first, tears each object
// down, then destroy callbacks; takes and drops the lock itself.
void DeleteObjectTree(const std::shared_ptr<Object> &root);

// Requests (fx_request.cpp), lock held.
struct Completion {
    std::shared_ptr<detail::IoState> io;  // signal after the lock is dropped
    IoResult result;
};
Completion CompleteLocked(Request &request, NTSTATUS status, ULONG_PTR information, const char *call);
void SignalCompletion(Completion &completion);

// Queues (fx_queue.cpp).
struct Delivery {
    std::shared_ptr<Queue> queue;         // presenting queue
    std::shared_ptr<Request> request;     // presented request (driver now owns it)
    std::vector<Completion> completions;  // requests the framework completed itself
    std::vector<std::shared_ptr<Queue>> notify;  // queues with a ready notification due
    std::vector<std::pair<std::shared_ptr<Queue>, std::shared_ptr<Request>>> cancelledOnQueue;
    // EvtFileCleanup calls due, each with the file object it is for (kept alive meanwhile).
    std::vector<std::pair<PFN_WDF_FILE_CLEANUP, std::shared_ptr<File>>> cleanups;
    // The driver of each call above, counted in its Driver::callsDue until this is destroyed.
    std::vector<std::shared_ptr<Driver>> calledDrivers;

    Delivery() = default;
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;
    // Gives back the calls it counted; never destroyed with the framework lock held.
    ~Delivery();
    void CountCallLocked(const std::weak_ptr<Device> &device);
};
// Inserts a request into a queue: presents it, parks it, or fails it.
void InsertLocked(const std::shared_ptr<Queue> &queue, const std::shared_ptr<Request> &request, Delivery *out);
// Calls what InsertLocked or a cancel decided, without the lock.
void RunDelivery(Delivery &delivery);
// Removes a queued request and cancels it (or hands it to EvtIoCanceledOnQueue).
void CancelQueuedLocked(const std::shared_ptr<Request> &request, Delivery *out);
// Cancels every queued request of the queue (deletion), or only those of one handle.
void PurgeQueueLocked(Queue &queue, const detail::FileState *only, Delivery *out);

// Devices (fx_device.cpp).
void TeardownDeviceLocked(Device &device, Delivery *out);
void CloseFileLocked(const std::shared_ptr<detail::FileState> &state, Delivery *out);
void ReadyDevicesAfterDriverEntry(LoadedDriver &load);

// WDM objects underneath (fx_wdm.cpp).
PDRIVER_OBJECT CreateWdmDriverObject(const std::string &service);
void DeleteWdmDriverObject(PDRIVER_OBJECT driverObject);
NTSTATUS CreateWdmDeviceObject(PDRIVER_OBJECT driverObject, PCUNICODE_STRING name, DEVICE_TYPE type,
                               ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device);
void DeleteWdmDeviceObject(PDEVICE_OBJECT device);
// Runs `work` on a new system thread at PASSIVE_LEVEL and waits for it.
void RunOnSystemThread(const std::function<void()> &work);

}  // namespace winsim::fx

// The init structure behind PWDFDEVICE_INIT.
struct WDFDEVICE_INIT {
    std::weak_ptr<winsim::fx::Driver> driver;   // allocating driver
    winsim::fx::DeviceSecurity security;        // parsed SDDL
    std::u16string name;                        // assigned name, empty if none
    bool hasName = false;                       // WdfDeviceInitAssignName with a name
    ULONG characteristics = 0;                  // as set
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;  // as set
    BOOLEAN exclusive = FALSE;                  // as set
    PFN_WDF_FILE_CLEANUP fileCleanup = nullptr; // from WdfDeviceInitSetFileObjectConfig
};
