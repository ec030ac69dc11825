// System files (*.vsb): blocks of a 256-byte header and the block's data, back to back.
#pragma once

#include "platform/platform_file.h"

#include <cstdint>

#define BLOCK_HEADER_SIZE 256

// The magic every block header starts with, 16 bytes, no terminator on disk.
#define SYSTEM_FILE_MAGIC "MAVO SYSTEM FILE"
#define SYSTEM_FILE_MAGIC_SIZE 16

// Absent product id bytes (1 and 2) hold this value; a member id of 0x80 or above is absent.
#define PRODUCT_ID_ABSENT 0xFF
#define MEMBER_ID_ABSENT_FROM 0x80

// One parsed block header. A plain value: copy it whole.
struct SystemFileHeader {
    char deviceName[17];        // header bytes 16-31, always terminated
    unsigned char productId[3]; // header bytes 44-46
    unsigned char memberId;     // header byte 47
    char blockName[9];          // header bytes 32-39, always terminated
    uint32_t address;           // header bytes 48-51
    uint32_t reserved52;        // header bytes 52-55, carried without meaning
    uint32_t offset;            // header bytes 56-59
    uint32_t dataSize;          // header bytes 60-63
    unsigned char reserved40;   // header byte 40, carried without meaning
    unsigned char versionMajor; // header byte 42
    unsigned char versionMinor; // header byte 43
    unsigned char blockCode;    // header byte 41
    bool isLastBlock;           // the file ends exactly after this block's data
};

// Reads and checks the block header at the file's position. On success returns 1 and
// leaves the file at the block's first data byte; on failure returns 0 with one of the
// reader's fixed texts in errorText (TEXT_SIZE bytes).
int ReadBlockHeader(PlatformFile file, SystemFileHeader* header, char* errorText);

// One good block of a system file, as a walk over the file finds it.
struct SystemFileBlock {
    SystemFileHeader header;
    int64_t dataPosition; // where the block's data begins in the file
};

// Called for each good block in order; 0 ends the walk there.
typedef int (*SystemFileVisit)(const SystemFileBlock* block, void* context);

// Walks an open system file's blocks from the file's position: reads a header, hands the
// block to visit, steps over its data, until the last block (the one the file ends with)
// or a header that fails. Returns 1 when the walk reached the last block or visit ended
// it; 0 with the reader's text in errorText (TEXT_SIZE bytes) when a header failed, after
// every good block before it was visited.
int WalkSystemFile(PlatformFile file, SystemFileVisit visit, void* context, char* errorText);

// 1 when version (major, minor) is at least (atLeastMajor, atLeastMinor): major first,
// then minor, both as unsigned bytes.
int VersionAtLeast(unsigned char major, unsigned char minor, unsigned char atLeastMajor,
                   unsigned char atLeastMinor);

// Opens a chosen file, checks its first block header and describes it in the details
// rows of the log view. Returns 1 and fills headerOut on success; on failure shows
// its own texts and leaves headerOut unchanged.
int AnalyzeSystemFile(const char* fileName, SystemFileHeader* headerOut);
