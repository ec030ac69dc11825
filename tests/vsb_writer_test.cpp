#include "sim/vsb_writer.h"

#include "platform/platform_file.h"
#include "platform/text.h"
#include "sysfile/system_file.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes BlockData(const VsbBlock& block) {
    Bytes data(block.dataSize);
    char errorText[TEXT_SIZE] = "";
    EXPECT_EQ(VsbBlockData(&block, data.data(), (uint32_t)data.size(), errorText), 1) << errorText;
    return data;
}

Bytes BuildFile(const VsbBlock* blocks, int count, uint32_t surplus = 0) {
    Bytes file((size_t)VsbFileLength(blocks, count, surplus));
    uint64_t length = 0;
    char errorText[TEXT_SIZE] = "";
    EXPECT_EQ(
        VsbBuildFile(blocks, count, surplus, 0x00, file.data(), file.size(), &length, errorText), 1)
        << errorText;
    EXPECT_EQ(length, file.size());
    return file;
}

class VsbWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = TestTempPath("vsb_writer.vsb");
    }
    void TearDown() override {
        TestRemoveFile(path_);
    }
    std::string path_;
};

// The system file reader is the judge of what the writer produced.
TEST_F(VsbWriterTest, WrittenBlocksReadBackThroughTheReader) {
    VsbBlock blocks[2];
    VsbBlockDefaults(&blocks[0]);
    char errorText[TEXT_SIZE] = "";
    ASSERT_EQ(
        VsbParseBlockDescription("device=ORVENT-SIXTEEN-C,name=BOOTLOAD,code=0x12,version=2.07,"
                                 "pid=00:12:34,member=5,address=0x4000,offset=1024,size=3072,"
                                 "reserved40=9,reserved52=0xDEADBEEF,fill=random,seed=42",
                                 &blocks[0], errorText),
        1)
        << errorText;
    VsbBlockDefaults(&blocks[1]);
    ASSERT_EQ(VsbParseBlockDescription("version=1.05,size=512,fill=0xA5,run=256:256:0xFF",
                                       &blocks[1], errorText),
              1)
        << errorText;
    ASSERT_EQ(VsbWriteFile(path_.c_str(), blocks, 2, 0, 0, errorText), 1) << errorText;
    EXPECT_EQ(TestReadFile(path_), BuildFile(blocks, 2));

    PlatformFile file = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(file, PLATFORM_FILE_NONE);
    SystemFileHeader header;
    ASSERT_EQ(ReadBlockHeader(file, &header, errorText), 1) << errorText;
    EXPECT_STREQ(header.deviceName, "ORVENT-SIXTEEN-C");
    EXPECT_STREQ(header.blockName, "BOOTLOAD");
    EXPECT_EQ(header.blockCode, 0x12);
    EXPECT_EQ(header.versionMajor, 2);
    EXPECT_EQ(header.versionMinor, 7);
    EXPECT_EQ(Bytes(header.productId, header.productId + 3), (Bytes{0x00, 0x12, 0x34}));
    EXPECT_EQ(header.memberId, 5);
    EXPECT_EQ(header.address, 0x4000u);
    EXPECT_EQ(header.offset, 1024u);
    EXPECT_EQ(header.dataSize, 3072u);
    EXPECT_EQ(header.reserved40, 9);
    EXPECT_EQ(header.reserved52, 0xDEADBEEFu);
    EXPECT_FALSE(header.isLastBlock);
    Bytes data(3072);
    ASSERT_EQ(PlatformFileRead(file, data.data(), 3072), 3072);
    EXPECT_EQ(data, BlockData(blocks[0]));

    ASSERT_EQ(ReadBlockHeader(file, &header, errorText), 1) << errorText;
    EXPECT_STREQ(header.deviceName, "ORVENT");
    EXPECT_EQ(Bytes(header.productId, header.productId + 3), (Bytes{0x3C, 0xFF, 0xFF}));
    EXPECT_EQ(header.memberId, 0xFF);
    EXPECT_EQ(header.versionMinor, 5);
    EXPECT_TRUE(header.isLastBlock);
    data.resize(512);
    ASSERT_EQ(PlatformFileRead(file, data.data(), 512), 512);
    Bytes expected(512, 0xA5);
    std::fill(expected.begin() + 256, expected.end(), 0xFF);
    EXPECT_EQ(data, expected);
    PlatformFileClose(&file);
}

