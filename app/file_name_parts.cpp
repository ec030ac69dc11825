#include "app/file_name_parts.h"

#include <cstring>

int FileNamePartsMake(const char* fileName, FileNamePart parts[FILE_NAME_PART_MAX]) {
    // Bytes are taken only up to the terminator, and a name that fills the buffer
    // without one is cut, so the receiver always gets a terminated name and nothing
    // beyond the name's own bytes leaves this process.
    size_t length = strnlen(fileName, PATH_SIZE - 1);
    if (length == 0) {
        return 0;
    }
    int count = (int)(length / 4) + 1;
    for (int i = 0; i < count; i++) {
        size_t offset = (size_t)i * 4;
        uint32_t bytes = 0;
        for (size_t b = 0; b < 4; b++) {
            if (offset + b < length) {
                bytes |= (uint32_t)(unsigned char)fileName[offset + b] << (8 * b);
            }
        }
        parts[i].wParam = CMD_FILE_NAME_PART | (uint32_t)(offset << 16);
        parts[i].lParam = bytes;
    }
    return count;
}

void FileNamePartsSend(PlatformWindow window, const char* fileName) {
    FileNamePart parts[FILE_NAME_PART_MAX];
    int count = FileNamePartsMake(fileName, parts);
    for (int i = 0; i < count; i++) {
        PlatformPostCommand(window, parts[i].wParam, (intptr_t)(int32_t)parts[i].lParam);
    }
}

int FileNamePartStore(char* assembly, uintptr_t wParam, intptr_t lParam) {
    size_t offset = (wParam >> 16) & 0xFFFF;
    if (offset > PATH_SIZE - 4) {
        return FILE_NAME_PART_IGNORED;
    }
    uint32_t bytes = (uint32_t)(uintptr_t)lParam;
    int ends = 0;
    for (size_t b = 0; b < 4; b++) {
        unsigned char c = (unsigned char)(bytes >> (8 * b));
        assembly[offset + b] = (char)c;
        if (c == 0) {
            ends = 1;
        }
    }
    // The zero just stored lies inside the buffer, so the assembled name is terminated
    // even when earlier pieces came out of order or from another sender.
    return ends ? FILE_NAME_PART_COMPLETE : FILE_NAME_PART_STORED;
}
