// The settings over the real registry (Windows; under Wine in the build). The tests use
// a key of their own, never the user's.
#include "settings/settings_store_registry_testing.h"
#include "settings/settings_testing.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class SettingsRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        keyPath_ = "Software\\MAVO\\ORVENT Updater Test " + std::to_string(GetCurrentProcessId());
        RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
        SettingsRegistryUseKeyPath(keyPath_.c_str());
        SettingsReset();
        GetCurrentDirectoryA(sizeof(startDirectory_), startDirectory_);
    }
    void TearDown() override {
        SetCurrentDirectoryA(startDirectory_);
        SettingsRegistryUseKeyPath(nullptr);
        RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
    }
    HKEY OpenTestKey() {
        HKEY key = NULL;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS,
                                  NULL, &key, NULL),
                  ERROR_SUCCESS);
        return key;
    }
    void Put(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = OpenTestKey();
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, (const BYTE*)data, size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void PutDword(const char* name, DWORD value) {
        Put(name, REG_DWORD, &value, sizeof(value));
    }
    void PutString(const char* name, const std::string& text) {
        Put(name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
    }
    // The stored value's type and bytes; type 0 when it is missing.
    DWORD Get(const char* name, std::string* bytes) {
        HKEY key = OpenTestKey();
        char data[1024];
        DWORD type = 0;
        DWORD size = sizeof(data);
        if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)data, &size) != ERROR_SUCCESS) {
            type = 0;
            size = 0;
        }
        RegCloseKey(key);
        bytes->assign(data, size);
        return type;
    }
    DWORD GetDword(const char* name) {
        std::string bytes;
        EXPECT_EQ(Get(name, &bytes), (DWORD)REG_DWORD) << name;
        DWORD value = 0;
        memcpy(&value, bytes.data(), bytes.size() < 4 ? bytes.size() : 4);
        return value;
    }
    std::string GetString(const char* name) {
        std::string bytes;
        EXPECT_EQ(Get(name, &bytes), (DWORD)REG_SZ) << name;
        return std::string(bytes.c_str());
    }
    std::string keyPath_;
    char startDirectory_[MAX_PATH];
};

TEST_F(SettingsRegistryTest, AMissingKeyIsCreatedAndTheDefaultsLoad) {
    EXPECT_EQ(LoadSettings(), 1);
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(g_settings.Xpos, 40);
    EXPECT_EQ(g_settings.Ypos, 30);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_MIDI);
    EXPECT_EQ(BaudRateTable[g_settings.ComBaudRate], 38400);
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND");
    EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD");
    EXPECT_EQ(g_settings.OnlyMavoDriver, 1);
    EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER);
}

TEST_F(SettingsRegistryTest, StoredNumbersFollowTheirLoadRules) {
    PutDword("Warning", 5);
    PutDword("ComPortNum", 5);
    PutDword("DeviceType", 7);
    PutDword("ComBaudRate", 31250);
    PutDword("NumOfRecentFile", 12);
    PutDword("SkipVersionCheck", 3);
    PutDword("OnlyMavoDriver", 0);
    PutDword("MidiAuto", 1);
    PutDword("DevMode", 0xFFFFFFFF);
    LoadSettings();
    EXPECT_EQ(g_settings.Warning, 1);
    EXPECT_EQ(g_settings.ComPortNum, 1);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_MIDI);
    EXPECT_EQ(g_settings.ComBaudRate, 0);
    EXPECT_EQ(g_settings.NumOfRecentFile, 9);
    EXPECT_EQ(g_settings.SkipVersionCheck, 1);
    EXPECT_EQ(g_settings.OnlyMavoDriver, 0);
    EXPECT_EQ(g_settings.MidiAuto, 0);
    EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER);
}

TEST_F(SettingsRegistryTest, ValuesOfAnotherTypeTakeTheirDefaults) {
    PutString("Xpos", "500");
    unsigned long long wide = 2;
    Put("DeviceType", REG_QWORD, &wide, sizeof(wide));
    Put("ComPortNum", REG_BINARY, "\x03\x00\x00\x00", 4);
    PutDword("OutputMidiDevice", 1);
    Put("InputMidiDevice", REG_EXPAND_SZ, "In", 3);
    LoadSettings();
    EXPECT_EQ(g_settings.Xpos, 40);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_MIDI);
    EXPECT_EQ(g_settings.ComPortNum, 1);
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND");
    EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD");
}

