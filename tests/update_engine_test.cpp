// The update procedure run end to end against the virtual instrument over the in-process
// transport double: the wire bytes, the log and status rows, the progress bar, the
// posted commands and the instrument's flash image.
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "platform/platform_memory_testing.h"
#include "platform/platform_thread_testing.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/sim_transport.h"
#include "tests/fault_matrix.h"
#include "tests/protocol_examples.h"
#include "tests/test_files.h"
#include "tests/transport_paths.h"
#include "update/transport.h"
#include "app/update_window.h"
#include "resources/resource_ids.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

PlatformWindow const kMainWindow = reinterpret_cast<PlatformWindow>(0x1000);
PlatformWindow const kProgressBar = reinterpret_cast<PlatformWindow>(0x2000);

struct WindowEvent {
    bool posted; // PostMessage of a command, else SendMessage to the progress bar
    uint32_t id; // command id, or the message
    int64_t value;
    std::string status; // status row 0 when the bar moved (read on the update thread,
                        // the only one writing the view then)
};

std::mutex s_eventLock;
std::vector<WindowEvent> s_events;

void RecordPost(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    EXPECT_EQ(window, kMainWindow);
    std::lock_guard<std::mutex> lock(s_eventLock);
    s_events.push_back({true, commandId, lParam, ""});
}

intptr_t RecordSend(PlatformWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    EXPECT_EQ(window, kProgressBar);
    std::lock_guard<std::mutex> lock(s_eventLock);
    std::string status = message == PBM_SETPOS_MSG ? RecordedStatusRow(0) : "";
    s_events.push_back({false, message,
                        message == PBM_SETRANGE32_MSG ? (int64_t)lParam : (int64_t)wParam, status});
    return 0;
}

std::vector<WindowEvent> Events() {
    std::lock_guard<std::mutex> lock(s_eventLock);
    return s_events;
}

std::vector<int64_t> BarPositions() {
    std::vector<int64_t> out;
    for (const WindowEvent& e : Events()) {
        if (!e.posted && e.id == PBM_SETPOS_MSG) {
            out.push_back(e.value);
        }
    }
    return out;
}

// The status texts the bar moves saw, each change once: what the user reads while a
// block goes out.
std::vector<std::string> StatusTexts() {
    std::vector<std::string> out;
    for (const WindowEvent& e : Events()) {
        if (!e.posted && e.id == PBM_SETPOS_MSG && (out.empty() || out.back() != e.status)) {
            out.push_back(e.status);
        }
    }
    return out;
}

std::vector<int64_t> Posted(uint32_t id) {
    std::vector<int64_t> out;
    for (const WindowEvent& e : Events()) {
        if (e.posted && e.id == id) {
            out.push_back(e.value);
        }
    }
    return out;
}

std::vector<unsigned char> ReceivedMessage(int index) {
    std::vector<unsigned char> buf(VI_MAX_MESSAGE);
    int n = VirtualInstrumentMessage(index, buf.data(), (int)buf.size());
    buf.resize(n > 0 ? (size_t)n : 0);
    return buf;
}

// The message codes the instrument received, in order.
std::vector<int> ReceivedCodes(int productIdLength = 1) {
    std::vector<int> out;
    for (int i = 0; i < VirtualInstrumentMessageCount(); i++) {
        std::vector<unsigned char> m = ReceivedMessage(i);
        out.push_back(m.size() > (size_t)(3 + productIdLength) ? m[3 + productIdLength] : -1);
    }
    return out;
}

// The timeoutTicks of every MIDI receive, in order.
std::vector<int> ReceiveTicks() {
    std::vector<int> out;
    SimTransportCall call;
    for (int i = 0; SimTransportGetCall(i, &call); i++) {
        if (call.operation == SIM_MIDI_RECEIVE) {
            out.push_back(call.timeoutTicks);
        }
    }
    return out;
}

int DataPacketsReceived(int productIdLength = 1) {
    int count = 0;
    for (int code : ReceivedCodes(productIdLength)) {
        count += code == MSG_DATA || code == MSG_FILL;
    }
    return count;
}

std::vector<std::string> LogRows() {
    std::vector<std::string> rows;
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        rows.push_back(RecordedLogRow(r));
    }
    return rows;
}

class UpdateEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(s_eventLock);
            s_events.clear();
        }
        PlatformSetWindowHooks(RecordPost, RecordSend);
        ASSERT_TRUE(TestEngineSetUp(kMainWindow, DEVICE_TYPE_MIDI));
        UpdateWindowSetProgressBar(kProgressBar);

        VirtualInstrumentDefaultConfig(&instrument_);
        instrument_.versionMajor[1] = 1;
        instrument_.versionMinor[1] = 3;
        SimTransportDefaultConfig(&transport_);
        transport_.midiTickMs = 1; // time-outs of 300 and 5000 ticks stay short

        path_ = TestTempPath("engine.vsb");
        blocks_.clear();
        AddBlock(1, 1, 5, 0, 512);
    }

    void TearDown() override {
        PlatformSetWindowHooks(nullptr, nullptr);
        UpdateWindowSetProgressBar(nullptr);
        TestEngineTearDown();
        TestRemoveFile(path_);
    }

    void AddBlock(int code, int major, int minor, uint32_t address, uint32_t size) {
        blocks_.push_back(TestRandomBlock(code, major, minor, address, size));
    }

    void WriteFile(uint32_t surplus = 0) {
        ASSERT_TRUE(TestWriteSystemFile(path_, blocks_, surplus));
        TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
        // Protocol 0 carries no block address: the instrument knows where each block lives.
        for (const VsbBlock& b : blocks_) {
            instrument_.blockAddress[b.blockCode] = b.address;
        }
    }

    void PrepareRun(uint32_t surplus = 0) {
        WriteFile(surplus);
        VirtualInstrumentReset(&instrument_);
        SimTransportReset(&transport_);
    }

    int Run(uint32_t surplus = 0) {
        PrepareRun(surplus);
        return RunUpdate();
    }

    // The block's bytes are in flash at its address + offset.
    void ExpectBlockInFlash(const VsbBlock& b) {
        ExpectFlashHoldsBlock(b, VirtualInstrumentFlashRead);
        EXPECT_EQ(VirtualInstrumentFlashWrittenCount(b.address + b.offset, b.dataSize), b.dataSize);
    }

    void ExpectBlockUntouched(const VsbBlock& b) {
        EXPECT_EQ(VirtualInstrumentFlashWrittenCount(b.address + b.offset, b.dataSize), 0u);
    }

    void ExpectFailed(int result, const char* text) {
        EXPECT_EQ(result, 0);
        EXPECT_STREQ(RecordedStatusRow(0), text);
        EXPECT_TRUE(TestLogHas(text)) << "log lacks " << text;
        EXPECT_FALSE(TestLogHas("Update Completed!"));
    }

    VirtualInstrumentConfig instrument_;
    SimTransportConfig transport_;
    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(UpdateEngineTest, ExampleExchangeGoesOutByteForByte) {
    ASSERT_EQ(Run(), 1);

    ASSERT_EQ(VirtualInstrumentMessageCount(), 5);
    EXPECT_EQ(ReceivedMessage(0), ExampleInquiry());
    EXPECT_EQ(ReceivedMessage(1), ExampleVersionRequest());
    EXPECT_EQ(ReceivedMessage(2), ExampleSetModeProtocol0());
    for (int packet = 0; packet < 2; packet++) {
        std::vector<unsigned char> m = ReceivedMessage(3 + packet);
        ASSERT_EQ(m.size(), 7u + 293u + 2u);
        EXPECT_EQ(std::vector<unsigned char>(m.begin(), m.begin() + 7),
                  ExampleMessageStart(DataPacket(0, packet)));
        EXPECT_EQ(m.back(), 0xF7);
    }
    ExpectBlockInFlash(blocks_[0]);
    // 3 s for the inquiry and the version request, 50 s for set mode and each packet.
    EXPECT_EQ(ReceiveTicks(), (std::vector<int>{300, 300, 5000, 5000, 5000}));

    // The bar runs over the file: 256 for the header, then each packet.
    EXPECT_EQ(BarPositions(), (std::vector<int64_t>{0, 256, 512, 768}));
    std::vector<WindowEvent> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].id, (uint32_t)PBM_SETRANGE32_MSG);
    EXPECT_EQ(events[0].value, 768);
    EXPECT_EQ(Posted(CMD_TRANSFER_ACTIVE), (std::vector<int64_t>{1, 0}));

    EXPECT_EQ(LogRows()[0], path_);
    EXPECT_EQ(LogRows()[1], "DeviceName : ORVENT");
    EXPECT_EQ(LogRows()[2], "FILE : Type=MAIN , Version=1.05");
    EXPECT_EQ(LogRows()[3], "Target Version : 1.03");
    EXPECT_EQ(LogRows()[4], "Tx Set Mode...");
    EXPECT_EQ(LogRows()[5], "Tx Packet:  1 (Address: 000100)");
    EXPECT_EQ(LogRows()[6], "Update Completed!");
    EXPECT_STREQ(RecordedStatusRow(0), "Now Updating...(100%)");
    EXPECT_EQ(StatusTexts(),
              (std::vector<std::string>{"", "Now Updating...(50%)", "Now Updating...(100%)"}));
}

