// The kernel USB-MIDI driver transport over the simulated driver: the event packets on
// the OUT pipe, the assembly of received packets, the reader thread and its ring, the
// open sequence and the device scan, and whole updates through the engine.
#include "sim/virtual_instrument.h"
#include "tests/doubles/kernel_midi_driver_sim.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/fault_matrix.h"
#include "tests/protocol_examples.h"
#include "tests/transport_paths.h"
#include "transports/kernel_midi_driver.h"
#include "transports/kernel_midi_testing.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// F0, length - 2 bytes counting up from 1 (below 0x80), F7.
Bytes Message(int length) {
    Bytes m(1, 0xF0);
    for (int i = 1; i < length - 1; i++) {
        m.push_back((unsigned char)(i % 0x70 + 1));
    }
    m.push_back(0xF7);
    return m;
}

Bytes Write(int index) {
    Bytes out(KMIDI_SIM_WRITE_KEPT);
    int length = KernelMidiSimWrite(index, out.data(), (int)out.size());
    out.resize((size_t)(length < KMIDI_SIM_WRITE_KEPT ? length : KMIDI_SIM_WRITE_KEPT));
    return out;
}

Bytes LastInstrumentMessage() {
    Bytes out(VI_MAX_MESSAGE);
    int n = VirtualInstrumentMessageCount();
    int length = n > 0 ? VirtualInstrumentMessage(n - 1, out.data(), (int)out.size()) : 0;
    out.resize((size_t)length);
    return out;
}

// A block of the IN pipe from packets given as bytes; the rest is zero.
Bytes Block(std::initializer_list<int> bytes) {
    Bytes b(KERNEL_MIDI_BLOCK_SIZE, 0);
    size_t i = 0;
    for (int v : bytes) {
        b[i++] = (unsigned char)v;
    }
    return b;
}

bool WaitFor(bool (*condition)(void)) {
    for (int i = 0; i < 2000; i++) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class KernelMidiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KernelMidiSimDefaultConfig(&driver_);
        KernelMidiSimReset(&driver_);
        VirtualInstrumentConfig instrument;
        VirtualInstrumentDefaultConfig(&instrument);
        VirtualInstrumentReset(&instrument);
        KernelMidiScanReset();
        KernelMidiSetPollLimit(5000);
    }

    void TearDown() override {
        KernelMidiClose();
        EXPECT_EQ(0, KernelMidiSimOpenHandles());
    }

    void Reconfigure() {
        KernelMidiClose();
        KernelMidiSimReset(&driver_);
    }

    void Open() {
        char error[PATH_SIZE] = "";
        ASSERT_EQ(1, KernelMidiOpen(error)) << error;
    }

    KernelMidiSimConfig driver_;
};

// ---- Sending

struct SendCase {
    const char* what;
    Bytes message;
    int endMarker;
    std::vector<Bytes> writes; // expected exactly; empty: only the lengths below count
    std::vector<int> writeLengths;
};

