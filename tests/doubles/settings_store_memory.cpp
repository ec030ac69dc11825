#include "tests/doubles/settings_store_memory.h"

#include "platform/text.h"

#include <cstring>

namespace {

struct MemoryValue {
    int used;
    char name[MEMORY_STORE_NAME_SIZE];
    uint32_t type;
    size_t size;
    unsigned char data[MEMORY_STORE_DATA_SIZE];
};

struct MemoryStore {
    int keyExists;
    int failOpen;
    int openKeys;
    char lastOpenedPath[TEXT_SIZE];
    MemoryValue values[MEMORY_STORE_VALUE_COUNT];
    SettingsRect desktop;
    int windowAvailable;
    SettingsRect window;
    char currentDirectory[PATH_SIZE];
    int refuseDirectoryChange;
    int failGetDirectory;
    int warningsShown;
};

MemoryStore g_memoryStore;

// The one key's handle; any other nonzero value is a handle this store never gave.
const SettingsKey kMemoryKey = 1;

// Value names are case-insensitive, as in the registry.
int NameEquals(const char* a, const char* b) {
    for (;; a++, b++) {
        char ca = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (ca != cb) {
            return 0;
        }
        if (ca == '\0') {
            return 1;
        }
    }
}

MemoryValue* FindValue(const char* name) {
    for (int i = 0; i < MEMORY_STORE_VALUE_COUNT; i++) {
        MemoryValue* v = &g_memoryStore.values[i];
        if (v->used && NameEquals(v->name, name)) {
            return v;
        }
    }
    return nullptr;
}

// The slot for name, a new one when the name is not stored; nullptr when the store is full
// or the data too large, which a test sees as a value that was never written.
MemoryValue* SlotFor(const char* name, size_t size) {
    if (size > MEMORY_STORE_DATA_SIZE || strlen(name) >= MEMORY_STORE_NAME_SIZE) {
        return nullptr;
    }
    MemoryValue* v = FindValue(name);
    if (v != nullptr) {
        return v;
    }
    for (int i = 0; i < MEMORY_STORE_VALUE_COUNT; i++) {
        if (!g_memoryStore.values[i].used) {
            v = &g_memoryStore.values[i];
            v->used = 1;
            TextCopy(v->name, sizeof(v->name), name);
            return v;
        }
    }
    return nullptr;
}

int ValidKey(SettingsKey key) {
    return key == kMemoryKey && g_memoryStore.keyExists;
}

} // namespace

void MemoryStoreReset(void) {
    memset(&g_memoryStore, 0, sizeof(g_memoryStore));
    g_memoryStore.desktop = SettingsRect{0, 0, 1280, 1024};
    TextCopy(g_memoryStore.currentDirectory, sizeof(g_memoryStore.currentDirectory), "/start");
}

void MemoryStorePut(const char* name, uint32_t type, const void* data, size_t size) {
    g_memoryStore.keyExists = 1;
    MemoryValue* v = SlotFor(name, size);
    if (v == nullptr) {
        return;
    }
    v->type = type;
    v->size = size;
    if (size > 0) {
        memcpy(v->data, data, size);
    }
}

void MemoryStorePutDword(const char* name, uint32_t value) {
    MemoryStorePut(name, MEMORY_STORE_TYPE_DWORD, &value, sizeof(value));
}

void MemoryStorePutString(const char* name, const char* text) {
    MemoryStorePut(name, MEMORY_STORE_TYPE_STRING, text, strlen(text) + 1);
}

void MemoryStoreFailOpen(int fail) {
    g_memoryStore.failOpen = fail;
}

int MemoryStoreKeyExists(void) {
    return g_memoryStore.keyExists;
}

const char* MemoryStoreLastOpenedPath(void) {
    return g_memoryStore.lastOpenedPath;
}

int MemoryStoreOpenKeys(void) {
    return g_memoryStore.openKeys;
}

int MemoryStoreHasValue(const char* name) {
    return FindValue(name) != nullptr;
}

int MemoryStoreGetDword(const char* name, uint32_t* value) {
    MemoryValue* v = FindValue(name);
    if (v == nullptr || v->type != MEMORY_STORE_TYPE_DWORD || v->size != sizeof(uint32_t)) {
        return 0;
    }
    memcpy(value, v->data, sizeof(uint32_t));
    return 1;
}

