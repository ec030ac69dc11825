#include "sysfile/system_file.h"

#include "platform/text.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct HeaderFields {
    const char* magic;
    const char* deviceName;       // up to 16 characters
    const char* blockName;        // up to 8 characters
    unsigned char bytes40to47[8]; // reserved, blockCode, major, minor, productId[3], memberId
    uint32_t address;
    uint32_t reserved52;
    uint32_t offset;
    uint32_t dataSize;
};

void PutLittleEndian32(std::vector<unsigned char>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = (unsigned char)(value >> (8 * i));
    }
}

// Appends one block header and dataSize data bytes (filled with `fill`).
void AppendBlock(std::vector<unsigned char>& out, const HeaderFields& f, unsigned char fill = 0) {
    size_t at = out.size();
    out.resize(at + BLOCK_HEADER_SIZE, 0);
    memcpy(&out[at], f.magic, 16);
    memcpy(&out[at + 16], f.deviceName, strnlen(f.deviceName, 16));
    memcpy(&out[at + 32], f.blockName, strnlen(f.blockName, 8));
    memcpy(&out[at + 40], f.bytes40to47, 8);
    PutLittleEndian32(out, at + 48, f.address);
    PutLittleEndian32(out, at + 52, f.reserved52);
    PutLittleEndian32(out, at + 56, f.offset);
    PutLittleEndian32(out, at + 60, f.dataSize);
    out.resize(out.size() + f.dataSize, fill);
}

HeaderFields Block(uint32_t dataSize) {
    return {SYSTEM_FILE_MAGIC, "ORVENT", "MAIN", {0, 1, 1, 5, 0x3C, 0xFF, 0xFF, 0xFF}, 0x4000, 0, 0,
            dataSize};
}

class SystemFileTest : public ::testing::Test {
  protected:
    void TearDown() override {
        PlatformFileClose(&file_);
        TestRemoveFile(path_);
    }
    void Open(const std::vector<unsigned char>& bytes) {
        ASSERT_TRUE(TestWriteFile(path_, bytes));
        file_ = PlatformFileOpenRead(path_.c_str());
        ASSERT_NE(file_, PLATFORM_FILE_NONE);
    }
    std::string path_ = TestTempPath("system_file.vsb");
    PlatformFile file_ = PLATFORM_FILE_NONE;
    SystemFileHeader header_ = {};
    char errorText_[TEXT_SIZE] = "earlier text";
};

