// Helpers shared by TrayHerald's window and worker tests: the window under test with the
// shell call observed, and a reading of which frame an icon handle shows.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "notify_icon.h"
#include "shell_recorder.h"
#include "tray_window.h"

// Size of the complete NOTIFYICONDATAW (the layout that ends with guidItem and hBalloonIcon)
// in this build: 956 bytes for 32-bit Windows, 976 for 64-bit.
constexpr DWORD kCompleteIconDataSize = sizeof(void*) == 4 ? 956 : 976;

// Which quarter of the ring is orange in an icon: 0 top, 1 right, 2 bottom, 3 left (frames
// 1 to 4 of the animation); -1 when the icon cannot be read or has no orange.
inline int OrangeQuarter(HICON icon)
{
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info)) {
        return -1;
    }
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    const int width = bitmap.bmWidth;
    const int height = bitmap.bmHeight;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top-down rows
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, info.hbmColor, 0, height, pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    if (rows != height) {
        return -1;
    }
    double sumX = 0, sumY = 0;
    int count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if ((pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF) == 0xFF8C00) {
                sumX += x + 0.5 - width / 2.0;
                sumY += y + 0.5 - height / 2.0;
                ++count;
            }
        }
    }
    if (count == 0) {
        return -1;
    }
    const double dx = sumX / count, dy = sumY / count;
    if (dy * dy > dx * dx) {
        return dy < 0 ? 0 : 2;
    }
    return dx > 0 ? 1 : 3;
}

// Removes every message waiting for this thread; true when WM_QUIT was among them.
inline bool DrainMessages()
{
    bool quit = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quit = true;
        } else {
            DispatchMessageW(&message);
        }
    }
    return quit;
}

class TrayWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_hInst = GetModuleHandleW(nullptr);
        RegisterTrayWindowClass(g_hInst);
        DrainMessages();
    }
    void TearDown() override
    {
        if (window_ != nullptr && IsWindow(window_)) {
            DestroyWindow(window_);
        }
        DrainMessages();
    }
    HWND CreateWindowUnderTest()
    {
        window_ = CreateTrayWindow(g_hInst);
        return window_;
    }

    ShellRecorder shell_;
    HWND window_ = nullptr;
};
