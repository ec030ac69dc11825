#include "settings/settings.h"
#include "settings/settings_testing.h"

#include <cstdint>

const int BaudRateTable[BAUD_RATE_COUNT] = {31250, 38400, 57600};

// What the fields hold before loading, and keep when the key cannot be opened.
static constexpr Settings kInitialSettings = {
    DEV_MODE_USER,      // DevMode
    DEV_MODE_USER,      // NextDevMode
    DEVICE_TYPE_SERIAL, // DeviceType
    1,                  // ComPortNum
    2,                  // ComBaudRate: 57600 bit/s
    "",                 // OutputMidiDevice
    "",                 // InputMidiDevice
    1,                  // OnlyMavoDriver
    0,                  // SkipVersionCheck
    0,                  // SkipDeviceCheck
    0,                  // MidiAuto
    0,                  // Warning
    100,                // Xpos
    100,                // Ypos
    0,                  // NumOfRecentFile
    {},                 // RecentFileName
};

Settings g_settings = kInitialSettings;

static const char kDefaultOutputMidiDevice[] = "ORVENT 1 SOUND";
static const char kDefaultInputMidiDevice[] = "ORVENT 1 KEYBOARD";

void SettingsReset(void) {
    g_settings = kInitialSettings;
}

int ReadDwordSetting(SettingsKey key, const char* name, int defaultValue) {
    uint32_t value = 0;
    if (!SettingsStoreReadDword(key, name, &value)) {
        return defaultValue;
    }
    return (int)value;
}

