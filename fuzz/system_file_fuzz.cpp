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

struct Walk {
    int64_t fileLength;
    int blocks;
    int64_t nextHeaderAt; // where the walk must find the next block's header
    bool sawLast;
    SystemFileHeader first;
};

// Every block the walk hands out lies inside the file, right after the block before it,
// with terminated names, and is the last exactly when the file ends with its data.
int CheckBlock(const SystemFileBlock* block, void* context) {
    Walk& w = *static_cast<Walk*>(context);
    const SystemFileHeader& header = block->header;
    Require(!w.sawLast);
    Require(block->dataPosition == w.nextHeaderAt + BLOCK_HEADER_SIZE);
    Require(block->dataPosition <= w.fileLength);
    Require(Terminated(header.deviceName, sizeof header.deviceName));
    Require(Terminated(header.blockName, sizeof header.blockName));
    const uint64_t remaining = (uint64_t)(w.fileLength - block->dataPosition);
    Require((uint64_t)header.dataSize <= remaining);
    Require(header.isLastBlock == ((uint64_t)header.dataSize == remaining));
    if (w.blocks == 0) {
        w.first = header;
    }
    w.blocks++;
    w.nextHeaderAt = block->dataPosition + (int64_t)header.dataSize;
    w.sawLast = header.isLastBlock;
    return 1;
}

// Walks the blocks as every reader of a whole file does, until a header fails or the
// file ends. Returns the number of blocks handed out; firstOut gets the first.
int WalkBlocks(const char* path, int64_t fileLength, SystemFileHeader* firstOut) {
    PlatformFile file = PlatformFileOpenRead(path);
    Require(file != PLATFORM_FILE_NONE);
    // A failing read names its reason and leaves the caller's record alone.
    SystemFileHeader header = Sentinel(0xA5);
    const SystemFileHeader untouched = header;
    char errorText[TEXT_SIZE];
    memset(errorText, 'x', sizeof errorText);
    if (!ReadBlockHeader(file, &header, errorText)) {
        Require(Terminated(errorText, sizeof errorText) && errorText[0] != '\0');
        Require(SameHeader(header, untouched));
    }
    Require(PlatformFileSeek(file, 0));

    Walk w = {fileLength, 0, 0, false, Sentinel(0)};
    memset(errorText, 'x', sizeof errorText);
    const int whole = WalkSystemFile(file, CheckBlock, &w, errorText);
    // The walk succeeds exactly when it reached the block the file ends with; otherwise
    // it names the reason.
    Require(whole == (w.sawLast ? 1 : 0));
    if (!whole) {
        Require(Terminated(errorText, sizeof errorText) && errorText[0] != '\0');
    }
    PlatformFileClose(&file);
    Require(file == PLATFORM_FILE_NONE);
    if (w.blocks > 0) {
        *firstOut = w.first;
    }
    return w.blocks;
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