TEST_F(SystemFileTest, ReadsEveryFieldAndStopsAtTheFirstDataByte) {
    // Full-width names without terminators, and bytes a text-mode read would mangle
    // (CR LF pairs, Ctrl-Z) in numbers and data.
    HeaderFields f = {SYSTEM_FILE_MAGIC, "ABCDEFGHIJKLMNOP",
                      "BLOCKNAM",        {0x1A, 0x0D, 0x0A, 0x1A, 0x00, 0x12, 0x34, 0x56},
                      0x1A0A0D1A,        0x89ABCDEF,
                      0x00010200,        0x0D0A};
    std::vector<unsigned char> bytes;
    AppendBlock(bytes, f, 0x1A);
    bytes[BLOCK_HEADER_SIZE] = 0x0D;
    Open(bytes);

    ASSERT_EQ(ReadBlockHeader(file_, &header_, errorText_), 1);
    EXPECT_STREQ(errorText_, "earlier text");
    EXPECT_STREQ(header_.deviceName, "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(header_.blockName, "BLOCKNAM");
    EXPECT_EQ(header_.reserved40, 0x1A);
    EXPECT_EQ(header_.blockCode, 0x0D);
    EXPECT_EQ(header_.versionMajor, 0x0A);
    EXPECT_EQ(header_.versionMinor, 0x1A);
    EXPECT_EQ(header_.productId[0], 0x00);
    EXPECT_EQ(header_.productId[1], 0x12);
    EXPECT_EQ(header_.productId[2], 0x34);
    EXPECT_EQ(header_.memberId, 0x56);
    EXPECT_EQ(header_.address, 0x1A0A0D1Au);
    EXPECT_EQ(header_.reserved52, 0x89ABCDEFu);
    EXPECT_EQ(header_.offset, 0x00010200u);
    EXPECT_EQ(header_.dataSize, 0x0D0Au);
    EXPECT_TRUE(header_.isLastBlock);
    EXPECT_EQ(PlatformFilePosition(file_), BLOCK_HEADER_SIZE);
    unsigned char first = 0;
    EXPECT_EQ(PlatformFileRead(file_, &first, 1), 1);
    EXPECT_EQ(first, 0x0D);
}

TEST_F(SystemFileTest, RefusesShortOrForeignOrTruncatedBlocks) {
    struct Case {
        const char* name;
        const char* magic; // null: an empty file
        uint32_t dataSize;
        size_t dataPresent; // data bytes actually in the file
        size_t cutTo;       // the file is cut to this many bytes (0: not cut)
        const char* text;
    };
    const char* tooShort = "Error - Header lengrh is too short.";
    const char* illegal = "Error - Illegal header string.";
    const char* fileSize = "Filesize Error(shorter than header paramter).";
    const Case cases[] = {
        {"empty file", nullptr, 0, 0, 0, tooShort},
        {"255 bytes", SYSTEM_FILE_MAGIC, 0, 0, 255, tooShort},
        {"magic in other case", "MAVO System File", 0, 0, 0, illegal},
        {"magic differs in last byte", "MAVO SYSTEM FILF", 0, 0, 0, illegal},
        {"data one byte short", SYSTEM_FILE_MAGIC, 100, 99, 0, fileSize},
        {"dataSize above 2 GiB", SYSTEM_FILE_MAGIC, 0x80000000u, 10, 0, fileSize},
        {"dataSize 0xFFFFFFFF", SYSTEM_FILE_MAGIC, 0xFFFFFFFFu, 10, 0, fileSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes;
        if (c.magic != nullptr) {
            HeaderFields f = Block((uint32_t)c.dataPresent);
            f.magic = c.magic;
            AppendBlock(bytes, f);
            PutLittleEndian32(bytes, 60, c.dataSize);
        }
        if (c.cutTo != 0) {
            bytes.resize(c.cutTo);
        }
        Open(bytes);
        header_.dataSize = 0xDEAD;
        EXPECT_EQ(ReadBlockHeader(file_, &header_, errorText_), 0);
        EXPECT_STREQ(errorText_, c.text);
        EXPECT_EQ(header_.dataSize, 0xDEADu); // a failed read leaves the record alone
        PlatformFileClose(&file_);
    }
}

TEST_F(SystemFileTest, WalksBlocksAndFlagsOnlyABlockThatEndsTheFile) {
    struct Case {
        const char* name;
        std::vector<uint32_t> dataSizes;
        size_t surplus; // bytes after the last block's data
        unsigned char surplusFill;
        const char* textAfterLast; // reading on after the last block; null: the file ends
    };
    const Case cases[] = {
        {"header only", {0}, 0, 0, nullptr},
        {"one block", {512}, 0, 0, nullptr},
        {"two blocks", {512, 1024}, 0, 0, nullptr},
        {"surplus shorter than a header", {512}, 255, 0, "Error - Header lengrh is too short."},
        {"surplus without magic", {512}, 300, 'X', "Error - Illegal header string."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes;
        for (uint32_t size : c.dataSizes) {
            AppendBlock(bytes, Block(size), 0xA5);
        }
        bytes.resize(bytes.size() + c.surplus, c.surplusFill);
        Open(bytes);
        int64_t position = 0;
        for (size_t i = 0; i < c.dataSizes.size(); i++) {
            ASSERT_EQ(ReadBlockHeader(file_, &header_, errorText_), 1) << errorText_;
            EXPECT_EQ(header_.dataSize, c.dataSizes[i]);
            bool last = i + 1 == c.dataSizes.size() && c.surplus == 0;
            EXPECT_EQ(header_.isLastBlock, last) << "block " << i;
            position += BLOCK_HEADER_SIZE + header_.dataSize;
            ASSERT_EQ(PlatformFileSeek(file_, position), 1);
        }
        if (c.textAfterLast == nullptr) {
            EXPECT_EQ(position, PlatformFileLength(file_));
        } else {
            EXPECT_EQ(ReadBlockHeader(file_, &header_, errorText_), 0);
            EXPECT_STREQ(errorText_, c.textAfterLast);
        }
        PlatformFileClose(&file_);
    }
}

TEST(VersionAtLeast, ComparesMajorFirstThenMinorAsUnsignedBytes) {
    struct Case {
        unsigned char major, minor, atLeastMajor, atLeastMinor;
        int result;
    };
    const Case cases[] = {
        {1, 5, 1, 5, 1},          {1, 4, 1, 5, 0},       {1, 6, 1, 5, 1},
        {2, 0, 1, 99, 1},         {0, 99, 1, 0, 0},      {0x80, 0, 0x7F, 0xFF, 1},
        {0x7F, 0xFF, 0x80, 0, 0}, {1, 0x80, 1, 0x7F, 1}, {1, 0x7F, 1, 0x80, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionAtLeast(c.major, c.minor, c.atLeastMajor, c.atLeastMinor), c.result)
            << (int)c.major << "." << (int)c.minor << " vs " << (int)c.atLeastMajor << "."
            << (int)c.atLeastMinor;
    }
}

} // namespace
