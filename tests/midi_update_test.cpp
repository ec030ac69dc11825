// A whole update over MIDI under Wine: the update engine, the real MIDI transport, the
// stand-in winmm.dll and the instrument inside it. The flash image is read back through
// the stand-in, as a black-box run would read its dump file.
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "sim/vsb_writer.h"
#include "sim/winmm_standin.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const char* const kVariables[] = {
    "ORV_VI_PROTOCOL",        "ORV_VI_PACKET_SIZE", "ORV_VI_WRITE_STEPS", "ORV_VI_VERSIONS",
    "ORV_VI_BLOCK_ADDRESSES", "ORV_VI_FAULT",       "ORV_VI_FAULT_AT",    "ORV_MIDI_FLASH_DUMP",
    "ORV_MIDI_FLASH_RANGE",   "ORV_MIDI_REPORT",
};

struct StandinControl {
    decltype(&StandinReset) reset;
    decltype(&StandinFlashRead) flashRead;
    decltype(&StandinWriteReport) writeReport;
};

StandinControl g_standin;

template <typename T> bool Bind(HMODULE module, const char* name, T* out) {
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

struct UpdateCase {
    const char* what;
    const char* protocol;
    const char* packetSize;
    const char* writeSteps;
    const char* fault;
    const char* faultAt;
};

const UpdateCase kCases[] = {
    {"protocol 1, 1024-byte packets, two-phase writing", "1", "1024", "3", nullptr, nullptr},
    // The garbage lands in an input buffer of its own, which the receive skips.
    {"protocol 0, 256-byte packets, garbage before a reply", "0", "256", nullptr, "garbage-before",
     "4"},
};

class MidiUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HMODULE m = GetModuleHandleA("winmm.dll");
        ASSERT_TRUE(m != NULL && Bind(m, "StandinReset", &g_standin.reset) &&
                    Bind(m, "StandinFlashRead", &g_standin.flashRead) &&
                    Bind(m, "StandinWriteReport", &g_standin.writeReport))
            << "the stand-in winmm.dll did not load beside the test";
        ASSERT_TRUE(TestEngineSetUp(nullptr, DEVICE_TYPE_MIDI));
        path_ = TestTempPath("midi_update.vsb");
        dumpPath_ = TestTempPath("flash.bin");
        reportPath_ = TestTempPath("report.txt");
        blocks_.push_back(TestRandomBlock(1, 1, 5, 0x0000, 2048));
        blocks_.push_back(TestRandomBlock(2, 2, 1, 0x10000, 4096));
        blocks_.push_back(TestRandomBlock(3, 1, 10, 0x30000, 1024));
    }

    void TearDown() override {
        MidiClose();
        TestEngineTearDown();
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
        TestRemoveFile(path_);
        TestRemoveFile(dumpPath_);
        TestRemoveFile(reportPath_);
    }

    void Configure(const UpdateCase& c) {
        SetEnvironmentVariableA("ORV_VI_PROTOCOL", c.protocol);
        SetEnvironmentVariableA("ORV_VI_PACKET_SIZE", c.packetSize);
        SetEnvironmentVariableA("ORV_VI_WRITE_STEPS", c.writeSteps);
        SetEnvironmentVariableA("ORV_VI_FAULT", c.fault);
        SetEnvironmentVariableA("ORV_VI_FAULT_AT", c.faultAt);
        SetEnvironmentVariableA("ORV_VI_VERSIONS", "1=1.03,2=2.00,3=1.00");
        // Protocol 0 announces no address: the instrument knows where each block lives.
        SetEnvironmentVariableA("ORV_VI_BLOCK_ADDRESSES", "1=0,2=0x10000,3=0x30000");
        SetEnvironmentVariableA("ORV_MIDI_FLASH_DUMP", dumpPath_.c_str());
        SetEnvironmentVariableA("ORV_MIDI_FLASH_RANGE", "0x10000,4096");
        SetEnvironmentVariableA("ORV_MIDI_REPORT", reportPath_.c_str());
        g_standin.reset();
    }

    std::vector<VsbBlock> blocks_;
    std::string path_;
    std::string dumpPath_;
    std::string reportPath_;
};

TEST_F(MidiUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    for (const UpdateCase& c : kCases) {
        SCOPED_TRACE(c.what);
        Configure(c);
        char openError[PATH_SIZE] = "";
        ASSERT_EQ(1, MidiOpen("ORVENT 1 SOUND", "ORVENT 1 KEYBOARD", openError, 1)) << openError;
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
        EXPECT_EQ(1, RunUpdate());
        EXPECT_TRUE(TestLogHas("Update Completed!"));
        MidiClose();

        for (const VsbBlock& b : blocks_) {
            ExpectFlashHoldsBlock(b, g_standin.flashRead);
        }
        // Closing the last port wrote the report files.
        EXPECT_EQ(TestBlockData(blocks_[1]), TestReadFile(dumpPath_));
        Bytes report = TestReadFile(reportPath_);
        const std::string text(report.begin(), report.end());
        EXPECT_NE(std::string::npos, text.find("written 4096\r\n"));
        // Open, inquiry, update and close put nothing but update messages on the wire.
        EXPECT_NE(std::string::npos, text.find("foreign 0\r\n")) << text;
    }
}

// The Stop dialog's Abort against an instrument that fell silent: a 5000-tick wait
// (50 s) would otherwise hold the dialog.
TEST_F(MidiUpdateTest, AbortEndsTheWaitForASilentInstrument) {
    ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    Configure({"silent", "0", "256", nullptr, "silent-from-packet", "2"});
    char openError[PATH_SIZE] = "";
    ASSERT_EQ(1, MidiOpen("ORVENT 1 SOUND", "ORVENT 1 KEYBOARD", openError, 1)) << openError;
    EXPECT_LT(TestAbortRunningUpdate(path_.c_str(), DEVICE_TYPE_MIDI, 500), 2000);
}

} // namespace
