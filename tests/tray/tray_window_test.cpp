// TrayHerald's window procedure, driven with real messages under Wine; what it hands to the
// shell is observed in place of the notification area.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "resource.h"
#include "tray_test_support.h"

namespace {

constexpr UINT kIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;

// The icon fields of an add or frame change, as the shell receives them.
void ExpectIconUpdate(const ShellCall& call, DWORD message, HWND window)
{
    EXPECT_EQ(message, call.message);
    EXPECT_EQ(kCompleteIconDataSize, call.data.cbSize);
    EXPECT_EQ(window, call.data.hWnd);
    EXPECT_EQ(0u, call.data.uID);
    EXPECT_EQ(kIconFlags, call.data.uFlags);
    EXPECT_EQ(0x8001u, call.data.uCallbackMessage);
    EXPECT_STREQ(L"QVR Agent is being updated", call.data.szTip);
    EXPECT_STREQ(L"", call.data.szInfo);
    EXPECT_EQ(0u, call.data.dwInfoFlags);
}

void ExpectSetVersion(const ShellCall& call, HWND window)
{
    EXPECT_EQ(static_cast<DWORD>(NIM_SETVERSION), call.message);
    EXPECT_EQ(window, call.data.hWnd);
    EXPECT_EQ(0u, call.data.uID);
    EXPECT_EQ(static_cast<UINT>(NOTIFYICON_VERSION_4), call.data.uVersion);
}

TEST_F(TrayWindowTest, CreationAddsFirstFrameSetsVersionThenShowsFirstBalloon)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(IsWindowVisible(window));

    const auto calls = shell_.Calls();
    ASSERT_EQ(3u, calls.size());
    ExpectIconUpdate(calls[0], NIM_ADD, window);
    EXPECT_EQ(0, OrangeQuarter(calls[0].data.hIcon));  // IDI_FRAME1
    ExpectSetVersion(calls[1], window);

    const NOTIFYICONDATAW& balloon = calls[2].data;
    EXPECT_EQ(static_cast<DWORD>(NIM_MODIFY), calls[2].message);
    EXPECT_EQ(kCompleteIconDataSize, balloon.cbSize);
    EXPECT_EQ(window, balloon.hWnd);
    EXPECT_EQ(static_cast<UINT>(NIF_INFO), balloon.uFlags);
    EXPECT_EQ(static_cast<DWORD>(NIIF_INFO), balloon.dwInfoFlags);
    EXPECT_STREQ(L"Updating...", balloon.szInfoTitle);
    EXPECT_STREQ(L"QVR Agent is being updated", balloon.szInfo);
    EXPECT_EQ(0u, balloon.uTimeout);
    EXPECT_EQ(nullptr, balloon.hIcon);
    EXPECT_STREQ(L"", balloon.szTip);
}

TEST_F(TrayWindowTest, CreationFailsWhenTheIconCannotBeAdded)
{
    shell_.SetVersionResult(FALSE);
    EXPECT_EQ(nullptr, CreateWindowUnderTest());

    const auto calls = shell_.Calls();
    for (const ShellCall& call : calls) {
        EXPECT_EQ(0u, call.data.uFlags & NIF_INFO) << "a balloon was asked for";
    }
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(static_cast<DWORD>(NIM_ADD), calls[0].message);
    EXPECT_EQ(static_cast<DWORD>(NIM_SETVERSION), calls[1].message);
    ICONINFO info = {};
    EXPECT_FALSE(GetIconInfo(calls[0].data.hIcon, &info)) << "frame icon kept after failure";

    // The next window starts its animation from the first frame again.
    shell_.SetVersionResult(TRUE);
    shell_.Clear();
    ASSERT_NE(nullptr, CreateWindowUnderTest());
    EXPECT_EQ(0, OrangeQuarter(shell_.Calls().at(0).data.hIcon));
}

TEST_F(TrayWindowTest, TimerTicksRunTheFramesInOrderWithIconsLoadedOnce)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    const HICON firstFrame = shell_.Calls()[0].data.hIcon;
    shell_.Clear();

    // Any timer id animates.
    const WPARAM timerIds[] = {kAnimationTimerId, kAnimationTimerId, 7, kAnimationTimerId, 99};
    for (WPARAM id : timerIds) {
        EXPECT_EQ(0, SendMessageW(window, WM_TIMER, id, 0));
    }

    const auto calls = shell_.Calls();
    ASSERT_EQ(10u, calls.size());
    const int expectedQuarters[] = {1, 2, 3, 0, 1};  // IDI_FRAME2, 3, 4, 1, 2
    for (int tick = 0; tick < 5; ++tick) {
        SCOPED_TRACE(tick);
        ExpectIconUpdate(calls[2 * tick], NIM_MODIFY, window);
        EXPECT_EQ(expectedQuarters[tick], OrangeQuarter(calls[2 * tick].data.hIcon));
        ExpectSetVersion(calls[2 * tick + 1], window);
    }
    // The same four handles serve every cycle.
    EXPECT_EQ(firstFrame, calls[6].data.hIcon);
    EXPECT_EQ(calls[0].data.hIcon, calls[8].data.hIcon);
    EXPECT_NE(calls[0].data.hIcon, calls[2].data.hIcon);
    EXPECT_NE(calls[2].data.hIcon, calls[4].data.hIcon);
}

