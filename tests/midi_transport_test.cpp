// The MIDI transport against the stand-in winmm.dll beside this executable: the real
// service calls, the maker's driver's port list and the virtual instrument behind it.
#include "midi/midi_ring_testing.h"
#include "midi/midi_transport.h"
#include "midi/midi_transport_testing.h"
#include "platform/text.h"
#include "sim/winmm_standin.h"
#include "tests/protocol_examples.h"
#include "tests/window_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const char* const kVariables[] = {"ORV_MIDI_OUT_PORTS", "ORV_MIDI_IN_PORTS",
                                  "ORV_MIDI_TX_BYTES_PER_MS"};

const char kSound[] = "ORVENT 1 SOUND";
const char kKeyboard[] = "ORVENT 1 KEYBOARD";
const char kUnchanged[] = "unchanged";

long MsSince(std::chrono::steady_clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

// Everything injected so far has reached the transport's callback.
void WaitDelivered() {
    for (int i = 0; i < 300 && g_standin.pendingInput() > 0; i++) {
        Sleep(10);
    }
    ASSERT_EQ(0, g_standin.pendingInput());
}

void WaitForInstrumentMessages(int count) {
    for (int i = 0; i < 500 && g_standin.messageCount() < count; i++) {
        Sleep(10);
    }
    ASSERT_EQ(count, g_standin.messageCount());
}

Bytes InstrumentMessage(int index) {
    Bytes bytes(MIDI_TX_BUFFER_SIZE + 16);
    int length = g_standin.message(index, bytes.data(), (int)bytes.size());
    bytes.resize(length > 0 ? (size_t)length : 0);
    return bytes;
}

void Inject(int device, const Bytes& bytes, int delayMs) {
    ASSERT_EQ(1, g_standin.inject(device, bytes.data(), (int)bytes.size(), delayMs));
}

Bytes Numbered(int n) {
    return Bytes{0xF0, 0x7D, (unsigned char)n, 0xF7};
}

// F0, a pattern of data bytes below 0x80, F7.
Bytes SysEx(int length) {
    Bytes bytes((size_t)length);
    for (int i = 0; i < length; i++) {
        bytes[(size_t)i] = (unsigned char)((i * 7 + 3) & 0x7F);
    }
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

class MidiTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(BindStandin()) << "the stand-in winmm.dll did not load beside the test";
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
        g_standin.reset();
    }

    void TearDown() override {
        MidiClose();
        MidiSetMemoryFunctions(nullptr);
        MidiRingSetClock(nullptr);
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
    }

    // Ports (null: the defaults) and the speed output messages leave at.
    void Configure(const char* outPorts, const char* inPorts, const char* bytesPerMs = nullptr) {
        SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", outPorts);
        SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", inPorts);
        SetEnvironmentVariableA("ORV_MIDI_TX_BYTES_PER_MS", bytesPerMs);
        g_standin.reset();
    }

    void OpenDefault() {
        char errorText[PATH_SIZE] = "";
        ASSERT_EQ(1, MidiOpen(kSound, kKeyboard, errorText, 1)) << errorText;
    }
};

struct OpenCase {
    const char* what;
    const char* outPorts; // null: the stand-in's defaults
    const char* inPorts;
    const char* outName;
    const char* inName;
    int onlyMavoDriver;
    int result;
    const char* text; // expected errorText; unchanged on success
    int outDevice;    // the ports opened on success
    int inDevice;
};

#define MAVO_OUT "name=ORVENT 1 SOUND,mid=55,ver=1.08"
#define MAVO_IN "name=ORVENT 1 KEYBOARD,mid=55,ver=1.08"
#define NOT_EXIST_OUT "Midi out port is not exist : "
#define VERSION_ERROR "MAVO USB MIDI driver version error(requires 1.08 or later)"

