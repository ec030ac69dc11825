#include "tests/transport_paths.h"

#include "platform/text.h"
#include "sim/instrument_options.h"
#include "tests/test_files.h"
#include "update/update_engine.h"
#include "update/update_observer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Every path waits at least 10 s for a reply, some for ever: an Abort that took as long
// would hold the Stop dialog.
const long kAbortedWithinMs = 2000;

std::vector<unsigned char> s_flashImage;

// How the run under way ended, as its observer heard it; the observer the run was set up
// with hears it as well.
struct RunEnd {
    void (*passOn)(void* context, int result, const char* text);
    int calls;
    int result;
    std::string text;
};

RunEnd s_runEnd;

void TakeRunEnd(void* context, int result, const char* text) {
    s_runEnd.calls++;
    s_runEnd.result = result;
    s_runEnd.text = text;
    if (s_runEnd.passOn != nullptr) {
        s_runEnd.passOn(context, result, text);
    }
}

// The cell whose silent instrument only the Abort ends.
const TransportPath* s_silentPath = nullptr;
int s_silentAfterMessage = 0;

bool SilentWaitReached(void) {
    return VirtualInstrumentMessageCount() > s_silentAfterMessage &&
           s_silentPath->waitingForReply();
}

// The blocks' addresses as one setting: "1=0x0,2=0x10000".
std::string BlockAddresses(const std::vector<VsbBlock>& blocks) {
    std::string list;
    for (const VsbBlock& b : blocks) {
        char entry[32];
        TextFormat(entry, sizeof entry, "%s%d=0x%X", list.empty() ? "" : ",", b.blockCode,
                   (unsigned)b.address);
        list += entry;
    }
    return list;
}

bool OpenPath(const TransportPath& path, const PathInstrument& instrument,
              const std::vector<VsbBlock>& blocks) {
    if (path.open != nullptr) {
        return path.open(instrument, blocks);
    }
    VirtualInstrumentConfig config;
    VirtualInstrumentDefaultConfig(&config);
    for (const PathSetting& s : PathInstrumentSettings(instrument, blocks)) {
        EXPECT_EQ(1, InstrumentApplyOption(s.option, s.value.c_str(), &config)) << s.option;
    }
    return path.openInstrument(config, nullptr);
}

void ExpectFaultCell(const TransportPath& path, const FaultRow& row, const std::string& file,
                     int protocolCode, bool rawOffered) {
    FaultRow c = FaultRowOnPath(row, path.deviceType);
    VirtualInstrumentConfig instrument;
    FaultMatrixInstrument(c, protocolCode, rawOffered, &instrument);
    // A fresh log for each cell.
    ASSERT_TRUE(TestEngineSetUp(path.mainWindow, path.deviceType));
    if (path.openInstrument(instrument, &c)) {
        UpdateObserver observer = g_updateEngine.observer;
        s_runEnd = RunEnd{observer.finished, 0, -1, ""};
        observer.finished = TakeRunEnd;
        g_updateEngine.observer = observer;
        int result = c.expected == nullptr ? UPDATE_RESULT_COMPLETED : UPDATE_RESULT_FAILED;
        if (c.silence == SILENCE && path.waitingForReply != nullptr) {
            s_silentPath = &path;
            s_silentAfterMessage = c.lastMessage;
            TestAbortRunningUpdate(file.c_str(), path.deviceType, 50, SilentWaitReached);
            c.expected = "User aborted.";
            result = UPDATE_RESULT_ABORTED;
        } else {
            StartUpdate(&observer, file.c_str(), path.deviceType, 0, 0);
            PlatformThreadWait(g_updateEngine.thread);
            PlatformThreadClose(&g_updateEngine.thread);
        }
        EXPECT_EQ(g_updateEngine.updateState.load(), UPDATE_IDLE);
        EXPECT_EQ(s_runEnd.calls, 1);
        EXPECT_EQ(s_runEnd.result, result);
        EXPECT_EQ(s_runEnd.text, c.expected != nullptr ? c.expected : "Update Completed!");
        ExpectRunEndedAs(c);
        ExpectInstrumentAfterFault(c, path.deviceType, rawOffered);
        if (path.expectAfterFault != nullptr) {
            path.expectAfterFault(c);
        }
        path.close();
    }
    TestEngineTearDown();
}

} // namespace