TEST_F(TrayWindowTest, BalloonTimeoutRestoresTheTooltipAndNothingElse)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    EXPECT_EQ(0, SendMessageW(window, WM_TRAYICON, MAKEWPARAM(900, 700),
                              MAKELPARAM(NIN_BALLOONTIMEOUT, 0)));

    const auto calls = shell_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_MODIFY), calls[0].message);
    NOTIFYICONDATAW expected = {};
    expected.cbSize = sizeof(expected);
    expected.hWnd = window;
    expected.uFlags = NIF_SHOWTIP;
    EXPECT_EQ(0, std::memcmp(&expected, &calls[0].data, sizeof(expected)));
}

TEST_F(TrayWindowTest, OtherIconNotificationsAreAnsweredWithoutAction)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    const UINT notifications[] = {WM_MOUSEMOVE,       WM_LBUTTONDOWN,       WM_LBUTTONUP,
                                  WM_RBUTTONUP,       WM_LBUTTONDBLCLK,     NIN_SELECT,
                                  NIN_KEYSELECT,      NIN_BALLOONSHOW,      NIN_BALLOONHIDE,
                                  NIN_BALLOONUSERCLICK, NIN_POPUPOPEN};
    for (UINT notification : notifications) {
        SCOPED_TRACE(notification);
        EXPECT_EQ(0, SendMessageW(window, WM_TRAYICON, MAKEWPARAM(900, 700),
                                  MAKELPARAM(notification, 0)));
    }
    EXPECT_TRUE(shell_.Calls().empty());
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(TrayWindowTest, ExitCommandRemovesTheIconFreesTheFramesAndEndsTheLoop)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    SendMessageW(window, WM_TIMER, kAnimationTimerId, 0);
    SendMessageW(window, WM_TIMER, kAnimationTimerId, 0);
    SendMessageW(window, WM_TIMER, kAnimationTimerId, 0);
    std::vector<HICON> frames;
    for (const ShellCall& call : shell_.Calls()) {
        if (call.data.hIcon != nullptr) {
            frames.push_back(call.data.hIcon);
        }
    }
    ASSERT_EQ(8u, frames.size());  // four frames, each sent with its version call
    shell_.Clear();
    DrainMessages();

    EXPECT_EQ(0, SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0));

    EXPECT_FALSE(IsWindow(window));
    const auto calls = shell_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), calls[0].message);
    EXPECT_EQ(window, calls[0].data.hWnd);
    EXPECT_EQ(0u, calls[0].data.uID);
    EXPECT_TRUE(DrainMessages()) << "no WM_QUIT was posted";
    for (HICON frame : frames) {
        ICONINFO info = {};
        EXPECT_FALSE(GetIconInfo(frame, &info)) << "frame icon still alive";
    }
}

TEST_F(TrayWindowTest, OtherCommandsLeaveTheWindowAlone)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    EXPECT_EQ(0, SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDM_EXIT + 1, 0), 0));
    EXPECT_EQ(0, SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, 0), 0));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(shell_.Calls().empty());
}

TEST_F(TrayWindowTest, TaskbarCreatedAddsTheIconAgainWithTheFrameDue)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    SendMessageW(window, WM_TIMER, kAnimationTimerId, 0);
    SendMessageW(window, WM_TIMER, kAnimationTimerId, 0);
    shell_.Clear();

    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    ASSERT_NE(0u, taskbarCreated);
    EXPECT_EQ(0, SendMessageW(window, taskbarCreated, 0, 0));

    const auto calls = shell_.Calls();
    ASSERT_EQ(2u, calls.size());
    ExpectIconUpdate(calls[0], NIM_ADD, window);
    EXPECT_EQ(3, OrangeQuarter(calls[0].data.hIcon));  // IDI_FRAME4 is due after two ticks
    ExpectSetVersion(calls[1], window);
}

}  // namespace