const OpenCase kOpenCases[] = {
    {"the instrument's default ports", nullptr, nullptr, kSound, kKeyboard, 1, 1, kUnchanged, 0, 0},
    {"a synthesizer of that name is no output", "name=ORVENT 1 SOUND,tech=7,mid=55,ver=1.08",
     nullptr, kSound, kKeyboard, 1, 0, NOT_EXIST_OUT "ORVENT 1 SOUND", -1, -1},
    {"the MIDI port after a synthesizer of the same name",
     "name=ORVENT 1 SOUND,tech=7,mid=55,ver=1.08;" MAVO_OUT, nullptr, kSound, kKeyboard, 1, 1,
     kUnchanged, 1, 0},
    {"of two ports of one name the lower number", "name=Other Out,mid=99;" MAVO_OUT ";" MAVO_OUT,
     "name=Other In;" MAVO_IN ";" MAVO_IN, kSound, kKeyboard, 1, 1, kUnchanged, 1, 1},
    {"output name in other case", nullptr, nullptr, "orvent 1 sound", kKeyboard, 1, 0,
     NOT_EXIST_OUT "orvent 1 sound", -1, -1},
    {"input name in other case", nullptr, nullptr, kSound, "ORVENT 1 keyboard", 1, 0,
     "Midi in port is not exist : ORVENT 1 keyboard", -1, -1},
    {"both names missing: output reported", nullptr, nullptr, "No Out", "No In", 1, 0,
     NOT_EXIST_OUT "No Out", -1, -1},
    {"output of another maker", "name=ORVENT 1 SOUND,mid=99,ver=1.08", nullptr, kSound, kKeyboard,
     1, 0, "Midi out port is not MAVO MIDI-Driver : ORVENT 1 SOUND", -1, -1},
    {"input of another maker", nullptr, "name=ORVENT 1 KEYBOARD,mid=99,ver=1.08", kSound, kKeyboard,
     1, 0, "Midi in port is not MAVO MIDI-Driver : ORVENT 1 KEYBOARD", -1, -1},
    {"output driver 1.07", "name=ORVENT 1 SOUND,mid=55,ver=1.07", nullptr, kSound, kKeyboard, 1, 0,
     VERSION_ERROR, -1, -1},
    {"input driver 1.07", nullptr, "name=ORVENT 1 KEYBOARD,mid=55,ver=1.07", kSound, kKeyboard, 1,
     0, VERSION_ERROR, -1, -1},
    {"driver 2.00", "name=ORVENT 1 SOUND,mid=55,ver=2.00", nullptr, kSound, kKeyboard, 1, 1,
     kUnchanged, 0, 0},
    {"any maker: other makers' ports unchecked", "name=Cable Out,mid=99,ver=0.01",
     "name=Cable In,mid=99,ver=0.01", "Cable Out", "Cable In", 0, 1, kUnchanged, 0, 0},
    {"any maker: output driver 1.07", "name=ORVENT 1 SOUND,mid=55,ver=1.07", nullptr, kSound,
     kKeyboard, 0, 0, VERSION_ERROR, -1, -1},
    {"any maker: output driver 1.08", MAVO_OUT, nullptr, kSound, kKeyboard, 0, 1, kUnchanged, 0, 0},
    {"any maker: input driver 1.07", "name=Cable Out,mid=99",
     "name=ORVENT 1 KEYBOARD,mid=55,ver=1.07", "Cable Out", kKeyboard, 0, 0, VERSION_ERROR, -1, -1},
    {"input open refused", nullptr, MAVO_IN ",fail=1", kSound, kKeyboard, 1, 0,
     "Midi In Open Error : Allocated", -1, -1},
    {"output open refused", MAVO_OUT ",fail=1,error=2", nullptr, kSound, kKeyboard, 1, 0,
     "Midi Out Open Error : Bad Device ID", -1, -1},
    {"names filling szPname without terminator",
     "name=ORVENT 1 SOUND OUT PORT 32 CHARS,mid=55,ver=1.08",
     "name=ORVENT 1 KEYBOARD IN PORT 32 CHR,mid=55,ver=1.08", "ORVENT 1 SOUND OUT PORT 32 CHARS",
     "ORVENT 1 KEYBOARD IN PORT 32 CHR", 1, 1, kUnchanged, 0, 0},
    {"output open refused oddly", MAVO_OUT ",fail=1,error=99", nullptr, kSound, kKeyboard, 1, 0,
     "Midi Out Open Error : Unexpected Error", -1, -1},
};

TEST_F(MidiTransportTest, OpenChoosesPortsByNameTechnologyMakerAndVersion) {
    for (const OpenCase& c : kOpenCases) {
        SCOPED_TRACE(c.what);
        Configure(c.outPorts, c.inPorts);
        char errorText[PATH_SIZE];
        strcpy(errorText, kUnchanged);
        EXPECT_EQ(c.result, MidiOpen(c.outName, c.inName, errorText, c.onlyMavoDriver));
        EXPECT_STREQ(c.text, errorText);
        if (c.result == 1) {
            EXPECT_EQ(c.outDevice, g_standin.openDevice(1));
            EXPECT_EQ(c.inDevice, g_standin.openDevice(0));
        } else {
            EXPECT_EQ(0, g_standin.openPortCount());
        }
        MidiClose();
        EXPECT_EQ(0, g_standin.openPortCount());
    }
}

