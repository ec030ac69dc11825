#include "sim/vsb_writer.h"

#include "sysfile/system_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define VSB_CHUNK_SIZE 65536u
#define VSB_DESCRIPTION_SIZE 1024

namespace {

// The same bytes on every platform and compiler, so a seed names one data set.
uint32_t NextRandom(uint32_t* state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

struct ContentSource {
    const VsbBlock* block;
    FILE* file;
    uint32_t random;
    uint32_t position;
};

int SourceOpen(ContentSource* source, const VsbBlock* block, char* errorText) {
    source->block = block;
    source->file = nullptr;
    source->random = block->seed != 0 ? block->seed : 0x2545F491u;
    source->position = 0;
    if (block->content == VSB_CONTENT_FILE) {
        source->file = fopen(block->contentPath, "rb");
        if (source->file == nullptr) {
            TextCopy(errorText, TEXT_SIZE, "Cannot open the content file.");
            return 0;
        }
    }
    if (block->content == VSB_CONTENT_BYTES && block->contentBytes == nullptr &&
        block->dataSize > 0) {
        TextCopy(errorText, TEXT_SIZE, "The block has no content bytes.");
        return 0;
    }
    return 1;
}

void SourceClose(ContentSource* source) {
    if (source->file != nullptr) {
        fclose(source->file);
        source->file = nullptr;
    }
}

// The next count bytes of the block's data, runs applied.
int SourceRead(ContentSource* source, unsigned char* out, uint32_t count, char* errorText) {
    const VsbBlock* block = source->block;
    uint32_t first = source->position;
    switch (block->content) {
    case VSB_CONTENT_CONSTANT:
        memset(out, block->fillValue, count);
        break;
    case VSB_CONTENT_COUNTER:
        for (uint32_t i = 0; i < count; i++) {
            out[i] = (unsigned char)(first + i);
        }
        break;
    case VSB_CONTENT_RANDOM:
        for (uint32_t i = 0; i < count; i++) {
            out[i] = (unsigned char)(NextRandom(&source->random) >> 24);
        }
        break;
    case VSB_CONTENT_FILE:
        if (fread(out, 1, count, source->file) != count) {
            TextCopy(errorText, TEXT_SIZE, "The content file is shorter than the block.");
            return 0;
        }
        break;
    case VSB_CONTENT_BYTES:
        memcpy(out, block->contentBytes + first, count);
        break;
    default:
        TextCopy(errorText, TEXT_SIZE, "Unknown block content.");
        return 0;
    }
    uint64_t last = (uint64_t)first + count;
    for (int r = 0; r < block->runCount && r < VSB_MAX_RUNS; r++) {
        const VsbRun& run = block->runs[r];
        uint64_t from = run.start > first ? run.start : first;
        uint64_t to = (uint64_t)run.start + run.length;
        if (to > last) {
            to = last;
        }
        for (uint64_t at = from; at < to; at++) {
            out[at - first] = run.value;
        }
    }
    source->position += count;
    return 1;
}

struct Output {
    FILE* file;
    unsigned char* memory;
    uint64_t capacity;
    uint64_t length;
};

int OutputWrite(Output* output, const unsigned char* bytes, uint64_t count, char* errorText) {
    if (output->file != nullptr) {
        if (fwrite(bytes, 1, (size_t)count, output->file) != count) {
            TextCopy(errorText, TEXT_SIZE, "Cannot write the output file.");
            return 0;
        }
    } else {
        if (count > output->capacity - output->length) {
            TextCopy(errorText, TEXT_SIZE, "The buffer is too small for the file.");
            return 0;
        }
        memcpy(output->memory + output->length, bytes, (size_t)count);
    }
    output->length += count;
    return 1;
}

uint32_t HeaderBytesWritten(const VsbBlock* block) {
    return block->headerBytes > 0 && block->headerBytes < BLOCK_HEADER_SIZE
               ? (uint32_t)block->headerBytes
               : BLOCK_HEADER_SIZE;
}

// A block cut inside its header carries none of its data.
uint32_t DataBytesWritten(const VsbBlock* block) {
    if (HeaderBytesWritten(block) < BLOCK_HEADER_SIZE) {
        return 0;
    }
    return block->missingDataBytes < block->dataSize ? block->dataSize - block->missingDataBytes
                                                     : 0;
}

int WriteBlocks(Output* output, const VsbBlock* blocks, int count, uint32_t surplusBytes,
                unsigned char surplusValue, char* errorText) {
    unsigned char chunk[VSB_CHUNK_SIZE];
    for (int b = 0; b < count; b++) {
        const VsbBlock* block = &blocks[b];
        unsigned char header[BLOCK_HEADER_SIZE];
        VsbBlockHeader(block, header);
        if (!OutputWrite(output, header, HeaderBytesWritten(block), errorText)) {
            return 0;
        }
        uint32_t left = DataBytesWritten(block);
        if (left == 0) {
            continue;
        }
        ContentSource source;
        if (!SourceOpen(&source, block, errorText)) {
            return 0;
        }
        while (left > 0) {
            uint32_t part = left < VSB_CHUNK_SIZE ? left : VSB_CHUNK_SIZE;
            if (!SourceRead(&source, chunk, part, errorText) ||
                !OutputWrite(output, chunk, part, errorText)) {
                SourceClose(&source);
                return 0;
            }
            left -= part;
        }
        SourceClose(&source);
    }
    memset(chunk, surplusValue, sizeof chunk);
    while (surplusBytes > 0) {
        uint32_t part = surplusBytes < VSB_CHUNK_SIZE ? surplusBytes : VSB_CHUNK_SIZE;
        if (!OutputWrite(output, chunk, part, errorText)) {
            return 0;
        }
        surplusBytes -= part;
    }
    return 1;
}

size_t BoundedLength(const char* text, size_t limit) {
    const void* end = memchr(text, 0, limit);
    return end != nullptr ? (size_t)((const char*)end - text) : limit;
}

void PutLittleEndian32(unsigned char* out, uint32_t value) {
    out[0] = (unsigned char)value;
    out[1] = (unsigned char)(value >> 8);
    out[2] = (unsigned char)(value >> 16);
    out[3] = (unsigned char)(value >> 24);
}

// ---- Block descriptions.

int ParseNumber(const char* text, uint32_t maximum, uint32_t* out) {
    if (text[0] < '0' || text[0] > '9') {
        return 0;
    }
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text || *end != 0 || value > maximum) {
        return 0;
    }
    *out = (uint32_t)value;
    return 1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int ParseProductId(const char* text, unsigned char* productId) {
    int digits[6];
    int count = 0;
    for (const char* c = text; *c != 0; c++) {
        if (*c == ':') {
            continue;
        }
        int digit = HexDigit(*c);
        if (digit < 0 || count == 6) {
            return 0;
        }
        digits[count++] = digit;
    }
    if (count == 0 || count % 2 != 0) {
        return 0;
    }
    productId[0] = productId[1] = productId[2] = PRODUCT_ID_ABSENT;
    for (int i = 0; i < count / 2; i++) {
        productId[i] = (unsigned char)(digits[2 * i] * 16 + digits[2 * i + 1]);
    }
    return 1;
}

// "a:b:c" into three numbers, each at most maximum[i].
int ParseTriple(char* text, const uint32_t* maximum, uint32_t* out) {
    char* part = text;
    for (int i = 0; i < 3; i++) {
        char* colon = strchr(part, ':');
        if ((colon == nullptr) != (i == 2)) {
            return 0;
        }
        if (colon != nullptr) {
            *colon = 0;
        }
        if (!ParseNumber(part, maximum[i], &out[i])) {
            return 0;
        }
        part = colon != nullptr ? colon + 1 : part;
    }
    return 1;
}

int ParseVersion(char* text, VsbBlock* block) {
    char* dot = strchr(text, '.');
    uint32_t major = 0;
    uint32_t minor = 0;
    if (dot == nullptr) {
        return 0;
    }
    *dot = 0;
    if (!ParseNumber(text, 255, &major) || !ParseNumber(dot + 1, 255, &minor)) {
        return 0;
    }
    block->versionMajor = (unsigned char)major;
    block->versionMinor = (unsigned char)minor;
    return 1;
}

int FileLength(const char* path, uint32_t* length) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) {
        size = ftell(file);
    }
    fclose(file);
    if (size < 0) {
        return 0;
    }
    *length = (uint32_t)size;
    return 1;
}

