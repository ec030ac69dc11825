// Writes system files (*.vsb) for tests and for the vsb-writer tool: blocks of a
// 256-byte header and generated data, and on request files broken in the ways a reader
// must catch (short header, wrong magic, short data, surplus bytes).
#pragma once

#include "platform/text.h"

#include <cstdint>

#define VSB_MAX_RUNS 16
#define VSB_MAX_BLOCKS 64

enum VsbContent {
    VSB_CONTENT_CONSTANT = 0, // every byte fillValue
    VSB_CONTENT_COUNTER,      // byte i of the block is i & 0xFF
    VSB_CONTENT_RANDOM,       // pseudo-random bytes, the same for the same seed everywhere
    VSB_CONTENT_FILE,         // the first dataSize bytes of contentPath
    VSB_CONTENT_BYTES,        // dataSize bytes at contentBytes, owned by the caller
};

// Bytes start .. start + length - 1 of the block's data become value (after the content
// is generated), so a block can hold packets whose bytes are all equal.
struct VsbRun {
    uint32_t start;
    uint32_t length;
    unsigned char value;
};

struct VsbBlock {
    // Header fields. Texts fill their field and are padded with zero bytes; a text of
    // the field's full length has no terminator on disk.
    char deviceName[17];
    char blockName[9];
    unsigned char reserved40;
    unsigned char blockCode;
    unsigned char versionMajor;
    unsigned char versionMinor;
    unsigned char productId[3]; // 0xFF marks absent bytes 1 and 2
    unsigned char memberId;     // 0x80 or above: absent
    uint32_t address;
    uint32_t reserved52;
    uint32_t offset;
    uint32_t dataSize;

    // Data.
    VsbContent content;
    unsigned char fillValue;
    uint32_t seed;
    char contentPath[PATH_SIZE];
    const unsigned char* contentBytes;
    int runCount;
    VsbRun runs[VSB_MAX_RUNS];

    // Damage.
    int badMagic;              // the magic's last letter in lower case
    int headerBytes;           // 1 to 255: only that many header bytes are written; 0: all
    uint32_t missingDataBytes; // the block's last data bytes left out (the header keeps
                               // dataSize); usually given to the last block
};

// Device "ORVENT", block "MAIN", code 1, version 1.00, product id 0x3C FF FF, no member
// id, address, offset and size 0, counter content, no runs, no damage.
void VsbBlockDefaults(VsbBlock* block);

// The 256 header bytes of a block (the magic spoilt when badMagic is set).
void VsbBlockHeader(const VsbBlock* block, unsigned char* header);

// The block's dataSize data bytes as a correct file carries them (missingDataBytes is
// ignored), for comparing with a flash image. 1 on success; 0 with errorText (TEXT_SIZE)
// when capacity is too small or the content file cannot give them.
int VsbBlockData(const VsbBlock* block, unsigned char* out, uint32_t capacity, char* errorText);

// Length of the file the blocks and surplus bytes make.
uint64_t VsbFileLength(const VsbBlock* blocks, int count, uint32_t surplusBytes);

// The whole file in memory; *length receives its size. 1, or 0 with errorText.
int VsbBuildFile(const VsbBlock* blocks, int count, uint32_t surplusBytes,
                 unsigned char surplusValue, unsigned char* out, uint64_t capacity,
                 uint64_t* length, char* errorText);

// The whole file on disk, written piece by piece. 1, or 0 with errorText.
int VsbWriteFile(const char* path, const VsbBlock* blocks, int count, uint32_t surplusBytes,
                 unsigned char surplusValue, char* errorText);

// Applies a block description of comma-separated key=value pairs on top of *block
// (start from VsbBlockDefaults), as the tool's --block option takes it. Keys: device,
// name, code, version (major.minor as shown, 1.05), major, minor, pid (hex bytes, 3C or
// 3C:FF:12 or 001234), member, address, offset, size, fill (a byte value, counter or
// random), seed, file (sets the size too unless size is given), run
// (start:length:value, repeatable), reserved40, reserved52, magic (bad), header (bytes
// written), missing (data bytes left out). Numbers are decimal or 0x hexadecimal.
// 1, or 0 with errorText naming the problem.
int VsbParseBlockDescription(const char* description, VsbBlock* block, char* errorText);