TEST_F(MidiTransportTest, ServiceResultCodesHaveTheirTexts) {
    const struct {
        unsigned int code;
        const char* text;
    } cases[] = {{2, "Bad Device ID"},     {4, "Allocated"},        {5, "Invalid Handle"},
                 {7, "Not Enough Memory"}, {10, "Invalid Flags"},   {11, "Invalid Param"},
                 {64, "Unprepared"},       {65, "Still Playing"},   {0, "Unexpected Error"},
                 {1, "Unexpected Error"},  {66, "Unexpected Error"}};
    for (const auto& c : cases) {
        char text[TEXT_SIZE];
        MidiErrorText(c.code, text, sizeof text);
        EXPECT_STREQ(c.text, text) << c.code;
    }
}

// GlobalAlloc and friends, counted, with one allocation or lock made to fail.
struct MemoryRecord {
    int failAt; // the n-th allocation (or lock) fails; 0: none
    int failLock;
    int allocCalls;
    int lockCalls;
    int allocated;
    int freed;
    int locked;
    int unlocked;
    std::vector<SIZE_T> sizes;
    bool flagsRight;
};

MemoryRecord g_memory;

HGLOBAL WINAPI RecordingAlloc(UINT flags, SIZE_T bytes) {
    g_memory.allocCalls++;
    g_memory.flagsRight = g_memory.flagsRight && flags == 0x2042;
    if (!g_memory.failLock && g_memory.allocCalls == g_memory.failAt) {
        return NULL;
    }
    g_memory.allocated++;
    g_memory.sizes.push_back(bytes);
    return GlobalAlloc(flags, bytes);
}

LPVOID WINAPI RecordingLock(HGLOBAL block) {
    g_memory.lockCalls++;
    if (g_memory.failLock && g_memory.lockCalls == g_memory.failAt) {
        return NULL;
    }
    g_memory.locked++;
    return GlobalLock(block);
}

BOOL WINAPI RecordingUnlock(HGLOBAL block) {
    g_memory.unlocked++;
    return GlobalUnlock(block);
}

HGLOBAL WINAPI RecordingFree(HGLOBAL block) {
    g_memory.freed++;
    return GlobalFree(block);
}

