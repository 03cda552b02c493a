/*
 * io_caller.cpp (winsim, KMDF stand-in)
 *
 * The user-mode caller's side of the I/O manager: opening a control device by its Win32
 * name (symbolic link, device state and access checks), I/O controls with the control
 * code's access check and the METHOD_BUFFERED system buffer, overlapped completion,
 * CancelIoEx and closing a handle.
 */
#include "fx_internal.h"

#include "kernel/thread_context.h"

#include <algorithm>
#include <cstring>

using namespace winsim;
using namespace winsim::fx;

namespace {

constexpr UCHAR kUninitialisedPoolByte = 0xA5;

// "\\.\X" or "\\.\Global\X" -> "X" upper-cased; empty when the name has another form.
std::string Win32LinkKey(std::string_view name)
{
    std::string key = UpperKey(name);
    if (key.compare(0, 4, "\\\\.\\") != 0) {
        return std::string();
    }
    key = key.substr(4);
    if (key.compare(0, 7, "GLOBAL\\") == 0) {
        key = key.substr(7);
    }
    return key;
}

std::shared_ptr<detail::IoState> FinishedIo(NTSTATUS status)
{
    auto io = std::make_shared<detail::IoState>();
    io->complete = true;
    io->initialStatus = status;
    io->result.status = status;
    return io;
}

// Builds the request for an I/O control and hands it to the device's default queue.
std::shared_ptr<detail::IoState> Issue(const Handle &handle, ULONG code, const void *input, size_t inputLength,
                                       size_t outputLength, bool kernelSender = false)
{
    const char *call = kernelSender ? "KernelDeviceIoControl" : "DeviceIoControl";
    // User mode sends at PASSIVE_LEVEL; IoCallDriver may be called up to DISPATCH_LEVEL.
    kernel::RequireIrqlAtMost(call, kernelSender ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    const std::shared_ptr<detail::FileState> &state = handle.State();
    auto io = std::make_shared<detail::IoState>();
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        if (!state || !state->open) {
            return FinishedIo(STATUS_INVALID_HANDLE);
        }
        std::shared_ptr<Device> device = state->device.lock();
        if (!device || device->deleting) {
            return FinishedIo(STATUS_NO_SUCH_DEVICE);
        }
        // The I/O manager only builds the request if the handle was opened with the
        // access the control code requires.
        ULONG required = (code >> 14) & 3;
        if (((required & FILE_READ_ACCESS) && !(state->granted & FILE_READ_DATA)) ||
            ((required & FILE_WRITE_ACCESS) && !(state->granted & FILE_WRITE_DATA))) {
            return FinishedIo(STATUS_ACCESS_DENIED);
        }
        if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
            ReportViolation(call, "control code " + Hex(code) + ": only METHOD_BUFFERED is stood in by winsim");
            return FinishedIo(STATUS_NOT_SUPPORTED);
        }
        auto request = std::make_shared<Request>();
        request->ioControlCode = code;
        request->inputLength = input != nullptr ? inputLength : 0;
        request->outputLength = outputLength;
        request->systemBuffer.assign(std::max(request->inputLength, outputLength), kUninitialisedPoolByte);
        if (request->inputLength > 0) {
            std::memcpy(request->systemBuffer.data(), input, request->inputLength);
        }
        request->fileState = state;
        request->io = io;
        request->device = device;
        RegisterLocked(request);
        Track("request", request.get(),
              "request " + Hex(request->handle) + " (IOCTL " + Hex(code) + ") never completed");
        io->request = request;
        state->outstanding.insert(io);
        if (!device->defaultQueue) {
            request->state = RequestState::DriverOwned;
            delivery.completions.push_back(
                CompleteLocked(*request, STATUS_INVALID_DEVICE_REQUEST, 0, "the framework (no default queue)"));
        } else {
            InsertLocked(device->defaultQueue, request, &delivery);
        }
    }
    RunDelivery(delivery);
    std::lock_guard<std::mutex> guard(io->mutex);
    io->initialStatus = io->complete ? io->result.status : STATUS_PENDING;
    return io;
}

}  // namespace

namespace winsim {

bool Handle::IsOpen() const
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    return state_ && state_->open;
}

ACCESS_MASK Handle::GrantedAccess() const
{
    std::lock_guard<std::mutex> guard(Fx().lock);
    return state_ ? state_->granted : 0;
}

