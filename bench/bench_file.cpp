#include "bench/bench_file.h"

#include "platform/text.h"
#include "sim/vsb_writer.h"

#include <cstdio>

bool BenchWriteSystemFile(const std::string& path, uint32_t size) {
    VsbBlock block;
    VsbBlockDefaults(&block);
    block.blockCode = 1;
    block.versionMajor = 1;
    block.versionMinor = 5;
    block.dataSize = size;
    block.content = VSB_CONTENT_RANDOM;
    block.seed = 7919;
    char errorText[TEXT_SIZE] = "";
    if (VsbWriteFile(path.c_str(), &block, 1, 0, 0x55, errorText) != 1) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), errorText);
        return false;
    }
    return true;
}