int ReadStringSetting(SettingsKey key, const char* name, char* buffer, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    if (!SettingsStoreReadString(key, name, buffer, capacity)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

static int FlagSetting(SettingsKey key, const char* name, int defaultValue) {
    return ReadDwordSetting(key, name, defaultValue) != 0 ? 1 : 0;
}

static void LoadWindowPosition(SettingsKey key) {
    g_settings.Xpos = ReadDwordSetting(key, "Xpos", 40);
    g_settings.Ypos = ReadDwordSetting(key, "Ypos", 30);
    // Only the right edge is corrected here: the window's height depends on the mode,
    // which start-up settles later and then corrects the bottom edge itself.
    SettingsRect desktop;
    // The stored position is any 32-bit number: the sum is taken wide enough that one near
    // the top of the range is pulled back onto the desktop instead of overflowing.
    if (SettingsDesktopRect(&desktop) &&
        (int64_t)g_settings.Xpos + MAIN_WINDOW_WIDTH > (int64_t)desktop.right) {
        g_settings.Xpos = desktop.right - MAIN_WINDOW_WIDTH;
    }
}

static void LoadBaudRate(SettingsKey key) {
    int speed = ReadDwordSetting(key, "ComBaudRate", 38400);
    g_settings.ComBaudRate = 2;
    for (int i = 0; i < BAUD_RATE_COUNT; i++) {
        if (BaudRateTable[i] == speed) {
            g_settings.ComBaudRate = i;
            break;
        }
    }
}

static void LoadRecentFiles(SettingsKey key) {
    int count = ReadDwordSetting(key, "NumOfRecentFile", 0);
    if (count > RECENT_FILE_COUNT) {
        count = RECENT_FILE_COUNT;
    }
    // A corrupt negative count would otherwise reach the recent-files menu as a length.
    if (count < 0) {
        count = 0;
    }
    g_settings.NumOfRecentFile = count;
    for (int i = 0; i < RECENT_FILE_COUNT; i++) {
        if (i < count) {
            char name[32];
            TextFormat(name, sizeof(name), "RecentFileName%d", i);
            // A slot that cannot be read stays in the count, as an empty name.
            ReadStringSetting(key, name, g_settings.RecentFileName[i], PATH_SIZE);
        } else {
            g_settings.RecentFileName[i][0] = '\0';
        }
    }
}

static void EnterPreviousDirectory(SettingsKey key) {
    char path[CURRENT_PATH_SIZE];
    ReadStringSetting(key, "CurrentPath", path, sizeof(path));
    if (path[0] == '\0') {
        return;
    }
    if (!SettingsSetCurrentDirectory(path) && g_settings.Warning != 0) {
        SettingsShowDirectoryWarning();
    }
}

int LoadSettings(void) {
    SettingsKey key = SettingsStoreOpen(SETTINGS_KEY_PATH);
    if (key == SETTINGS_KEY_NONE) {
        return 0;
    }

    g_settings.Warning = ReadDwordSetting(key, "Warning", 0);
    if (g_settings.Warning > 1) {
        g_settings.Warning = 1;
    }

    LoadWindowPosition(key);

    g_settings.ComPortNum = ReadDwordSetting(key, "ComPortNum", 1);
    if (g_settings.ComPortNum < 1 || g_settings.ComPortNum > 4) {
        g_settings.ComPortNum = 1;
    }

    // Only serial, MIDI and USB bulk may be stored; a negative value is as corrupt as 7.
    g_settings.DeviceType = ReadDwordSetting(key, "DeviceType", DEVICE_TYPE_MIDI);
    if (g_settings.DeviceType < 0 || g_settings.DeviceType > DEVICE_TYPE_USB_BULK) {
        g_settings.DeviceType = DEVICE_TYPE_MIDI;
    }

    LoadBaudRate(key);

    ReadStringSetting(key, "OutputMidiDevice", g_settings.OutputMidiDevice,
                      sizeof(g_settings.OutputMidiDevice));
    ReadStringSetting(key, "InputMidiDevice", g_settings.InputMidiDevice,
                      sizeof(g_settings.InputMidiDevice));
    if (g_settings.OutputMidiDevice[0] == '\0') {
        TextCopy(g_settings.OutputMidiDevice, sizeof(g_settings.OutputMidiDevice),
                 kDefaultOutputMidiDevice);
    }
    if (g_settings.InputMidiDevice[0] == '\0') {
        TextCopy(g_settings.InputMidiDevice, sizeof(g_settings.InputMidiDevice),
                 kDefaultInputMidiDevice);
    }

    LoadRecentFiles(key);

    g_settings.SkipVersionCheck = FlagSetting(key, "SkipVersionCheck", 0);
    g_settings.SkipDeviceCheck = FlagSetting(key, "SkipDeviceCheck", 0);
    // Automatic port detection is switched off: stored, but never taken over.
    g_settings.MidiAuto = 0;
    g_settings.OnlyMavoDriver = FlagSetting(key, "OnlyMavoDriver", 1);

    g_settings.DevMode = ReadDwordSetting(key, "DevMode", DEV_MODE_USER);
    if (g_settings.DevMode < DEV_MODE_USER) {
        g_settings.DevMode = DEV_MODE_USER;
    } else if (g_settings.DevMode > DEV_MODE_DEVELOPER) {
        g_settings.DevMode = DEV_MODE_DEVELOPER;
    }

    EnterPreviousDirectory(key);

    SettingsStoreClose(&key);
    return 1;
}

static void SaveDeveloperChoices(SettingsKey key) {
    // The speed is stored in bit/s; an index the table does not have is saved as the
    // index loading would have given it.
    int speedIndex = g_settings.ComBaudRate;
    if (speedIndex < 0 || speedIndex >= BAUD_RATE_COUNT) {
        speedIndex = 2;
    }
    SettingsStoreWriteDword(key, "ComPortNum", (uint32_t)g_settings.ComPortNum);
    SettingsStoreWriteDword(key, "ComBaudRate", (uint32_t)BaudRateTable[speedIndex]);
    SettingsStoreWriteDword(key, "DeviceType", (uint32_t)g_settings.DeviceType);
    SettingsStoreWriteDword(key, "SkipVersionCheck", (uint32_t)g_settings.SkipVersionCheck);
    SettingsStoreWriteDword(key, "SkipDeviceCheck", (uint32_t)g_settings.SkipDeviceCheck);
    SettingsStoreWriteDword(key, "MidiAuto", (uint32_t)g_settings.MidiAuto);
    SettingsStoreWriteDword(key, "OnlyMavoDriver", (uint32_t)g_settings.OnlyMavoDriver);
    SettingsStoreWriteDword(key, "NumOfRecentFile", (uint32_t)g_settings.NumOfRecentFile);
    for (int i = 0; i < RECENT_FILE_COUNT; i++) {
        char name[32];
        TextFormat(name, sizeof(name), "RecentFileName%d", i);
        SettingsStoreWriteString(key, name, g_settings.RecentFileName[i]);
    }
}

int SaveSettings(PlatformWindow window) {
    SettingsKey key = SettingsStoreOpen(SETTINGS_KEY_PATH);
    if (key == SETTINGS_KEY_NONE) {
        return 0;
    }

    SettingsStoreWriteString(key, "OutputMidiDevice", g_settings.OutputMidiDevice);
    SettingsStoreWriteString(key, "InputMidiDevice", g_settings.InputMidiDevice);

    // The restored position, so that a window closed while minimised or maximised comes
    // back where the user last had it.
    SettingsRect normal;
    if (SettingsWindowNormalRect(window, &normal)) {
        SettingsStoreWriteDword(key, "Xpos", (uint32_t)normal.left);
        SettingsStoreWriteDword(key, "Ypos", (uint32_t)normal.top);
    }

    // The user modes force their own transport for the run; a developer's stored
    // choices must survive it.
    if (g_settings.DevMode == DEV_MODE_DEVELOPER) {
        SaveDeveloperChoices(key);
    }

    SettingsStoreWriteDword(key, "DevMode", (uint32_t)g_settings.NextDevMode);
    SettingsStoreWriteDword(key, "Warning", (uint32_t)g_settings.Warning);

    char path[CURRENT_PATH_SIZE];
    if (!SettingsGetCurrentDirectory(path, sizeof(path))) {
        path[0] = '\0';
    }
    SettingsStoreWriteString(key, "CurrentPath", path);

    SettingsStoreClose(&key);
    return 1;
}
