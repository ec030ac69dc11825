#include "settings/settings_testing.h"
#include "tests/doubles/settings_store_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MemoryStoreReset();
        SettingsReset();
    }
    void TearDown() override {
        // Every key that was opened must have been closed again.
        EXPECT_EQ(MemoryStoreOpenKeys(), 0);
    }
    static uint32_t StoredDword(const char* name) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_TRUE(MemoryStoreGetDword(name, &value)) << name;
        return value;
    }
    static std::string StoredString(const char* name) {
        const char* text = MemoryStoreGetString(name);
        EXPECT_NE(text, nullptr) << name;
        return text != nullptr ? text : "";
    }
};

TEST_F(SettingsTest, NoKeyAtAllIsCreatedAndLoadsTheDefaults) {
    ASSERT_FALSE(MemoryStoreKeyExists());
    EXPECT_EQ(LoadSettings(), 1);
    EXPECT_TRUE(MemoryStoreKeyExists());
    EXPECT_STREQ(MemoryStoreLastOpenedPath(), "Software\\MAVO\\MAVO ORVENT System Updater");
    EXPECT_EQ(g_settings.Warning, 0);
    EXPECT_EQ(g_settings.Xpos, 40);
    EXPECT_EQ(g_settings.Ypos, 30);
    EXPECT_EQ(g_settings.ComPortNum, 1);
    EXPECT_EQ(BaudRateTable[g_settings.ComBaudRate], 38400);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_MIDI);
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND");
    EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD");
    EXPECT_EQ(g_settings.NumOfRecentFile, 0);
    EXPECT_EQ(g_settings.SkipVersionCheck, 0);
    EXPECT_EQ(g_settings.SkipDeviceCheck, 0);
    EXPECT_EQ(g_settings.MidiAuto, 0);
    EXPECT_EQ(g_settings.OnlyMavoDriver, 1);
    EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER);
    EXPECT_STREQ(MemoryStoreCurrentDirectory(), "/start");
    EXPECT_EQ(MemoryStoreWarningsShown(), 0);
}

TEST_F(SettingsTest, AKeyThatCannotBeOpenedLeavesTheInitialValuesAndWritesNothing) {
    MemoryStoreFailOpen(1);
    MemoryStoreSetWindowNormalRect(1, 10, 20, 520, 400);
    int dummyWindow = 0;
    EXPECT_EQ(LoadSettings(), 0);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_SERIAL);
    EXPECT_EQ(g_settings.Xpos, 100);
    EXPECT_EQ(g_settings.Ypos, 100);
    EXPECT_EQ(g_settings.ComBaudRate, 2);
    EXPECT_EQ(g_settings.OnlyMavoDriver, 1);
    EXPECT_STREQ(g_settings.OutputMidiDevice, "");
    EXPECT_EQ(SaveSettings(&dummyWindow), 0);
    EXPECT_FALSE(MemoryStoreKeyExists());
    EXPECT_EQ(MemoryStoreWarningsShown(), 0);
}

struct LoadRuleCase {
    const char* value;
    uint32_t stored;
    int Settings::*field;
    int expected;
};

