#include "settings/settings_store.h"
#include "settings/settings_store_registry_testing.h"

#include "platform/text.h"

#include <windows.h>

// The string table entry that explains the failed change of directory.
#define IDS_DIRECTORY_WARNING 1003

static char s_keyPathOverride[TEXT_SIZE];

void SettingsRegistryUseKeyPath(const char* path) {
    TextCopy(s_keyPathOverride, sizeof(s_keyPathOverride), path != nullptr ? path : "");
}

SettingsKey SettingsStoreOpen(const char* path) {
    const char* keyPath = s_keyPathOverride[0] != '\0' ? s_keyPathOverride : path;
    HKEY key = NULL;
    DWORD disposition = 0;
    char emptyClass[] = "";
    LONG result =
        RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, emptyClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, &disposition);
    if (result != ERROR_SUCCESS) {
        return SETTINGS_KEY_NONE;
    }
    return (SettingsKey)key;
}

int SettingsStoreReadDword(SettingsKey key, const char* name, uint32_t* value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LONG result = RegQueryValueExA((HKEY)key, name, NULL, &type, (BYTE*)&data, &size);
    if (result != ERROR_SUCCESS || type != REG_DWORD) {
        return 0;
    }
    *value = data;
    return 1;
}

int SettingsStoreReadString(SettingsKey key, const char* name, char* buffer, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    DWORD type = 0;
    DWORD size = (DWORD)capacity;
    LONG result = RegQueryValueExA((HKEY)key, name, NULL, &type, (BYTE*)buffer, &size);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        return 0;
    }
    // The registry keeps whatever bytes a writer gave it, terminator or not.
    if (size == 0 || buffer[size - 1] != '\0') {
        if (size >= capacity) {
            return 0;
        }
        buffer[size] = '\0';
    }
    return 1;
}

void SettingsStoreWriteDword(SettingsKey key, const char* name, uint32_t value) {
    DWORD data = value;
    RegSetValueExA((HKEY)key, name, 0, REG_DWORD, (const BYTE*)&data, sizeof(data));
}

void SettingsStoreWriteString(SettingsKey key, const char* name, const char* text) {
    RegSetValueExA((HKEY)key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)(lstrlenA(text) + 1));
}

void SettingsStoreClose(SettingsKey* key) {
    if (*key != SETTINGS_KEY_NONE) {
        RegCloseKey((HKEY)*key);
        *key = SETTINGS_KEY_NONE;
    }
}

int SettingsDesktopRect(SettingsRect* rect) {
    RECT r;
    if (!GetWindowRect(GetDesktopWindow(), &r)) {
        return 0;
    }
    *rect = SettingsRect{r.left, r.top, r.right, r.bottom};
    return 1;
}

int SettingsWindowNormalRect(PlatformWindow window, SettingsRect* rect) {
    if (window == NULL) {
        return 0;
    }
    WINDOWPLACEMENT placement;
    placement.length = sizeof(placement);
    if (!GetWindowPlacement((HWND)window, &placement)) {
        return 0;
    }
    const RECT& r = placement.rcNormalPosition;
    *rect = SettingsRect{r.left, r.top, r.right, r.bottom};
    return 1;
}

int SettingsGetCurrentDirectory(char* buffer, size_t size) {
    // A longer path returns the size it needs and leaves the buffer undefined.
    DWORD length = GetCurrentDirectoryA((DWORD)size, buffer);
    return length != 0 && length < size;
}

int SettingsSetCurrentDirectory(const char* path) {
    return SetCurrentDirectoryA(path) ? 1 : 0;
}

void SettingsShowDirectoryWarning(void) {
    char text[TEXT_SIZE];
    if (LoadStringA(GetModuleHandleA(NULL), IDS_DIRECTORY_WARNING, text, sizeof(text)) <= 0) {
        text[0] = '\0';
    }
    MessageBoxA(NULL, text, "MAVO System Updater for ORVENT", MB_OK | MB_SETFOREGROUND);
}
