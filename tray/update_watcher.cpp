// TrayHerald's worker thread. It owns the completion event: creates or opens it, waits up to
// a minute, shows the "Finished" balloon, pauses so it can be read and posts the same command
// as the menu's exit item, so that only the UI thread touches its window. An error while
// creating or waiting ends the program instead: it is reported, the window is asked to
// close (which removes the icon) and the exit code says the update's end was not seen.
#include "update_watcher.h"

#include <atomic>
#include <cerrno>
#include <string>

#include "notify_icon.h"
#include "resource.h"

namespace {

std::atomic<int> g_workerExitCode{0};

std::wstring Widen(const char* text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

void WaitForUpdate(HWND window)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kUpdateEventName);
    if (event == nullptr) {
        ThrowLastError("Can't create event.");
    }
    utils::EventHandle updateEvent(event, kUpdateWaitMs);

    // Signalled or timed out, the update is over as far as the user is concerned.
    updateEvent.Wait();

    ShowTrayBalloon(window, IDS_FINISHED);
    Sleep(kFinishedPauseMs);
    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    updateEvent.Close();
}

}  // namespace

int WorkerExitCode()
{
    return g_workerExitCode.load();
}

void ReportWorkerError(const utils::EventEx& error)
{
    const std::wstring text = L"TrayHerald: " + Widen(error.what());

    OutputDebugStringW((text + L"\n").c_str());

    HANDLE eventLog = RegisterEventSourceW(nullptr, kEventSourceName);
    if (eventLog != nullptr) {
        const wchar_t* strings[] = {text.c_str()};
        DWORD code = error.ErrorCode();
        ReportEventW(eventLog, EVENTLOG_ERROR_TYPE, 0, kWorkerErrorEventId, nullptr, 1,
                     sizeof(code), strings, &code);
        DeregisterEventSource(eventLog);
    }
}

unsigned __stdcall WatchUpdateEvent(void* arg)
{
    const HWND window = *static_cast<const HWND*>(arg);
    g_workerExitCode.store(0);
    try {
        WaitForUpdate(window);
    } catch (const utils::EventEx& error) {
        ReportWorkerError(error);
        g_workerExitCode.store(kExitWorkerError);
        // The window removes the icon and ends the message loop as for the menu's exit.
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    } catch (...) {
        // Only an allocation failure while composing the error can land here.
        OutputDebugStringW(L"TrayHerald: the update wait failed\n");
        g_workerExitCode.store(kExitWorkerError);
        PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    }
    return 0;
}

HANDLE StartWorker(HWND* window, BeginThreadProc beginThread)
{
    for (int attempt = 1;; ++attempt) {
        const uintptr_t thread = beginThread(nullptr, 0, WatchUpdateEvent, window, 0, nullptr);
        if (thread != 0) {
            return reinterpret_cast<HANDLE>(thread);
        }
        // Retrying at once, without end, would keep the icon on screen with no message
        // pumped and the promised end never coming.
        if (errno != EAGAIN || attempt == kWorkerStartAttempts) {
            return nullptr;
        }
        Sleep(kWorkerStartRetryMs);
    }
}
