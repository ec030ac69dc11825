// Controls of the in-memory settings store that tests link instead of the registry
// (SETTINGS_STORE memory).
// One key, values with registry types, and stand-ins for the desktop, the window's
// placement, the current directory and the warning message box.
#pragma once

#include "settings/settings_store.h"

#include <cstddef>
#include <cstdint>

// Registry type numbers, so that a test can store a value of the wrong type.
#define MEMORY_STORE_TYPE_STRING 1 // REG_SZ
#define MEMORY_STORE_TYPE_BINARY 3 // REG_BINARY
#define MEMORY_STORE_TYPE_DWORD 4  // REG_DWORD
#define MEMORY_STORE_TYPE_QWORD 11 // REG_QWORD

#define MEMORY_STORE_VALUE_COUNT 64
#define MEMORY_STORE_NAME_SIZE 64
#define MEMORY_STORE_DATA_SIZE 1024

// No key, no values, opening works, a 1280 x 1024 desktop, no window placement, current
// directory "/start" that accepts every change, no message boxes shown.
void MemoryStoreReset(void);

// Presets: a value of any type and raw bytes (a text's bytes include its terminator when
// the test wants one). Storing a value creates the key.
void MemoryStorePut(const char* name, uint32_t type, const void* data, size_t size);
void MemoryStorePutDword(const char* name, uint32_t value);
void MemoryStorePutString(const char* name, const char* text);

// Opening and creating the key fail while this is 1.
void MemoryStoreFailOpen(int fail);

// What the code under test did.
int MemoryStoreKeyExists(void);
const char* MemoryStoreLastOpenedPath(void);
int MemoryStoreOpenKeys(void); // opened minus closed
int MemoryStoreHasValue(const char* name);
// 1 and the value when it is stored as a DWORD.
int MemoryStoreGetDword(const char* name, uint32_t* value);
// The stored text when it is a string value, otherwise nullptr.
const char* MemoryStoreGetString(const char* name);

// Operating system stand-ins.
void MemoryStoreSetDesktop(int left, int top, int right, int bottom);
// available 0: the window's placement cannot be read.
void MemoryStoreSetWindowNormalRect(int available, int left, int top, int right, int bottom);
void MemoryStoreSetCurrentDirectory(const char* path);
// 1: every change of directory fails.
void MemoryStoreRefuseDirectoryChange(int refuse);
// 1: the current directory cannot be read.
void MemoryStoreFailGetDirectory(int fail);
const char* MemoryStoreCurrentDirectory(void);
int MemoryStoreWarningsShown(void);