int ByteValue(const char* text, unsigned char* out) {
    uint32_t value = 0;
    if (!ParseNumber(text, 255, &value)) {
        return 0;
    }
    *out = (unsigned char)value;
    return 1;
}

int ApplyKey(const char* key, char* value, VsbBlock* block, int* sizeGiven, int* fileGiven,
             char* errorText) {
    uint32_t number = 0;
    int ok = 1;
    if (strcmp(key, "device") == 0) {
        ok = strlen(value) <= 16;
        TextCopy(block->deviceName, sizeof block->deviceName, value);
    } else if (strcmp(key, "name") == 0) {
        ok = strlen(value) <= 8;
        TextCopy(block->blockName, sizeof block->blockName, value);
    } else if (strcmp(key, "code") == 0) {
        ok = ByteValue(value, &block->blockCode);
    } else if (strcmp(key, "version") == 0) {
        ok = ParseVersion(value, block);
    } else if (strcmp(key, "major") == 0) {
        ok = ByteValue(value, &block->versionMajor);
    } else if (strcmp(key, "minor") == 0) {
        ok = ByteValue(value, &block->versionMinor);
    } else if (strcmp(key, "pid") == 0) {
        ok = ParseProductId(value, block->productId);
    } else if (strcmp(key, "member") == 0) {
        ok = ByteValue(value, &block->memberId);
    } else if (strcmp(key, "reserved40") == 0) {
        ok = ByteValue(value, &block->reserved40);
    } else if (strcmp(key, "address") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->address);
    } else if (strcmp(key, "reserved52") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->reserved52);
    } else if (strcmp(key, "offset") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->offset);
    } else if (strcmp(key, "size") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->dataSize);
        *sizeGiven = 1;
    } else if (strcmp(key, "fill") == 0) {
        if (strcmp(value, "counter") == 0) {
            block->content = VSB_CONTENT_COUNTER;
        } else if (strcmp(value, "random") == 0) {
            block->content = VSB_CONTENT_RANDOM;
        } else {
            ok = ByteValue(value, &block->fillValue);
            block->content = VSB_CONTENT_CONSTANT;
        }
    } else if (strcmp(key, "seed") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->seed);
    } else if (strcmp(key, "file") == 0) {
        ok = value[0] != 0 && strlen(value) < sizeof block->contentPath;
        TextCopy(block->contentPath, sizeof block->contentPath, value);
        block->content = VSB_CONTENT_FILE;
        *fileGiven = 1;
    } else if (strcmp(key, "run") == 0) {
        static const uint32_t maximum[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 255};
        uint32_t parts[3];
        if (block->runCount >= VSB_MAX_RUNS) {
            TextFormat(errorText, TEXT_SIZE, "More than %d runs in one block.", VSB_MAX_RUNS);
            return 0;
        }
        ok = ParseTriple(value, maximum, parts);
        if (ok) {
            VsbRun& run = block->runs[block->runCount++];
            run.start = parts[0];
            run.length = parts[1];
            run.value = (unsigned char)parts[2];
        }
    } else if (strcmp(key, "magic") == 0) {
        ok = strcmp(value, "bad") == 0 || strcmp(value, "good") == 0;
        block->badMagic = strcmp(value, "bad") == 0;
    } else if (strcmp(key, "header") == 0) {
        ok = ParseNumber(value, BLOCK_HEADER_SIZE, &number) && number > 0;
        block->headerBytes = (int)number;
    } else if (strcmp(key, "missing") == 0) {
        ok = ParseNumber(value, 0xFFFFFFFFu, &block->missingDataBytes);
    } else {
        TextFormat(errorText, TEXT_SIZE, "Unknown key \"%s\".", key);
        return 0;
    }
    if (!ok) {
        TextFormat(errorText, TEXT_SIZE, "Bad value for %s.", key);
        return 0;
    }
    return 1;
}

} // namespace

