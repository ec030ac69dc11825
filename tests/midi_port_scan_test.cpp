// The automatic port detection against the stand-in winmm.dll beside this executable:
// its port lists, the maker's driver and the instrument cabled to some of the ports.
#include "midi/midi_port_scan.h"
#include "midi/midi_port_scan_testing.h"
#include "platform/text.h"
#include "resources/resource_ids.h"
#include "sim/winmm_standin.h"
#include "tests/protocol_examples.h"
#include "tests/window_test_support.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const char* const kVariables[] = {"ORV_MIDI_OUT_PORTS", "ORV_MIDI_IN_PORTS", "ORV_VI_PRODUCT_ID"};

const unsigned char kOneByteId[3] = {0x3C, 0xFF, 0xFF};
const MidiPortScanProtocol kPortInquiry = {BuildPortInquiry, ReadPortReply};

// Counts blocks in and out, and fails the failAt-th allocation (or its lock).
struct MemoryRecord {
    int failAt;
    int failLock;
    int allocations;
    int allocated;
    int freed;
    int locked;
    int unlocked;
    std::vector<SIZE_T> sizes;
};

MemoryRecord g_memory;

HGLOBAL WINAPI RecordingAlloc(UINT flags, SIZE_T bytes) {
    int n = ++g_memory.allocations;
    if (n == g_memory.failAt && !g_memory.failLock) {
        return NULL;
    }
    g_memory.allocated++;
    g_memory.sizes.push_back(bytes);
    return GlobalAlloc(flags, bytes);
}

LPVOID WINAPI RecordingLock(HGLOBAL block) {
    if (g_memory.failLock && g_memory.allocations == g_memory.failAt) {
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

const MidiMemoryFunctions kRecordingMemory = {RecordingAlloc, RecordingLock, RecordingUnlock,
                                              RecordingFree};

// The input slots from the process heap, and how often they went back while a port was
// still open at the service, whose driver may call back and read them at any time.
struct SlotRecord {
    int allocated;
    int released;
    int releasedUnderOpenPort;
};

SlotRecord g_slots;

void* RecordingSlotsAlloc(size_t bytes) {
    g_slots.allocated++;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void RecordingSlotsRelease(void* slots) {
    g_slots.released++;
    if (g_standin.openPortCount() > 0) {
        g_slots.releasedUnderOpenPort++;
    }
    HeapFree(GetProcessHeap(), 0, slots);
}

const MidiScanSlotFunctions kRecordingSlots = {RecordingSlotsAlloc, RecordingSlotsRelease};

class MidiPortScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(BindStandin()) << "the stand-in winmm.dll did not load beside the test";
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
        g_standin.reset();
        g_messageBoxes.clear();
        g_memory = MemoryRecord{0, 0, 0, 0, 0, 0, 0, {}};
        MidiPortScanSetMemoryFunctions(&kRecordingMemory);
        g_slots = SlotRecord{0, 0, 0};
        MidiPortScanSetSlotFunctions(&kRecordingSlots);
        closer_ = SetTimer(NULL, 0, 20, MessageBoxCloser);
        window_ = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        ASSERT_NE(window_, (HWND)NULL);
    }

    void TearDown() override {
        MidiPortScanFinish(nullptr, nullptr, nullptr, nullptr);
        MidiPortScanSetMemoryFunctions(nullptr);
        MidiPortScanSetSlotFunctions(nullptr);
        DestroyWindow(window_);
        KillTimer(NULL, closer_);
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
    }

    void Configure(const char* outPorts, const char* inPorts, const char* productId = nullptr) {
        SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", outPorts);
        SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", inPorts);
        SetEnvironmentVariableA("ORV_VI_PRODUCT_ID", productId);
        g_standin.reset();
    }

    // CMD_MIDI_PORT_FOUND notifications taken from the window's queue within ms.
    int TakeFoundCommands(int ms) {
        int found = 0;
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms)) {
            MSG msg;
            while (PeekMessageA(&msg, window_, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
                EXPECT_EQ(msg.wParam, (WPARAM)CMD_MIDI_PORT_FOUND);
                EXPECT_EQ(msg.lParam, 0);
                found++;
            }
            Sleep(5);
        }
        return found;
    }

    bool WaitForReply() {
        for (int i = 0; i < 400 && !MidiPortScanHasReply(); i++) {
            Sleep(5);
        }
        return MidiPortScanHasReply() != 0;
    }

    Bytes InstrumentMessage(int index) {
        Bytes bytes(64);
        int length = g_standin.message(index, bytes.data(), (int)bytes.size());
        bytes.resize(length > 0 ? (size_t)length : 0);
        return bytes;
    }

    HWND window_ = NULL;
    UINT_PTR closer_ = 0;
};

