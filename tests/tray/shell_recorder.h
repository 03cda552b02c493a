// Test double for the shell's notification-area call: records every NOTIFYICONDATAW that
// TrayHerald hands to Shell_NotifyIconW (from either thread) and answers as a shell would.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <mutex>
#include <vector>

#include "notify_icon.h"

struct ShellCall {
    DWORD message;         // NIM_ADD, NIM_MODIFY, NIM_DELETE or NIM_SETVERSION
    NOTIFYICONDATAW data;  // copy of what was passed
};

class ShellRecorder {
public:
    ShellRecorder()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
        setVersionResult_ = TRUE;
        g_shellNotifyIcon = &ShellRecorder::Record;
    }
    ~ShellRecorder() { g_shellNotifyIcon = Shell_NotifyIconW; }
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    // What NIM_SETVERSION answers: FALSE plays a shell that has no such icon.
    void SetVersionResult(BOOL result)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        setVersionResult_ = result;
    }
    std::vector<ShellCall> Calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

private:
    static BOOL WINAPI Record(DWORD message, PNOTIFYICONDATAW data)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(ShellCall{message, *data});
        return message == NIM_SETVERSION ? setVersionResult_ : TRUE;
    }

    static inline std::mutex mutex_;
    static inline std::vector<ShellCall> calls_;
    static inline BOOL setVersionResult_ = TRUE;
};
