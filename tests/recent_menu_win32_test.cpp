// The "Open &Recent" popup rebuilt on the real menu resource.
#include "app/recent_files.h"
#include "app/recent_menu_win32.h"

#include "resources/resource_ids.h"
#include "settings/settings_testing.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

const int FILE_MENU = 0;
const int RECENT_POPUP = 1;

struct MenuItem {
    UINT id;
    std::string text;
};

MenuItem ItemAt(HMENU menu, int position) {
    char text[1024] = "";
    MENUITEMINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = sizeof(text);
    if (!GetMenuItemInfoA(menu, (UINT)position, TRUE, &info)) {
        return {0, "<none>"};
    }
    return {info.wID, text};
}

class RecentMenuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SettingsReset();
        menu_ = LoadMenuA(GetModuleHandleA(NULL), RES_MAIN_MENU);
        ASSERT_NE(menu_, nullptr);
        RecentMenuAttach(menu_);
    }
    void TearDown() override {
        RecentMenuAttach(NULL);
        DestroyMenu(menu_);
        SettingsReset();
    }
    HMENU FileMenu() {
        return GetSubMenu(menu_, FILE_MENU);
    }
    HMENU Popup() {
        return GetSubMenu(FileMenu(), RECENT_POPUP);
    }
    bool PopupGreyed() {
        return (GetMenuState(FileMenu(), RECENT_POPUP, MF_BYPOSITION) & MF_GRAYED) != 0;
    }
    HMENU menu_ = NULL;
};

TEST_F(RecentMenuTest, AnEmptyListGreysThePopupAndLeavesNone) {
    RebuildRecentMenu();
    EXPECT_TRUE(PopupGreyed());
    ASSERT_EQ(GetMenuItemCount(Popup()), 1);
    MenuItem none = ItemAt(Popup(), 0);
    EXPECT_EQ(none.id, (UINT)IDM_RECENT_FIRST);
    EXPECT_EQ(none.text, "None");
}

TEST_F(RecentMenuTest, ItemsAreNumberedFromTheMostRecent) {
    AddRecentFile("C:\\sys\\a.vsb");
    AddRecentFile("C:\\sys\\b.vsb");
    AddRecentFile("C:\\sys\\a.vsb");
    EXPECT_FALSE(PopupGreyed());
    ASSERT_EQ(GetMenuItemCount(Popup()), 2);
    MenuItem first = ItemAt(Popup(), 0);
    MenuItem second = ItemAt(Popup(), 1);
    EXPECT_EQ(first.id, (UINT)IDM_RECENT_FIRST);
    EXPECT_EQ(first.text, "&1 C:\\sys\\a.vsb");
    EXPECT_EQ(second.id, (UINT)IDM_RECENT_FIRST + 1);
    EXPECT_EQ(second.text, "&2 C:\\sys\\b.vsb");
}

TEST_F(RecentMenuTest, AFullListFillsAllNineItems) {
    for (int n = 1; n <= 10; n++) {
        std::string path = "C:\\f" + std::to_string(n) + ".vsb";
        AddRecentFile(path.c_str());
    }
    ASSERT_EQ(GetMenuItemCount(Popup()), RECENT_FILE_COUNT);
    for (int i = 0; i < RECENT_FILE_COUNT; i++) {
        MenuItem item = ItemAt(Popup(), i);
        EXPECT_EQ(item.id, (UINT)(IDM_RECENT_FIRST + i));
        EXPECT_EQ(item.text,
                  "&" + std::to_string(i + 1) + " C:\\f" + std::to_string(10 - i) + ".vsb");
    }
}

// Without the doubling the '&' would vanish and underline the letter after it.
TEST_F(RecentMenuTest, AnAmpersandInAPathIsShown) {
    AddRecentFile("C:\\Tom & Jerry\\a&b.vsb");
    EXPECT_EQ(ItemAt(Popup(), 0).text, "&1 C:\\Tom && Jerry\\a&&b.vsb");
}

// The user modes remove the popup; position 1 of the File menu is then the separator.
TEST_F(RecentMenuTest, AMenuWithoutThePopupIsLeftAlone) {
    DeleteMenu(FileMenu(), RECENT_POPUP, MF_BYPOSITION);
    int items = GetMenuItemCount(FileMenu());
    UINT separatorState = GetMenuState(FileMenu(), RECENT_POPUP, MF_BYPOSITION);
    AddRecentFile("C:\\a.vsb");
    EXPECT_EQ(GetMenuItemCount(FileMenu()), items);
    EXPECT_EQ(GetMenuState(FileMenu(), RECENT_POPUP, MF_BYPOSITION), separatorState);
    EXPECT_EQ(ItemAt(FileMenu(), 0).id, (UINT)IDM_OPEN);
    EXPECT_STREQ(g_settings.RecentFileName[0], "C:\\a.vsb");
}

TEST_F(RecentMenuTest, NoMenuAttachedOnlyKeepsTheList) {
    RecentMenuAttach(NULL);
    AddRecentFile("C:\\a.vsb");
    EXPECT_EQ(g_settings.NumOfRecentFile, 1);
    EXPECT_EQ(GetMenuItemCount(Popup()), 1);
    EXPECT_EQ(ItemAt(Popup(), 0).text, "None");
}

} // namespace
