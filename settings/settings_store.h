// The key-value store and the few OS services the settings need. The product uses the
// registry under the current user's hive (settings_store_win32.cpp); tests link an
// in-memory store (tests/doubles/settings_store_memory.cpp). Each executable names its
// choice as SETTINGS_STORE in its orv_link_implementations call.
#pragma once

#include "platform/platform_thread.h"

#include <cstddef>
#include <cstdint>

typedef intptr_t SettingsKey;
#define SETTINGS_KEY_NONE ((SettingsKey)0)

struct SettingsRect {
    int left;
    int top;
    int right;
    int bottom;
};

// Opens the key at path below the current user's root, creating it when it does not
// exist, with full access. Returns SETTINGS_KEY_NONE on failure.
SettingsKey SettingsStoreOpen(const char* path);

// 1 and *value when the value exists as a 32-bit number (registry type REG_DWORD) of at
// most 4 bytes; otherwise 0 and *value untouched.
int SettingsStoreReadDword(SettingsKey key, const char* name, uint32_t* value);

// 1 when the value exists as a text (REG_SZ) that fits capacity bytes including its
// terminator; the buffer is then always terminated. Otherwise 0, and the buffer may hold
// anything.
int SettingsStoreReadString(SettingsKey key, const char* name, char* buffer, size_t capacity);

// Write failures are not reported: the settings ignore them.
void SettingsStoreWriteDword(SettingsKey key, const char* name, uint32_t value);
void SettingsStoreWriteString(SettingsKey key, const char* name, const char* text);

// Closes the key and sets it to SETTINGS_KEY_NONE; harmless for SETTINGS_KEY_NONE.
void SettingsStoreClose(SettingsKey* key);

// The desktop's rectangle in screen pixels. 1 on success.
int SettingsDesktopRect(SettingsRect* rect);

// The rectangle the window has, or would have when restored from minimised or maximised.
// 1 when the window's placement could be read.
int SettingsWindowNormalRect(PlatformWindow window, SettingsRect* rect);

// The process's current directory; 1 when it was read and fits size bytes.
int SettingsGetCurrentDirectory(char* buffer, size_t size);

// 1 when path became the process's current directory.
int SettingsSetCurrentDirectory(const char* path);

// Tells the user, in a message box of its own (string 1003), that the directory of the
// previous run could not be entered.
void SettingsShowDirectoryWarning(void);
