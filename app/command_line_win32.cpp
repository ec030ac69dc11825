#include "app/command_line.h"

#include <windows.h>

int CommandLineFindStoredName(const char* path, char* name, size_t size) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    TextCopy(name, size, found.cFileName);
    FindClose(search);
    return 1;
}

int CommandLineFullPath(const char* path, char* fullPath, size_t size) {
    char* filePart = NULL;
    // A path that does not fit returns the size it would need.
    DWORD length = GetFullPathNameA(path, (DWORD)size, fullPath, &filePart);
    return length != 0 && length < size;
}

int CommandLineIsLeadByte(unsigned char c) {
    return IsDBCSLeadByte(c) ? 1 : 0;
}
