// The MIDI transport on raw MIDI ports, against stand-in ports with the virtual instrument
// at their far end: messages put together from byte streams of every shape a cable
// carries, time-outs, the user's stop, the opens and their failures, and whole updates
// through the update engine.
#include "midi/midi_transport.h"
#include "sim/virtual_instrument.h"
#include "tests/doubles/rawmidi_instrument.h"
#include "tests/protocol_examples.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <errno.h>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::chrono::steady_clock Clock;

const int kGuard = 16;          // bytes past the capacity that must stay untouched
const long kPromptlyMs = 2000;  // far below the 50 s wait an abort cuts short
const Bytes kRealTime = {0xF8}; // timing clock

long MsSince(Clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

class MidiPosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RawMidiInstrumentDefaultConfig(&ports_);
        VirtualInstrumentConfig instrument;
        VirtualInstrumentDefaultConfig(&instrument);
        VirtualInstrumentReset(&instrument);
    }

    void TearDown() override {
        MidiClose();
        EXPECT_EQ(0, RawMidiInstrumentOpenHandles());
    }

    void Open() {
        RawMidiInstrumentReset(&ports_);
        char errorText[PATH_SIZE] = "";
        ASSERT_EQ(1, MidiOpen("ORVENT 1", "ORVENT 1", errorText, 1)) << errorText;
    }

    void Inject(const Bytes& bytes) {
        ASSERT_EQ(1, RawMidiInstrumentInject(bytes.data(), (int)bytes.size()));
    }

    // One receive into a buffer of capacity bytes with a guard behind it.
    int Receive(int capacity, int timeoutTicks, Bytes* message = nullptr) {
        Bytes buffer((size_t)(capacity + kGuard), 0xAA);
        int result = MidiReceive(buffer.data(), capacity, timeoutTicks);
        EXPECT_EQ(Bytes(buffer.end() - kGuard, buffer.end()), Bytes(kGuard, 0xAA))
            << "written past the capacity";
        if (message != nullptr) {
            *message = buffer;
        }
        return result;
    }

    RawMidiInstrumentConfig ports_;
};

struct StreamShape {
    const char* what;
    int readSize; // 0: whole reads
    int capacity;
    Bytes stream;
    std::vector<Bytes> messages;
};

TEST_F(MidiPosixTest, EachStreamShapeGivesExactlyItsWholeMessages) {
    const Bytes a = ExampleStatusSuccess();
    const Bytes b = ExampleInquiryReply();
    const Bytes longMessage = JoinBytes({{0xF0}, Bytes(1100, 0x11), {0xF7}});
    const StreamShape shapes[] = {
        {"two messages in one read", 0, 1024, JoinBytes({a, b}), {a, b}},
        {"a byte a read", 1, 1024, JoinBytes({a, b}), {a, b}},
        {"real-time bytes inside",
         3,
         1024,
         JoinBytes({{a[0], a[1], 0xF8}, {a.begin() + 2, a.end() - 1}, {0xFE, 0xFF}, {a.back()}}),
         {a}},
        {"channel messages, running status and system common between",
         0,
         1024,
         JoinBytes({{0x90, 0x3C, 0x40, 0x3C, 0x00},
                    a,
                    {0xB0, 0x07, 0x64, 0x07, 0x65},
                    {0xF1, 0x20, 0xF3, 0x01, 0xF6},
                    b}),
         {a, b}},
        {"junk and a stray end byte before", 2, 1024, JoinBytes({{0x01, 0x7F, 0xF7}, a}), {a}},
        {"broken by a status byte, then a good one",
         0,
         1024,
         JoinBytes({{0xF0, 0x42, 0x23, 0x3C, 0x90, 0x3C, 0x40, 0x05, 0x00, 0xF7}, b}),
         {b}},
        {"broken by a new start", 4, 1024, JoinBytes({{0xF0, 0x42, 0x23}, a}), {a}},
        {"longer than any reply, dropped", 0, 1024, JoinBytes({longMessage, a}), {a}},
        {"longer than the caller's buffer, dropped", 0, (int)a.size(), JoinBytes({b, a}), {a}},
    };
    for (const StreamShape& shape : shapes) {
        SCOPED_TRACE(shape.what);
        ports_.readSize = shape.readSize;
        Open();
        Inject(shape.stream);
        for (const Bytes& expected : shape.messages) {
            Bytes got;
            ASSERT_EQ(1, Receive(shape.capacity, 300, &got));
            EXPECT_EQ(Bytes(got.begin(), got.begin() + (long)expected.size()), expected);
        }
        EXPECT_EQ(-1, Receive(shape.capacity, 5)) << "a message more than the stream holds";
        MidiClose();
    }
}