OpenResult OpenDevice(std::string_view win32Name, Identity identity, ACCESS_MASK desiredAccess)
{
    const char *call = "OpenDevice";
    kernel::RequireIrqlAtMost(call, PASSIVE_LEVEL);
    std::string key = Win32LinkKey(win32Name);
    if (key.empty()) {
        ReportViolation(call, "\"" + std::string(win32Name) + "\" is not a \\\\.\\ device name");
        return {STATUS_OBJECT_NAME_INVALID, Handle()};
    }
    if (key.find('\\') != std::string::npos) {
        ReportViolation(call, "opening a path below a device (\"" + std::string(win32Name) +
                                  "\") is not stood in by winsim");
        return {STATUS_NOT_SUPPORTED, Handle()};
    }
    std::lock_guard<std::mutex> guard(Fx().lock);
    auto link = Fx().links.find(key);
    std::shared_ptr<Device> device = link == Fx().links.end() ? nullptr : link->second.lock();
    if (!device) {
        return {STATUS_OBJECT_NAME_NOT_FOUND, Handle()};
    }
    std::shared_ptr<fx::Driver> driver = device->driver.lock();
    // A device that is still initializing, or whose driver is unloading, cannot be opened.
    if (device->deleting || device->initializing || !driver || driver->load->unloading) {
        return {STATUS_NO_SUCH_DEVICE, Handle()};
    }
    ACCESS_MASK granted = 0;
    NTSTATUS status = CheckDeviceAccess(device->security, identity, desiredAccess, &granted);
    if (!NT_SUCCESS(status)) {
        return {status, Handle()};
    }
    if (device->wdm != nullptr && (device->wdm->Flags & DO_EXCLUSIVE) != 0 && !device->files.empty()) {
        return {STATUS_ACCESS_DENIED, Handle()};
    }
    // No file-object callbacks: the framework completes the create with success itself.
    auto state = std::make_shared<detail::FileState>();
    state->open = true;
    state->identity = identity;
    state->granted = granted;
    state->device = device;
    state->file = std::make_shared<File>();
    state->file->state = state;
    state->file->parent = device;
    RegisterLocked(state->file);
    device->files.insert(state->file);
    if (device->wdm != nullptr) {
        ++device->wdm->ReferenceCount;
    }
    return {STATUS_SUCCESS, Handle(state)};
}

NTSTATUS CloseHandle(const Handle &handle)
{
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        const auto &state = handle.State();
        if (!state || !state->open) {
            return STATUS_INVALID_HANDLE;
        }
        CloseFileLocked(state, &delivery);
    }
    RunDelivery(delivery);
    return STATUS_SUCCESS;
}

IoResult DeviceIoControl(const Handle &handle, ULONG ioControlCode, const void *input, size_t inputLength,
                         size_t outputLength)
{
    std::shared_ptr<detail::IoState> io = Issue(handle, ioControlCode, input, inputLength, outputLength);
    std::unique_lock<std::mutex> guard(io->mutex);
    io->done.wait(guard, [&io] { return io->complete; });
    return io->result;
}

IoResult DeviceIoControl(const Handle &handle, ULONG ioControlCode, const std::vector<std::uint8_t> &input,
                         size_t outputLength)
{
    return DeviceIoControl(handle, ioControlCode, input.empty() ? nullptr : input.data(), input.size(), outputLength);
}

Overlapped DeviceIoControlOverlapped(const Handle &handle, ULONG ioControlCode, const void *input,
                                     size_t inputLength, size_t outputLength)
{
    return Overlapped(Issue(handle, ioControlCode, input, inputLength, outputLength));
}

Overlapped DeviceIoControlOverlapped(const Handle &handle, ULONG ioControlCode,
                                     const std::vector<std::uint8_t> &input, size_t outputLength)
{
    return DeviceIoControlOverlapped(handle, ioControlCode, input.empty() ? nullptr : input.data(), input.size(),
                                     outputLength);
}

Overlapped KernelDeviceIoControl(const Handle &handle, ULONG ioControlCode, const std::vector<std::uint8_t> &input,
                                 size_t outputLength)
{
    return Overlapped(
        Issue(handle, ioControlCode, input.empty() ? nullptr : input.data(), input.size(), outputLength, true));
}

NTSTATUS Overlapped::InitialStatus() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->initialStatus;
}

bool Overlapped::IsComplete() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->complete;
}

bool Overlapped::Wait(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(state_->mutex);
    return state_->done.wait_for(guard, timeout, [this] { return state_->complete; });
}

IoResult Overlapped::Result() const
{
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (!state_->complete) {
        return IoResult{};
    }
    return state_->result;
}

NTSTATUS CancelIoEx(const Handle &handle, const Overlapped *io)
{
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(Fx().lock);
        const auto &state = handle.State();
        if (!state || !state->open) {
            return STATUS_INVALID_HANDLE;
        }
        std::vector<std::shared_ptr<detail::IoState>> targets;
        for (const auto &outstanding : state->outstanding) {
            if (io == nullptr || outstanding == io->State()) {
                targets.push_back(outstanding);
            }
        }
        if (targets.empty()) {
            return STATUS_NOT_FOUND;
        }
        for (const auto &target : targets) {
            std::shared_ptr<Request> request = target->request.lock();
            if (!request) {
                continue;
            }
            request->cancelled = true;
            if (request->state == RequestState::Queued) {
                CancelQueuedLocked(request, &delivery);
            }
        }
    }
    RunDelivery(delivery);
    return STATUS_SUCCESS;
}

}  // namespace winsim
