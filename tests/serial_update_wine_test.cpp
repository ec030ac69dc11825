// A whole update over the Win32 serial port under Wine, in raw mode: COM3 leads to the
// pseudo-terminal of serial-instrument (started around this test by
// tests/serial_line_peer.py with the instrument's options from tests/serial_tests.cmake).
// The tool ends once the line has gone quiet and leaves its flash image in
// SERIAL_FLASH_DUMP, which is compared with the system file's blocks.
#include "logview/log_view.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/transport_paths.h"
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
const PathInstrument kPeerInstrument = {
    "protocol 1, raw packets, two-phase writing", 1, 1024, DEVICE_FLAG_RAW, 2, nullptr, 0, 57600};
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

// The instrument was set up by its options before this test began.
bool OpenPeerLine(const PathInstrument& instrument, const std::vector<VsbBlock>&) {
    DeleteFileA(SERIAL_FLASH_DUMP);
    char errorText[PATH_SIZE] = "";
    const int opened = SerialOpen(kPeerPort, instrument.baudRate, errorText);
    EXPECT_EQ(1, opened) << errorText;
    return opened == 1;
}

bool ClosePeerLine(void) {
    SerialClose();
    Bytes flash = WaitForDump(SERIAL_FLASH_DUMP);
    EXPECT_EQ(flash.size(), kDumpLength);
    TestSetFlashImage(flash);
    return flash.size() == kDumpLength;
}

const TransportPath kPeerLinePath = {"Com3",        DEVICE_TYPE_SERIAL, OpenPeerLine, nullptr,
                                     ClosePeerLine, TestFlashImageRead, nullptr,      nullptr,
                                     nullptr};

class SerialUpdateWineTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SerialClose();
    }
};

TEST_F(SerialUpdateWineTest, RawFileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    ExpectWholeUpdate(kPeerLinePath, kPeerInstrument, TestSeveralBlocks());
}

} // namespace