TEST_F(VsbWriterTest, BrokenFilesFailTheReaderTheirWay) {
    struct Case {
        const char* what;
        const char* description;
        uint32_t surplus;
        int blocksBeforeFailure; // headers that read (and whose data is skipped) first
        const char* error;
    };
    const Case cases[] = {
        {"short header", "size=16,header=255", 0, 0, "Error - Header lengrh is too short."},
        {"wrong magic", "size=16,magic=bad", 0, 0, "Error - Illegal header string."},
        {"short data", "size=16,missing=1", 0, 0, "Filesize Error(shorter than header paramter)."},
        {"short surplus", "size=16", 255, 1, "Error - Header lengrh is too short."},
        {"long surplus", "size=16", 256, 1, "Error - Illegal header string."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VsbBlock block;
        VsbBlockDefaults(&block);
        char errorText[TEXT_SIZE] = "";
        ASSERT_EQ(VsbParseBlockDescription(c.description, &block, errorText), 1) << errorText;
        ASSERT_EQ(VsbWriteFile(path_.c_str(), &block, 1, c.surplus, 0, errorText), 1);
        PlatformFile file = PlatformFileOpenRead(path_.c_str());
        ASSERT_NE(file, PLATFORM_FILE_NONE);
        SystemFileHeader header;
        for (int i = 0; i < c.blocksBeforeFailure; i++) {
            ASSERT_EQ(ReadBlockHeader(file, &header, errorText), 1) << errorText;
            EXPECT_FALSE(header.isLastBlock);
            ASSERT_EQ(PlatformFileSeek(file, PlatformFilePosition(file) + header.dataSize), 1);
        }
        EXPECT_EQ(ReadBlockHeader(file, &header, errorText), 0);
        EXPECT_STREQ(errorText, c.error);
        PlatformFileClose(&file);
    }
}

TEST_F(VsbWriterTest, ContentPatternsAreReproducible) {
    const std::string contentPath = TestTempPath("vsb_content.bin");
    Bytes content(700);
    for (size_t i = 0; i < content.size(); i++) {
        content[i] = (unsigned char)(255 - i % 251);
    }
    ASSERT_TRUE(TestWriteFile(contentPath, content));

    VsbBlock block;
    char errorText[TEXT_SIZE] = "";
    VsbBlockDefaults(&block);
    ASSERT_EQ(VsbParseBlockDescription("size=300,fill=counter,run=10:3:0x77,run=298:50:1", &block,
                                       errorText),
              1);
    Bytes counter = BlockData(block);
    for (size_t i = 0; i < counter.size(); i++) {
        unsigned char expected = (unsigned char)i;
        expected = (i >= 10 && i < 13) ? 0x77 : (i >= 298 ? 1 : expected);
        ASSERT_EQ(counter[i], expected) << i;
    }

    VsbBlockDefaults(&block);
    ASSERT_EQ(VsbParseBlockDescription("size=4096,fill=random,seed=7", &block, errorText), 1);
    Bytes first = BlockData(block);
    EXPECT_EQ(BlockData(block), first);
    // Written in pieces or at once, the data is the same.
    Bytes file = BuildFile(&block, 1);
    EXPECT_EQ(Bytes(file.begin() + 256, file.end()), first);
    block.seed = 8;
    EXPECT_NE(BlockData(block), first);

    VsbBlockDefaults(&block);
    std::string description = "file=" + contentPath;
    ASSERT_EQ(VsbParseBlockDescription(description.c_str(), &block, errorText), 1) << errorText;
    EXPECT_EQ(block.dataSize, 700u);
    EXPECT_EQ(BlockData(block), content);
    block.dataSize = 701;
    Bytes tooMuch(701);
    EXPECT_EQ(VsbBlockData(&block, tooMuch.data(), 701, errorText), 0);
    EXPECT_STREQ(errorText, "The content file is shorter than the block.");
    TestRemoveFile(contentPath);
}

TEST_F(VsbWriterTest, RefusesBadDescriptions) {
    const char* const descriptions[] = {
        "device=SEVENTEEN-CHARS-X",
        "name=NINECHARS",
        "code=256",
        "version=1",
        "version=1.x",
        "pid=3",
        "pid=11223344",
        "pid=zz",
        "size=-1",
        "size=0x1FFFFFFFF",
        "run=1:2",
        "fill=pattern",
        "colour=red",
        "size",
        "header=0",
        "magic=maybe",
    };
    for (const char* description : descriptions) {
        SCOPED_TRACE(description);
        VsbBlock block;
        VsbBlockDefaults(&block);
        char errorText[TEXT_SIZE] = "";
        EXPECT_EQ(VsbParseBlockDescription(description, &block, errorText), 0);
        EXPECT_NE(errorText[0], 0);
    }
}

} // namespace