std::vector<VsbBlock> TestSeveralBlocks(void) {
    return {TestRandomBlock(1, 1, 5, 0x0000, 2048), TestRandomBlock(2, 2, 1, 0x10000, 4096),
            TestRandomBlock(3, 1, 10, 0x30000, 1024)};
}

std::vector<PathSetting> PathInstrumentSettings(const PathInstrument& instrument,
                                                const std::vector<VsbBlock>& blocks) {
    std::vector<PathSetting> settings = {
        {"protocol", "ORV_VI_PROTOCOL", std::to_string(instrument.protocolCode)},
        {"packet-size", "ORV_VI_PACKET_SIZE", std::to_string(instrument.packetSize)},
        {"flags", "ORV_VI_FLAGS", std::to_string(instrument.deviceFlags)},
        {"write-steps", "ORV_VI_WRITE_STEPS", std::to_string(instrument.writeSteps)},
        {"version", "ORV_VI_VERSIONS", "1=1.03,2=2.00,3=1.00"},
        {"block-address", "ORV_VI_BLOCK_ADDRESSES", BlockAddresses(blocks)},
    };
    if (instrument.fault != nullptr) {
        settings.push_back({"fault", "ORV_VI_FAULT", instrument.fault});
        settings.push_back({"fault-at", "ORV_VI_FAULT_AT", std::to_string(instrument.faultAt)});
    }
    return settings;
}

void TestSetFlashImage(const std::vector<unsigned char>& image) {
    s_flashImage = image;
}

int TestFlashImageRead(uint32_t address, unsigned char* out, uint32_t length) {
    if ((uint64_t)address + length > s_flashImage.size()) {
        return 0;
    }
    std::memcpy(out, s_flashImage.data() + address, length);
    return 1;
}

void ExpectWholeUpdate(const TransportPath& path, const PathInstrument& instrument,
                       const std::vector<VsbBlock>& blocks) {
    SCOPED_TRACE(std::string(path.name) + ", " + instrument.name);
    const std::string file = TestTempPath("whole_update.vsb");
    ASSERT_TRUE(TestWriteSystemFile(file, blocks));
    ASSERT_TRUE(TestEngineSetUp(path.mainWindow, path.deviceType));
    if (OpenPath(path, instrument, blocks)) {
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, file.c_str());
        EXPECT_EQ(1, RunUpdate());
        EXPECT_TRUE(TestLogHas("Update Completed!"));
        if (path.close()) {
            for (const VsbBlock& b : blocks) {
                ExpectFlashHoldsBlock(b, path.readFlash);
            }
        }
    }
    TestEngineTearDown();
    TestRemoveFile(file);
}

void ExpectAbortEndsTheWaitForASilentInstrument(const TransportPath& path) {
    SCOPED_TRACE(path.name);
    const std::vector<VsbBlock> blocks = TestSeveralBlocks();
    const std::string file = TestTempPath("silent_instrument.vsb");
    ASSERT_TRUE(TestWriteSystemFile(file, blocks));
    ASSERT_TRUE(TestEngineSetUp(path.mainWindow, path.deviceType));
    const PathInstrument silent = {"silent", 0, 256, 0, 0, "silent-from-packet", 2, 38400};
    if (OpenPath(path, silent, blocks)) {
        EXPECT_LT(TestAbortRunningUpdate(file.c_str(), path.deviceType, 500), kAbortedWithinMs);
        path.close();
    }
    TestEngineTearDown();
    TestRemoveFile(file);
}

void ExpectFaultRowOnPath(const TransportPath& path, const FaultRow& row) {
    const std::string file = TestTempPath("fault_matrix.vsb");
    ASSERT_TRUE(TestWriteSystemFile(file, {FaultMatrixBlock()}));
    for (int protocolCode : {0, 1}) {
        for (bool rawOffered : {false, true}) {
            SCOPED_TRACE(std::string(path.name) + " protocol " + std::to_string(protocolCode) +
                         (rawOffered ? " raw offered" : ""));
            ExpectFaultCell(path, row, file, protocolCode, rawOffered);
        }
    }
    TestRemoveFile(file);
}
