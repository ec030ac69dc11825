#include "app/start_mode.h"

#include "settings/settings.h"
#include "update/update_engine.h"

void ApplyModeOverride(int modeOverride) {
    if (modeOverride >= DEV_MODE_USER && modeOverride <= DEV_MODE_DEVELOPER) {
        g_settings.DevMode = modeOverride;
    }
    ShowLog = g_settings.DevMode != DEV_MODE_USER ? 1 : 0;
    g_settings.NextDevMode = g_settings.DevMode;
    // Not saved in these modes, so a developer's stored choices come back next time.
    if (g_settings.DevMode < DEV_MODE_DEVELOPER) {
        g_settings.DeviceType = DEVICE_TYPE_MIDI;
        g_settings.SkipVersionCheck = 0;
        g_settings.OnlyMavoDriver = 1;
    }
}

int MainWindowHeight(int captionHeight, int menuHeight, int edgeHeight, int showLog) {
    int height = captionHeight + menuHeight + 2 * edgeHeight + 258;
    if (showLog) {
        height += LOG_AREA_HEIGHT;
    }
    return height;
}

void KeepWindowOnDesktopVertically(int height) {
    SettingsRect desktop;
    if (SettingsDesktopRect(&desktop) && g_settings.Ypos + height > desktop.bottom) {
        g_settings.Ypos = desktop.bottom - height;
    }
}
