#include "sysfile/system_file.h"

#include "platform/text.h"

#include <cstring>

static uint32_t ReadLittleEndian32(const unsigned char* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

int ReadBlockHeader(PlatformFile file, SystemFileHeader* header, char* errorText) {
    unsigned char raw[BLOCK_HEADER_SIZE];
    int got = PlatformFileRead(file, raw, BLOCK_HEADER_SIZE);
    if (got < BLOCK_HEADER_SIZE) {
        TextCopy(errorText, TEXT_SIZE, "Error - Header lengrh is too short.");
        return 0;
    }
    if (memcmp(raw, SYSTEM_FILE_MAGIC, SYSTEM_FILE_MAGIC_SIZE) != 0) {
        TextCopy(errorText, TEXT_SIZE, "Error - Illegal header string.");
        return 0;
    }

    // Fill a local record first so a failing check leaves the caller's record as it was.
    SystemFileHeader parsed;
    memset(&parsed, 0, sizeof parsed);
    // A name may fill its whole field without a terminator; TextCopy stops at the
    // field's end and never reads into the next field.
    TextCopy(parsed.deviceName, sizeof parsed.deviceName, (const char*)raw + 16);
    TextCopy(parsed.blockName, sizeof parsed.blockName, (const char*)raw + 32);
    parsed.reserved40 = raw[40];
    parsed.blockCode = raw[41];
    parsed.versionMajor = raw[42];
    parsed.versionMinor = raw[43];
    parsed.productId[0] = raw[44];
    parsed.productId[1] = raw[45];
    parsed.productId[2] = raw[46];
    parsed.memberId = raw[47];
    parsed.address = ReadLittleEndian32(raw + 48);
    parsed.reserved52 = ReadLittleEndian32(raw + 52);
    parsed.offset = ReadLittleEndian32(raw + 56);
    parsed.dataSize = ReadLittleEndian32(raw + 60);

    // 64-bit arithmetic: a dataSize near 4 GiB must compare as the large number it is,
    // not wrap around against a small remainder.
    int64_t position = PlatformFilePosition(file);
    int64_t length = PlatformFileLength(file);
    if (position < 0 || length < position ||
        (uint64_t)(length - position) < (uint64_t)parsed.dataSize) {
        TextCopy(errorText, TEXT_SIZE, "Filesize Error(shorter than header paramter).");
        return 0;
    }
    parsed.isLastBlock = (uint64_t)(length - position) == (uint64_t)parsed.dataSize;
    if (!PlatformFileSeek(file, position)) {
        TextCopy(errorText, TEXT_SIZE, "Filesize Error(shorter than header paramter).");
        return 0;
    }
    *header = parsed;
    return 1;
}

int WalkSystemFile(PlatformFile file, SystemFileVisit visit, void* context, char* errorText) {
    for (;;) {
        SystemFileBlock block;
        if (!ReadBlockHeader(file, &block.header, errorText)) {
            return 0;
        }
        block.dataPosition = PlatformFilePosition(file);
        if (!visit(&block, context) || block.header.isLastBlock) {
            return 1;
        }
        // The reader has checked that the data lies inside the file.
        if (!PlatformFileSeek(file, block.dataPosition + (int64_t)block.header.dataSize)) {
            TextCopy(errorText, TEXT_SIZE, "Filesize Error(shorter than header paramter).");
            return 0;
        }
    }
}

int VersionAtLeast(unsigned char major, unsigned char minor, unsigned char atLeastMajor,
                   unsigned char atLeastMinor) {
    if (major != atLeastMajor) {
        return major > atLeastMajor ? 1 : 0;
    }
    return minor >= atLeastMinor ? 1 : 0;
}
