// The icon's context menu: what it holds, where it opens for left- and right-aligned menu
// systems, and that its one item closes the window. Needs a display (Xvfb under Wine).
#include <windows.h>

#include <gtest/gtest.h>

#include "resource.h"
#include "tray_test_support.h"

namespace {

// What the menu looked like while it was open.
struct MenuSeen {
    bool shown = false;
    RECT rect = {};
    int itemCount = 0;
    UINT itemId = 0;
    wchar_t itemText[32] = {};
};

MenuSeen g_menuSeen;
bool g_chooseExit = false;

// Runs inside the menu's modal loop: reads the open menu, then closes it or picks "E&xit"
// by its mnemonic as a user at the keyboard would.
void CALLBACK InspectOpenMenu(HWND, UINT, UINT_PTR timerId, DWORD)
{
    HWND menuWindow = FindWindowW(L"#32768", nullptr);
    if (menuWindow == nullptr || !IsWindowVisible(menuWindow)) {
        return;  // not open yet; look again on the next tick
    }
    KillTimer(nullptr, timerId);
    g_menuSeen.shown = true;
    GetWindowRect(menuWindow, &g_menuSeen.rect);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    g_menuSeen.itemCount = GetMenuItemCount(menu);
    g_menuSeen.itemId = GetMenuItemID(menu, 0);
    GetMenuStringW(menu, 0, g_menuSeen.itemText, ARRAYSIZE(g_menuSeen.itemText), MF_BYPOSITION);
    if (g_chooseExit) {
        PostMessageW(menuWindow, WM_CHAR, L'x', 0);
    } else {
        EndMenu();
    }
}

class TrayMenuTest : public TrayWindowTest {
protected:
    void SetUp() override
    {
        TrayWindowTest::SetUp();
        SystemParametersInfoW(SPI_GETMENUDROPALIGNMENT, 0, &savedAlignment_, 0);
        g_menuSeen = MenuSeen();
        g_chooseExit = false;
    }
    void TearDown() override
    {
        SystemParametersInfoW(SPI_SETMENUDROPALIGNMENT, savedAlignment_, nullptr, 0);
        TrayWindowTest::TearDown();
    }

    // Sends the shell's context-menu notification anchored at (x, y) and waits for the
    // menu to be inspected and closed.
    LRESULT OpenMenuAt(HWND window, int x, int y)
    {
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, InspectOpenMenu);
        const LRESULT result =
            SendMessageW(window, WM_TRAYICON, MAKEWPARAM(x, y), MAKELPARAM(WM_CONTEXTMENU, 0));
        KillTimer(nullptr, timer);
        return result;
    }

    BOOL savedAlignment_ = FALSE;
};

struct AlignmentCase {
    BOOL rightAligned;
    const char* name;
};

TEST_F(TrayMenuTest, MenuHoldsExitAndOpensOnTheSideTheSystemAlignsMenusTo)
{
    const AlignmentCase cases[] = {{FALSE, "left-aligned"}, {TRUE, "right-aligned"}};
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    constexpr int kX = 500, kY = 300;

    for (const AlignmentCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_menuSeen = MenuSeen();
        ASSERT_TRUE(SystemParametersInfoW(SPI_SETMENUDROPALIGNMENT, c.rightAligned, nullptr, 0));
        ASSERT_EQ(c.rightAligned != FALSE, GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0);

        EXPECT_EQ(0, OpenMenuAt(window, kX, kY));

        ASSERT_TRUE(g_menuSeen.shown);
        EXPECT_EQ(1, g_menuSeen.itemCount);
        EXPECT_EQ(static_cast<UINT>(IDM_EXIT), g_menuSeen.itemId);
        EXPECT_STREQ(L"E&xit", g_menuSeen.itemText);
        EXPECT_EQ(kY, g_menuSeen.rect.top);
        if (c.rightAligned) {
            EXPECT_EQ(kX, g_menuSeen.rect.right);
        } else {
            EXPECT_EQ(kX, g_menuSeen.rect.left);
        }
        EXPECT_TRUE(IsWindow(window)) << "closing the menu must not close the window";
    }
}

TEST_F(TrayMenuTest, ChoosingExitClosesTheWindowAndRemovesTheIcon)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();
    g_chooseExit = true;

    EXPECT_EQ(0, OpenMenuAt(window, 500, 300));
    DrainMessages();

    ASSERT_TRUE(g_menuSeen.shown);
    EXPECT_FALSE(IsWindow(window));
    const auto calls = shell_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), calls[0].message);
}

TEST(TrayResources, StringsAreThoseTheProgramShows)
{
    struct StringCase {
        UINT id;
        const wchar_t* text;
    };
    const StringCase cases[] = {
        {IDS_APP_TITLE, L"NotificationTray"},
        {IDS_UPDATING, L"Updating..."},
        {IDS_BEING_UPDATED, L"QVR Agent is being updated"},
        {IDS_FINISHED, L"Finished"},
    };
    const HINSTANCE module = GetModuleHandleW(nullptr);
    for (const StringCase& c : cases) {
        wchar_t buffer[64] = {};
        EXPECT_EQ(static_cast<int>(wcslen(c.text)), LoadStringW(module, c.id, buffer, ARRAYSIZE(buffer)));
        EXPECT_STREQ(c.text, buffer);
    }
    wchar_t buffer[64] = {};
    EXPECT_EQ(0, LoadStringW(module, 104, buffer, ARRAYSIZE(buffer)));
}

TEST(TrayResources, ManifestLoadsCommonControlsVersion6)
{
    // Wine's comctl32 reports 5.81 for both copies; the path tells which one the
    // manifest's activation context loaded. Side-by-side folders are named after the
    // processor architecture.
    const wchar_t* const assembly = sizeof(void*) == 4 ? L"\\x86_microsoft.windows.common-controls"
                                                       : L"\\amd64_microsoft.windows.common-controls";
    HMODULE comctl32 = GetModuleHandleW(L"comctl32.dll");
    ASSERT_NE(nullptr, comctl32);
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameW(comctl32, path, MAX_PATH));
    CharLowerW(path);
    EXPECT_NE(nullptr, wcsstr(path, assembly)) << path;
}

}  // namespace