TEST_F(MidiTransportTest, FailedAllocationReleasesEveryBlockObtainedBefore) {
    const MidiMemoryFunctions recording = {RecordingAlloc, RecordingLock, RecordingUnlock,
                                           RecordingFree};
    MidiSetMemoryFunctions(&recording);
    // 12 input headers, the output header, 12 input buffers, the output buffer.
    const struct {
        int failAt;
        int failLock;
        const char* text;
    } cases[] = {
        {1, 0, "Not Enough Memory(Alloc MIDIINHDR)"},
        {12, 1, "Not Enough Memory(Lock MIDIINHDR)"},
        {13, 0, "Not Enough Memory(Alloc MIDIOUTHDR)"},
        {13, 1, "Not Enough Memory(Lock MIDIOUTHDR)"},
        {20, 0, "Not Enough Memory(Alloc ExcIn)"},
        {14, 1, "Not Enough Memory(Lock ExcIn)"},
        {26, 0, "Not Enough Memory(Alloc ExcOut)"},
        {26, 1, "Not Enough Memory(Lock ExcOut)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        g_memory = MemoryRecord{c.failAt, c.failLock, 0, 0, 0, 0, 0, 0, {}, true};
        char errorText[PATH_SIZE] = "";
        EXPECT_EQ(0, MidiOpen(kSound, kKeyboard, errorText, 1));
        EXPECT_STREQ(c.text, errorText);
        EXPECT_EQ(g_memory.allocated, g_memory.freed);
        EXPECT_EQ(g_memory.locked, g_memory.unlocked);
        EXPECT_EQ(0, g_standin.openPortCount());
    }
    // The seventh input buffer: all headers and six buffers were obtained and given back.
    g_memory = MemoryRecord{20, 0, 0, 0, 0, 0, 0, 0, {}, true};
    char errorText[PATH_SIZE] = "";
    MidiOpen(kSound, kKeyboard, errorText, 1);
    EXPECT_EQ(19, g_memory.freed);

    g_memory = MemoryRecord{0, 0, 0, 0, 0, 0, 0, 0, {}, true};
    ASSERT_EQ(1, MidiOpen(kSound, kKeyboard, errorText, 1)) << errorText;
    std::vector<SIZE_T> expected(13, 64);
    expected.insert(expected.end(), 12, 256);
    expected.push_back(37888);
    EXPECT_EQ(expected, g_memory.sizes);
    EXPECT_TRUE(g_memory.flagsRight);
    MidiClose();
    EXPECT_EQ(26, g_memory.freed);
    EXPECT_EQ(26, g_memory.unlocked);
}

TEST_F(MidiTransportTest, OpeningAndClosingInAnyOrderLeaveNothingBehind) {
    MidiClose();
    MidiClose();
    OpenDefault();
    // An open on an open transport starts from scratch instead of losing the ports.
    OpenDefault();
    EXPECT_EQ(2, g_standin.openPortCount());
    MidiClose();
    MidiClose();
    EXPECT_EQ(0, g_standin.openPortCount());
    // The service has ended with the last port: a test process may end right after.
    EXPECT_EQ(0, g_standin.serviceThreads());
    OpenDefault();
    EXPECT_EQ(2, g_standin.openPortCount());
    EXPECT_EQ(1, g_standin.serviceThreads());
}

TEST_F(MidiTransportTest, RequestsReachTheInstrumentAndRepliesComeBack) {
    OpenDefault();
    const Bytes inquiry = ExampleInquiry();
    const Bytes inquiryReply = ExampleInquiryReply();
    const Bytes versionRequest = ExampleVersionRequest();
    // The instrument behind the stand-in holds version 0.00.
    const Bytes versionReply = ExampleMessage(VersionReply(0, 0));
    unsigned char reply[1024];
    // The second send finds the header done and prepares it again.
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(1, MidiSend(inquiry.data(), (int)inquiry.size()));
        ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
        EXPECT_EQ(inquiryReply, Bytes(reply, reply + inquiryReply.size()));
        ASSERT_EQ(1, MidiSend(versionRequest.data(), (int)versionRequest.size()));
        ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
        EXPECT_EQ(versionReply, Bytes(reply, reply + versionReply.size()));
    }
    // Nothing but update messages reached the instrument, the close included: a reset
    // would have sent channel messages.
    MidiClose();
    EXPECT_EQ(0, g_standin.foreignBytes());
}

TEST_F(MidiTransportTest, MessageFillingTheWholeOutputBufferIsSentWhole) {
    OpenDefault();
    const Bytes message = SysEx(MIDI_TX_BUFFER_SIZE);
    ASSERT_EQ(1, MidiSend(message.data(), (int)message.size()));
    WaitForInstrumentMessages(1);
    EXPECT_EQ(message, InstrumentMessage(0));
    const Bytes tooLong = SysEx(MIDI_TX_BUFFER_SIZE + 1);
    EXPECT_EQ(0, MidiSend(tooLong.data(), (int)tooLong.size()));
}

TEST_F(MidiTransportTest, SendWhileAMessageIsLeavingFailsWithoutTouchingIt) {
    Configure(nullptr, nullptr, "100"); // 37,888 bytes take about 380 ms
    OpenDefault();
    const Bytes first = SysEx(MIDI_TX_BUFFER_SIZE);
    const Bytes second = ExampleInquiry();
    ASSERT_EQ(1, MidiSend(first.data(), (int)first.size()));
    EXPECT_EQ(0, MidiSend(second.data(), (int)second.size()));
    WaitForInstrumentMessages(1);
    EXPECT_EQ(first, InstrumentMessage(0));
    EXPECT_EQ(1, MidiSend(second.data(), (int)second.size()));
    WaitForInstrumentMessages(2);
    EXPECT_EQ(second, InstrumentMessage(1));
}

TEST_F(MidiTransportTest, CloseWhileAMessageIsLeavingClosesBothPorts) {
    Configure(nullptr, nullptr, "10"); // several seconds on the way
    OpenDefault();
    const Bytes message = SysEx(MIDI_TX_BUFFER_SIZE);
    ASSERT_EQ(1, MidiSend(message.data(), (int)message.size()));
    MidiClose();
    EXPECT_EQ(0, g_standin.openPortCount());
    EXPECT_EQ(16 * 6, g_standin.foreignBytes()) << "the reset's sustain and notes off";
    OpenDefault();
    EXPECT_EQ(0, g_standin.messageCount());
}