TEST_F(SettingsRegistryTest, TextsAreReadOnlyWhenTheyFitAndAlwaysTerminated) {
    PutString("OutputMidiDevice", std::string(256, 'o')); // one byte too many
    PutString("InputMidiDevice", std::string(255, 'i'));
    PutDword("NumOfRecentFile", 3);
    PutString("RecentFileName0", std::string(259, 'r'));
    PutString("RecentFileName1", std::string(260, 's'));
    Put("RecentFileName2", REG_SZ, "C:\\x.vsb", 8); // stored without its terminator
    LoadSettings();
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND");
    EXPECT_EQ(std::string(g_settings.InputMidiDevice), std::string(255, 'i'));
    EXPECT_EQ(std::string(g_settings.RecentFileName[0]), std::string(259, 'r'));
    EXPECT_STREQ(g_settings.RecentFileName[1], "");
    EXPECT_STREQ(g_settings.RecentFileName[2], "C:\\x.vsb");
    EXPECT_EQ(g_settings.NumOfRecentFile, 3);
}

TEST_F(SettingsRegistryTest, ADeveloperModeRunRoundTripsWithTheSpeedStoredInBitsPerSecond) {
    g_settings.DevMode = DEV_MODE_DEVELOPER;
    g_settings.NextDevMode = DEV_MODE_DEVELOPER;
    g_settings.DeviceType = DEVICE_TYPE_USB_BULK;
    g_settings.ComPortNum = 3;
    g_settings.ComBaudRate = 0;
    g_settings.SkipDeviceCheck = 1;
    g_settings.NumOfRecentFile = 1;
    TextCopy(g_settings.RecentFileName[0], PATH_SIZE, "C:\\recent.vsb");
    TextCopy(g_settings.OutputMidiDevice, MIDI_DEVICE_NAME_SIZE, "Out Port");
    EXPECT_EQ(SaveSettings(nullptr), 1);
    EXPECT_EQ(GetDword("ComBaudRate"), 31250u);
    EXPECT_EQ(GetString("RecentFileName8"), "");
    std::string ignored;
    EXPECT_EQ(Get("Xpos", &ignored), 0u); // no window, no position

    SettingsReset();
    LoadSettings();
    EXPECT_EQ(g_settings.DevMode, DEV_MODE_DEVELOPER);
    EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_USB_BULK);
    EXPECT_EQ(g_settings.ComPortNum, 3);
    EXPECT_EQ(g_settings.ComBaudRate, 0);
    EXPECT_EQ(g_settings.SkipDeviceCheck, 1);
    EXPECT_STREQ(g_settings.RecentFileName[0], "C:\\recent.vsb");
    EXPECT_STREQ(g_settings.OutputMidiDevice, "Out Port");
}

TEST_F(SettingsRegistryTest, AMinimisedWindowSavesItsRestoredPosition) {
    HWND window = CreateWindowExA(0, "STATIC", "position", WS_OVERLAPPEDWINDOW, 123, 77, 510, 300,
                                  NULL, NULL, GetModuleHandleA(NULL), NULL);
    ASSERT_NE(window, (HWND)NULL);
    ShowWindow(window, SW_SHOWMINNOACTIVE);
    EXPECT_EQ(SaveSettings(window), 1);
    DestroyWindow(window);
    EXPECT_EQ(GetDword("Xpos"), 123u);
    EXPECT_EQ(GetDword("Ypos"), 77u);
}

TEST_F(SettingsRegistryTest, TheRightEdgeOfTheDesktopKeepsTheWindowVisible) {
    RECT desktop;
    ASSERT_TRUE(GetWindowRect(GetDesktopWindow(), &desktop));
    PutDword("Xpos", (DWORD)(desktop.right + 1000));
    LoadSettings();
    EXPECT_EQ(g_settings.Xpos, desktop.right - 510);
}

TEST_F(SettingsRegistryTest, TheDirectoryIsSavedAndEnteredAgain) {
    std::string folder = TestTempPath("settings_dir");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    SaveSettings(nullptr);
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof(saved), saved);
    EXPECT_EQ(GetString("CurrentPath"), saved);

    SetCurrentDirectoryA(startDirectory_);
    LoadSettings();
    char now[MAX_PATH];
    GetCurrentDirectoryA(sizeof(now), now);
    EXPECT_STREQ(now, saved);
    SetCurrentDirectoryA(startDirectory_);
    RemoveDirectoryA(folder.c_str());
}

TEST_F(SettingsRegistryTest, AMissingDirectoryIsNotEnteredAndWithoutWarningStaysSilent) {
    // With Warning 1 a message box would wait for a click; this run must not block.
    PutDword("Warning", 0);
    PutString("CurrentPath", "C:\\no\\such\\folder\\anywhere");
    EXPECT_EQ(LoadSettings(), 1);
    char now[MAX_PATH];
    GetCurrentDirectoryA(sizeof(now), now);
    EXPECT_STREQ(now, startDirectory_);
}

} // namespace
