// Shell actions on TrayHerald's notification icon. Every NOTIFYICONDATAW is zero-filled,
// sized for the complete current structure and then given only the fields its action needs.
// The four frame icons are loaded once and handed to the shell on every frame change; the
// shell copies them, so the same handles serve the whole run.
#include "notify_icon.h"

#include <commctrl.h>

#include <cstddef>

#include "resource.h"

// 956 bytes in a 32-bit build, 976 in a 64-bit one; hBalloonIcon is its last field.
static_assert(sizeof(NOTIFYICONDATAW) == offsetof(NOTIFYICONDATAW, hBalloonIcon) + sizeof(HICON),
              "NOTIFYICONDATAW must be the complete structure (through hBalloonIcon)");

HINSTANCE g_hInst = nullptr;
ShellNotifyIconProc g_shellNotifyIcon = Shell_NotifyIconW;

namespace {

constexpr UINT kFrameIconIds[kFrameCount] = {IDI_FRAME1, IDI_FRAME2, IDI_FRAME3, IDI_FRAME4};

// Loaded frame icons, by frame index; owned by the UI thread.
HICON g_frameIcons[kFrameCount] = {};

NOTIFYICONDATAW NewIconData(HWND hwnd)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd;
    data.uID = 0;
    return data;
}

}  // namespace

HICON FrameIcon(int frameIndex)
{
    HICON& icon = g_frameIcons[frameIndex];
    if (icon == nullptr) {
        LoadIconMetric(g_hInst, MAKEINTRESOURCEW(kFrameIconIds[frameIndex]), LIM_SMALL, &icon);
    }
    return icon;
}

void DestroyFrameIcons()
{
    for (HICON& icon : g_frameIcons) {
        if (icon != nullptr) {
            DestroyIcon(icon);
            icon = nullptr;
        }
    }
}

BOOL SetNotifyIcon(HWND hwnd, DWORD action, int frameIndex)
{
    NOTIFYICONDATAW data = NewIconData(hwnd);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = FrameIcon(frameIndex);
    LoadStringW(g_hInst, IDS_BEING_UPDATED, data.szTip, ARRAYSIZE(data.szTip));
    g_shellNotifyIcon(action, &data);

    data.uVersion = NOTIFYICON_VERSION_4;
    return g_shellNotifyIcon(NIM_SETVERSION, &data);
}

void ShowTrayBalloon(HWND hwnd, UINT textId)
{
    NOTIFYICONDATAW data = NewIconData(hwnd);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    LoadStringW(g_hInst, IDS_UPDATING, data.szInfoTitle, ARRAYSIZE(data.szInfoTitle));
    LoadStringW(g_hInst, textId, data.szInfo, ARRAYSIZE(data.szInfo));
    data.uTimeout = 0;
    g_shellNotifyIcon(NIM_MODIFY, &data);
}

void RestoreTrayTip(HWND hwnd)
{
    NOTIFYICONDATAW data = NewIconData(hwnd);
    data.uFlags = NIF_SHOWTIP;
    g_shellNotifyIcon(NIM_MODIFY, &data);
}

void DeleteNotifyIcon(HWND hwnd)
{
    NOTIFYICONDATAW data = NewIconData(hwnd);
    g_shellNotifyIcon(NIM_DELETE, &data);
}
