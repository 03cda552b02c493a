// The notification icon of TrayHerald: its identity, its four animation frames and the two
// shell actions the program takes on it (set icon and tooltip, show a balloon).
#pragma once

#include <windows.h>
#include <shellapi.h>

// Callback message the shell sends to the hidden window for the icon.
constexpr UINT WM_TRAYICON = WM_APP + 1;
// Number of frames of the icon animation.
constexpr int kFrameCount = 4;

// Module whose resources (strings, menu, icons) both threads load; set once by wWinMain
// before the worker exists.
extern HINSTANCE g_hInst;

// Every Shell_NotifyIconW call of the program goes through this pointer, so that the unit
// tests can see what is handed to the shell. It is set before any window exists.
using ShellNotifyIconProc = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);
extern ShellNotifyIconProc g_shellNotifyIcon;

// Adds (NIM_ADD) or updates (NIM_MODIFY) the icon with frame frameIndex (0 to 3) and the
// tooltip, then sets NOTIFYICON_VERSION_4. Returns the result of setting the version, which
// fails when the icon does not exist.
BOOL SetNotifyIcon(HWND hwnd, DWORD action, int frameIndex);

// Shows an information balloon titled "Updating..." whose text is string textId; the icon,
// tooltip and callback stay as they are. Callable from either thread.
void ShowTrayBalloon(HWND hwnd, UINT textId);

// Restores the tooltip after a balloon has timed out (NIF_SHOWTIP only).
void RestoreTrayTip(HWND hwnd);

// Removes the icon.
void DeleteNotifyIcon(HWND hwnd);

// The icon of frame frameIndex, loaded on first use and kept until DestroyFrameIcons.
HICON FrameIcon(int frameIndex);

// Destroys the frame icons loaded so far; the next FrameIcon call loads them again.
void DestroyFrameIcons();
