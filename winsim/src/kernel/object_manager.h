/*
 * object_manager.h (winsim kernel, internal API for winsim's parts)
 *
 * How other parts of winsim (processes, KMDF, WFP) build kernel objects that the driver can
 * reference, open handles to and wait on: objects of a type with a body and a delete
 * routine, dispatcher headers to signal, kernel handles, driver objects, and the process
 * context of the current thread. Not for driver code.
 *
 * References come in two flavours. Internal references (ReferenceObject) are winsim's own
 * and are invisible to the leak report. Driver references are the ones the driver takes
 * through the stood-in calls (ObfReferenceObject, ObReferenceObjectByHandle,
 * ObReferenceObjectByPointer, and any call documented to return a referenced object, which
 * calls ReferenceObjectForDriver); the driver must drop each with ObfDereferenceObject, and
 * those still held appear in winsim::Outstanding() as "object-reference".
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include winsim's internal headers"
#endif

#include <ntddk.h>

#include <functional>
#include <string>
#include <string_view>

namespace winsim::kernel {

using ObjectDeleteRoutine = std::function<void(PVOID body)>;

// Creates an object of `type` with a zeroed body of bodySize bytes (16-byte aligned) and one
// internal reference held by the caller. onDelete runs once, when the last reference and the
// last handle are gone, before the memory is released. The description names the object in
// reports ("Process 1234 notepad.exe").
PVOID CreateObject(POBJECT_TYPE type, std::size_t bodySize, ObjectDeleteRoutine onDelete, std::string description);

void ReferenceObject(PVOID body);    // internal reference
void DereferenceObject(PVOID body);  // drops an internal reference; may delete the object

// Adds a driver reference on behalf of `call` (e.g. "PsLookupProcessByProcessId").
void ReferenceObjectForDriver(PVOID body, std::string_view call);

bool IsObject(PVOID body);                 // a live object created by CreateObject
POBJECT_TYPE ObjectTypeOf(PVOID body);     // nullptr when not an object
std::string ObjectTypeName(POBJECT_TYPE type);
LONG_PTR ObjectPointerCount(PVOID body);   // internal + driver references
LONG_PTR ObjectHandleCount(PVOID body);
LONG_PTR ObjectDriverReferenceCount(PVOID body);
void SetObjectDescription(PVOID body, std::string description);

// Opens a handle to the object on behalf of `call`. OBJ_KERNEL_HANDLE in attributes makes a
// kernel handle. The handle is listed by winsim::Outstanding() until ZwClose.
NTSTATUS InsertHandle(PVOID body, ULONG attributes, ACCESS_MASK access, std::string_view call, PHANDLE handle);
// Resolves a handle (including NtCurrentProcess() and NtCurrentThread()) to its object with an
// internal reference. STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH on failure.
NTSTATUS ReferenceObjectByHandleInternal(HANDLE handle, POBJECT_TYPE type, KPROCESSOR_MODE mode, PVOID *body,
                                         POBJECT_HANDLE_INFORMATION information);

// Dispatcher headers of objects that threads wait on (bodies must start with the header).
void InitializeDispatcherHeader(PDISPATCHER_HEADER header, UCHAR type, std::size_t objectSize, LONG signalState);
// Signals the object (SignalState = 1) and wakes its waiters; for processes and threads,
// which stay signalled for ever.
void SignalDispatcherObject(PDISPATCHER_HEADER header);
bool IsDispatcherObjectSignalled(PDISPATCHER_HEADER header);

// Driver objects, created by the driver loader. The body is a DRIVER_OBJECT with its
// DRIVER_EXTENSION; the name is stored in DriverName ("\Driver\qvrdrv").
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name);
void DeleteDriverObject(PDRIVER_OBJECT driver);  // drops the loader's reference
// Told when a driver's image goes (after its unload routine, or after a failing
// DriverEntry), before its driver object is released: an area that keeps callbacks into
// the driver reports the ones still registered and never calls them again.
using DriverUnloadObserver = void (*)(PDRIVER_OBJECT driver);
void AddDriverUnloadObserver(DriverUnloadObserver observer);
// Device objects by name or symbolic link (a referenced object, or nullptr).
PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name);
bool IsDeviceObject(PVOID body);

// The process every thread runs in unless a ScopedProcessContext says otherwise. The
// process part registers its System process here (pid 4 by default).
void SetSystemProcess(PEPROCESS process, HANDLE processId);
PEPROCESS SystemProcess();
HANDLE SystemProcessId();
// Makes the calling thread run in another process's context for the scope (a caller's
// thread presenting an I/O request, a process-notification callback's creating thread).
class ScopedProcessContext {
public:
    ScopedProcessContext(PEPROCESS process, HANDLE processId);
    ~ScopedProcessContext();
    ScopedProcessContext(const ScopedProcessContext &) = delete;
    ScopedProcessContext &operator=(const ScopedProcessContext &) = delete;

private:
    PEPROCESS savedProcess_;
    HANDLE savedProcessId_;
};
PEPROCESS CurrentProcess();    // not referenced; may be nullptr when no System process was set
HANDLE CurrentProcessId();

}  // namespace winsim::kernel
