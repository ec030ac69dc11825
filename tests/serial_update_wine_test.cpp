// A whole update over the Win32 serial port under Wine, in raw mode: COM3 leads to the
// pseudo-terminal of serial-instrument (started around this test by
// tests/serial_line_peer.py with the instrument's options from tests/serial_tests.cmake).
// The tool ends once the line has gone quiet and leaves its flash image in
// SERIAL_FLASH_DUMP, which is compared with the system file's blocks.
#include "logview/log_surface_record.h"
#include "logview/log_view.h"
#include "sim/vsb_writer.h"
#include "tests/test_files.h"
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

bool LogContains(const char* text) {
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        if (std::string(RecordedLogRow(r)) == text) {
            return true;
        }
    }
    return false;
}

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
        RecordReset();
        LogViewCreate(nullptr, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
        ShowLog = 1;
        char errorText[TEXT_SIZE];
        ASSERT_EQ(1, AllocUpdateBuffers(errorText));
        g_updateEngine.deviceType = DEVICE_SERIAL;
        g_updateEngine.skipVersionCheck = 0;
        g_updateEngine.skipDeviceCheck = 0;
        g_updateEngine.updateState.store(UPDATE_RUNNING);
        path_ = TestTempPath("serial_update.vsb");
        AddBlock(1, 1, 5, 0x0000, 2048);
        AddBlock(2, 2, 1, 0x10000, 4096);
        AddBlock(3, 1, 10, 0x30000, 1024);
    }

    void TearDown() override {
        SerialClose();
        LogViewDestroy();
        FreeUpdateBuffers();
        g_updateEngine.updateState.store(UPDATE_IDLE);
        TestRemoveFile(path_);
    }

    void AddBlock(int code, int major, int minor, uint32_t address, uint32_t size) {
        VsbBlock b;
        VsbBlockDefaults(&b);
        b.blockCode = (unsigned char)code;
        b.versionMajor = (unsigned char)major;
        b.versionMinor = (unsigned char)minor;
        b.address = address;
        b.dataSize = size;
        b.content = VSB_CONTENT_RANDOM;
        b.seed = (uint32_t)(code * 7919);
        blocks_.push_back(b);
    }

    Bytes BlockData(const VsbBlock& b) {
        Bytes data(b.dataSize);
        char errorText[TEXT_SIZE];
        EXPECT_EQ(1, VsbBlockData(&b, data.data(), b.dataSize, errorText)) << errorText;
        return data;
    }

    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(SerialUpdateWineTest, RawFileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    char errorText[PATH_SIZE] = "";
    ASSERT_EQ(1, VsbWriteFile(path_.c_str(), blocks_.data(), (int)blocks_.size(), 0, 0, errorText))
        << errorText;
    DeleteFileA(SERIAL_FLASH_DUMP);

    ASSERT_EQ(1, SerialOpen(kPeerPort, kBaudRate, errorText)) << errorText;
    TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
    EXPECT_EQ(1, RunUpdate());
    EXPECT_TRUE(LogContains("Update Completed!"));
    SerialClose();

    Bytes flash = WaitForDump(SERIAL_FLASH_DUMP);
    ASSERT_EQ(flash.size(), kDumpLength);
    for (const VsbBlock& b : blocks_) {
        Bytes written(flash.begin() + b.address, flash.begin() + b.address + b.dataSize);
        EXPECT_EQ(BlockData(b), written) << "block " << (int)b.blockCode;
    }
}

} // namespace