TEST_F(UpdateEngineTest, StatusWithoutLogAreaShowsNoPercentages) {
    ShowLog = 0;
    ASSERT_EQ(Run(), 1);
    EXPECT_STREQ(RecordedStatusRow(0), "Now Updating...");
    EXPECT_EQ(StatusTexts(), (std::vector<std::string>{"", "Now Updating..."}));
}

// The inquiry names the file's member id only when it has one (below 0x80).
TEST_F(UpdateEngineTest, InquiryCarriesTheMemberIdOnlyBelow0x80) {
    const struct {
        unsigned char memberId;
        std::vector<unsigned char> inquiry;
    } cases[] = {
        {0x05, ExampleMessage(Inquiry(0x05))},
        {0x7F, ExampleMessage(Inquiry(0x7F))},
        {0x80, ExampleInquiry()},
        {0xFF, ExampleInquiry()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((int)c.memberId);
        blocks_[0].memberId = c.memberId;
        // An instrument with a member id refuses only another one, not none.
        instrument_.memberId = c.memberId < 0x80 ? c.memberId : 0x05;
        ASSERT_EQ(Run(), 1);
        EXPECT_EQ(ReceivedMessage(0), c.inquiry);
        ExpectBlockInFlash(blocks_[0]);
    }
}

struct SkipCase {
    const char* name;
    int instrumentMinor[2]; // the instrument holds 1.xx of block codes 1 and 2
    bool sent[2];
};

class SkipsBlocks : public UpdateEngineTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SkipsBlocks, SendsOnlyNewerBlocksAndTouchesNothingElse) {
    const SkipCase& c = GetParam();
    blocks_.clear();
    AddBlock(1, 1, 5, 0x10000, 1024);
    AddBlock(2, 1, 5, 0x20000, 512);
    for (int i = 0; i < 2; i++) {
        instrument_.versionMajor[i + 1] = 1;
        instrument_.versionMinor[i + 1] = (unsigned char)c.instrumentMinor[i];
    }
    ASSERT_EQ(Run(), 1);
    EXPECT_TRUE(TestLogHas("Update Completed!"));
    EXPECT_TRUE(TestLogHas("Skip this block."));
    for (int i = 0; i < 2; i++) {
        if (c.sent[i]) {
            ExpectBlockInFlash(blocks_[i]);
        } else {
            ExpectBlockUntouched(blocks_[i]);
        }
    }
    // A skipped block moves the bar by its size at once; the bar ends at the file length.
    EXPECT_EQ(BarPositions().back(), 256 + 1024 + 256 + 512);
    EXPECT_EQ(Posted(CMD_TRANSFER_ACTIVE),
              c.sent[0] ? (std::vector<int64_t>{1, 0, 0}) : (std::vector<int64_t>{0, 1, 0}));
}