TEST_F(SettingsTest, StoredNumbersFollowTheirLoadRules) {
    const uint32_t minusOne = 0xFFFFFFFFu;
    const LoadRuleCase cases[] = {
        {"Warning", 0, &Settings::Warning, 0},
        {"Warning", 1, &Settings::Warning, 1},
        {"Warning", 5, &Settings::Warning, 1},
        {"Ypos", 500, &Settings::Ypos, 500},
        {"Ypos", 5000, &Settings::Ypos, 5000}, // the bottom edge is start-up's business
        {"Xpos", minusOne, &Settings::Xpos, -1},
        {"ComPortNum", 0, &Settings::ComPortNum, 1},
        {"ComPortNum", 3, &Settings::ComPortNum, 3},
        {"ComPortNum", 4, &Settings::ComPortNum, 4},
        {"ComPortNum", 5, &Settings::ComPortNum, 1},
        {"ComPortNum", minusOne, &Settings::ComPortNum, 1},
        {"DeviceType", 0, &Settings::DeviceType, 0},
        {"DeviceType", 2, &Settings::DeviceType, 2},
        {"DeviceType", 3, &Settings::DeviceType, 1},
        {"DeviceType", 7, &Settings::DeviceType, 1},
        {"DeviceType", minusOne, &Settings::DeviceType, 1},
        {"ComBaudRate", 31250, &Settings::ComBaudRate, 0},
        {"ComBaudRate", 38400, &Settings::ComBaudRate, 1},
        {"ComBaudRate", 57600, &Settings::ComBaudRate, 2},
        {"ComBaudRate", 9600, &Settings::ComBaudRate, 2},
        {"ComBaudRate", 1, &Settings::ComBaudRate, 2},
        {"NumOfRecentFile", 3, &Settings::NumOfRecentFile, 3},
        {"NumOfRecentFile", 9, &Settings::NumOfRecentFile, 9},
        {"NumOfRecentFile", 12, &Settings::NumOfRecentFile, 9},
        {"NumOfRecentFile", minusOne, &Settings::NumOfRecentFile, 0},
        {"SkipVersionCheck", 1, &Settings::SkipVersionCheck, 1},
        {"SkipVersionCheck", 7, &Settings::SkipVersionCheck, 1},
        {"SkipDeviceCheck", minusOne, &Settings::SkipDeviceCheck, 1},
        {"SkipDeviceCheck", 0, &Settings::SkipDeviceCheck, 0},
        {"MidiAuto", 1, &Settings::MidiAuto, 0},
        {"OnlyMavoDriver", 0, &Settings::OnlyMavoDriver, 0},
        {"OnlyMavoDriver", 2, &Settings::OnlyMavoDriver, 1},
        {"DevMode", 1, &Settings::DevMode, 1},
        {"DevMode", 2, &Settings::DevMode, 2},
        {"DevMode", 9, &Settings::DevMode, 2},
        {"DevMode", minusOne, &Settings::DevMode, 0},
    };
    for (const LoadRuleCase& c : cases) {
        MemoryStoreReset();
        SettingsReset();
        MemoryStorePutDword(c.value, c.stored);
        EXPECT_EQ(LoadSettings(), 1);
        EXPECT_EQ(g_settings.*c.field, c.expected) << c.value << " stored as " << c.stored;
    }
}

struct WrongTypeCase {
    const char* value;
    uint32_t type;
    const char* bytes;
    size_t size;
};

TEST_F(SettingsTest, ValuesOfAnotherTypeOrSizeTakeTheirDefaults) {
    const WrongTypeCase cases[] = {
        {"Xpos", MEMORY_STORE_TYPE_STRING, "500", 4},
        {"Ypos", MEMORY_STORE_TYPE_BINARY, "\x05\x00\x00\x00", 4},
        {"DeviceType", MEMORY_STORE_TYPE_QWORD, "\x02\x00\x00\x00\x00\x00\x00\x00", 8},
        {"ComPortNum", MEMORY_STORE_TYPE_DWORD, "\x03\x00\x00\x00\x00", 5},
        {"ComBaudRate", MEMORY_STORE_TYPE_STRING, "57600", 6},
        {"OnlyMavoDriver", MEMORY_STORE_TYPE_STRING, "0", 2},
        {"DevMode", MEMORY_STORE_TYPE_STRING, "2", 2},
        {"OutputMidiDevice", MEMORY_STORE_TYPE_DWORD, "ABCD", 4},
        {"InputMidiDevice", MEMORY_STORE_TYPE_BINARY, "Port\0", 5},
    };
    for (const WrongTypeCase& c : cases) {
        MemoryStoreReset();
        SettingsReset();
        MemoryStorePut(c.value, c.type, c.bytes, c.size);
        EXPECT_EQ(LoadSettings(), 1);
        EXPECT_EQ(g_settings.Xpos, 40) << c.value;
        EXPECT_EQ(g_settings.Ypos, 30) << c.value;
        EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_MIDI) << c.value;
        EXPECT_EQ(g_settings.ComPortNum, 1) << c.value;
        EXPECT_EQ(g_settings.ComBaudRate, 1) << c.value;
        EXPECT_EQ(g_settings.OnlyMavoDriver, 1) << c.value;
        EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER) << c.value;
        EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND") << c.value;
        EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD") << c.value;
    }
}