struct Found {
    int result;
    std::string in;
    std::string out;
    int flags;
    int version;
};

Found Finish() {
    char in[TEXT_SIZE] = "unchanged";
    char out[TEXT_SIZE] = "unchanged";
    unsigned char flags = 0xEE;
    unsigned short version = 0xEEEE;
    int result = MidiPortScanFinish(in, out, &flags, &version);
    return Found{result, in, out, flags, version};
}

TEST_F(MidiPortScanTest, FindsTheCabledPairAmongSeveralPortsAndPostsOnce) {
    Configure("name=Wavetable Synth,tech=7,mid=99;"
              "name=USB MIDI Cable Out,mid=99;"
              "name=ORVENT 1 SOUND,mid=55,pid=5,ver=1.08,link=1",
              "name=USB MIDI Cable In,mid=99;"
              "name=ORVENT 1 KEYBOARD,mid=55,pid=5,ver=1.09,link=1;"
              "name=ORVENT 1 KEYBOARD 2,mid=55,pid=5,ver=1.09,link=1");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    // Only the cabled output carries the inquiry to the instrument; the synthesizer is
    // asked as well, but nothing listens behind it.
    ASSERT_EQ(1, g_standin.messageCount());
    EXPECT_EQ(ExampleMessage(PortInquiry(2)), InstrumentMessage(0));
    ASSERT_TRUE(WaitForReply());
    // The reply reaches both cabled inputs: one wins, one notification.
    EXPECT_EQ(1, TakeFoundCommands(200));
    const Found f = Finish();
    EXPECT_EQ(1, f.result);
    EXPECT_EQ("ORVENT 1 KEYBOARD", f.in);
    EXPECT_EQ("ORVENT 1 SOUND", f.out);
    EXPECT_EQ(3, f.flags);
    EXPECT_EQ(0x0109, f.version) << "the input port's driver version comes first";
    EXPECT_EQ(0, g_standin.openPortCount());
    EXPECT_EQ(g_memory.allocated, g_memory.freed);
    EXPECT_EQ(g_memory.locked, g_memory.unlocked);
    // Request pair, then a pair per input port.
    EXPECT_EQ((std::vector<SIZE_T>{64, 1024, 64, 16, 64, 16, 64, 16}), g_memory.sizes);
    EXPECT_EQ(0, MidiPortScanFinish(nullptr, nullptr, nullptr, nullptr))
        << "a second finish finds nothing open";
}

TEST_F(MidiPortScanTest, DriverFlagsAndVersionFollowTheMakerAndProductOfEachPort) {
    const struct {
        const char* what;
        const char* out;
        const char* in;
        int flags;
        int version;
    } cases[] = {
        {"both the maker's, product 5", "name=O,mid=55,pid=5,ver=1.08,link=1",
         "name=I,mid=55,pid=5,ver=0x0120,link=1", 3, 0x0120},
        {"input of another maker", "name=O,mid=55,pid=5,ver=1.07,link=1",
         "name=I,mid=99,pid=5,ver=2.00,link=1", 2, 0x0107},
        {"output of another maker", "name=O,mid=99,pid=5,ver=2.00,link=1",
         "name=I,mid=55,pid=5,ver=1.10,link=1", 1, 0x010A},
        {"the maker's, another product", "name=O,mid=55,pid=3,ver=1.08,link=1",
         "name=I,mid=55,pid=0x0102,ver=1.08,link=1", 3, 0},
        {"input version 0 is still the input's", "name=O,mid=55,pid=5,ver=1.08,link=1",
         "name=I,mid=55,pid=5,ver=0,link=1", 3, 0},
        {"neither the maker's", "name=O,mid=99,link=1", "name=I,mid=1,link=1", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.out, c.in);
        ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
        ASSERT_TRUE(WaitForReply());
        const Found f = Finish();
        EXPECT_EQ(1, f.result);
        EXPECT_EQ("I", f.in);
        EXPECT_EQ("O", f.out);
        EXPECT_EQ(c.flags, f.flags);
        EXPECT_EQ(c.version, f.version);
        TakeFoundCommands(0);
    }
}