INSTANTIATE_TEST_SUITE_P(BothOrders, SkipsBlocks,
                         ::testing::Values(SkipCase{"FirstUpToDate", {5, 3}, {false, true}},
                                           SkipCase{"SecondUpToDate", {3, 9}, {true, false}}),
                         [](const ::testing::TestParamInfo<SkipCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(UpdateEngineTest, LastBlockAlreadyCurrentFailsWithoutSetMode) {
    instrument_.versionMinor[1] = 5;
    ExpectFailed(Run(), "Target version is newer.");
    EXPECT_TRUE(TestLogHas("Target Version : 1.05"));
    EXPECT_EQ(ReceivedCodes(), (std::vector<int>{0x00, 0x02}));
    ExpectBlockUntouched(blocks_[0]);
}

TEST_F(UpdateEngineTest, SkippedVersionCheckSendsEveryBlock) {
    g_updateEngine.skipVersionCheck = 1;
    blocks_.clear();
    AddBlock(1, 1, 0, 0x1000, 256);
    AddBlock(2, 1, 0, 0x3000, 256);
    instrument_.versionMajor[1] = instrument_.versionMajor[2] = 9;
    ASSERT_EQ(Run(), 1);
    ExpectBlockInFlash(blocks_[0]);
    ExpectBlockInFlash(blocks_[1]);
    EXPECT_EQ(ReceivedCodes(), (std::vector<int>{0x00, 0x04, 0x06, 0x00, 0x04, 0x06}));
    int skipRows = 0;
    for (const std::string& row : LogRows()) {
        skipRows += row == "Target Version : Skip check.";
    }
    EXPECT_EQ(skipRows, 2);
}

struct RefusalCase {
    const char* name;
    int protocolCode;
    uint32_t packetSize;
    uint32_t dataSize;
    const char* text;
};

class RefusesBlock : public UpdateEngineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusesBlock, BeforeAnyPacketIsSent) {
    const RefusalCase& c = GetParam();
    // Over MIDI a large packet size would be cut to 1024 before it could be refused.
    g_updateEngine.deviceType = DEVICE_TYPE_SERIAL;
    instrument_.protocolCode = c.protocolCode;
    instrument_.packetSize = c.packetSize;
    blocks_[0].dataSize = c.dataSize;
    ExpectFailed(Run(), c.text);
    for (int code : ReceivedCodes()) {
        EXPECT_NE(code, 0x06);
        EXPECT_NE(code, 0x08);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusesBlock,
    ::testing::Values(
        RefusalCase{"ProtocolCode2", 2, 256, 512, "Protocol code error(need newer tool)."},
        RefusalCase{"SizeNotMultiple", 0, 1024, 3000, "Error - Packet size is not correct."},
        RefusalCase{"PacketSizeZero", 0, 0, 512, "Error - Packet size is out of range."},
        RefusalCase{"PacketSizeAboveBuffer", 1, 65536, 65536,
                    "Error - Packet size is out of range."},
        RefusalCase{"EmptyBlock", 0, 256, 0, "Error - Block data size is 0."}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateEngineTest, MidiUsesAtMost1024BytesAPacket) {
    instrument_.packetSize = 2048;
    blocks_[0].dataSize = 4096;
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(VirtualInstrumentPacketCount(), 4);
    ExpectBlockInFlash(blocks_[0]);
}

TEST_F(UpdateEngineTest, UniformPacketsGoOutAsFillWhenTheInstrumentTakesThem) {
    blocks_[0].dataSize = 2048;
    blocks_[0].runCount = 1;
    blocks_[0].runs[0] = {0, 1024, 0xFF};
    instrument_.packetSize = 1024;
    for (int flags : {DEVICE_FLAG_FILL, 0}) {
        instrument_.deviceFlags = (unsigned char)flags;
        ASSERT_EQ(Run(), 1);
        std::vector<unsigned char> first = ReceivedMessage(3);
        if (flags) {
            EXPECT_EQ(first, ExampleMessage(FillPacket(0, 0, 0xFF)));
        } else {
            EXPECT_EQ(first[4], MSG_DATA);
        }
        EXPECT_EQ(ReceivedMessage(4)[4], MSG_DATA); // the second packet is not uniform
        ExpectBlockInFlash(blocks_[0]);
    }
}

TEST_F(UpdateEngineTest, RawModeOnlyOffMidi) {
    instrument_.deviceFlags = DEVICE_FLAG_RAW;
    blocks_[0].dataSize = 1024;
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReceivedMessage(2)[5], 0) << "MIDI never sends raw data";

    g_updateEngine.deviceType = DEVICE_TYPE_SERIAL;
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReceivedMessage(2)[5], 1) << "set mode announces raw data";
    std::vector<unsigned char> packet = ReceivedMessage(3);
    EXPECT_EQ(packet.size(), 7u + 256u + 2u);
    ExpectBlockInFlash(blocks_[0]);
}

TEST_F(UpdateEngineTest, UsbBulkSendsDataPacketsInThreePieces) {
    g_updateEngine.deviceType = DEVICE_TYPE_USB_BULK;
    ASSERT_EQ(Run(), 1);
    ExpectBlockInFlash(blocks_[0]);
    std::vector<int> sendLengths;
    for (int i = 0; i < SimTransportCallCount(); i++) {
        SimTransportCall call;
        ASSERT_EQ(SimTransportGetCall(i, &call), 1);
        if (call.operation == SIM_USB_BULK_SEND) {
            sendLengths.push_back(call.length);
        }
    }
    EXPECT_EQ(sendLengths, (std::vector<int>{6, 7, 10, 7, 293, 2, 7, 293, 2}));
}

TEST_F(UpdateEngineTest, Protocol1CarriesWideFieldsAndPacketNumbersFromTheOffset) {
    instrument_.protocolCode = 1;
    instrument_.packetSize = 1024;
    blocks_[0].address = 0x4000;
    blocks_[0].offset = 8192;
    blocks_[0].dataSize = 4096;
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReceivedMessage(2),
              ExampleMessage(SetModeProtocol1(0, EXAMPLE_BLOCK_CODE, 0x4000, 4096, 1, 5, 1024)));
    for (int i = 0; i < 4; i++) {
        std::vector<unsigned char> m = ReceivedMessage(3 + i);
        EXPECT_EQ(std::vector<unsigned char>(m.begin() + 5, m.begin() + 9), Number28(8 + i));
    }
    EXPECT_TRUE(TestLogHas("Tx Packet: 11 (Address: 006C00)"));
    ExpectBlockInFlash(blocks_[0]);
}

