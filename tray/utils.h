// TrayHerald's error type and event-handle owner, and the helper that turns the calling
// thread's last Win32 error into an error of that type.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

namespace utils {

// A Win32 failure: the text that describes it and the error code it was raised with.
class EventEx : public std::exception {
public:
    EventEx(std::string message, DWORD errorCode);
    ~EventEx() override;

    // libstdc++'s std::exception cannot carry a text, so the text is returned from here.
    const char* what() const noexcept override;
    DWORD ErrorCode() const noexcept { return errorCode_; }

private:
    std::string message_;  // the error text, an owned copy
    DWORD errorCode_;      // Win32 error code; 0 where there is none
};

// Owns one event handle; null once closed. The destructor closes it, also while an error
// is propagating.
class EventHandle {
public:
    // How long Wait() gives the updater to set the event.
    static constexpr DWORD kDefaultWaitMs = 60000;

    explicit EventHandle(HANDLE handle, DWORD waitMs = kDefaultWaitMs) noexcept;
    ~EventHandle();
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;

    // true when the event is signalled, false when the wait ran out; raises EventEx on any
    // other outcome and when the handle has been closed.
    bool Wait();
    // Closes the handle if there is one and clears it.
    void Close() noexcept;
    HANDLE Get() const noexcept { return handle_; }

private:
    HANDLE handle_;  // the owned event, or null
    DWORD waitMs_;   // time-out of Wait()
};

}  // namespace utils

// Raises utils::EventEx with "<context> Error = <GetLastError() in unsigned decimal>" and
// that code.
[[noreturn]] void ThrowLastError(const char* context);