TEST_F(KernelMidiTest, SendCutsTheMessageIntoPacketsOnCable15) {
    const Bytes m192 = Message(192);
    const Bytes m193 = Message(193);
    const SendCase cases[] = {
        {"remainder 1",
         {0xF0, 0x42, 0x23, 0xF7},
         0,
         {{0xF4, 0xF0, 0x42, 0x23, 0xF5, 0xF7, 0, 0}},
         {8}},
        {"remainder 1 with marker",
         {0xF0, 0x42, 0x23, 0xF7},
         1,
         {{0xF4, 0xF0, 0x42, 0x23, 0xF5, 0xF7, 0, 0, 0xFF, 0xFF, 0xFF, 0x00}},
         {12}},
        {"remainder 2",
         {0xF0, 0x42, 0x23, 0x30, 0xF7},
         0,
         {{0xF4, 0xF0, 0x42, 0x23, 0xF6, 0x30, 0xF7, 0}},
         {8}},
        {"remainder 0",
         {0xF0, 0x42, 0x23, 0x30, 0x31, 0xF7},
         0,
         {{0xF4, 0xF0, 0x42, 0x23, 0xF7, 0x30, 0x31, 0xF7}},
         {8}},
        {"three bytes",
         {0xF0, 0x42, 0xF7},
         1,
         {{0xF7, 0xF0, 0x42, 0xF7, 0xFF, 0xFF, 0xFF, 0x00}},
         {8}},
        {"bytes after F7 are not sent",
         {0xF0, 0x01, 0xF7, 0x55, 0x55},
         0,
         {{0xF7, 0xF0, 0x01, 0xF7}},
         {4}},
        // 64 packets fill the write buffer: no room for the marker.
        {"192 bytes", m192, 1, {}, {256}},
        {"193 bytes", m193, 1, {}, {256, 8}},
    };
    for (const SendCase& c : cases) {
        SCOPED_TRACE(c.what);
        Reconfigure();
        Open();
        ASSERT_EQ(1, KernelMidiSend(c.message.data(), (int)c.message.size(), c.endMarker));
        ASSERT_EQ((int)c.writeLengths.size(), KernelMidiSimWriteCount());
        for (size_t i = 0; i < c.writeLengths.size(); i++) {
            EXPECT_EQ(c.writeLengths[i], (int)Write((int)i).size());
            if (!c.writes.empty()) {
                EXPECT_EQ(c.writes[i], Write((int)i));
            }
        }
        EXPECT_EQ(0, KernelMidiSimBadPackets());
    }
    // The long ones arrived whole; only the 193-byte one had room for its marker.
    EXPECT_EQ(m193, LastInstrumentMessage());
    EXPECT_EQ(1, KernelMidiSimMarkers());
    EXPECT_EQ(0xF5, Write(1)[0]);
}

TEST_F(KernelMidiTest, WriteRawPassesEveryByteUnchanged) {
    Open();
    // A raw data packet whose data hold an end byte.
    const Bytes raw = ExampleMessage(DataPacket(0, 0, {0x80, 0xFF, 0xF7, 0x12}));
    EXPECT_EQ(1, KernelMidiWriteRaw(raw.data(), (int)raw.size()));
    ASSERT_EQ(1, KernelMidiSimWriteCount());
    EXPECT_EQ(raw, Write(0));
}

