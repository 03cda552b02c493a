// Entry point of TrayHerald: the hidden window with its animated icon on the UI thread, the
// worker that waits for the updater, the message loop, and the join before the process ends.
#include <windows.h>

#include "notify_icon.h"
#include "tray_window.h"
#include "update_watcher.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    g_hInst = hInstance;

    RegisterTrayWindowClass(hInstance);
    HWND window = CreateTrayWindow(hInstance);
    if (window == nullptr) {
        return 0;
    }
    SetTimer(window, kAnimationTimerId, kAnimationPeriodMs, nullptr);

    HANDLE worker = StartWorker(&window);
    if (worker == nullptr) {
        // Take the icon away rather than leave it behind a process that is gone.
        DestroyWindow(window);
        return 0;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return WorkerExitCode();
}
