// TrayHerald's hidden window: adds the icon when created, animates it on every timer tick,
// shows the "E&xit" context menu, re-adds the icon when the taskbar is recreated, and
// removes the icon and ends the message loop when destroyed.
#include "tray_window.h"

#include <windowsx.h>

#include "notify_icon.h"
#include "resource.h"

namespace {

// Index of the icon frame to show next; read and written only by TrayWndProc.
int g_frameCounter = 0;
// The shell broadcasts this registered message when the taskbar has been (re)created.
UINT g_taskbarCreatedMessage = 0;

// The shell keeps its own copies of the icons; ours go with the window, and the animation
// starts again from the first frame should another window be created.
void ReleaseFrames()
{
    DestroyFrameIcons();
    g_frameCounter = 0;
}

void ShowTrayMenu(HWND hwnd, WPARAM anchor)
{
    const int x = GET_X_LPARAM(anchor);
    const int y = GET_Y_LPARAM(anchor);

    HMENU menu = LoadMenuW(g_hInst, MAKEINTRESOURCEW(IDR_TRAYMENU));
    if (menu == nullptr) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    if (popup != nullptr) {
        // Without this the menu would stay open when the user clicks elsewhere.
        SetForegroundWindow(hwnd);
        UINT flags = TPM_RIGHTBUTTON;
        flags |= GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0 ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
        TrackPopupMenuEx(popup, flags, x, y, hwnd, nullptr);
    }
    DestroyMenu(menu);
}

LRESULT OnTrayIcon(HWND hwnd, WPARAM wParam, LPARAM lParam)
{
    // With NOTIFYICON_VERSION_4 the notification is in the low word of lParam and the
    // anchor point in wParam.
    switch (LOWORD(lParam)) {
    case WM_CONTEXTMENU:
        ShowTrayMenu(hwnd, wParam);
        break;
    case NIN_BALLOONTIMEOUT:
        RestoreTrayTip(hwnd);
        break;
    default:
        break;
    }
    return 0;
}

}  // namespace

ATOM RegisterTrayWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = TrayWndProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kTrayWindowClass;
    return RegisterClassExW(&windowClass);
}

HWND CreateTrayWindow(HINSTANCE instance)
{
    return CreateWindowExW(0, kTrayWindowClass, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 0,
                           0, nullptr, nullptr, instance, nullptr);
}

LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
        const int frame = g_frameCounter++;
        if (!SetNotifyIcon(hwnd, NIM_ADD, frame)) {
            // Not every system sends WM_DESTROY after a refused creation.
            ReleaseFrames();
            return -1;
        }
        ShowTrayBalloon(hwnd, IDS_BEING_UPDATED);
        return 0;
    }
    case WM_TIMER: {
        const int frame = g_frameCounter++;
        SetNotifyIcon(hwnd, NIM_MODIFY, frame);
        g_frameCounter %= kFrameCount;
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_EXIT) {
            DestroyWindow(hwnd);
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    case WM_DESTROY:
        KillTimer(hwnd, kAnimationTimerId);
        DeleteNotifyIcon(hwnd);
        ReleaseFrames();
        PostQuitMessage(0);
        return 0;
    case WM_TRAYICON:
        return OnTrayIcon(hwnd, wParam, lParam);
    default:
        if (message != 0 && message == g_taskbarCreatedMessage) {
            // The taskbar was restarted and has forgotten our icon: add it again with the
            // frame that is due.
            SetNotifyIcon(hwnd, NIM_ADD, g_frameCounter % kFrameCount);
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
