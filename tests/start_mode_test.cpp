#include "app/start_mode.h"
#include "settings/settings_testing.h"
#include "tests/doubles/settings_store_memory.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

namespace {

TEST(StartMode, TheModeDecidesTheLogAreaAndTheForcedTransport) {
    const struct {
        int storedMode;
        int modeOverride;
        int devMode;
        int showLog;
        int forced; // MIDI, version check on, only the maker's ports
    } cases[] = {
        {0, -1, 0, 0, 1}, {1, -1, 1, 1, 1}, {2, -1, 2, 1, 0}, {2, 0, 0, 0, 1},
        {2, 1, 1, 1, 1},  {0, 2, 2, 1, 0},  {1, 7, 1, 1, 1},  {2, -2, 2, 1, 0},
    };
    for (const auto& c : cases) {
        SettingsReset();
        g_settings.DevMode = c.storedMode;
        g_settings.NextDevMode = -5;
        g_settings.DeviceType = DEVICE_TYPE_SERIAL;
        g_settings.SkipVersionCheck = 1;
        g_settings.OnlyMavoDriver = 0;
        ShowLog = -1;
        ApplyModeOverride(c.modeOverride);
        SCOPED_TRACE(testing::Message() << c.storedMode << " " << c.modeOverride);
        EXPECT_EQ(g_settings.DevMode, c.devMode);
        EXPECT_EQ(g_settings.NextDevMode, c.devMode); // a switch's mode is stored at exit
        EXPECT_EQ(ShowLog, c.showLog);
        EXPECT_EQ(g_settings.DeviceType, c.forced ? DEVICE_TYPE_MIDI : DEVICE_TYPE_SERIAL);
        EXPECT_EQ(g_settings.SkipVersionCheck, c.forced ? 0 : 1);
        EXPECT_EQ(g_settings.OnlyMavoDriver, c.forced ? 1 : 0);
    }
    ShowLog = 0;
}

TEST(StartMode, TheLogAreaMakesTheWindow256PixelsTaller) {
    EXPECT_EQ(MainWindowHeight(19, 20, 2, 0), 19 + 20 + 4 + 258);
    EXPECT_EQ(MainWindowHeight(19, 20, 2, 1), MainWindowHeight(19, 20, 2, 0) + 256);
}

TEST(StartMode, TheWindowIsKeptOnTheDesktopAtTheBottomEdgeOnly) {
    const struct {
        int ypos;
        int height;
        int expected;
    } cases[] = {{100, 300, 100}, {724, 300, 724}, {725, 300, 724},
                 {900, 600, 424}, {-40, 300, -40}, {0, 1100, -76}};
    for (const auto& c : cases) {
        MemoryStoreReset();
        MemoryStoreSetDesktop(0, 0, 1280, 1024);
        SettingsReset();
        g_settings.Ypos = c.ypos;
        g_settings.Xpos = 900;
        KeepWindowOnDesktopVertically(c.height);
        EXPECT_EQ(g_settings.Ypos, c.expected) << c.ypos << " " << c.height;
        EXPECT_EQ(g_settings.Xpos, 900);
    }
}

} // namespace