TEST_F(UpdateEngineTest, TwoPhaseWritingReportsTransferThenWriting) {
    instrument_.writeSteps = 4;
    instrument_.sendZeroTotalProgress = 1;
    instrument_.blockDataSize[1] = 512;
    ASSERT_EQ(Run(), 1);
    ExpectBlockInFlash(blocks_[0]);
    // Half of each packet while transferring, the writing reports across the second half
    // of the block, then half the block again for the acknowledgement after them.
    EXPECT_EQ(BarPositions(), (std::vector<int64_t>{0, 256, 384, 384 + 64, 384 + 128, 384 + 192,
                                                    384 + 256, 256 + 128 + 128 + 256}));
    EXPECT_STREQ(RecordedStatusRow(0), "Now Updating...(Writing 100%)");
    EXPECT_EQ(StatusTexts(), (std::vector<std::string>{
                                 "", "Now Updating...(Transmitting 50%)",
                                 "Now Updating...(Writing 25%)", "Now Updating...(Writing 50%)",
                                 "Now Updating...(Writing 75%)", "Now Updating...(Writing 100%)"}));
    // The writing reports are awaited as long as an acknowledgement: after the second
    // packet one with total 0, four steps, then its acknowledgement.
    EXPECT_EQ(ReceiveTicks(),
              (std::vector<int>{300, 300, 5000, 5000, 5000, 5000, 5000, 5000, 5000, 5000}));
}

TEST_F(UpdateEngineTest, TwoPhaseStatusWithoutLogArea) {
    ShowLog = 0;
    instrument_.writeSteps = 2;
    instrument_.blockDataSize[1] = 512;
    ASSERT_EQ(Run(), 1);
    EXPECT_STREQ(RecordedStatusRow(0), "Now Updating...(Writing)");
    // Writing done shows nothing new without a log area.
    EXPECT_EQ(StatusTexts(), (std::vector<std::string>{"", "Now Updating...(Transmitting)",
                                                       "Now Updating...(Writing)"}));
}

// Every fault of the matrix over each transport path of the double, under both protocol
// codes, with and without raw data offered.
bool OpenDouble(const VirtualInstrumentConfig& instrument, const FaultRow* cell) {
    {
        std::lock_guard<std::mutex> lock(s_eventLock);
        s_events.clear();
    }
    VirtualInstrumentReset(&instrument);
    SimTransportConfig transport;
    SimTransportDefaultConfig(&transport);
    // Only the count of waits matters unless a reply is late: then they take real time.
    transport.midiTickMs = cell->slow ? 1 : 0;
    transport.serialTimeoutMs = transport.usbWaitLimitMs = transport.kernelTimeoutMs = 200;
    transport.failSendAt = cell->failSendAt;
    SimTransportReset(&transport);
    return true;
}

bool CloseDouble(void) {
    return true;
}

void ExpectWindowAndCallsAfterFault(const FaultRow& cell) {
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED),
              (std::vector<int64_t>{cell.expected == nullptr ? 1 : 0}));
    // Nothing goes out after the exchange that failed: the run's last call is the
    // receive that failed, or the send.
    SimTransportCall last;
    ASSERT_EQ(SimTransportGetCall(SimTransportCallCount() - 1, &last), 1);
    const bool lastIsSend = last.operation == SIM_SERIAL_SEND || last.operation == SIM_MIDI_SEND ||
                            last.operation == SIM_USB_BULK_SEND ||
                            last.operation == SIM_KERNEL_MIDI_SEND ||
                            last.operation == SIM_KERNEL_MIDI_WRITE_RAW;
    EXPECT_EQ(lastIsSend, cell.failSendAt >= 0);
}