void VsbBlockDefaults(VsbBlock* block) {
    memset(block, 0, sizeof *block);
    TextCopy(block->deviceName, sizeof block->deviceName, "ORVENT");
    TextCopy(block->blockName, sizeof block->blockName, "MAIN");
    block->blockCode = 1;
    block->versionMajor = 1;
    block->productId[0] = 0x3C;
    block->productId[1] = PRODUCT_ID_ABSENT;
    block->productId[2] = PRODUCT_ID_ABSENT;
    block->memberId = 0xFF;
    block->content = VSB_CONTENT_COUNTER;
}

void VsbBlockHeader(const VsbBlock* block, unsigned char* header) {
    memset(header, 0, BLOCK_HEADER_SIZE);
    memcpy(header, SYSTEM_FILE_MAGIC, SYSTEM_FILE_MAGIC_SIZE);
    if (block->badMagic) {
        header[SYSTEM_FILE_MAGIC_SIZE - 1] = 'e';
    }
    // The names fill their fields exactly; the record's terminators stay in memory.
    memcpy(header + 16, block->deviceName, BoundedLength(block->deviceName, 16));
    memcpy(header + 32, block->blockName, BoundedLength(block->blockName, 8));
    header[40] = block->reserved40;
    header[41] = block->blockCode;
    header[42] = block->versionMajor;
    header[43] = block->versionMinor;
    memcpy(header + 44, block->productId, 3);
    header[47] = block->memberId;
    PutLittleEndian32(header + 48, block->address);
    PutLittleEndian32(header + 52, block->reserved52);
    PutLittleEndian32(header + 56, block->offset);
    PutLittleEndian32(header + 60, block->dataSize);
}