TEST_F(MidiTransportTest, BlocksOfAPortThatWillNotCloseAreLeftToTheDriver) {
    Configure(MAVO_OUT ",keep=1", nullptr); // the message never leaves, nor comes back
    const MidiMemoryFunctions recording = {RecordingAlloc, RecordingLock, RecordingUnlock,
                                           RecordingFree};
    MidiSetMemoryFunctions(&recording);
    g_memory = MemoryRecord{0, 0, 0, 0, 0, 0, 0, 0, {}, true};
    OpenDefault();
    const Bytes message = ExampleInquiry();
    ASSERT_EQ(1, MidiSend(message.data(), (int)message.size()));
    MidiClose();
    EXPECT_EQ(g_memory.allocated - 2, g_memory.freed) << "all but the output header and buffer";
}

// Open and close notifications of a port, and the threads they came on.
std::vector<UINT> g_notices;
std::vector<DWORD> g_noticeThreads;

void CALLBACK RecordNotice(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    g_notices.push_back(message);
    g_noticeThreads.push_back(GetCurrentThreadId());
}

TEST_F(MidiTransportTest, StandInNotifiesOpenAndCloseFromTheServiceThread) {
    HMIDIIN port = NULL;
    ASSERT_EQ(MMSYSERR_NOERROR,
              midiInOpen(&port, 0, (DWORD_PTR)RecordNotice, 0, CALLBACK_FUNCTION));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInClose(port));
    // The last port's close returns only once the service has delivered everything.
    EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_CLOSE}), g_notices);
    for (DWORD thread : g_noticeThreads) {
        EXPECT_NE(GetCurrentThreadId(), thread);
    }
}

TEST_F(MidiTransportTest, NothingWaitingOrNothingOpen) {
    unsigned char reply[1024];
    const Bytes message = ExampleInquiry();
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
    EXPECT_EQ(0, MidiSend(message.data(), (int)message.size()));
    OpenDefault();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 5));
    EXPECT_GE(MsSince(start), 40);
    // Closing hands every queued buffer back; none of them is a message afterwards.
    MidiClose();
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
}

TEST_F(MidiTransportTest, WaitingRepliesComeInArrivalOrder) {
    OpenDefault();
    for (int n = 1; n <= 3; n++) {
        Inject(0, Numbered(n), 0);
    }
    // Two messages that arrive together still come back in a buffer each.
    Bytes together = Numbered(4);
    const Bytes fifth = Numbered(5);
    together.insert(together.end(), fifth.begin(), fifth.end());
    Inject(0, together, 0);
    WaitDelivered();
    unsigned char reply[1024];
    for (int n = 1; n <= 5; n++) {
        ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 0));
        EXPECT_EQ(Numbered(n), Bytes(reply, reply + 4));
    }
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
}

TEST_F(MidiTransportTest, BufferNotStartingAMessageIsSkippedWithTheTicksSpent) {
    OpenDefault();
    // A continuation every 200 ms for two seconds, then the message: a 30-tick wait that
    // counted from 0 again after each skip would still be waiting when the message comes,
    // however slowly the machine sleeps.
    for (int i = 1; i <= 10; i++) {
        Inject(0, Bytes{0x12, 0x34, 0x56, 0xF7}, 200 * i);
    }
    Inject(0, Numbered(9), 2200);
    unsigned char reply[1024];
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 30));
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 500));
    EXPECT_EQ(Numbered(9), Bytes(reply, reply + 4));
}

TEST_F(MidiTransportTest, CopyIsBoundedByOneBufferAndByTheCapacity) {
    OpenDefault();
    const Bytes longMessage = SysEx(300);
    const Bytes mid = SysEx(200);
    Inject(0, longMessage, 0);
    Inject(0, Numbered(5), 0);
    Inject(0, mid, 0);
    WaitDelivered();

    unsigned char reply[1024];
    memset(reply, 0xAA, sizeof reply);
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 0));
    EXPECT_EQ(Bytes(longMessage.begin(), longMessage.begin() + 256), Bytes(reply, reply + 256));
    EXPECT_EQ(0xAA, reply[256]);
    // The last 44 bytes of the long message sat in a buffer of their own: skipped.
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 0));
    EXPECT_EQ(Numbered(5), Bytes(reply, reply + 4));

    memset(reply, 0xAA, sizeof reply);
    ASSERT_EQ(1, MidiReceive(reply, 100, 0));
    EXPECT_EQ(Bytes(mid.begin(), mid.begin() + 100), Bytes(reply, reply + 100));
    EXPECT_EQ(0xAA, reply[100]);
}

