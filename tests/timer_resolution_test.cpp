// The 1 ms timer resolution the update asks for: asked once and given back once on every
// way out, whether the run succeeds, fails or is aborted. The version inquiry neither
// sleeps nor counts ticks, so it leaves the system's timer alone.
#include "platform/platform_thread_testing.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "sysfile/system_file.h"
#include "tests/doubles/sim_transport.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_begins{0};
std::atomic<int> g_ends{0};
std::atomic<int> g_held{0};
std::atomic<int> g_unbalanced{0}; // an End without its Begin, or a second Begin

void CountTimerResolution(int begin) {
    if (begin) {
        g_begins++;
        if (g_held++ != 0) {
            g_unbalanced++;
        }
    } else {
        g_ends++;
        if (--g_held != 0) {
            g_unbalanced++;
        }
    }
}

struct RunCase {
    const char* what;
    bool fileMissing;
    VirtualFault fault;
    int faultAt;
    int expected;
};

const RunCase kRuns[] = {
    {"completed", false, VI_FAULT_NONE, 0, 1},
    {"no file", true, VI_FAULT_NONE, 0, 0},
    {"a packet refused", false, VI_FAULT_STATUS, 1, 0},
    {"silent instrument", false, VI_FAULT_SILENT_FROM_PACKET, 2, 0},
};

class TimerResolutionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_begins = g_ends = g_held = g_unbalanced = 0;
        PlatformSetTimerResolutionHook(CountTimerResolution);
        ResetTransport();
        ASSERT_TRUE(TestEngineSetUp(nullptr, DEVICE_TYPE_MIDI));
        path_ = TestTempPath("timer_resolution.vsb");
        ASSERT_TRUE(TestWriteSystemFile(path_, {TestRandomBlock(1, 1, 5, 0, 2048)}));
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
    }

    void TearDown() override {
        PlatformSetTimerResolutionHook(nullptr);
        TestEngineTearDown();
        TestRemoveFile(path_);
    }

    void ResetTransport() {
        SimTransportConfig transport;
        SimTransportDefaultConfig(&transport);
        transport.midiTickMs = 1;
        SimTransportReset(&transport);
    }

    void ExpectAskedOnceAndGivenBack(const char* what) {
        EXPECT_EQ(1, g_begins.load()) << what;
        EXPECT_EQ(1, g_ends.load()) << what;
        EXPECT_EQ(0, g_unbalanced.load()) << what;
    }

    std::string path_;
};

TEST_F(TimerResolutionTest, UpdateGivesItBackOnEveryWayOut) {
    for (const RunCase& c : kRuns) {
        g_begins = g_ends = g_held = g_unbalanced = 0;
        VirtualInstrumentConfig instrument;
        VirtualInstrumentDefaultConfig(&instrument);
        instrument.versionMajor[1] = 1;
        instrument.versionMinor[1] = 3;
        instrument.fault = c.fault;
        instrument.faultAt = c.faultAt;
        instrument.faultStatus = 1;
        VirtualInstrumentReset(&instrument);
        ResetTransport();
        std::string missing = path_ + ".missing";
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName,
                 c.fileMissing ? missing.c_str() : path_.c_str());
        if (c.fault == VI_FAULT_SILENT_FROM_PACKET) {
            // The user's abort while the update waits for an acknowledgement.
            TestAbortRunningUpdate(path_.c_str(), DEVICE_TYPE_MIDI, 100);
        } else {
            EXPECT_EQ(c.expected, RunUpdate()) << c.what;
        }
        ExpectAskedOnceAndGivenBack(c.what);
    }
}

TEST_F(TimerResolutionTest, VersionInquiryLeavesItAloneAnsweredOrNot) {
    SystemFileHeader header = {};
    header.productId[0] = 0x3C;
    header.productId[1] = header.productId[2] = 0xFF;
    header.memberId = 0xFF;
    header.blockCode = 1;
    header.versionMajor = 1;
    for (int answered = 0; answered < 2; answered++) {
        g_begins = g_ends = g_held = g_unbalanced = 0;
        VirtualInstrumentConfig instrument;
        VirtualInstrumentDefaultConfig(&instrument);
        instrument.fault = answered ? VI_FAULT_NONE : VI_FAULT_NO_REPLY;
        instrument.faultAt = 0;
        VirtualInstrumentReset(&instrument);
        ResetTransport();
        EXPECT_EQ(answered ? INQUIRE_UPDATE_NEEDED : INQUIRE_NO_ANSWER,
                  InquireVersion(&header, DEVICE_TYPE_MIDI, nullptr));
        EXPECT_EQ(0, g_begins.load()) << (answered ? "answered" : "no answer");
        EXPECT_EQ(0, g_ends.load()) << (answered ? "answered" : "no answer");
    }
}

} // namespace
