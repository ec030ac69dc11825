// A whole update over MIDI under Wine: the update engine, the real MIDI transport, the
// stand-in winmm.dll and the instrument inside it. The flash image is read back through
// the stand-in, as a black-box run would read its dump file.
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "sim/vsb_writer.h"
#include "sim/winmm_standin.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/transport_paths.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const char* const kVariables[] = {
    "ORV_VI_PROTOCOL",     "ORV_VI_PACKET_SIZE",     "ORV_VI_FLAGS",    "ORV_VI_WRITE_STEPS",
    "ORV_VI_VERSIONS",     "ORV_VI_BLOCK_ADDRESSES", "ORV_VI_FAULT",    "ORV_VI_FAULT_AT",
    "ORV_MIDI_FLASH_DUMP", "ORV_MIDI_FLASH_RANGE",   "ORV_MIDI_REPORT",
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

// The stand-in's instrument as its environment describes it; its flash dump holds block
// 2's range and its report is written when the last port closes.
struct StandinFiles {
    std::string dumpPath;
    std::string reportPath;
};

StandinFiles s_files;

bool OpenStandin(const PathInstrument& instrument, const std::vector<VsbBlock>& blocks) {
    for (const char* name : kVariables) {
        SetEnvironmentVariableA(name, NULL);
    }
    for (const PathSetting& s : PathInstrumentSettings(instrument, blocks)) {
        SetEnvironmentVariableA(s.variable, s.value.c_str());
    }
    SetEnvironmentVariableA("ORV_MIDI_FLASH_DUMP", s_files.dumpPath.c_str());
    SetEnvironmentVariableA("ORV_MIDI_FLASH_RANGE", "0x10000,4096");
    SetEnvironmentVariableA("ORV_MIDI_REPORT", s_files.reportPath.c_str());
    g_standin.reset();
    char openError[PATH_SIZE] = "";
    const int opened = MidiOpen("ORVENT 1 SOUND", "ORVENT 1 KEYBOARD", openError, 1);
    EXPECT_EQ(1, opened) << openError;
    return opened == 1;
}

bool CloseStandin(void) {
    MidiClose();
    return true;
}

int StandinFlash(uint32_t address, unsigned char* out, uint32_t length) {
    return g_standin.flashRead(address, out, length);
}

const TransportPath kStandinPath = {"Standin", DEVICE_TYPE_MIDI, OpenStandin,
                                    nullptr,   CloseStandin,     StandinFlash,
                                    nullptr,   nullptr,          nullptr};

class MidiUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HMODULE m = GetModuleHandleA("winmm.dll");
        ASSERT_TRUE(m != NULL && Bind(m, "StandinReset", &g_standin.reset) &&
                    Bind(m, "StandinFlashRead", &g_standin.flashRead) &&
                    Bind(m, "StandinWriteReport", &g_standin.writeReport))
            << "the stand-in winmm.dll did not load beside the test";
        s_files.dumpPath = TestTempPath("flash.bin");
        s_files.reportPath = TestTempPath("report.txt");
    }

    void TearDown() override {
        MidiClose();
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
        TestRemoveFile(s_files.dumpPath);
        TestRemoveFile(s_files.reportPath);
    }
};

TEST_F(MidiUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    const PathInstrument instruments[] = {
        {"protocol 1, 1024-byte packets, two-phase writing", 1, 1024, 0, 3, nullptr, 0, 0},
        // The garbage lands in an input buffer of its own, which the receive skips.
        {"protocol 0, 256-byte packets, garbage before a reply", 0, 256, 0, 0, "garbage-before", 4,
         0},
    };
    const std::vector<VsbBlock> blocks = TestSeveralBlocks();
    for (const PathInstrument& instrument : instruments) {
        SCOPED_TRACE(instrument.name);
        ExpectWholeUpdate(kStandinPath, instrument, blocks);
        // Closing the last port wrote the report files.
        EXPECT_EQ(TestBlockData(blocks[1]), TestReadFile(s_files.dumpPath));
        Bytes report = TestReadFile(s_files.reportPath);
        const std::string text(report.begin(), report.end());
        EXPECT_NE(std::string::npos, text.find("written 4096\r\n"));
        // Open, inquiry, update and close put nothing but update messages on the wire.
        EXPECT_NE(std::string::npos, text.find("foreign 0\r\n")) << text;
    }
}

// A 5000-tick wait (50 s) would otherwise hold the Stop dialog.
TEST_F(MidiUpdateTest, AbortEndsTheWaitForASilentInstrument) {
    ExpectAbortEndsTheWaitForASilentInstrument(kStandinPath);
}

} // namespace