const char* MemoryStoreGetString(const char* name) {
    MemoryValue* v = FindValue(name);
    if (v == nullptr || v->type != MEMORY_STORE_TYPE_STRING || v->size == 0 ||
        v->data[v->size - 1] != '\0') {
        return nullptr;
    }
    return (const char*)v->data;
}

void MemoryStoreSetDesktop(int left, int top, int right, int bottom) {
    g_memoryStore.desktop = SettingsRect{left, top, right, bottom};
}

void MemoryStoreSetWindowNormalRect(int available, int left, int top, int right, int bottom) {
    g_memoryStore.windowAvailable = available;
    g_memoryStore.window = SettingsRect{left, top, right, bottom};
}

void MemoryStoreSetCurrentDirectory(const char* path) {
    TextCopy(g_memoryStore.currentDirectory, sizeof(g_memoryStore.currentDirectory), path);
}

void MemoryStoreRefuseDirectoryChange(int refuse) {
    g_memoryStore.refuseDirectoryChange = refuse;
}

void MemoryStoreFailGetDirectory(int fail) {
    g_memoryStore.failGetDirectory = fail;
}

const char* MemoryStoreCurrentDirectory(void) {
    return g_memoryStore.currentDirectory;
}

int MemoryStoreWarningsShown(void) {
    return g_memoryStore.warningsShown;
}

// The store interface.

SettingsKey SettingsStoreOpen(const char* path) {
    TextCopy(g_memoryStore.lastOpenedPath, sizeof(g_memoryStore.lastOpenedPath), path);
    if (g_memoryStore.failOpen) {
        return SETTINGS_KEY_NONE;
    }
    g_memoryStore.keyExists = 1;
    g_memoryStore.openKeys++;
    return kMemoryKey;
}

int SettingsStoreReadDword(SettingsKey key, const char* name, uint32_t* value) {
    if (!ValidKey(key)) {
        return 0;
    }
    MemoryValue* v = FindValue(name);
    if (v == nullptr || v->type != MEMORY_STORE_TYPE_DWORD || v->size > sizeof(uint32_t)) {
        return 0;
    }
    uint32_t result = 0;
    memcpy(&result, v->data, v->size);
    *value = result;
    return 1;
}

int SettingsStoreReadString(SettingsKey key, const char* name, char* buffer, size_t capacity) {
    if (!ValidKey(key) || capacity == 0) {
        return 0;
    }
    MemoryValue* v = FindValue(name);
    if (v == nullptr || v->type != MEMORY_STORE_TYPE_STRING || v->size > capacity) {
        return 0;
    }
    // Stored bytes need not end in a terminator; the reader always gets one, and a text
    // that fills the whole buffer without one does not fit.
    if (v->size > 0) {
        memcpy(buffer, v->data, v->size);
    }
    if (v->size == 0 || buffer[v->size - 1] != '\0') {
        if (v->size == capacity) {
            return 0;
        }
        buffer[v->size] = '\0';
    }
    return 1;
}

void SettingsStoreWriteDword(SettingsKey key, const char* name, uint32_t value) {
    if (ValidKey(key)) {
        MemoryStorePutDword(name, value);
    }
}

void SettingsStoreWriteString(SettingsKey key, const char* name, const char* text) {
    if (ValidKey(key)) {
        MemoryStorePutString(name, text);
    }
}

void SettingsStoreClose(SettingsKey* key) {
    if (*key != SETTINGS_KEY_NONE) {
        g_memoryStore.openKeys--;
        *key = SETTINGS_KEY_NONE;
    }
}

int SettingsDesktopRect(SettingsRect* rect) {
    *rect = g_memoryStore.desktop;
    return 1;
}

int SettingsWindowNormalRect(PlatformWindow window, SettingsRect* rect) {
    if (window == nullptr || !g_memoryStore.windowAvailable) {
        return 0;
    }
    *rect = g_memoryStore.window;
    return 1;
}

int SettingsGetCurrentDirectory(char* buffer, size_t size) {
    if (g_memoryStore.failGetDirectory || size == 0 ||
        strlen(g_memoryStore.currentDirectory) >= size) {
        return 0;
    }
    TextCopy(buffer, size, g_memoryStore.currentDirectory);
    return 1;
}

int SettingsSetCurrentDirectory(const char* path) {
    if (g_memoryStore.refuseDirectoryChange) {
        return 0;
    }
    TextCopy(g_memoryStore.currentDirectory, sizeof(g_memoryStore.currentDirectory), path);
    return 1;
}

void SettingsShowDirectoryWarning(void) {
    g_memoryStore.warningsShown++;
}
