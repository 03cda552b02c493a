// The worker thread of TrayHerald: waits for the updater's completion event, shows the
// "Finished" balloon and asks the window to close; and what the program does when that
// wait cannot be made.
#pragma once

#include <windows.h>

#include <process.h>

#include "utils.h"

// Manual-reset event that the updater sets when the update has finished.
constexpr wchar_t kUpdateEventName[] = L"Global\\82BB5227-1F94-48D5-B7F3-915875103B25";
// How long the worker gives the updater to set the event. The program defines it as one
// minute (update_wait.cpp); test builds link the same worker with a shorter wait.
extern const DWORD kUpdateWaitMs;
// How long the "Finished" balloon is left to be read before the window closes.
constexpr DWORD kFinishedPauseMs = 2000;
// Exit code of TrayHerald when the worker could not create or wait on the event.
constexpr int kExitWorkerError = 1;
// Event-log source and event id under which such an error is reported.
constexpr wchar_t kEventSourceName[] = L"TrayHerald";
constexpr DWORD kWorkerErrorEventId = 1;

// How often, and how far apart, the worker's start is tried while the runtime reports a
// lack of resources (EAGAIN).
constexpr int kWorkerStartAttempts = 10;
constexpr DWORD kWorkerStartRetryMs = 100;

// Body of the worker thread; arg is the address of the window handle, copied at once.
unsigned __stdcall WatchUpdateEvent(void* arg);

// The runtime's thread creation, as StartWorker calls it (the tests pass their own).
using BeginThreadProc = decltype(&_beginthreadex);

// Starts the worker on WatchUpdateEvent with window's address; null when it cannot be
// started. A lack of resources (EAGAIN) is retried kWorkerStartAttempts times in all, with a
// pause of kWorkerStartRetryMs between attempts; any other failure ends the attempts at once.
HANDLE StartWorker(HWND* window, BeginThreadProc beginThread = _beginthreadex);

// The program's exit code as the worker left it: 0, or kExitWorkerError once the worker
// has failed. Each worker starts it at 0 again.
int WorkerExitCode();

// Reports a worker error where a support engineer finds it: the Application event log
// (source "TrayHerald", error type, the text as the event's string and the code as its
// data) and the debugger output.
void ReportWorkerError(const utils::EventEx& error);