TEST_F(MidiTransportTest, AbortEndsALongWaitPromptly) {
    OpenDefault();
    std::thread stopper([] {
        Sleep(100);
        MidiAbortReceive();
    });
    unsigned char reply[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-2, MidiReceive(reply, sizeof reply, 5000));
    EXPECT_LT(MsSince(start), 1000);
    stopper.join();
    // The stop holds for the receives after it, until the transport is opened again.
    EXPECT_EQ(-2, MidiReceive(reply, sizeof reply, 5000));
    OpenDefault();
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
}

// Every reading is 200 s after the one before: each wait of a receive lasts that long by
// the clock, as across a machine's sleep or a paused virtual machine.
uint64_t g_jumpingNow = 0;

uint64_t JumpingClock() {
    g_jumpingNow += 200000000u;
    return g_jumpingNow;
}

TEST_F(MidiTransportTest, WaitsThatLastForAgesByTheClockEndAsTimeOutsNotAsStops) {
    OpenDefault();
    MidiRingSetClock(JumpingClock);
    unsigned char reply[1024];
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 100));
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 1));
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, MIDI_ABORT_TICKS - 1));
    // A reply that is there is still taken, and a real stop still ends the wait as one.
    Inject(0, Numbered(4), 0);
    WaitDelivered();
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
    EXPECT_EQ(Numbered(4), Bytes(reply, reply + 4));
    MidiAbortReceive();
    EXPECT_EQ(-2, MidiReceive(reply, sizeof reply, 100));
}

TEST_F(MidiTransportTest, MoreThanElevenMessagesBeforeAReceive) {
    OpenDefault();
    for (int n = 0; n < 14; n++) {
        Inject(0, Numbered(n), 0);
    }
    WaitDelivered();
    // Twelve buffers were queued: the last two messages found none.
    EXPECT_EQ(8, g_standin.droppedInputBytes());
    unsigned char reply[1024];
    for (int n = 0; n < 12; n++) {
        ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 0)) << n;
        EXPECT_EQ(Numbered(n), Bytes(reply, reply + 4));
    }
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 0));
    Inject(0, Numbered(20), 0);
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
    EXPECT_EQ(Numbered(20), Bytes(reply, reply + 4));
}

TEST_F(MidiTransportTest, OtherTrafficOnThePortIsPassedOnInOrder) {
    OpenDefault();
    const Bytes unrelated = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    Inject(0, unrelated, 0);
    Inject(0, Bytes{0x90, 0x3C, 0x40}, 0); // a note never reaches the buffers
    Inject(1, Numbered(3), 0);             // another port's message stays there
    WaitDelivered();
    const Bytes inquiry = ExampleInquiry();
    ASSERT_EQ(1, MidiSend(inquiry.data(), (int)inquiry.size()));
    unsigned char reply[1024];
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
    EXPECT_EQ(unrelated, Bytes(reply, reply + unrelated.size()));
    ASSERT_EQ(1, MidiReceive(reply, sizeof reply, 100));
    EXPECT_EQ(0x01, reply[4]);
    EXPECT_EQ(-1, MidiReceive(reply, sizeof reply, 10));
}

TEST_F(MidiTransportTest, StandInFailsOpensAndLosesPortsOnRequest) {
    Configure(MAVO_OUT ",fail=2", MAVO_IN ",vanish=2");
    char errorText[PATH_SIZE] = "";
    for (int attempt = 0; attempt < 2; attempt++) {
        EXPECT_EQ(0, MidiOpen(kSound, kKeyboard, errorText, 1));
        EXPECT_STREQ("Midi Out Open Error : Allocated", errorText);
    }
    // The failed opens above took the keyboard twice: it has gone from the list.
    EXPECT_EQ(0, MidiOpen(kSound, kKeyboard, errorText, 1));
    EXPECT_STREQ("Midi in port is not exist : ORVENT 1 KEYBOARD", errorText);
    Configure(MAVO_OUT, MAVO_IN ",vanish=1");
    EXPECT_EQ(1, MidiOpen(kSound, kKeyboard, errorText, 1)) << errorText;
    MidiClose();
    EXPECT_EQ(0, MidiOpen(kSound, kKeyboard, errorText, 1));
    EXPECT_STREQ("Midi in port is not exist : ORVENT 1 KEYBOARD", errorText);
}

} // namespace
