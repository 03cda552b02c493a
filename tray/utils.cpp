// TrayHerald's utility code: the error type, the event-handle owner and ThrowLastError.
// Asio's headers come first (before <windows.h>); their static initialisation starts
// Winsock 2.0 when the program starts and stops it at exit. No Asio facility is used.
#include <boost/asio.hpp>

#include "utils.h"

#include <utility>

namespace utils {

EventEx::EventEx(std::string message, DWORD errorCode)
    : message_(std::move(message)), errorCode_(errorCode)
{
}

EventEx::~EventEx() = default;

const char* EventEx::what() const noexcept
{
    return message_.c_str();
}

EventHandle::EventHandle(HANDLE handle, DWORD waitMs) noexcept
    : handle_(handle), waitMs_(waitMs)
{
}

EventHandle::~EventHandle()
{
    Close();
}

bool EventHandle::Wait()
{
    if (handle_ == nullptr) {
        throw EventEx("Event handle was released", 0);
    }
    const DWORD result = WaitForSingleObject(handle_, waitMs_);
    if (result == WAIT_TIMEOUT) {
        return false;
    }
    if (result == WAIT_OBJECT_0) {
        return true;
    }
    // An abandoned wait leaves the last error as it was; give it its own code so the report
    // does not carry a stale one.
    if (result == WAIT_ABANDONED) {
        SetLastError(ERROR_ABANDONED_WAIT_0);
    }
    ThrowLastError("Can't wait event.");
}

void EventHandle::Close() noexcept
{
    if (handle_ != nullptr) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
}

}  // namespace utils

void ThrowLastError(const char* context)
{
    const DWORD code = GetLastError();
    std::string text(context);
    text += " Error = ";
    text += std::to_string(static_cast<unsigned long>(code));
    throw utils::EventEx(std::move(text), code);
}