TEST_F(KernelMidiTest, FailedOrShortWritesFailTheSend) {
    const Bytes m193 = Message(193);
    struct {
        const char* what;
        int failAt;
        int shortAt;
        int raw;
        int writes; // writes tried
    } cases[] = {
        {"raw write fails", 0, -1, 1, 1},
        {"raw write short", -1, 0, 1, 1},
        {"first of two packet writes fails", 0, -1, 0, 1},
        {"second packet write short", -1, 1, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        driver_.failWriteAt = c.failAt;
        driver_.shortWriteAt = c.shortAt;
        Reconfigure();
        Open();
        int result = c.raw ? KernelMidiWriteRaw(m193.data(), (int)m193.size())
                           : KernelMidiSend(m193.data(), (int)m193.size(), 1);
        EXPECT_EQ(0, result);
        EXPECT_EQ(c.writes, KernelMidiSimWriteCount());
    }
}

TEST_F(KernelMidiTest, SendingWhileClosedFails) {
    const Bytes m = {0xF0, 0x42, 0xF7};
    EXPECT_EQ(0, KernelMidiSend(m.data(), (int)m.size(), 0));
    EXPECT_EQ(0, KernelMidiWriteRaw(m.data(), (int)m.size()));
    unsigned char block[KERNEL_MIDI_BLOCK_SIZE];
    EXPECT_EQ(0, KernelMidiReadBlock(block));
}

// ---- Receiving

struct ReceiveCase {
    const char* what;
    std::vector<Bytes> blocks;
    int capacity;
    int result;
    Bytes message;
};

TEST_F(KernelMidiTest, ReceiveAssemblesPackets) {
    Bytes longFirst(KERNEL_MIDI_BLOCK_SIZE);
    Bytes longMessage;
    for (int p = 0; p < 16; p++) {
        longFirst[p * 4] = 0x04;
        for (int i = 1; i <= 3; i++) {
            longFirst[p * 4 + i] = (unsigned char)(p == 0 && i == 1 ? 0xF0 : p * 3 + i);
            longMessage.push_back(longFirst[p * 4 + i]);
        }
    }
    longMessage.push_back(0x55);
    longMessage.push_back(0xF7);
    const ReceiveCase cases[] = {
        {"cable nibble ignored",
         {Block({0x34, 0xF0, 0x42, 0x23, 0x96, 0x30, 0xF7})},
         1024,
         1,
         {0xF0, 0x42, 0x23, 0x30, 0xF7}},
        {"empty block skipped",
         {Block({}), Block({0x04, 0xF0, 0x42, 0x23, 0x05, 0xF7})},
         1024,
         1,
         {0xF0, 0x42, 0x23, 0xF7}},
        {"message over two blocks", {longFirst, Block({0x06, 0x55, 0xF7})}, 1024, 1, longMessage},
        {"zero packet before the end",
         {Block({0x04, 0xF0, 0x42, 0x23})},
         1024,
         0,
         {0xF0, 0x42, 0x23}},
        {"unknown code index number", {Block({0x0F, 0xF0, 0x42, 0x23})}, 1024, 0, {}},
        {"capacity 2", {Block({0x04, 0xF0, 0x42, 0x23, 0x06, 0x30, 0xF7})}, 2, 1, {0xF0, 0x42}},
        // A 0xF7 inside a continuing packet ends the message there.
        {"F7 in a continuing packet", {Block({0x04, 0xF0, 0xF7, 0x11})}, 1024, 1, {0xF0, 0xF7}},
    };
    Open();
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.what);
        for (const Bytes& b : c.blocks) {
            KernelMidiSimQueueBlock(b.data());
        }
        Bytes buffer(1024, 0xAA);
        int result = KernelMidiReceive(buffer.data(), c.capacity);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.message, Bytes(buffer.begin(), buffer.begin() + c.message.size()));
        EXPECT_EQ(0xAA, buffer[c.message.size()]) << "wrote past the message";
        EXPECT_EQ(0, KernelMidiAvailable());
    }
}

TEST_F(KernelMidiTest, RestOfABlockAfterAMessageIsDropped) {
    Open();
    const Bytes first = Block({0x07, 0xF0, 0x01, 0xF7, 0x07, 0xF0, 0x02, 0xF7});
    const Bytes second = Block({0x07, 0xF0, 0x03, 0xF7});
    KernelMidiSimQueueBlock(first.data());
    KernelMidiSimQueueBlock(second.data());
    unsigned char buffer[16];
    ASSERT_EQ(1, KernelMidiReceive(buffer, sizeof buffer));
    EXPECT_EQ(0x01, buffer[1]);
    ASSERT_EQ(1, KernelMidiReceive(buffer, sizeof buffer));
    EXPECT_EQ(0x03, buffer[1]);
}

