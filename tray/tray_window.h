// The hidden window that owns TrayHerald's notification icon, its animation timer and its
// context menu, and the window procedure that answers for them.
#pragma once

#include <windows.h>

// Class of the hidden window.
constexpr wchar_t kTrayWindowClass[] = L"NotificationIcon";
// The animation timer: identifier and period (four frames a second).
constexpr UINT_PTR kAnimationTimerId = 1;
constexpr UINT kAnimationPeriodMs = 250;

// Registers the window class; the result is not examined by the program.
ATOM RegisterTrayWindowClass(HINSTANCE instance);

// Creates the hidden window; WM_CREATE adds the icon and shows the first balloon. Null when
// the window or the icon cannot be created.
HWND CreateTrayWindow(HINSTANCE instance);

LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
