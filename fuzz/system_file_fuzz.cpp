// A system file is whatever the user picks: the block reader, the walk over every block
// (as the update does it) and the analysis shown in the details rows must take any bytes.
#include "fuzz/fuzz_require.h"
#include "logview/log_view.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sysfile/system_file.h"
#include "tests/doubles/log_surface_record.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

PlatformWindow const kWindow = (PlatformWindow)0x1234;

// One scratch file per process, removed after every input: the fuzzer leaves by _Exit,
// so nothing registered for the process's end would run.
const std::string& ScratchPath() {
    static const std::string path = [] {
        const char* dir = getenv("TMPDIR");
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/orv_fuzz_" +
               std::to_string(getpid()) + "_system_file.vsb";
    }();
    return path;
}

// Field by field: a record copied whole need not carry its padding along.
bool SameHeader(const SystemFileHeader& a, const SystemFileHeader& b) {
    return memcmp(a.deviceName, b.deviceName, sizeof a.deviceName) == 0 &&
           memcmp(a.productId, b.productId, sizeof a.productId) == 0 && a.memberId == b.memberId &&
           memcmp(a.blockName, b.blockName, sizeof a.blockName) == 0 && a.address == b.address &&
           a.reserved52 == b.reserved52 && a.offset == b.offset && a.dataSize == b.dataSize &&
           a.reserved40 == b.reserved40 && a.versionMajor == b.versionMajor &&
           a.versionMinor == b.versionMinor && a.blockCode == b.blockCode &&
           a.isLastBlock == b.isLastBlock;
}

// A record no reader would produce, to see that a failing call leaves it alone.
SystemFileHeader Sentinel(unsigned char fill) {
    SystemFileHeader h;
    memset(&h, fill, sizeof h);
    h.isLastBlock = true;
    return h;
}

bool Terminated(const char* text, size_t size) {
    return memchr(text, '\0', size) != nullptr;
}

// Walks the blocks as the update does: a header, then past its data, until a header
// fails or the file ends. Returns the number of headers read; firstOut gets the first.
int WalkBlocks(const char* path, int64_t fileLength, SystemFileHeader* firstOut) {
    PlatformFile file = PlatformFileOpenRead(path);
    Require(file != PLATFORM_FILE_NONE);
    int blocks = 0;
    for (;;) {
        int64_t before = PlatformFilePosition(file);
        Require(before >= 0 && before <= fileLength);
        if (before == fileLength && blocks > 0) {
            break;
        }
        SystemFileHeader header = Sentinel(0xA5);
        const SystemFileHeader untouched = header;
        char errorText[TEXT_SIZE];
        memset(errorText, 'x', sizeof errorText);
        if (!ReadBlockHeader(file, &header, errorText)) {
            // A failing read names its reason and leaves the caller's record alone.
            Require(Terminated(errorText, sizeof errorText) && errorText[0] != '\0');
            Require(SameHeader(header, untouched));
            break;
        }
        int64_t dataStart = PlatformFilePosition(file);
        Require(dataStart == before + BLOCK_HEADER_SIZE);
        Require(Terminated(header.deviceName, sizeof header.deviceName));
        Require(Terminated(header.blockName, sizeof header.blockName));
        uint64_t remaining = (uint64_t)(fileLength - dataStart);
        Require((uint64_t)header.dataSize <= remaining);
        Require(header.isLastBlock == ((uint64_t)header.dataSize == remaining));
        if (blocks == 0) {
            *firstOut = header;
        }
        blocks++;
        Require(PlatformFileSeek(file, dataStart + (int64_t)header.dataSize));
        if (header.isLastBlock) {
            Require(PlatformFilePosition(file) == fileLength);
            break;
        }
    }
    PlatformFileClose(&file);
    Require(file == PLATFORM_FILE_NONE);
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath();
    FILE* out = fopen(path.c_str(), "wb");
    Require(out != nullptr);
    Require(size == 0 || fwrite(data, 1, size, out) == size);
    Require(fclose(out) == 0);

    SystemFileHeader first = Sentinel(0);
    int blocks = WalkBlocks(path.c_str(), (int64_t)size, &first);
    Require((size_t)blocks <= size / BLOCK_HEADER_SIZE);

    RecordReset();
    LogViewCreate(kWindow, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    SystemFileHeader analyzed = Sentinel(0x5A);
    const SystemFileHeader untouched = analyzed;
    int valid = AnalyzeSystemFile(path.c_str(), &analyzed);
    // The analysis reads the same first header the walk did, and only hands it out
    // when it is usable.
    Require(valid == (blocks > 0 ? 1 : 0));
    if (valid) {
        Require(SameHeader(analyzed, first));
    } else {
        Require(SameHeader(analyzed, untouched));
    }
    for (int row = 0; row < 8; row++) {
        Require(Terminated(RecordedDetailsRow(row), RECORD_ROW_SIZE));
    }
    LogViewDestroy();
    Require(RecordedSurfaceCount() == 0 && RecordedFontCount() == 0);
    Require(RecordedMisuseCount() == 0);
    Require(remove(path.c_str()) == 0);
    return 0;
}