TEST_F(SettingsTest, PortNamesThatAreEmptyOrDoNotFitTakeTheDefaults) {
    const std::string fits(255, 'a');
    const std::string tooLong(256, 'b');
    MemoryStorePutString("OutputMidiDevice", "");
    MemoryStorePutString("InputMidiDevice", tooLong.c_str());
    LoadSettings();
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND");
    EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD");

    MemoryStorePutString("OutputMidiDevice", "My Port");
    MemoryStorePutString("InputMidiDevice", fits.c_str());
    LoadSettings();
    EXPECT_STREQ(g_settings.OutputMidiDevice, "My Port");
    EXPECT_EQ(std::string(g_settings.InputMidiDevice), fits);
}

TEST_F(SettingsTest, ReadStringSettingEmptiesTheBufferOfATextItCannotRead) {
    MemoryStorePutString("TooLong", "ABCDEFGH");
    MemoryStorePutString("Fits", "ABCDEFG");
    MemoryStorePutDword("Number", 7);
    SettingsKey key = SettingsStoreOpen("k");
    struct {
        const char* name;
        int result;
        const char* text;
    } cases[] = {
        {"TooLong", 0, ""}, // no room left for the terminator
        {"Fits", 1, "ABCDEFG"},
        {"Number", 0, ""},
        {"Missing", 0, ""},
    };
    for (const auto& c : cases) {
        char buffer[8];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(ReadStringSetting(key, c.name, buffer, sizeof(buffer)), c.result) << c.name;
        EXPECT_STREQ(buffer, c.text) << c.name;
    }
    SettingsStoreClose(&key);
    EXPECT_EQ(key, SETTINGS_KEY_NONE);
    SettingsStoreClose(&key); // closing "none" is harmless
}

TEST_F(SettingsTest, OnlyTheCountedRecentFilesAreReadAndTheOtherSlotsEmptied) {
    for (int i = 0; i < 12; i++) {
        char name[32];
        char path[32];
        snprintf(name, sizeof(name), "RecentFileName%d", i);
        snprintf(path, sizeof(path), "C:\\file%d.vsb", i);
        MemoryStorePutString(name, path);
    }
    for (int i = 0; i < RECENT_FILE_COUNT; i++) {
        strcpy(g_settings.RecentFileName[i], "stale");
    }
    MemoryStorePutDword("NumOfRecentFile", 2);
    LoadSettings();
    EXPECT_EQ(g_settings.NumOfRecentFile, 2);
    EXPECT_STREQ(g_settings.RecentFileName[0], "C:\\file0.vsb");
    EXPECT_STREQ(g_settings.RecentFileName[1], "C:\\file1.vsb");
    for (int i = 2; i < RECENT_FILE_COUNT; i++) {
        EXPECT_STREQ(g_settings.RecentFileName[i], "") << i;
    }

    MemoryStorePutDword("NumOfRecentFile", 12);
    LoadSettings();
    EXPECT_EQ(g_settings.NumOfRecentFile, 9);
    EXPECT_STREQ(g_settings.RecentFileName[8], "C:\\file8.vsb");
}

TEST_F(SettingsTest, ARecentFileThatCannotBeReadStaysCountedAsEmpty) {
    const std::string longest(259, 'p');
    const std::string tooLong(260, 'q');
    MemoryStorePutDword("NumOfRecentFile", 3);
    MemoryStorePutString("RecentFileName0", longest.c_str());
    MemoryStorePutString("RecentFileName1", tooLong.c_str());
    MemoryStorePutDword("RecentFileName2", 5);
    LoadSettings();
    EXPECT_EQ(g_settings.NumOfRecentFile, 3);
    EXPECT_EQ(std::string(g_settings.RecentFileName[0]), longest);
    EXPECT_STREQ(g_settings.RecentFileName[1], "");
    EXPECT_STREQ(g_settings.RecentFileName[2], "");
}

