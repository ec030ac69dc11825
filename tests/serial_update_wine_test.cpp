// A whole update over the Win32 serial port under Wine, in raw mode: COM3 leads to the
// pseudo-terminal of serial-instrument (started around this test by
// tests/serial_line_peer.py with the instrument's options from tests/serial_tests.cmake).
// The tool ends once the line has gone quiet and leaves its flash image in
// SERIAL_FLASH_DUMP, which is compared with the system file's blocks.
#include "logview/log_view.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "transports/serial_port.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Must agree with the instrument's options in tests/serial_tests.cmake.
const int kPeerPort = 3;
const int kBaudRate = 57600;
const uint32_t kDumpLength = 0x30400;

// The tool writes its dump when it ends, a moment after the last reply.
Bytes WaitForDump(const char* path) {
    for (int waited = 0; waited < 300; waited++) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
            return TestReadFile(path);
        }
        Sleep(100);
    }
    return Bytes();
}

class SerialUpdateWineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(TestEngineSetUp(nullptr, DEVICE_TYPE_SERIAL));
        path_ = TestTempPath("serial_update.vsb");
        blocks_.push_back(TestRandomBlock(1, 1, 5, 0x0000, 2048));
        blocks_.push_back(TestRandomBlock(2, 2, 1, 0x10000, 4096));
        blocks_.push_back(TestRandomBlock(3, 1, 10, 0x30000, 1024));
    }

    void TearDown() override {
        SerialClose();
        TestEngineTearDown();
        TestRemoveFile(path_);
    }

    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(SerialUpdateWineTest, RawFileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    DeleteFileA(SERIAL_FLASH_DUMP);

    char errorText[PATH_SIZE] = "";
    ASSERT_EQ(1, SerialOpen(kPeerPort, kBaudRate, errorText)) << errorText;
    TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
    EXPECT_EQ(1, RunUpdate());
    EXPECT_TRUE(TestLogHas("Update Completed!"));
    SerialClose();

    Bytes flash = WaitForDump(SERIAL_FLASH_DUMP);
    ASSERT_EQ(flash.size(), kDumpLength);
    for (const VsbBlock& b : blocks_) {
        ExpectImageHoldsBlock(b, flash);
    }
}

} // namespace
