// The recent-files list: what AddRecentFile leaves in the settings' slots.
#include "app/recent_files.h"

#include "platform/text.h"
#include "settings/settings_testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> RecentList() {
    std::vector<std::string> list;
    for (int i = 0; i < g_settings.NumOfRecentFile; i++) {
        list.push_back(g_settings.RecentFileName[i]);
    }
    return list;
}

std::string NumberedPath(int n) {
    return "C:\\sys\\file" + std::to_string(n) + ".vsb";
}

class RecentFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SettingsReset();
    }
    void TearDown() override {
        SettingsReset();
    }
};

TEST_F(RecentFilesTest, AddingPutsThePathOnTopWithoutDuplicates) {
    struct Case {
        const char* name;
        std::vector<std::string> added;
        std::vector<std::string> expected; // most recent first
    };
    const std::string a = "C:\\sys\\a.vsb";
    const std::string b = "C:\\sys\\b.vsb";
    const std::string c = "C:\\sys\\c.vsb";
    std::vector<std::string> nine;
    for (int n = 1; n <= 9; n++) {
        nine.push_back(NumberedPath(n));
    }
    std::vector<std::string> ten = nine;
    ten.push_back(NumberedPath(10));
    std::vector<std::string> nineThenOldest = nine;
    nineThenOldest.push_back(NumberedPath(1));

    const Case cases[] = {
        {"first file", {a}, {a}},
        {"a file listed again moves to the top", {a, b, a}, {a, b}},
        {"the top file again changes nothing", {a, b, b}, {b, a}},
        {"a file from the middle", {a, b, c, b}, {b, c, a}},
        {"case-differing paths are two entries", {a, "c:\\SYS\\A.vsb"}, {"c:\\SYS\\A.vsb", a}},
        {"nine files fill the list",
         nine,
         {NumberedPath(9), NumberedPath(8), NumberedPath(7), NumberedPath(6), NumberedPath(5),
          NumberedPath(4), NumberedPath(3), NumberedPath(2), NumberedPath(1)}},
        {"a tenth file drops the oldest",
         ten,
         {NumberedPath(10), NumberedPath(9), NumberedPath(8), NumberedPath(7), NumberedPath(6),
          NumberedPath(5), NumberedPath(4), NumberedPath(3), NumberedPath(2)}},
        {"the oldest of a full list moves up and nothing is dropped",
         nineThenOldest,
         {NumberedPath(1), NumberedPath(9), NumberedPath(8), NumberedPath(7), NumberedPath(6),
          NumberedPath(5), NumberedPath(4), NumberedPath(3), NumberedPath(2)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsReset();
        for (const std::string& path : c.added) {
            AddRecentFile(path.c_str());
        }
        EXPECT_EQ(RecentList(), c.expected);
        for (int i = g_settings.NumOfRecentFile; i < RECENT_FILE_COUNT; i++) {
            EXPECT_STREQ(g_settings.RecentFileName[i], "") << "slot " << i;
        }
    }
}

// The popup's command hands the slot's own text back to AddRecentFile.
TEST_F(RecentFilesTest, ChoosingTheThirdEntryMovesItToTheTop) {
    AddRecentFile("C:\\c.vsb");
    AddRecentFile("C:\\b.vsb");
    AddRecentFile("C:\\a.vsb");
    AddRecentFile(g_settings.RecentFileName[2]);
    EXPECT_EQ(RecentList(), (std::vector<std::string>{"C:\\c.vsb", "C:\\a.vsb", "C:\\b.vsb"}));
}

TEST_F(RecentFilesTest, AnOverlongPathIsCutToASlotAndListedOnce) {
    std::string longPath = "C:\\" + std::string(400, 'x') + ".vsb";
    AddRecentFile(longPath.c_str());
    AddRecentFile("C:\\other.vsb");
    AddRecentFile(longPath.c_str());
    ASSERT_EQ(g_settings.NumOfRecentFile, 2);
    EXPECT_EQ(std::string(g_settings.RecentFileName[0]), longPath.substr(0, PATH_SIZE - 1));
    EXPECT_STREQ(g_settings.RecentFileName[1], "C:\\other.vsb");
}

TEST_F(RecentFilesTest, AStoredCountOutOfRangeIsTakenAsTheNearestValidOne) {
    g_settings.NumOfRecentFile = -3;
    EXPECT_EQ(RecentFileCount(), 0);
    AddRecentFile("C:\\a.vsb");
    EXPECT_EQ(RecentList(), (std::vector<std::string>{"C:\\a.vsb"}));

    g_settings.NumOfRecentFile = 40;
    EXPECT_EQ(RecentFileCount(), RECENT_FILE_COUNT);
    AddRecentFile("C:\\b.vsb");
    EXPECT_EQ(g_settings.NumOfRecentFile, RECENT_FILE_COUNT);
    EXPECT_STREQ(g_settings.RecentFileName[0], "C:\\b.vsb");
    EXPECT_STREQ(g_settings.RecentFileName[1], "C:\\a.vsb");
}

} // namespace
