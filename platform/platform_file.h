// Plain file access for the system file reader and the update engine.
// A file is a handle value; PLATFORM_FILE_NONE marks "no file".
#pragma once

#include <cstdint>

typedef intptr_t PlatformFile;
#define PLATFORM_FILE_NONE ((PlatformFile)-1)

// Opens an existing file for reading. Windows: without sharing it (share mode 0), so while
// it is open no other program may open it. POSIX: with a shared lock, so other readers
// through this function get in, and whoever locks it exclusively to write it does not.
// Returns PLATFORM_FILE_NONE on failure.
PlatformFile PlatformFileOpenRead(const char* path);

// Reads up to count bytes at the current position. Returns the number read (0 at the
// end of the file) or -1 on failure.
int PlatformFileRead(PlatformFile file, void* buffer, uint32_t count);

// Current position, or -1 on failure.
int64_t PlatformFilePosition(PlatformFile file);

// Length of the file in bytes, or -1 on failure. The position is left unchanged.
int64_t PlatformFileLength(PlatformFile file);

// Moves to an absolute position. Returns 1 on success, 0 on failure.
int PlatformFileSeek(PlatformFile file, int64_t position);

// Closes the file and sets the handle to PLATFORM_FILE_NONE; harmless when none is open.
void PlatformFileClose(PlatformFile* file);