TEST_F(KernelMidiTest, ReceiveGivesUpWhenNothingArrives) {
    KernelMidiSetPollLimit(25);
    Open();
    unsigned char buffer[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, KernelMidiReceive(buffer, sizeof buffer));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

// ---- The reader thread and the ring

Bytes NumberedBlock(int n) {
    return Block({0x04, n & 0x7F, (n >> 7) & 0x7F, 0x01});
}

int BlockNumber(const unsigned char* block) {
    return block[1] | (block[2] << 7);
}

TEST_F(KernelMidiTest, ReaderFeedsTheReceiverInOrderAcrossTheRingsEnd) {
    Open();
    const int total = 300; // the ring turns over more than four times
    // The feeder stays at most half a ring ahead of the receiver, so a slow machine never
    // overflows the ring (that case has a test of its own) while both run at once.
    static std::atomic<int> received;
    received.store(0);
    std::thread feeder([] {
        for (int n = 0; n < total; n++) {
            while (n - received.load() >= KERNEL_MIDI_RING_SIZE / KERNEL_MIDI_BLOCK_SIZE / 2) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            Bytes b = NumberedBlock(n);
            KernelMidiSimQueueBlock(b.data());
        }
    });
    int expected = 0;
    unsigned char block[KERNEL_MIDI_BLOCK_SIZE];
    while (expected < total && KernelMidiReadBlock(block)) {
        EXPECT_EQ(expected, BlockNumber(block));
        expected++;
        received.store(expected);
    }
    received.store(total);
    feeder.join();
    EXPECT_EQ(total, expected);
}

TEST_F(KernelMidiTest, FullRingKeepsTheNewest64Blocks) {
    KernelMidiSetPollLimit(5);
    Open();
    const int total = 70;
    for (int n = 0; n < total; n++) {
        Bytes b = NumberedBlock(n);
        KernelMidiSimQueueBlock(b.data());
    }
    // The reader has stored the last block once it asks the pipe for one more.
    ASSERT_TRUE(WaitFor([] { return KernelMidiSimReads() > total; }));
    EXPECT_EQ(KERNEL_MIDI_RING_SIZE, KernelMidiAvailable());
    unsigned char block[KERNEL_MIDI_BLOCK_SIZE];
    for (int n = total - 64; n < total; n++) {
        ASSERT_EQ(1, KernelMidiReadBlock(block));
        EXPECT_EQ(n, BlockNumber(block));
    }
    EXPECT_EQ(0, KernelMidiReadBlock(block));
}

TEST_F(KernelMidiTest, FailedAndShortReadsAreReadAgain) {
    driver_.failedReads = 3;
    driver_.shortReads = 2;
    Reconfigure();
    Open();
    const Bytes b = Block({0x07, 0xF0, 0x42, 0xF7});
    KernelMidiSimQueueBlock(b.data());
    unsigned char buffer[16];
    ASSERT_EQ(1, KernelMidiReceive(buffer, sizeof buffer));
    EXPECT_EQ(0x42, buffer[1]);
    EXPECT_GE(KernelMidiSimReads(), 6);
}

// ---- Opening, closing and the device scan

TEST_F(KernelMidiTest, OpenFailsWithTheTextOfTheFirstStepThatFails) {
    struct {
        const char* what;
        unsigned present;
        int failIn;
        int failOut;
        int scanFoundOnlyDevice3; // the next scan then starts at device 3
        const char* text;
    } cases[] = {
        {"no driver", 0x08, 1, 1, 0, " Kernel MIDI driver open error.\n"},
        {"no device from the start number", 0x01, 1, 1, 1, " No device is connected\n"},
        {"IN pipe", 0x01, 1, 1, 0, " MIDI-IN pipe open error.\n"},
        {"OUT pipe", 0x01, 0, 1, 0, " MIDI-OUT pipe open error.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelMidiScanReset();
        if (c.scanFoundOnlyDevice3) {
            driver_.devicePresent = 0x08;
            Reconfigure();
            int count = 0;
            ASSERT_EQ(1, KernelMidiScanDevices(&count));
            ASSERT_EQ(1, count);
        }
        driver_.devicePresent = c.present;
        driver_.failInPipe = c.failIn;
        driver_.failOutPipe = c.failOut;
        Reconfigure();
        char error[PATH_SIZE] = "unchanged";
        EXPECT_EQ(0, KernelMidiOpen(error));
        EXPECT_STREQ(c.text, error);
        EXPECT_EQ(0, KernelMidiSimOpenHandles());
        KernelMidiClose();
    }
}

TEST_F(KernelMidiTest, OpenCloseAndReopen) {
    KernelMidiClose(); // never opened
    char error[PATH_SIZE] = "unchanged";
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(1, KernelMidiOpen(error));
        EXPECT_STREQ("unchanged", error);
        EXPECT_EQ(2, KernelMidiSimOpenHandles()) << "the two pipes";
        // A block left unread is gone after the reopen.
        const Bytes b = NumberedBlock(round);
        KernelMidiSimQueueBlock(b.data());
        ASSERT_TRUE(WaitFor([] { return KernelMidiAvailable() > 0; }));
        KernelMidiClose();
        KernelMidiClose();
        EXPECT_EQ(0, KernelMidiSimOpenHandles());
    }
    EXPECT_EQ(0, KernelMidiAvailable());
}

// A reader is running again: a block the driver queues comes back as a message.
void ExpectReaderDelivers(unsigned char dataByte) {
    const Bytes b = Block({0x07, 0xF0, dataByte, 0xF7});
    KernelMidiSimQueueBlock(b.data());
    unsigned char buffer[16];
    ASSERT_EQ(1, KernelMidiReceive(buffer, sizeof buffer));
    EXPECT_EQ(dataByte, buffer[1]);
}

// A reader stuck in a driver that ignores the cancel of its read is stopped by force:
// the close releases everything, and the next open starts a reader that works.
TEST_F(KernelMidiTest, CloseEndsAReaderWhoseDriverIgnoresTheCancel) {
    driver_.cancelIgnored = KMIDI_SIM_CANCEL_IGNORED;
    Reconfigure();
    Open();
    // A reader that has not reached its read yet simply ends at the close.
    ASSERT_TRUE(WaitFor([] { return KernelMidiSimReads() > 0; }));
    KernelMidiClose();
    EXPECT_EQ(1, KernelMidiSimHungReads()) << "the reader did hang in its read";
    EXPECT_EQ(0, KernelMidiSimOpenHandles());
    char error[PATH_SIZE] = "unchanged";
    ASSERT_EQ(1, KernelMidiOpen(error)) << error;
    EXPECT_STREQ("unchanged", error);
    ExpectReaderDelivers(0x42);
}

// Where even the forced stop fails, the next open says why, and works once the reader
// has come out of its read.
TEST_F(KernelMidiTest, ReaderThatCannotBeStoppedIsReportedUntilItEnds) {
#ifdef _WIN32
    GTEST_SKIP() << "a Windows thread can always be terminated";
#endif
    driver_.cancelIgnored = KMIDI_SIM_CANCEL_IGNORED_UNSTOPPABLE;
    Reconfigure();
    Open();
    // A reader that has not reached its read yet simply ends at the close.
    ASSERT_TRUE(WaitFor([] { return KernelMidiSimReads() > 0; }));
    KernelMidiClose();
    EXPECT_EQ(0, KernelMidiSimOpenHandles());
    char error[PATH_SIZE] = "";
    EXPECT_EQ(0, KernelMidiOpen(error));
    EXPECT_STREQ(" MIDI-IN reader thread is still running.\n", error);
    EXPECT_EQ(0, KernelMidiSimOpenHandles());

    driver_.cancelIgnored = KMIDI_SIM_CANCEL_HONOURED;
    Reconfigure();
    KernelMidiSimReleaseReads();
    Open();
    ExpectReaderDelivers(0x43);
}

TEST_F(KernelMidiTest, ScanNumbersInstancesOfOneModelAndTrustsTheChangeQuery) {
    driver_.devicePresent = 0x25; // devices 0, 2, 5
    driver_.deviceId[2] = 0x0200;
    Reconfigure();
    int count = 0;
    EXPECT_EQ(1, KernelMidiScanDevices(&count));
    EXPECT_EQ(3, count);
    EXPECT_EQ(0, KernelMidiSimRequests(IOCTL_KMIDI_CHANGE_QUERY)) << "first scan asks nothing";
    const int expected[][3] = {{0, 0x0100, 1}, {2, 0x0200, 1}, {5, 0x0100, 2}};
    for (const auto& e : expected) {
        KernelMidiDevice d;
        ASSERT_EQ(1, KernelMidiGetDevice(e[0], &d));
        EXPECT_EQ(e[0], d.deviceNumber);
        EXPECT_EQ(e[1], d.deviceId);
        EXPECT_EQ(e[2], d.instanceNumber);
    }

    // Nothing changed: the count stays, and no device after the first is opened.
    driver_.changeAnswer = 0;
    driver_.devicePresent = 0x01;
    Reconfigure();
    EXPECT_EQ(0, KernelMidiScanDevices(&count));
    EXPECT_EQ(3, count);
    EXPECT_EQ(1, KernelMidiSimDeviceOpens(0));
    EXPECT_EQ(0, KernelMidiSimDeviceOpens(1));

    driver_.changeAnswer = 1;
    Reconfigure();
    EXPECT_EQ(1, KernelMidiScanDevices(&count));
    EXPECT_EQ(1, count);
    // A failed request counts as "no change".
    driver_.failRequests = 1;
    Reconfigure();
    EXPECT_EQ(0, KernelMidiScanDevices(&count));
    EXPECT_EQ(1, count);
}

// ---- Whole updates through the engine, and the fault matrix, over the simulated driver.

bool OpenInstrumentDriver(const VirtualInstrumentConfig& instrument, const FaultRow* cell) {
    VirtualInstrumentReset(&instrument);
    KernelMidiSimConfig driver;
    KernelMidiSimDefaultConfig(&driver);
    driver.failWriteAt = cell != nullptr ? cell->failSendAt : -1;
    KernelMidiClose();
    KernelMidiSimReset(&driver);
    char error[PATH_SIZE] = "";
    const int opened = KernelMidiOpen(error);
    EXPECT_EQ(1, opened) << error;
    return opened == 1;
}

bool CloseDriver(void) {
    KernelMidiClose();
    return true;
}

const TransportPath kKernelMidiPath = {
    "KernelMidi", DEVICE_TYPE_KERNEL_MIDI,    nullptr, OpenInstrumentDriver,
    CloseDriver,  VirtualInstrumentFlashRead, nullptr, nullptr,
    nullptr};

class KernelMidiUpdateTest : public KernelMidiTest {};

TEST_F(KernelMidiUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    const PathInstrument instruments[] = {
        {"data packets as event packets", 1, 1024, 0, 2, nullptr, 0, 0},
        {"raw data packets", 1, 1024, DEVICE_FLAG_RAW, 2, nullptr, 0, 0},
    };
    std::vector<VsbBlock> blocks = TestSeveralBlocks();
    blocks.pop_back();
    for (const PathInstrument& instrument : instruments) {
        SCOPED_TRACE(instrument.name);
        const bool raw = instrument.deviceFlags == DEVICE_FLAG_RAW;
        ExpectWholeUpdate(kKernelMidiPath, instrument, blocks);
        int rawWrites = 0;
        int highBytes = 0;
        for (int i = 0; i < KernelMidiSimWriteCount(); i++) {
            Bytes w = Write(i);
            if (w[0] == 0xF0) {
                rawWrites++;
                for (size_t j = 1; j + 1 < w.size(); j++) {
                    highBytes += w[j] >= 0x80;
                }
            }
        }
        EXPECT_EQ(raw ? 6 : 0, rawWrites) << "one write per data packet";
        EXPECT_EQ(raw, highBytes > 0);
        EXPECT_EQ(0, KernelMidiSimBadPackets());
        EXPECT_EQ(0, KernelMidiSimMarkers());
    }
}

TEST_F(KernelMidiUpdateTest, AbortEndsTheWaitForASilentInstrument) {
    ExpectAbortEndsTheWaitForASilentInstrument(kKernelMidiPath);
}

class KernelMidiFault : public KernelMidiTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(KernelMidiFault, EndsTheRunWithItsTextAndLeavesOnlyAcknowledgedPackets) {
    // A silent instrument is given up after 1000 polls (2 s) instead of 5000; far fewer
    // gave up on replies that a loaded machine delivered late.
    KernelMidiSetPollLimit(1000);
    ExpectFaultRowOnPath(kKernelMidiPath, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Matrix, KernelMidiFault,
                         ::testing::ValuesIn(kFaultRows, kFaultRows + kFaultRowCount),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
