#include "platform/platform_file.h"

#include <windows.h>

PlatformFile PlatformFileOpenRead(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return PLATFORM_FILE_NONE;
    }
    return (PlatformFile)h;
}

int PlatformFileRead(PlatformFile file, void* buffer, uint32_t count) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile((HANDLE)file, buffer, count, &got, NULL)) {
        return -1;
    }
    return (int)got;
}

int64_t PlatformFilePosition(PlatformFile file) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    LARGE_INTEGER zero;
    LARGE_INTEGER pos;
    zero.QuadPart = 0;
    if (!SetFilePointerEx((HANDLE)file, zero, &pos, FILE_CURRENT)) {
        return -1;
    }
    return (int64_t)pos.QuadPart;
}

int64_t PlatformFileLength(PlatformFile file) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx((HANDLE)file, &size)) {
        return -1;
    }
    return (int64_t)size.QuadPart;
}

int PlatformFileSeek(PlatformFile file, int64_t position) {
    if (file == PLATFORM_FILE_NONE || position < 0) {
        return 0;
    }
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx((HANDLE)file, to, NULL, FILE_BEGIN) ? 1 : 0;
}

void PlatformFileClose(PlatformFile* file) {
    if (*file != PLATFORM_FILE_NONE) {
        CloseHandle((HANDLE)*file);
        *file = PLATFORM_FILE_NONE;
    }
}