TEST_F(MidiPortScanTest, VirtualCablePortsAreNeitherOpenedNorAsked) {
    // Every port is cabled: a cable port that listened would take the reply, one that
    // was asked would show in the instrument's messages.
    Configure("name=MIDI Yoke NT:  1,link=1;"
              "name=Out To MIDI Yoke:  2,link=1;"
              "name=midi yoke in lower case,link=1",
              "name=MIDI Yoke NT:  1,link=1;"
              "name=In From MIDI Yoke:  2,link=1;"
              "name=ORVENT 1 KEYBOARD,link=1");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    ASSERT_EQ(1, g_standin.messageCount());
    EXPECT_EQ(ExampleMessage(PortInquiry(2)), InstrumentMessage(0));
    ASSERT_TRUE(WaitForReply());
    const Found f = Finish();
    EXPECT_EQ("ORVENT 1 KEYBOARD", f.in);
    EXPECT_EQ("midi yoke in lower case", f.out);

    EXPECT_TRUE(IsVirtualCablePort("MIDI Yoke"));
    EXPECT_FALSE(IsVirtualCablePort("MIDI yoke"));
    EXPECT_FALSE(IsVirtualCablePort(""));
}

TEST_F(MidiPortScanTest, InquiryAndReplyCarryOneTwoOrThreeProductIdBytes) {
    const struct {
        unsigned char id[3];
        const char* instrumentId;
        Bytes inquiry;
    } cases[] = {
        {{0x3C, 0xFF, 0xFF}, "3C", Message({0x3C}, PortInquiry(1))},
        {{0x3C, 0xFF, 0x34}, "3C", Message({0x3C}, PortInquiry(1))},
        {{0x00, 0x12, 0xFF}, "00 12", Message({0x00, 0x12}, PortInquiry(1))},
        {{0x00, 0x12, 0x34}, "00 12 34", Message({0x00, 0x12, 0x34}, PortInquiry(1))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instrumentId);
        Configure("name=Other,mid=99;name=O,link=1", "name=I,link=1", c.instrumentId);
        ASSERT_EQ(1, MidiPortScanStart(window_, c.id, &kPortInquiry));
        ASSERT_EQ(1, g_standin.messageCount());
        EXPECT_EQ(c.inquiry, InstrumentMessage(0));
        EXPECT_TRUE(WaitForReply()) << "the instrument's reply of the same length counts";
        EXPECT_EQ("O", Finish().out);
    }
}

TEST_F(MidiPortScanTest, OnlyAnExactReplyClaimsTheDetection) {
    // No port reaches the instrument; other devices answer on the input ports, one
    // message per port.
    Configure("name=O0;name=O1;name=O2;name=O3", "name=I0;name=I1;name=I2;name=I3;name=I4");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    const Bytes wrong[] = {
        JoinBytes({ExampleMessageStart(PortReply(2)), {0x00, 0xF7}}), // one byte longer
        Message({0x3D}, PortReply(2)),                                // another product
        ExampleStatusSuccess(),                                       // a status, not a port reply
        JoinBytes({ExampleMessageStart(PortReply(2)), {0x00}}),       // not ended
    };
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(1, g_standin.inject(i, wrong[i].data(), (int)wrong[i].size(), 0));
    }
    for (int i = 0; i < 200 && g_standin.pendingInput() > 0; i++) {
        Sleep(5);
    }
    Sleep(20);
    EXPECT_FALSE(MidiPortScanHasReply());
    const Bytes right = ExampleMessage(PortReply(3));
    ASSERT_EQ(1, g_standin.inject(4, right.data(), (int)right.size(), 0));
    ASSERT_TRUE(WaitForReply());
    const Found f = Finish();
    EXPECT_EQ("I4", f.in);
    EXPECT_EQ("O3", f.out);
}

TEST_F(MidiPortScanTest, NoReplyLeavesTheOutputsAloneAndClosesEverything) {
    Configure("name=O,link=1", "name=I,link=1", "7F");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    EXPECT_EQ(1, g_standin.openPortCount()) << "only the input listens after the start";
    EXPECT_EQ(0, TakeFoundCommands(100));
    const Found f = Finish();
    EXPECT_EQ(0, f.result);
    EXPECT_EQ("unchanged", f.in);
    EXPECT_EQ(0xEE, f.flags);
    EXPECT_EQ(0xEEEE, f.version);
    EXPECT_EQ(0, g_standin.openPortCount());
    EXPECT_EQ(g_memory.allocated, g_memory.freed);
}