int VsbBlockData(const VsbBlock* block, unsigned char* out, uint32_t capacity, char* errorText) {
    if (capacity < block->dataSize) {
        TextCopy(errorText, TEXT_SIZE, "The buffer is too small for the block.");
        return 0;
    }
    if (block->dataSize == 0) {
        return 1;
    }
    ContentSource source;
    if (!SourceOpen(&source, block, errorText)) {
        return 0;
    }
    int ok = SourceRead(&source, out, block->dataSize, errorText);
    SourceClose(&source);
    return ok;
}

uint64_t VsbFileLength(const VsbBlock* blocks, int count, uint32_t surplusBytes) {
    uint64_t length = surplusBytes;
    for (int b = 0; b < count; b++) {
        length += HeaderBytesWritten(&blocks[b]) + (uint64_t)DataBytesWritten(&blocks[b]);
    }
    return length;
}

int VsbBuildFile(const VsbBlock* blocks, int count, uint32_t surplusBytes,
                 unsigned char surplusValue, unsigned char* out, uint64_t capacity,
                 uint64_t* length, char* errorText) {
    Output output = {nullptr, out, capacity, 0};
    int ok = WriteBlocks(&output, blocks, count, surplusBytes, surplusValue, errorText);
    *length = output.length;
    return ok;
}

int VsbWriteFile(const char* path, const VsbBlock* blocks, int count, uint32_t surplusBytes,
                 unsigned char surplusValue, char* errorText) {
    Output output = {fopen(path, "wb"), nullptr, 0, 0};
    if (output.file == nullptr) {
        TextCopy(errorText, TEXT_SIZE, "Cannot open the output file.");
        return 0;
    }
    int ok = WriteBlocks(&output, blocks, count, surplusBytes, surplusValue, errorText);
    if (fclose(output.file) != 0 && ok) {
        TextCopy(errorText, TEXT_SIZE, "Cannot write the output file.");
        ok = 0;
    }
    return ok;
}

int VsbParseBlockDescription(const char* description, VsbBlock* block, char* errorText) {
    char text[VSB_DESCRIPTION_SIZE];
    if (strlen(description) >= sizeof text) {
        TextCopy(errorText, TEXT_SIZE, "The block description is too long.");
        return 0;
    }
    TextCopy(text, sizeof text, description);
    int sizeGiven = 0;
    int fileGiven = 0;
    char* item = text;
    while (item != nullptr) {
        char* comma = strchr(item, ',');
        if (comma != nullptr) {
            *comma = 0;
        }
        char* equals = strchr(item, '=');
        if (equals == nullptr) {
            TextFormat(errorText, TEXT_SIZE, "Expected key=value, got \"%s\".", item);
            return 0;
        }
        *equals = 0;
        if (!ApplyKey(item, equals + 1, block, &sizeGiven, &fileGiven, errorText)) {
            return 0;
        }
        item = comma != nullptr ? comma + 1 : nullptr;
    }
    if (fileGiven && !sizeGiven && !FileLength(block->contentPath, &block->dataSize)) {
        TextCopy(errorText, TEXT_SIZE, "Cannot open the content file.");
        return 0;
    }
    return 1;
}