const TransportPath kDoublePaths[] = {
    {"Serial", DEVICE_TYPE_SERIAL, nullptr, OpenDouble, CloseDouble, VirtualInstrumentFlashRead,
     kMainWindow, nullptr, ExpectWindowAndCallsAfterFault},
    {"Midi", DEVICE_TYPE_MIDI, nullptr, OpenDouble, CloseDouble, VirtualInstrumentFlashRead,
     kMainWindow, nullptr, ExpectWindowAndCallsAfterFault},
    {"UsbBulk", DEVICE_TYPE_USB_BULK, nullptr, OpenDouble, CloseDouble, VirtualInstrumentFlashRead,
     kMainWindow, nullptr, ExpectWindowAndCallsAfterFault},
    {"KernelMidi", DEVICE_TYPE_KERNEL_MIDI, nullptr, OpenDouble, CloseDouble,
     VirtualInstrumentFlashRead, kMainWindow, nullptr, ExpectWindowAndCallsAfterFault},
};

class InjectedFault : public UpdateEngineTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(InjectedFault, EndsTheRunWithItsTextAndLeavesOnlyAcknowledgedPackets) {
    TestEngineTearDown(); // each cell sets the engine up afresh
    for (const TransportPath& path : kDoublePaths) {
        ExpectFaultRowOnPath(path, GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, InjectedFault,
                         ::testing::ValuesIn(kFaultRows, kFaultRows + kFaultRowCount),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(UpdateEngineTest, SkippedDeviceCheckAdoptsTheInstrumentsProductId) {
    g_updateEngine.skipDeviceCheck = 1;
    instrument_.productId[0] = 0x3D;
    ASSERT_EQ(Run(), 1);
    // The inquiry in the file's id is answered in the instrument's; it is asked again in
    // that id, which every later message carries.
    ASSERT_GE(VirtualInstrumentMessageCount(), 3);
    EXPECT_EQ(ReceivedMessage(0)[3], 0x3C);
    for (int i = 1; i < VirtualInstrumentMessageCount(); i++) {
        EXPECT_EQ(ReceivedMessage(i)[3], 0x3D) << "message " << i;
    }
    EXPECT_EQ(ReceivedCodes()[1], MSG_INQUIRY);
    EXPECT_EQ(ReceiveTicks(), (std::vector<int>{300, 300, 300, 5000, 5000, 5000}));
    ExpectBlockInFlash(blocks_[0]);
}

TEST_F(UpdateEngineTest, AnotherProductWhileAwaitingAnAcknowledgementEndsTheRun) {
    g_updateEngine.skipDeviceCheck = 1;
    instrument_.fault = VI_FAULT_OTHER_PRODUCT;
    instrument_.faultAt = 4; // the second data packet
    instrument_.otherProductId[0] = 0x3D;
    instrument_.otherProductId[1] = instrument_.otherProductId[2] = 0xFF;
    ExpectFailed(Run(), "Rx Msg Error(Product ID Error)");
}

TEST_F(UpdateEngineTest, SurplusBytesAfterTheLastBlockFailAfterSendingIt) {
    ExpectFailed(Run(100), "Error - Header lengrh is too short.");
    ExpectBlockInFlash(blocks_[0]);
    ExpectFailed(Run(300), "Error - Illegal header string.");
}

TEST_F(UpdateEngineTest, MissingFileLogsOnlyTheOpenError) {
    TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName,
             TestTempPath("missing.vsb").c_str());
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_EQ(LogRows()[0], "File Open Error");
    EXPECT_STREQ(RecordedStatusRow(0), "");
}

TEST_F(UpdateEngineTest, BuffersThatCannotBeHadAreReported) {
    FreeUpdateBuffers();
    char errorText[TEXT_SIZE] = "";
    PlatformHeapFailAfter(1);
    EXPECT_EQ(AllocUpdateBuffers(errorText), 0);
    PlatformHeapFailAfter(-1);
    EXPECT_STREQ(errorText, "Memoly Alloc Error");
    EXPECT_EQ(g_updateEngine.dataBuffer, nullptr);
    EXPECT_EQ(g_updateEngine.messageBuffer, nullptr);
    ASSERT_EQ(AllocUpdateBuffers(errorText), 1);
}

// Pause, continue and abort come from another thread, as the Stop dialog gives them.
class UpdateEngineThreadTest : public UpdateEngineTest {
  protected:
    void StartLongUpdate(int deviceType = DEVICE_TYPE_MIDI) {
        blocks_[0].dataSize = 256 * 40;
        PrepareRun();
        StartUpdate(UpdateWindowObserver(kMainWindow), path_.c_str(), deviceType, 0, 0);
    }
    void WaitForPackets(int count) {
        for (int i = 0; i < 5000 && VirtualInstrumentPacketCount() < count; i++) {
            PlatformSleep(1);
        }
    }
    void WaitForMessages(int count) {
        for (int i = 0; i < 5000 && VirtualInstrumentMessageCount() < count; i++) {
            PlatformSleep(1);
        }
    }
    // The Stop dialog's Abort as it reaches a MIDI wait: a receive ended only once it has
    // begun, so it is repeated until the thread has ended.
    void AbortMidiWaitUntilIdle() {
        for (int i = 0; i < 5000 && g_updateEngine.updateState.load() != UPDATE_IDLE; i++) {
            MidiAbortReceive();
            PlatformSleep(1);
        }
    }
    void Finish() {
        PlatformThreadWait(g_updateEngine.thread);
        PlatformThreadClose(&g_updateEngine.thread);
    }
};

TEST_F(UpdateEngineThreadTest, PauseHoldsAfterThePacketAndContinueResumes) {
    StartLongUpdate();
    WaitForPackets(3);
    int expected = UPDATE_RUNNING;
    ASSERT_TRUE(g_updateEngine.updateState.compare_exchange_strong(expected, UPDATE_PAUSED));
    PlatformSleep(300); // a packet in flight may still finish
    const int held = VirtualInstrumentPacketCount();
    PlatformSleep(100);
    EXPECT_EQ(VirtualInstrumentPacketCount(), held);
    g_updateEngine.updateState.store(UPDATE_RUNNING);
    Finish();
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{1}));
    ExpectBlockInFlash(blocks_[0]);
}