TEST_F(SettingsTest, TheWindowIsKeptOnTheDesktopAtTheRightEdgeOnly) {
    struct {
        int desktopRight;
        int stored; // -1000 means: no value stored
        int expected;
    } cases[] = {
        {1280, 1000, 770},
        {1280, 771, 770},
        {1280, 770, 770},
        {1280, -50, -50},
        {600, -1000, 40},
        {549, -1000, 39},
        {300, 0, -210},
        // Far right: the right edge must be found without overflowing the position.
        {1280, INT32_MAX - 100, 770},
        {1280, INT32_MAX, 770},
    };
    for (const auto& c : cases) {
        MemoryStoreReset();
        SettingsReset();
        MemoryStoreSetDesktop(0, 0, c.desktopRight, 1024);
        if (c.stored != -1000) {
            MemoryStorePutDword("Xpos", (uint32_t)c.stored);
        }
        MemoryStorePutDword("Ypos", 5000);
        LoadSettings();
        EXPECT_EQ(g_settings.Xpos, c.expected) << c.desktopRight << " " << c.stored;
        EXPECT_EQ(g_settings.Ypos, 5000);
    }
}

TEST_F(SettingsTest, TheDirectoryOfThePreviousRunIsEntered) {
    MemoryStorePutString("CurrentPath", "/previous/run");
    LoadSettings();
    EXPECT_STREQ(MemoryStoreCurrentDirectory(), "/previous/run");
    EXPECT_EQ(MemoryStoreWarningsShown(), 0);
}

TEST_F(SettingsTest, ADirectoryThatCannotBeEnteredWarnsOnlyWhenAskedTo) {
    struct {
        const char* currentPath;
        uint32_t warning;
        int warnings;
    } cases[] = {
        {"/gone", 0, 0},
        {"/gone", 1, 1},
        {"/gone", 5, 1},
        {"", 1, 0}, // nothing to enter, nothing failed
    };
    for (const auto& c : cases) {
        MemoryStoreReset();
        SettingsReset();
        MemoryStoreRefuseDirectoryChange(1);
        MemoryStorePutString("CurrentPath", c.currentPath);
        MemoryStorePutDword("Warning", c.warning);
        EXPECT_EQ(LoadSettings(), 1);
        EXPECT_STREQ(MemoryStoreCurrentDirectory(), "/start");
        EXPECT_EQ(MemoryStoreWarningsShown(), c.warnings) << c.currentPath << " " << c.warning;
    }
}

// A developer's stored choices, as a previous run in developer mode left them.
void PutDeveloperChoices(void) {
    MemoryStorePutDword("DeviceType", 0);
    MemoryStorePutDword("ComPortNum", 3);
    MemoryStorePutDword("ComBaudRate", 31250);
    MemoryStorePutDword("SkipVersionCheck", 1);
    MemoryStorePutDword("SkipDeviceCheck", 1);
    MemoryStorePutDword("MidiAuto", 1);
    MemoryStorePutDword("OnlyMavoDriver", 0);
    MemoryStorePutDword("NumOfRecentFile", 1);
    MemoryStorePutString("RecentFileName0", "C:\\dev.vsb");
}

TEST_F(SettingsTest, AUserModeRunLeavesTheDevelopersChoicesStored) {
    PutDeveloperChoices();
    MemoryStorePutDword("DevMode", 0);
    LoadSettings();
    // What start-up does in a user mode, and what the run may have changed.
    g_settings.DeviceType = DEVICE_TYPE_MIDI;
    g_settings.SkipVersionCheck = 0;
    g_settings.OnlyMavoDriver = 1;
    g_settings.ComPortNum = 2;
    g_settings.NumOfRecentFile = 0;
    TextCopy(g_settings.OutputMidiDevice, MIDI_DEVICE_NAME_SIZE, "Other Out");
    g_settings.NextDevMode = DEV_MODE_USER_TEXT;
    g_settings.Warning = 1;
    MemoryStoreSetWindowNormalRect(1, 15, 25, 525, 400);
    MemoryStoreSetCurrentDirectory("/user/dir");
    int dummyWindow = 0;
    EXPECT_EQ(SaveSettings(&dummyWindow), 1);

    EXPECT_EQ(StoredDword("DeviceType"), 0u);
    EXPECT_EQ(StoredDword("ComPortNum"), 3u);
    EXPECT_EQ(StoredDword("ComBaudRate"), 31250u);
    EXPECT_EQ(StoredDword("SkipVersionCheck"), 1u);
    EXPECT_EQ(StoredDword("SkipDeviceCheck"), 1u);
    EXPECT_EQ(StoredDword("MidiAuto"), 1u);
    EXPECT_EQ(StoredDword("OnlyMavoDriver"), 0u);
    EXPECT_EQ(StoredDword("NumOfRecentFile"), 1u);
    EXPECT_EQ(StoredString("RecentFileName0"), "C:\\dev.vsb");
    EXPECT_FALSE(MemoryStoreHasValue("RecentFileName1"));
    // What every mode saves.
    EXPECT_EQ(StoredString("OutputMidiDevice"), "Other Out");
    EXPECT_EQ(StoredString("InputMidiDevice"), "ORVENT 1 KEYBOARD");
    EXPECT_EQ(StoredDword("Xpos"), 15u);
    EXPECT_EQ(StoredDword("Ypos"), 25u);
    EXPECT_EQ(StoredDword("DevMode"), 1u); // the mode chosen for the next start
    EXPECT_EQ(StoredDword("Warning"), 1u);
    EXPECT_EQ(StoredString("CurrentPath"), "/user/dir");
}

