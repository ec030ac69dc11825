// The MIDI transport on raw MIDI ports, against stand-in ports with the virtual instrument
// at their far end: messages put together from byte streams of every shape a cable
// carries, time-outs, the user's stop, the opens and their failures, and whole updates
// through the update engine.
#include "midi/midi_transport.h"
#include "midi/midi_transport_posix.h"
#include "sim/virtual_instrument.h"
#include "tests/doubles/rawmidi_instrument.h"
#include "tests/protocol_examples.h"
#include "tests/test_files.h"
#include "tests/transport_paths.h"
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

// A reply to what an earlier, stopped run sent may still be in the port: the first request
// of the new run must not find it there and take it for its own answer.
TEST_F(MidiPosixTest, WhatThePortHeldBeforeTheFirstRequestIsDropped) {
    Open();
    Inject(ExampleStatusSuccess());
    Inject({0xF0, 0x42, 0x23}); // and the start of another, broken off
    const Bytes inquiry = ExampleInquiry();
    ASSERT_EQ(1, MidiSend(inquiry.data(), (int)inquiry.size()));
    Bytes got;
    ASSERT_EQ(1, Receive(1024, 300, &got));
    const Bytes reply = ExampleInquiryReply();
    EXPECT_EQ(Bytes(got.begin(), got.begin() + (long)reply.size()), reply);
}

// The instrument unplugged mid-run: the receive fails at once instead of waiting out its
// time, so does every send, and the transport keeps the system's reason for the program.
TEST_F(MidiPosixTest, AnUnpluggedInstrumentFailsAtOnceAndSaysWhy) {
    Open();
    EXPECT_EQ(0, MidiPortError());
    RawMidiInstrumentUnplug();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, Receive(1024, 5000));
    EXPECT_LT(MsSince(start), kPromptlyMs);
    EXPECT_EQ(ENODEV, MidiPortError());
    const Bytes inquiry = ExampleInquiry();
    EXPECT_EQ(0, MidiSend(inquiry.data(), (int)inquiry.size()));
    EXPECT_EQ(ENODEV, MidiPortError());

    MidiClose();
    Open();
    EXPECT_EQ(0, MidiPortError()) << "a new open starts without the old port's failure";
    ASSERT_EQ(1, MidiSend(inquiry.data(), (int)inquiry.size()));
    EXPECT_EQ(1, Receive(1024, 300));
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
RawMidiInstrumentConfig s_updatePorts;

bool OpenUpdatePorts(const VirtualInstrumentConfig& instrument, const FaultRow*) {
    VirtualInstrumentConfig overMidi = instrument;
    overMidi.linkPacketLimit = 1024;
    VirtualInstrumentReset(&overMidi);
    RawMidiInstrumentReset(&s_updatePorts);
    char errorText[PATH_SIZE] = "";
    const int opened = MidiOpen("ORVENT 1", "ORVENT 1", errorText, 1);
    EXPECT_EQ(1, opened) << errorText;
    return opened == 1;
}

bool CloseUpdatePorts(void) {
    MidiClose();
    return true;
}

const TransportPath kRawMidiPath = {"RawMidi",       DEVICE_TYPE_MIDI, nullptr,
                                    OpenUpdatePorts, CloseUpdatePorts, VirtualInstrumentFlashRead,
                                    nullptr,         nullptr,          nullptr};

class MidiPosixUpdateTest : public MidiPosixTest {
  protected:
    void SetUp() override {
        MidiPosixTest::SetUp();
        s_updatePorts = ports_;
        s_updatePorts.readSize = 5;
        const Bytes noise = {0x90, 0x3C, 0x40, 0x3C, 0x00, 0xF8, 0xFE, 0xF1, 0x20, 0x7F};
        memcpy(s_updatePorts.noise, noise.data(), noise.size());
        s_updatePorts.noiseLength = (int)noise.size();
        s_updatePorts.realTimeEvery = 3;
    }
};

TEST_F(MidiPosixUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    // More than a MIDI packet may carry.
    const PathInstrument instrument = {
        "protocol 1, 4096-byte packets, two-phase writing", 1, 4096, 0, 2, nullptr, 0, 0};
    ExpectWholeUpdate(kRawMidiPath, instrument, TestSeveralBlocks());
    EXPECT_EQ(7, VirtualInstrumentPacketCount()) << "7 KiB in packets of 1024 bytes";
    EXPECT_EQ(0, VirtualInstrumentForeignByteCount()) << "only update messages on the wire";
}

TEST_F(MidiPosixUpdateTest, AbortEndsTheWaitForASilentInstrument) {
    ExpectAbortEndsTheWaitForASilentInstrument(kRawMidiPath);
}

} // namespace