TEST_F(UpdateEngineThreadTest, AbortWhilePausedEndsTheRun) {
    StartLongUpdate();
    WaitForPackets(3);
    g_updateEngine.updateState.store(UPDATE_PAUSED);
    PlatformSleep(50);
    g_updateEngine.updateState.store(UPDATE_ABORT);
    Finish();
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{0}));
    ExpectFailed(0, "User aborted.");
    EXPECT_LT(VirtualInstrumentPacketCount(), 40);
}

std::atomic<int> g_finishedPosts{0};

// The first run's thread is held between posting its result and its last store.
void PostThenLinger(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    RecordPost(window, commandId, lParam);
    if (commandId == CMD_UPDATE_FINISHED && g_finishedPosts++ == 0) {
        PlatformSleep(200);
    }
}

TEST_F(UpdateEngineThreadTest, ANewRunIsNeverMarkedIdleByTheThreadBeforeIt) {
    g_finishedPosts = 0;
    PlatformSetWindowHooks(PostThenLinger, RecordSend);
    PrepareRun();
    StartUpdate(UpdateWindowObserver(kMainWindow), path_.c_str(), DEVICE_TYPE_MIDI, 0, 0);
    for (int i = 0; i < 5000 && g_finishedPosts.load() == 0; i++) {
        PlatformSleep(1);
    }
    // As the window does once it has the result: the next update starts at once.
    StartLongUpdate();
    PlatformSleep(400);
    EXPECT_NE(g_updateEngine.updateState.load(), UPDATE_IDLE) << "the second run is still going";
    Finish();
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{1, 1}));
}

TEST_F(UpdateEngineThreadTest, AbortEndsAWaitingReceive) {
    transport_.midiTickMs = 10; // the real tick: a 5000-tick wait would last 50 s
    instrument_.fault = VI_FAULT_SILENT_FROM_PACKET;
    instrument_.faultAt = 2;
    StartLongUpdate();
    WaitForPackets(2);
    PlatformSleep(50);
    g_updateEngine.updateState.store(UPDATE_PAUSED);
    g_updateEngine.updateState.store(UPDATE_ABORT);
    MidiAbortReceive();
    Finish();
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{0}));
    ExpectFailed(0, "User aborted.");
}

struct RunEnd {
    std::atomic<int> calls{0};
    int result = -1;
    std::string text;
    std::string blocks; // every block done, before the end
};

void TakeRunEnd(void* context, int result, const char* text) {
    RunEnd* end = static_cast<RunEnd*>(context);
    end->result = result;
    end->text = text;
    end->calls++;
}

void TakeBlockDone(void* context, const SystemFileHeader* header, int sent) {
    RunEnd* end = static_cast<RunEnd*>(context);
    char done[64];
    std::snprintf(done, sizeof done, "%s%d %d.%02d %s", end->blocks.empty() ? "" : ", ",
                  header->blockCode, header->versionMajor, header->versionMinor,
                  sent ? "sent" : "skipped");
    end->blocks += done;
    EXPECT_EQ(end->calls.load(), 0) << "a block done after the end";
}