TEST_F(SettingsTest, ADeveloperModeRunSavesEverythingWithTheSpeedInBitsPerSecond) {
    MemoryStorePutDword("DevMode", 2);
    MemoryStorePutDword("ComBaudRate", 9600); // not in the table: loads as index 2
    MemoryStorePutDword("NumOfRecentFile", 9);
    for (int i = 0; i < 9; i++) {
        char name[32];
        snprintf(name, sizeof(name), "RecentFileName%d", i);
        MemoryStorePutString(name, "old");
    }
    LoadSettings();
    ASSERT_EQ(g_settings.DevMode, DEV_MODE_DEVELOPER);
    g_settings.NextDevMode = DEV_MODE_DEVELOPER;
    g_settings.DeviceType = DEVICE_TYPE_USB_BULK;
    g_settings.ComPortNum = 4;
    g_settings.SkipDeviceCheck = 1;
    g_settings.NumOfRecentFile = 2;
    TextCopy(g_settings.RecentFileName[0], PATH_SIZE, "C:\\a.vsb");
    TextCopy(g_settings.RecentFileName[1], PATH_SIZE, "C:\\b.vsb");
    for (int i = 2; i < RECENT_FILE_COUNT; i++) {
        g_settings.RecentFileName[i][0] = '\0';
    }
    SaveSettings(nullptr);

    EXPECT_EQ(StoredDword("ComBaudRate"), 57600u);
    EXPECT_EQ(StoredDword("DeviceType"), 2u);
    EXPECT_EQ(StoredDword("ComPortNum"), 4u);
    EXPECT_EQ(StoredDword("SkipDeviceCheck"), 1u);
    EXPECT_EQ(StoredDword("SkipVersionCheck"), 0u);
    EXPECT_EQ(StoredDword("MidiAuto"), 0u);
    EXPECT_EQ(StoredDword("OnlyMavoDriver"), 1u);
    EXPECT_EQ(StoredDword("NumOfRecentFile"), 2u);
    EXPECT_EQ(StoredString("RecentFileName0"), "C:\\a.vsb");
    EXPECT_EQ(StoredString("RecentFileName1"), "C:\\b.vsb");
    for (int i = 2; i < RECENT_FILE_COUNT; i++) {
        char name[32];
        snprintf(name, sizeof(name), "RecentFileName%d", i);
        EXPECT_EQ(StoredString(name), "") << name; // emptied slots overwrite old names
    }
    EXPECT_EQ(StoredDword("DevMode"), 2u);
    // Without a readable placement the stored position is left alone.
    EXPECT_FALSE(MemoryStoreHasValue("Xpos"));
    EXPECT_FALSE(MemoryStoreHasValue("Ypos"));

    g_settings.ComBaudRate = 0;
    SaveSettings(nullptr);
    EXPECT_EQ(StoredDword("ComBaudRate"), 31250u);
    g_settings.ComBaudRate = 7; // never produced by loading; must not read past the table
    SaveSettings(nullptr);
    EXPECT_EQ(StoredDword("ComBaudRate"), 57600u);
}

TEST_F(SettingsTest, AnUnreadableCurrentDirectoryIsSavedEmpty) {
    MemoryStoreFailGetDirectory(1);
    SaveSettings(nullptr);
    EXPECT_EQ(StoredString("CurrentPath"), "");
}

} // namespace
