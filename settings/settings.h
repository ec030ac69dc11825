// The configuration that lives between runs: loaded once at start-up, saved once while
// the main window is destroyed. Nothing is written in between.
#pragma once

#include "platform/platform_thread.h"
#include "platform/text.h"
#include "settings/settings_store.h"
#include "update/device_type.h"

#include <cstddef>

#define SETTINGS_KEY_PATH "Software\\MAVO\\MAVO ORVENT System Updater"

#define BAUD_RATE_COUNT 3
#define RECENT_FILE_COUNT 9
#define MIDI_DEVICE_NAME_SIZE 256
#define CURRENT_PATH_SIZE 256

// The main window's width is fixed; the horizontal desktop correction needs it.
#define MAIN_WINDOW_WIDTH 510

// Modes; the labels are those of the mode dialog.
#define DEV_MODE_USER 0
#define DEV_MODE_USER_TEXT 1
#define DEV_MODE_DEVELOPER 2

extern const int BaudRateTable[BAUD_RATE_COUNT];

struct Settings {
    int DevMode;
    int NextDevMode; // stored at exit; only the mode dialog changes it during a run
    int DeviceType;
    int ComPortNum;  // 1..4 for COM1..COM4
    int ComBaudRate; // index into BaudRateTable
    char OutputMidiDevice[MIDI_DEVICE_NAME_SIZE];
    char InputMidiDevice[MIDI_DEVICE_NAME_SIZE];
    int OnlyMavoDriver;
    int SkipVersionCheck;
    int SkipDeviceCheck;
    int MidiAuto;
    int Warning;
    int Xpos;
    int Ypos;
    int NumOfRecentFile;
    char RecentFileName[RECENT_FILE_COUNT][PATH_SIZE];
};

extern Settings g_settings;

// 1 when the key was opened (or created) and read; 0 when it cannot be opened, in which
// case every field keeps its value.
int LoadSettings(void);

// 1 when the key was opened and written; 0 when it cannot be opened. The window's
// normal (restored) position is what is saved.
int SaveSettings(PlatformWindow window);

// The stored value when it exists as a 32-bit number; otherwise defaultValue.
int ReadDwordSetting(SettingsKey key, const char* name, int defaultValue);

// 1 when the value exists as a text that fits capacity bytes with its terminator;
// otherwise the buffer is made empty and the result is 0.
int ReadStringSetting(SettingsKey key, const char* name, char* buffer, size_t capacity);
