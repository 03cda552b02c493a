/*
 * winsim/io.h
 *
 * A user-mode caller of a driver's control device: open it by its Win32 name as a given
 * identity (with the I/O manager's access check against the device's security
 * descriptor), send I/O controls synchronously or overlapped, cancel them, close the
 * handle. Every call is thread-safe; many threads may send I/O controls at once. Host
 * code only.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace winsim {

namespace detail {
struct FileState;
struct IoState;
}  // namespace detail

// Whose token the opener presents.
//  LocalSystem:   user S-1-5-18 (SY); groups BA (enabled), WD, AU.
//  Administrator: an elevated member of the Administrators group: user S-1-5-21-...-500;
//                 groups BA (enabled), BU, WD, AU, IU.
//  User:          an ordinary interactive user (or an administrator's filtered, unelevated
//                 token, whose BA is deny-only): user S-1-5-21-...-1001; groups BU, WD, AU, IU.
enum class Identity { LocalSystem, Administrator, User };

// A handle to an opened device, like the HANDLE that CreateFile returns.
class Handle {
public:
    Handle() = default;
    explicit Handle(std::shared_ptr<detail::FileState> state) : state_(std::move(state)) {}
    bool IsOpen() const;
    ACCESS_MASK GrantedAccess() const;   // after generic mapping
    const std::shared_ptr<detail::FileState> &State() const { return state_; }

private:
    std::shared_ptr<detail::FileState> state_;
};

struct OpenResult {
    NTSTATUS status;   // STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_OBJECT_NAME_NOT_FOUND,
                       // STATUS_NO_SUCH_DEVICE (device still initializing or unloading), ...
    Handle handle;     // open only when status is a success
};

// Opens "\\.\<name>" (also "\\.\Global\<name>"), which resolves through the symbolic link
// "\DosDevices\<name>" to a device, with the desired access (generic rights are mapped
// through the file generic mapping; MAXIMUM_ALLOWED grants what the descriptor allows).
OpenResult OpenDevice(std::string_view win32Name, Identity identity,
                      ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE);

// Closes the handle: the framework's cleanup cancels the handle's requests that sit in a
// queue (STATUS_CANCELLED); requests the driver owns stay until it completes them.
// STATUS_INVALID_HANDLE if the handle is not open.
NTSTATUS CloseHandle(const Handle &handle);

// The I/O status block and what the I/O manager copied back to the caller's output buffer
// (METHOD_BUFFERED: `information` bytes, none when the status is an error).
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<std::uint8_t> output;
};

// Sends an I/O control and blocks until the request is completed. The driver's handler
// runs on this thread when the queue presents the request at once (a parallel queue).
IoResult DeviceIoControl(const Handle &handle, ULONG ioControlCode, const void *input, size_t inputLength,
                         size_t outputLength);
IoResult DeviceIoControl(const Handle &handle, ULONG ioControlCode, const std::vector<std::uint8_t> &input,
                         size_t outputLength);

// An I/O control sent with an OVERLAPPED structure.
class Overlapped {
public:
    explicit Overlapped(std::shared_ptr<detail::IoState> state) : state_(std::move(state)) {}
    // STATUS_PENDING when the request was still outstanding after the driver's handler
    // returned (ERROR_IO_PENDING), else the final status.
    NTSTATUS InitialStatus() const;
    bool IsComplete() const;
    // Waits in real time; true once the request is completed.
    bool Wait(std::chrono::milliseconds timeout) const;
    // The result once complete; status STATUS_PENDING while still outstanding.
    IoResult Result() const;
    const std::shared_ptr<detail::IoState> &State() const { return state_; }

private:
    std::shared_ptr<detail::IoState> state_;
};

Overlapped DeviceIoControlOverlapped(const Handle &handle, ULONG ioControlCode, const void *input,
                                     size_t inputLength, size_t outputLength);
Overlapped DeviceIoControlOverlapped(const Handle &handle, ULONG ioControlCode,
                                     const std::vector<std::uint8_t> &input, size_t outputLength);

// An I/O control that a kernel-mode component sends on this thread at the thread's IRQL
// (IoCallDriver allows up to DISPATCH_LEVEL), through the handle's file object; it does not
// wait. The framework presents it at that IRQL, unless the queue runs at PASSIVE_LEVEL.
Overlapped KernelDeviceIoControl(const Handle &handle, ULONG ioControlCode, const std::vector<std::uint8_t> &input,
                                 size_t outputLength);

// CancelIoEx: marks the handle's outstanding I/O (or only `io`) cancelled. A request that
// sits in a framework queue is completed by the framework with STATUS_CANCELLED (or given
// to the queue's EvtIoCanceledOnQueue if it was requeued there); one the driver owns is
// only marked. STATUS_NOT_FOUND when nothing was outstanding (ERROR_NOT_FOUND),
// STATUS_INVALID_HANDLE for a closed handle.
NTSTATUS CancelIoEx(const Handle &handle, const Overlapped *io = nullptr);

}  // namespace winsim