TEST_F(MidiPortScanTest, WithoutInputOrOutputDevicesNothingStarts) {
    const struct {
        const char* out;
        const char* in;
    } cases[] = {{"none", "name=I,link=1"}, {"name=O,link=1", "none"}, {"none", "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.out) + " / " + c.in);
        Configure(c.out, c.in);
        EXPECT_EQ(0, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
        EXPECT_EQ(0, g_standin.openPortCount());
        EXPECT_EQ(0, g_standin.messageCount());
        EXPECT_EQ(g_memory.allocated, g_memory.freed);
        EXPECT_EQ(g_memory.locked, g_memory.unlocked);
        EXPECT_EQ(0, MidiPortScanFinish(nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_TRUE(g_messageBoxes.empty());
}

TEST_F(MidiPortScanTest, InquiryBlocksThatCannotBeHadAreShownAndNothingStarts) {
    const struct {
        int failAt;
        int failLock;
        const char* text;
    } cases[] = {
        {1, 0, "Not Enough Memory(Alloc MIDIHDR)"},
        {1, 1, "Not Enough Memory(Lock MIDIHDR)"},
        {2, 0, "Not Enough Memory(Alloc Exclusive Buffer)"},
        {2, 1, "Not Enough Memory(Lock Exclusive Buffer)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        g_messageBoxes.clear();
        g_memory = MemoryRecord{c.failAt, c.failLock, 0, 0, 0, 0, 0, {}};
        EXPECT_EQ(0, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
        ASSERT_EQ(1u, g_messageBoxes.size());
        EXPECT_EQ(c.text, g_messageBoxes[0]);
        EXPECT_EQ(g_memory.allocated, g_memory.freed);
        EXPECT_EQ(g_memory.locked, g_memory.unlocked);
        EXPECT_EQ(0, g_standin.openPortCount());
        EXPECT_EQ(0, g_standin.messageCount());
    }
}

TEST_F(MidiPortScanTest, PortsWhoseDriverKeepsABufferAreGivenUpAndTheOthersStillServe) {
    // The first output never lets its inquiry go and the first input never gives its
    // buffer back: neither will ever close.
    Configure("name=Stuck Out,keep=1;name=O,link=1", "name=Stuck In,keep=1;name=I,link=1");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    ASSERT_TRUE(WaitForReply());
    const Found f = Finish();
    EXPECT_EQ("I", f.in);
    EXPECT_EQ("O", f.out);
    EXPECT_EQ(2, g_standin.openPortCount()) << "the stuck ports, forgotten";
    // Their inquiry pair and input pair stay with the driver; all else is given back.
    EXPECT_EQ(g_memory.allocated - 4, g_memory.freed);
    EXPECT_EQ(g_memory.locked - 4, g_memory.unlocked);
}

TEST_F(MidiPortScanTest, SlotsStayWhileAGivenUpInputMayStillCallBack) {
    // The first input never gives its buffer back: it is given up at the finish, and its
    // driver may hand the buffer back at any time after, its callback reading the slots.
    Configure("name=O,link=1", "name=Stuck In,keep=1;name=I,link=1");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    ASSERT_TRUE(WaitForReply());
    EXPECT_EQ("I", Finish().in);
    EXPECT_EQ(1, g_standin.openPortCount()) << "the stuck input, forgotten";
    EXPECT_EQ(1, g_slots.allocated);
    EXPECT_EQ(0, g_slots.releasedUnderOpenPort);

    // Once every port has closed, the service calls no more: the slots go back.
    Configure("name=O,link=1", "name=I,link=1");
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    ASSERT_TRUE(WaitForReply());
    EXPECT_EQ("I", Finish().in);
    EXPECT_EQ(2, g_slots.allocated);
    EXPECT_EQ(1, g_slots.released);
    EXPECT_EQ(0, g_slots.releasedUnderOpenPort);
}

TEST_F(MidiPortScanTest, InputWithoutBlocksOrThatWillNotOpenIsLeftOutQuietly) {
    // Input 0 gets no header block, input 1 refuses all ten opens: input 2 hears the
    // reply. An output that opens at the tenth attempt is still asked.
    Configure("name=O,link=1,fail=9", "name=I0,link=1;name=I1,link=1,fail=10;name=I2,link=1");
    g_memory = MemoryRecord{3, 0, 0, 0, 0, 0, 0, {}};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(1, MidiPortScanStart(window_, kOneByteId, &kPortInquiry));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 1700) << "nine sleeps for the input, nine for the output";
    EXPECT_TRUE(g_messageBoxes.empty());
    ASSERT_TRUE(WaitForReply());
    EXPECT_EQ("I2", Finish().in);
    EXPECT_EQ(g_memory.allocated, g_memory.freed);
}

} // namespace