// A front end that is no window hears how the run ended as a code and its text, once, and
// which block was sent or skipped as each was done (a block the run broke off is neither);
// it needs to listen to nothing else.
TEST_F(UpdateEngineThreadTest, AFrontEndIsToldHowTheRunEndedAsValues) {
    const struct {
        const char* what;
        VirtualFault fault;
        bool abort;
        int heldMinor; // of block 1, which the file has as 1.05
        int result;
        const char* text;
        const char* blocks;
    } cases[] = {
        {"completed", VI_FAULT_NONE, false, 3, UPDATE_RESULT_COMPLETED, "Update Completed!",
         "1 1.05 sent, 2 2.10 sent"},
        {"the first block current", VI_FAULT_NONE, false, 5, UPDATE_RESULT_COMPLETED,
         "Update Completed!", "1 1.05 skipped, 2 2.10 sent"},
        {"refused", VI_FAULT_STATUS, false, 3, UPDATE_RESULT_FAILED,
         "Rx Status Error : Product ID Error", ""},
        {"aborted", VI_FAULT_SILENT_FROM_PACKET, true, 3, UPDATE_RESULT_ABORTED, "User aborted.",
         ""},
    };
    blocks_[0].dataSize = 256 * 8;
    AddBlock(2, 2, 10, 0x8000, 256);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        instrument_.fault = c.fault;
        instrument_.faultAt = 2;
        instrument_.faultStatus = 1;
        instrument_.versionMinor[1] = (unsigned char)c.heldMinor;
        PrepareRun();
        RunEnd end;
        const UpdateObserver observer = {&end,    nullptr,    nullptr,
                                         nullptr, TakeRunEnd, TakeBlockDone};
        StartUpdate(&observer, path_.c_str(), DEVICE_TYPE_MIDI, 0, 0);
        if (c.abort) {
            WaitForPackets(2);
            UpdateAbort(TransportWaitSleeping);
        }
        Finish();
        EXPECT_EQ(end.calls.load(), 1);
        EXPECT_EQ(end.result, c.result);
        EXPECT_EQ(end.text, c.text);
        EXPECT_EQ(end.blocks, c.blocks);
    }
    EXPECT_TRUE(Posted(CMD_UPDATE_FINISHED).empty()) << "no window was given";
}

// Stopped while the instrument has yet to acknowledge set mode: the Abort ends that wait,
// and not one data packet goes out.
TEST_F(UpdateEngineThreadTest, AbortWhileSetModeIsAwaitedSendsNoPacket) {
    transport_.midiTickMs = 10;
    instrument_.fault = VI_FAULT_DELAY;
    instrument_.faultAt = 2; // set mode
    instrument_.faultDelayMs = 5000;
    StartLongUpdate();
    WaitForMessages(3);
    g_updateEngine.updateState.store(UPDATE_PAUSED);
    g_updateEngine.updateState.store(UPDATE_ABORT);
    AbortMidiWaitUntilIdle();
    Finish();
    EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{0}));
    ExpectFailed(0, "User aborted.");
    EXPECT_EQ(DataPacketsReceived(), 0);
}

// A stop given before packet 0 goes out holds that packet back: a pause keeps it back
// until Continue or Abort, and an Abort sends none, also over a transport whose wait
// the Abort does not reach or once the set-mode reply is in.
TEST_F(UpdateEngineThreadTest, StopBeforeTheFirstPacketSendsNone) {
    const struct {
        const char* what;
        int deviceType;
        bool abortAfterReply; // pause, let the set-mode reply arrive, then abort
    } cases[] = {
        {"pause over MIDI, abort once set mode is acknowledged", DEVICE_TYPE_MIDI, true},
        {"abort over the serial port while set mode is awaited", DEVICE_TYPE_SERIAL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> lock(s_eventLock);
            s_events.clear();
        }
        transport_.midiTickMs = 10;
        instrument_.fault = VI_FAULT_DELAY;
        instrument_.faultAt = 2; // set mode
        instrument_.faultDelayMs = 200;
        StartLongUpdate(c.deviceType);
        WaitForMessages(3);
        g_updateEngine.updateState.store(UPDATE_PAUSED);
        if (c.abortAfterReply) {
            PlatformSleep(600); // the reply came after 200 ms
            EXPECT_EQ(DataPacketsReceived(), 0) << "a packet went out while paused";
        }
        g_updateEngine.updateState.store(UPDATE_ABORT);
        if (c.deviceType == DEVICE_TYPE_MIDI) {
            AbortMidiWaitUntilIdle();
        }
        Finish();
        EXPECT_EQ(Posted(CMD_UPDATE_FINISHED), (std::vector<int64_t>{0}));
        ExpectFailed(0, "User aborted.");
        EXPECT_EQ(DataPacketsReceived(), 0);
    }
}

} // namespace
