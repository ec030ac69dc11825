// A whole update over MIDI under Wine: the update engine, the real MIDI transport, the
// stand-in winmm.dll and the instrument inside it. The flash image is read back through
// the stand-in, as a black-box run would read its dump file.
#include "logview/log_surface_record.h"
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "sim/vsb_writer.h"
#include "sim/winmm_standin.h"
#include "tests/test_files.h"
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

bool LogContains(const char* text) {
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        if (std::string(RecordedLogRow(r)) == text) {
            return true;
        }
    }
    return false;
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
        RecordReset();
        LogViewCreate(nullptr, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
        ShowLog = 1;
        char errorText[TEXT_SIZE];
        ASSERT_EQ(1, AllocUpdateBuffers(errorText));
        g_updateEngine.deviceType = DEVICE_MIDI;
        g_updateEngine.skipVersionCheck = 0;
        g_updateEngine.skipDeviceCheck = 0;
        g_updateEngine.updateState.store(UPDATE_RUNNING);
        path_ = TestTempPath("midi_update.vsb");
        dumpPath_ = TestTempPath("flash.bin");
        reportPath_ = TestTempPath("report.txt");
        AddBlock(1, 1, 5, 0x0000, 2048);
        AddBlock(2, 2, 1, 0x10000, 4096);
        AddBlock(3, 1, 10, 0x30000, 1024);
    }

    void TearDown() override {
        MidiClose();
        LogViewDestroy();
        FreeUpdateBuffers();
        g_updateEngine.updateState.store(UPDATE_IDLE);
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
        TestRemoveFile(path_);
        TestRemoveFile(dumpPath_);
        TestRemoveFile(reportPath_);
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

    Bytes BlockData(const VsbBlock& b) {
        Bytes data(b.dataSize);
        char errorText[TEXT_SIZE];
        EXPECT_EQ(1, VsbBlockData(&b, data.data(), b.dataSize, errorText)) << errorText;
        return data;
    }

    std::vector<VsbBlock> blocks_;
    std::string path_;
    std::string dumpPath_;
    std::string reportPath_;
};

TEST_F(MidiUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    char errorText[TEXT_SIZE];
    ASSERT_EQ(1, VsbWriteFile(path_.c_str(), blocks_.data(), (int)blocks_.size(), 0, 0, errorText))
        << errorText;
    for (const UpdateCase& c : kCases) {
        SCOPED_TRACE(c.what);
        Configure(c);
        char openError[PATH_SIZE] = "";
        ASSERT_EQ(1, MidiOpen("ORVENT 1 SOUND", "ORVENT 1 KEYBOARD", openError, 1)) << openError;
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
        EXPECT_EQ(1, RunUpdate());
        EXPECT_TRUE(LogContains("Update Completed!"));
        MidiClose();

        for (const VsbBlock& b : blocks_) {
            Bytes flash(b.dataSize);
            ASSERT_EQ(1, g_standin.flashRead(b.address, flash.data(), b.dataSize));
            EXPECT_EQ(BlockData(b), flash) << "block " << (int)b.blockCode;
        }
        // Closing the last port wrote the report files.
        EXPECT_EQ(BlockData(blocks_[1]), TestReadFile(dumpPath_));
        Bytes report = TestReadFile(reportPath_);
        EXPECT_NE(std::string::npos,
                  std::string(report.begin(), report.end()).find("written 4096\r\n"));
    }
}

} // namespace
