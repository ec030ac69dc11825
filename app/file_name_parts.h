// Handing a file name to the running instance: a second start posts the name to the
// first instance's window four bytes at a time as CMD_FILE_NAME_PART commands, and the
// window puts the pieces together again.
#pragma once

#include "platform/platform_thread.h"
#include "platform/text.h"
#include "resources/resource_ids.h" // CMD_FILE_NAME_PART

#include <cstdint>

// A name of at most PATH_SIZE - 1 characters and its terminator, four bytes a piece.
#define FILE_NAME_PART_MAX (PATH_SIZE / 4)

struct FileNamePart {
    uint32_t wParam; // CMD_FILE_NAME_PART, byte offset in the high 16 bits
    uint32_t lParam; // four bytes of the name at that offset, lowest byte first
};

// Cuts fileName (a PATH_SIZE buffer) into pieces; returns their number, 0 for an empty
// name. The last piece always holds the terminator: the name length divided by 4,
// plus one pieces.
int FileNamePartsMake(const char* fileName, FileNamePart parts[FILE_NAME_PART_MAX]);

// Posts the pieces of fileName, in order, to window; nothing for an empty name.
void FileNamePartsSend(PlatformWindow window, const char* fileName);

// Results of FileNamePartStore.
#define FILE_NAME_PART_IGNORED (-1) // the piece would not fit the buffer
#define FILE_NAME_PART_STORED 0     // stored; the name goes on
#define FILE_NAME_PART_COMPLETE 1   // stored, and the name ends in it: assembly is loadable

// Stores one received piece into assembly (PATH_SIZE bytes). COMPLETE always means the
// assembly holds a terminated name, whatever offsets, order or sender the pieces had.
int FileNamePartStore(char* assembly, uintptr_t wParam, intptr_t lParam);