TEST_F(MidiPosixTest, TimeOutsCountTicksAndALateReplyWaitsForTheNextReceive) {
    Open();
    EXPECT_EQ(-1, Receive(1024, 0));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(-1, Receive(1024, 20));
    EXPECT_GE(MsSince(start), 200) << "20 ticks are 200 ms";

    // What the port holds already is taken even when no time is left.
    Inject(ExampleStatusSuccess());
    EXPECT_EQ(1, Receive(1024, 0));

    VirtualInstrumentConfig instrument;
    VirtualInstrumentDefaultConfig(&instrument);
    instrument.replyDelayMs = 300;
    VirtualInstrumentReset(&instrument);
    const Bytes inquiry = ExampleInquiry();
    ASSERT_EQ(1, MidiSend(inquiry.data(), (int)inquiry.size()));
    EXPECT_EQ(-1, Receive(1024, 5));
    Bytes got;
    ASSERT_EQ(1, Receive(1024, 500, &got));
    const Bytes reply = ExampleInquiryReply();
    EXPECT_EQ(Bytes(got.begin(), got.begin() + (long)reply.size()), reply);
}

TEST_F(MidiPosixTest, AbortEndsTheWaitAndEveryReceiveUntilReopened) {
    Open();
    int result = 0;
    Clock::time_point start = Clock::now();
    std::thread receiver([&] { result = MidiReceive(nullptr, 0, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MidiAbortReceive();
    receiver.join();
    EXPECT_EQ(-2, result);
    EXPECT_LT(MsSince(start), kPromptlyMs);

    Inject(ExampleStatusSuccess());
    start = Clock::now();
    EXPECT_EQ(-2, Receive(1024, 5000)) << "a message waiting does not undo the stop";
    EXPECT_LT(MsSince(start), kPromptlyMs);

    MidiClose();
    Open();
    Inject(ExampleStatusSuccess());
    EXPECT_EQ(1, Receive(1024, 300));
}

struct OpenCase {
    const char* what;
    const char* output;
    const char* input;
    int portCount; // -1: the default listing
    int failOpenAt;
    int openError;
    std::string text; // empty: the open succeeds
    std::vector<std::pair<std::string, int>> opens;
};

TEST_F(MidiPosixTest, OpensEachPortOnceOrSaysWhyNot) {
    const int both = RAWMIDI_INPUT | RAWMIDI_OUTPUT;
    const OpenCase cases[] = {
        {"one port both ways", "ORVENT 1", "ORVENT 1", -1, -1, 0, "", {{"hw:1,0,0", both}}},
        {"its id and its name", "hw:1,0,0", "ORVENT 1", -1, -1, 0, "", {{"hw:1,0,0", both}}},
        {"one port under a name each way",
         "ORVENT 2 SOUND",
         "ORVENT 2 KEYBOARD",
         -1,
         -1,
         0,
         "",
         {{"hw:1,1,0", both}}},
        {"two ports",
         "hw:1,0",
         "ORVENT 1 KEYBOARD",
         -1,
         -1,
         0,
         "",
         {{"hw:1,0,1", RAWMIDI_INPUT}, {"hw:1,0", RAWMIDI_OUTPUT}}},
        {"no such output",
         "ORVENT 2",
         "ORVENT 1",
         -1,
         -1,
         0,
         "Midi out port is not exist : ORVENT 2",
         {}},
        {"an input-only port as output",
         "ORVENT 1 KEYBOARD",
         "ORVENT 1",
         -1,
         -1,
         0,
         "Midi out port is not exist : ORVENT 1 KEYBOARD",
         {}},
        {"no such input",
         "ORVENT 1",
         "hw:2,0",
         -1,
         -1,
         0,
         "Midi in port is not exist : hw:2,0",
         {}},
        {"no sound card", "hw:1,0", "hw:1,0", 0, -1, 0, "Midi out port is not exist : hw:1,0", {}},
        {"input refused",
         "ORVENT 1",
         "ORVENT 1",
         -1,
         0,
         EBUSY,
         std::string("Midi In Open Error : ") + strerror(EBUSY),
         {{"hw:1,0,0", both}}},
        {"output refused after the input opened",
         "ORVENT 1",
         "ORVENT 1 KEYBOARD",
         -1,
         1,
         EACCES,
         std::string("Midi Out Open Error : ") + strerror(EACCES),
         {{"hw:1,0,1", RAWMIDI_INPUT}, {"hw:1,0,0", RAWMIDI_OUTPUT}}},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        RawMidiInstrumentConfig config = ports_;
        if (c.portCount >= 0) {
            config.portCount = c.portCount;
        }
        config.failOpenAt = c.failOpenAt;
        config.openError = c.openError;
        RawMidiInstrumentReset(&config);
        char errorText[PATH_SIZE] = "untouched";
        EXPECT_EQ(c.text.empty() ? 1 : 0, MidiOpen(c.output, c.input, errorText, 1));
        EXPECT_EQ(c.text.empty() ? std::string("untouched") : c.text, errorText);
        ASSERT_EQ((int)c.opens.size(), RawMidiInstrumentOpenCount());
        for (size_t i = 0; i < c.opens.size(); i++) {
            EXPECT_EQ(c.opens[i].first, RawMidiInstrumentOpenDevice((int)i));
            EXPECT_EQ(c.opens[i].second, RawMidiInstrumentOpenDirections((int)i));
        }
        EXPECT_EQ(c.text.empty() ? (int)c.opens.size() : 0, RawMidiInstrumentOpenHandles())
            << "a failed open leaves no port open";
        MidiClose();
    }
}

// The engine, the real transport and the instrument behind the stand-in ports, with
// replies arriving a few bytes at a time among channel messages and timing clocks.
class MidiPosixUpdateTest : public MidiPosixTest {
  protected:
    void SetUp() override {
        MidiPosixTest::SetUp();
        ASSERT_TRUE(TestEngineSetUp(nullptr, DEVICE_TYPE_MIDI));
        path_ = TestTempPath("midi_posix_update.vsb");
        blocks_.push_back(TestRandomBlock(1, 1, 5, 0x0000, 2048));
        blocks_.push_back(TestRandomBlock(2, 2, 1, 0x10000, 4096));
        blocks_.push_back(TestRandomBlock(3, 1, 10, 0x30000, 1024));
        ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
        ports_.readSize = 5;
        const Bytes noise = {0x90, 0x3C, 0x40, 0x3C, 0x00, 0xF8, 0xFE, 0xF1, 0x20, 0x7F};
        memcpy(ports_.noise, noise.data(), noise.size());
        ports_.noiseLength = (int)noise.size();
        ports_.realTimeEvery = 3;
    }

    void TearDown() override {
        MidiPosixTest::TearDown();
        TestEngineTearDown();
        TestRemoveFile(path_);
    }

    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(MidiPosixUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    VirtualInstrumentConfig instrument;
    VirtualInstrumentDefaultConfig(&instrument);
    instrument.protocolCode = 1;
    instrument.packetSize = 4096; // more than a MIDI packet may carry
    instrument.linkPacketLimit = 1024;
    instrument.writeSteps = 2;
    const int versions[][3] = {{1, 1, 3}, {2, 2, 0}, {3, 1, 0}};
    for (const auto& v : versions) {
        instrument.versionMajor[v[0]] = (unsigned char)v[1];
        instrument.versionMinor[v[0]] = (unsigned char)v[2];
    }
    VirtualInstrumentReset(&instrument);
    Open();
    TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, path_.c_str());
    EXPECT_EQ(1, RunUpdate());
    EXPECT_TRUE(TestLogHas("Update Completed!"));
    for (const VsbBlock& b : blocks_) {
        ExpectFlashHoldsBlock(b, VirtualInstrumentFlashRead);
    }
    EXPECT_EQ(7, VirtualInstrumentPacketCount()) << "7 KiB in packets of 1024 bytes";
    EXPECT_EQ(0, VirtualInstrumentForeignByteCount()) << "only update messages on the wire";
}

TEST_F(MidiPosixUpdateTest, AbortEndsTheWaitForASilentInstrument) {
    TestResetSilentInstrument(2);
    Open();
    EXPECT_LT(TestAbortRunningUpdate(path_.c_str(), DEVICE_TYPE_MIDI, 500), kPromptlyMs);
}

} // namespace
