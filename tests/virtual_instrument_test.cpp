#include "sim/virtual_instrument.h"

#include "sim/instrument_options.h"

#include "midi/midi_transport.h"
#include "tests/doubles/sim_transport.h"
#include "tests/protocol_examples.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// The instrument must agree with the protocol, not with the updater's code: messages
// here are the protocol's examples or built by this small packer of the tests' own.
Bytes Packed(const Bytes& data, unsigned char* checksum) {
    Bytes out;
    for (size_t group = 0; group < data.size(); group += 7) {
        size_t count = data.size() - group < 7 ? data.size() - group : 7;
        unsigned char leading = 0;
        for (size_t k = 0; k < count; k++) {
            leading |= (unsigned char)((data[group + k] >> 7) << k);
        }
        out.push_back(leading);
        for (size_t k = 0; k < count; k++) {
            out.push_back(data[group + k] & 0x7F);
        }
    }
    unsigned sum = 0;
    for (unsigned char b : out) {
        sum += b;
    }
    *checksum = (unsigned char)(sum & 0x7F);
    return out;
}

// A data packet of the examples' product carrying data, packed or, in raw mode, as it is.
Bytes DataMessage(int protocol, uint32_t number, const Bytes& data, bool raw) {
    Bytes body;
    unsigned char checksum = 0;
    if (raw) {
        unsigned sum = 0;
        for (unsigned char b : data) {
            sum += b;
        }
        body = data;
        checksum = (unsigned char)sum;
    } else {
        body = Packed(data, &checksum);
    }
    body.push_back(checksum);
    return ExampleMessage(DataPacket(protocol, number, body));
}

Bytes Pattern(size_t size, unsigned seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; i++) {
        data[i] = (unsigned char)(i * 7 + seed * 13 + (i >> 8));
    }
    return data;
}

void Send(const Bytes& message) {
    VirtualInstrumentHandleMessage(message.data(), (int)message.size());
}

std::vector<Bytes> TakeReplies() {
    std::vector<Bytes> replies;
    unsigned char buffer[VI_MAX_REPLY];
    uint32_t delay = 0;
    int length;
    while ((length = VirtualInstrumentTakeReply(buffer, (int)sizeof buffer, &delay)) > 0) {
        replies.push_back(Bytes(buffer, buffer + length));
    }
    return replies;
}

Bytes TakeOneReply() {
    std::vector<Bytes> replies = TakeReplies();
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Bytes() : replies[0];
}

Bytes Flash(uint32_t address, uint32_t length) {
    Bytes out(length);
    EXPECT_EQ(VirtualInstrumentFlashRead(address, out.data(), length), 1);
    return out;
}

class VirtualInstrumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        VirtualInstrumentDefaultConfig(&config_);
        config_.versionMajor[1] = 1;
        config_.versionMinor[1] = 3;
        config_.blockAddress[1] = 0x10000;
        VirtualInstrumentReset(&config_);
    }
    void Restart() {
        VirtualInstrumentReset(&config_);
    }
    VirtualInstrumentConfig config_;
};

TEST_F(VirtualInstrumentTest, AnswersTheExampleExchangeAndTakesTheNewVersion) {
    config_.blockDataSize[1] = 512;
    Restart();
    Bytes block = Pattern(512, 1);
    Send(ExampleInquiry());
    EXPECT_EQ(TakeOneReply(), ExampleInquiryReply());
    Send(ExampleVersionRequest());
    EXPECT_EQ(TakeOneReply(), ExampleVersionReply());
    Send(ExampleSetModeProtocol0());
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    for (uint32_t packet = 0; packet < 2; packet++) {
        Bytes message = DataMessage(
            0, packet, Bytes(block.begin() + packet * 256, block.begin() + (packet + 1) * 256),
            false);
        ASSERT_EQ(message.size(), 7u + 293u + 2u);
        Send(message);
        EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
        unsigned char major = 0, minor = 0;
        VirtualInstrumentVersion(1, &major, &minor);
        EXPECT_EQ(minor, packet == 0 ? 3 : 5) << "after packet " << packet;
    }
    EXPECT_EQ(Flash(0x10000, 512), block);
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0, VI_DEFAULT_FLASH_SIZE), 512u);
    EXPECT_EQ(VirtualInstrumentPacketCount(), 2);
    EXPECT_EQ(VirtualInstrumentMessageCount(), 5);
    EXPECT_EQ(VirtualInstrumentForeignByteCount(), 0);

    // A second update finds the instrument up to date.
    Send(ExampleInquiry());
    TakeReplies();
    Send(ExampleVersionRequest());
    EXPECT_EQ(TakeOneReply(), ExampleMessage(VersionReply(1, 5)));
}

// A block the updater leaves before its last packet (a stop, a failure) is not written:
// the instrument still holds the old version, so a rerun sends the block again. Under
// protocol 0 without a known size no packet is the last one.
TEST_F(VirtualInstrumentTest, ABlockLeftBeforeItsLastPacketKeepsTheOldVersion) {
    const struct {
        const char* what;
        uint32_t blockSize;
        uint32_t packets;
        int setModeAgain; // the next message: set mode of the same block, else an inquiry
    } cases[] = {
        {"stopped after one of two packets", 512, 1, 0},
        {"its set mode sent again after one packet", 512, 1, 1},
        {"every packet, but the size is not known", 0, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        config_.blockDataSize[1] = c.blockSize;
        Restart();
        Send(ExampleSetModeProtocol0());
        TakeReplies();
        for (uint32_t packet = 0; packet < c.packets; packet++) {
            Send(DataMessage(0, packet, Pattern(256, packet), false));
            EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
        }
        Send(c.setModeAgain ? ExampleSetModeProtocol0() : ExampleInquiry());
        TakeReplies();
        Send(ExampleVersionRequest());
        EXPECT_EQ(TakeOneReply(), ExampleVersionReply()) << "the old 1.03";
    }
    // The rerun of the cut block from its first packet takes the new version.
    config_.blockDataSize[1] = 512;
    Restart();
    Send(ExampleSetModeProtocol0());
    Send(DataMessage(0, 0, Pattern(256, 0), false));
    Send(ExampleSetModeProtocol0());
    for (uint32_t packet = 0; packet < 2; packet++) {
        Send(DataMessage(0, packet, Pattern(256, packet), false));
    }
    TakeReplies();
    Send(ExampleVersionRequest());
    EXPECT_EQ(TakeOneReply(), ExampleMessage(VersionReply(1, 5)));
}

TEST_F(VirtualInstrumentTest, LearnsTheSmallerPacketSizeOfTheExamplePacket) {
    Send(ExampleSetModeProtocol0());
    TakeReplies();
    // Packet 130 of two bytes 81 02, exactly as the protocol's example writes it.
    Send(ExampleDataPacket());
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    EXPECT_EQ(Flash(0x10000 + 260, 2), (Bytes{0x81, 0x02}));
    // Once fixed, the size holds for the rest of the block.
    Send(DataMessage(0, 131, Bytes(3, 0x11), false));
    EXPECT_EQ(TakeOneReply(), ExampleMessage(Status(3)));
}

TEST_F(VirtualInstrumentTest, SpeaksProtocolOneAndCompletesAfterTheAnnouncedSize) {
    config_.protocolCode = 1;
    config_.packetSize = 1024;
    Restart();
    Send(ExampleInquiry());
    EXPECT_EQ(TakeOneReply(), ExampleMessage(InquiryReply(1, 1024, 0)));
    Send(ExampleSetModeProtocol1());
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    Bytes block = Pattern(2048, 2);
    // Packets 3 and 4: the address comes from set mode, the offset from the numbers.
    for (uint32_t i = 0; i < 2; i++) {
        Send(DataMessage(1, 3 + i, Bytes(block.begin() + i * 1024, block.begin() + (i + 1) * 1024),
                         false));
        EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    }
    EXPECT_EQ(Flash(0x4000 + 3 * 1024, 2048), block);
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0x4000, 3 * 1024), 0u);
    unsigned char major = 0, minor = 0;
    VirtualInstrumentVersion(1, &major, &minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 5);
}

TEST_F(VirtualInstrumentTest, RefusesBadSetModes) {
    struct Case {
        const char* what;
        int protocol;
        Bytes message;
    };
    const Case cases[] = {
        {"raw flag without raw support", 0,
         ExampleMessage(SetModeProtocol0(1, EXAMPLE_BLOCK_CODE, 1, 5))},
        {"major without bit 6", 0, ExampleMessage({CODE_SET_MODE, {0x00, 0x01, 0x01, 0x05}})},
        {"protocol 1 fields under protocol 0", 0, ExampleSetModeProtocol1()},
        {"packet size above the announced one", 1,
         ExampleMessage(SetModeProtocol1(0, EXAMPLE_BLOCK_CODE, 0x4000, 0x800, 1, 5, 2048))},
        {"size not a multiple of the packet size", 1,
         ExampleMessage(SetModeProtocol1(0, EXAMPLE_BLOCK_CODE, 0x4000, 0x801, 1, 5, 1024))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config_.protocolCode = c.protocol;
        config_.packetSize = 1024;
        Restart();
        Send(c.message);
        EXPECT_EQ(TakeOneReply(), ExampleMessage(Status(3)));
    }
}

TEST_F(VirtualInstrumentTest, FillPacketsWriteTheWholePacket) {
    config_.deviceFlags = 0x02;
    Restart();
    Send(ExampleSetModeProtocol0());
    TakeReplies();
    const Bytes fill = ExampleFillPacket();
    Send(fill);
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0x10000 + 5 * 256, 256), 256u);
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0x10000, 5 * 256), 0u);
    Send(ExampleMessage(FillPacket(0, 6, 0xA5)));
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    EXPECT_EQ(Flash(0x10000 + 6 * 256, 256), Bytes(256, 0xA5));

    // Reached over MIDI, where the updater cuts packets to 1024 bytes, a fill packet that
    // opens a block under protocol 0 is of the cut size.
    config_.packetSize = 2048;
    config_.linkPacketLimit = 1024;
    Restart();
    Send(ExampleSetModeProtocol0());
    TakeReplies();
    Send(fill);
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0x10000 + 5 * 1024, 1024), 1024u);
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0, VI_DEFAULT_FLASH_SIZE), 1024u);
    config_.packetSize = 256;
    config_.linkPacketLimit = 0;

    // Without the fill flag the instrument does not understand them.
    config_.deviceFlags = 0;
    Restart();
    Send(ExampleSetModeProtocol0());
    TakeReplies();
    Send(fill);
    EXPECT_EQ(TakeOneReply(), ExampleMessage(Status(3)));
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0, VI_DEFAULT_FLASH_SIZE), 0u);
}

TEST_F(VirtualInstrumentTest, RefusedPacketsAnswerTheirStatusAndWriteNothing) {
    struct Case {
        const char* what;
        uint32_t flashSize;
        Bytes (*second)(const Bytes& good);
        int status;
    };
    const Case cases[] = {
        {"checksum off by one", VI_DEFAULT_FLASH_SIZE,
         [](const Bytes& good) {
             Bytes m = good;
             m[m.size() - 2] = (unsigned char)((m[m.size() - 2] + 1) & 0x7F);
             return m;
         },
         6},
        {"packet number skips one", VI_DEFAULT_FLASH_SIZE,
         [](const Bytes& good) {
             Bytes m = good;
             m[6] = 2;
             return m;
         },
         5},
        {"packet number repeated", VI_DEFAULT_FLASH_SIZE,
         [](const Bytes& good) {
             Bytes m = good;
             m[6] = 0;
             return m;
         },
         5},
        {"other product id", VI_DEFAULT_FLASH_SIZE,
         [](const Bytes& good) {
             Bytes m = good;
             m[3] = 0x3D;
             return m;
         },
         1},
        {"byte of 0x80 in packed data", VI_DEFAULT_FLASH_SIZE,
         [](const Bytes& good) {
             Bytes m = good;
             m[10] = 0x80;
             return m;
         },
         3},
        {"beyond the end of flash", 0x10000 + 256, [](const Bytes& good) { return good; }, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config_.flashSize = c.flashSize;
        Restart();
        Send(ExampleSetModeProtocol0());
        TakeReplies();
        Send(DataMessage(0, 0, Pattern(256, 3), false));
        EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
        Bytes good = DataMessage(0, 1, Pattern(256, 4), false);
        Send(c.second(good));
        Bytes reply = TakeOneReply();
        ASSERT_GE(reply.size(), 7u);
        // Whatever the updater sent, the instrument names itself.
        EXPECT_EQ(reply[3], 0x3C);
        EXPECT_EQ(reply[5], c.status);
        EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0x10000 + 256, 256), 0u);
        // A block with a refused packet is not taken as written.
        Send(ExampleInquiry());
        TakeReplies();
        unsigned char major = 0, minor = 0;
        VirtualInstrumentVersion(1, &major, &minor);
        EXPECT_EQ(minor, 3);
    }
}

TEST_F(VirtualInstrumentTest, ChecksTheMemberIdOnlyWhenItHasOne) {
    const Bytes withMember = ExampleMessage(Inquiry(0x05));
    Send(withMember);
    EXPECT_EQ(TakeOneReply()[4], 0x01);
    config_.memberId = 0x06;
    Restart();
    Send(withMember);
    EXPECT_EQ(TakeOneReply(), ExampleMessage(Status(2)));
    Send(ExampleInquiry());
    EXPECT_EQ(TakeOneReply()[4], 0x01);
    // A product id error names the member id, so that an updater can adopt both.
    Send(Message({0x3B}, Inquiry()));
    EXPECT_EQ(TakeOneReply(), ExampleMessage({CODE_STATUS, {0x01, 0x06}}));
}

TEST_F(VirtualInstrumentTest, ThreeByteProductIdFramesEveryReply) {
    config_.productId[0] = 0x00;
    config_.productId[1] = 0x12;
    config_.productId[2] = 0x34;
    Restart();
    const Bytes id = {0x00, 0x12, 0x34};
    Send(Message(id, VersionRequest(EXAMPLE_BLOCK_CODE)));
    EXPECT_EQ(TakeOneReply(), Message(id, VersionReply(1, 3)));
    Send(Message({0x00, 0x12, 0x35}, VersionRequest(EXAMPLE_BLOCK_CODE)));
    EXPECT_EQ(TakeOneReply(), Message(id, Status(1)));
}

TEST_F(VirtualInstrumentTest, ReportsTwoPhaseWritingAfterTheLastPacket) {
    config_.writeSteps = 3;
    config_.sendZeroTotalProgress = 1;
    config_.blockDataSize[1] = 512;
    Restart();
    Send(ExampleSetModeProtocol0());
    EXPECT_EQ(TakeOneReply(), ExampleMessage(StatusWithModeFlags(0x01)));
    Send(DataMessage(0, 0, Pattern(256, 5), false));
    EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
    Send(DataMessage(0, 1, Pattern(256, 6), false));
    std::vector<Bytes> replies = TakeReplies();
    const std::vector<Bytes> expected = {
        ExampleMessage(WriteProgress(0, 0)),
        ExampleMessage(WriteProgress(1, 3)),
        ExampleMessage(WriteProgress(2, 3)),
        ExampleMessage(WriteProgress(3, 3)),
        ExampleStatusSuccess(),
    };
    EXPECT_EQ(replies, expected);
    unsigned char major = 0, minor = 0;
    VirtualInstrumentVersion(1, &major, &minor);
    EXPECT_EQ(minor, 5);
}

TEST_F(VirtualInstrumentTest, FramesRawPacketsOfAByteStreamByTheirLength) {
    config_.deviceFlags = 0x01;
    Restart();
    // Data full of end and start bytes, with a checksum of 0x80 or above.
    Bytes data(256);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = i % 3 == 0 ? 0xF7 : (i % 3 == 1 ? 0xF0 : 0x42);
    }
    const Bytes setModeRaw = ExampleMessage(SetModeProtocol0(1, EXAMPLE_BLOCK_CODE, 1, 5));
    Bytes packet = DataMessage(0, 0, data, true);
    ASSERT_GE(packet[packet.size() - 2], 0x80);
    Bytes stream = {0x00, 0x41}; // line noise before the first message is dropped
    stream.insert(stream.end(), setModeRaw.begin(), setModeRaw.end());
    stream.insert(stream.end(), packet.begin(), packet.end());
    const Bytes inquiry = ExampleInquiry();
    stream.insert(stream.end(), inquiry.begin(), inquiry.end());
    for (size_t chunk : {(size_t)1, (size_t)5, stream.size()}) {
        SCOPED_TRACE(chunk);
        Restart();
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t count = stream.size() - at < chunk ? stream.size() - at : chunk;
            VirtualInstrumentFeed(stream.data() + at, (int)count);
        }
        std::vector<Bytes> replies = TakeReplies();
        ASSERT_EQ(replies.size(), 3u);
        EXPECT_EQ(replies[0], ExampleStatusSuccess());
        EXPECT_EQ(replies[1], ExampleStatusSuccess());
        EXPECT_EQ(replies[2][4], 0x01);
        EXPECT_EQ(Flash(0x10000, 256), data);
        ASSERT_EQ(VirtualInstrumentMessageCount(), 3);
        EXPECT_EQ(VirtualInstrumentForeignByteCount(), 2) << "the line noise";
        Bytes recorded(packet.size());
        EXPECT_EQ(VirtualInstrumentMessage(1, recorded.data(), (int)recorded.size()),
                  (int)packet.size());
        EXPECT_EQ(recorded, packet);
    }
}

TEST_F(VirtualInstrumentTest, InjectsTheConfiguredFault) {
    struct Case {
        const char* what;
        VirtualFault fault;
        int at;
        int status;
        std::vector<Bytes> expected; // replies to the third message (first data packet)
        uint32_t delay;
    };
    const Bytes extended = ExampleMessage(ExtendedStatus(0x41, "Full"));
    const Case cases[] = {
        {"no reply", VI_FAULT_NO_REPLY, 2, 0, {}, 0},
        {"delay", VI_FAULT_DELAY, 2, 0, {ExampleStatusSuccess()}, 250},
        {"status", VI_FAULT_STATUS, 0, 9, {ExampleMessage(Status(9))}, 0},
        {"extended status", VI_FAULT_EXTENDED_STATUS, 0, 0x41, {extended}, 0},
        {"other product", VI_FAULT_OTHER_PRODUCT, 2, 0, {Message({0x3D}, Status(1))}, 0},
        {"garbage",
         VI_FAULT_GARBAGE_BEFORE,
         2,
         0,
         {{0x7F, 0x41, 0xFE, 0x13, 0xF7}, ExampleStatusSuccess()},
         0},
        {"wrong code",
         VI_FAULT_WRONG_CODE,
         2,
         0,
         {ExampleMessage({CODE_STATUS + 0x20, {0x00}})},
         0},
        {"refused", VI_FAULT_REFUSE_MESSAGE, 2, 4, {ExampleMessage(Status(4))}, 0},
        {"silent", VI_FAULT_SILENT_FROM_PACKET, 0, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config_.fault = c.fault;
        config_.faultAt = c.at;
        config_.faultStatus = c.status;
        config_.faultDelayMs = 250;
        strcpy(config_.faultText, "Full");
        Restart();
        Send(ExampleInquiry());
        EXPECT_EQ(TakeReplies().size(), 1u);
        Send(ExampleSetModeProtocol0());
        EXPECT_EQ(TakeOneReply(), ExampleStatusSuccess());
        Send(DataMessage(0, 0, Pattern(256, 7), false));
        std::vector<Bytes> replies;
        unsigned char buffer[VI_MAX_REPLY];
        uint32_t delay = 0;
        int length;
        while ((length = VirtualInstrumentTakeReply(buffer, (int)sizeof buffer, &delay)) > 0) {
            replies.push_back(Bytes(buffer, buffer + length));
            EXPECT_EQ(delay, c.delay);
        }
        EXPECT_EQ(replies, c.expected);
    }
    // Silence lasts: nothing after the silent packet is answered either.
    Send(ExampleInquiry());
    EXPECT_EQ(VirtualInstrumentPendingReplies(), 0);
}

TEST_F(VirtualInstrumentTest, EchoesThePortInquiryOfItsOwnProductOnly) {
    Send(ExampleMessage(PortInquiry(5)));
    EXPECT_EQ(TakeOneReply(), ExampleMessage(PortReply(5)));
    // A port byte of 0x80 or above cannot be echoed inside a reply: a format error.
    Send(ExampleMessage(PortInquiry(0x87)));
    EXPECT_EQ(TakeOneReply(), ExampleMessage(Status(3)));
    Send(Message({0x3D}, PortInquiry(5)));
    EXPECT_EQ(VirtualInstrumentPendingReplies(), 0);
    EXPECT_EQ(VirtualInstrumentForeignByteCount(), 0) << "both are update messages";
    // Other messages are ignored but counted: another kind of System Exclusive, then a
    // sustain-off and a note-off.
    Send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    VirtualInstrumentHandleOtherBytes(6);
    EXPECT_EQ(VirtualInstrumentPendingReplies(), 0);
    EXPECT_EQ(VirtualInstrumentForeignByteCount(), 12);
}

// ---- The instrument's settings by name, as serial-instrument and the rehearsal take them.

typedef bool (*ConfigCheck)(const VirtualInstrumentConfig& c);

struct SettingCase {
    const char* name;
    const char* good;
    ConfigCheck applied; // false on the defaults, true once `good` is applied
    const char* bad;     // null: every text is a value
};

const SettingCase kSettingCases[] = {
    {"product-id", "00:12:34",
     [](const VirtualInstrumentConfig& c) {
         return c.productId[0] == 0x00 && c.productId[1] == 0x12 && c.productId[2] == 0x34;
     },
     "3C:12:34:56"},
    {"member-id", "0x7F", [](const VirtualInstrumentConfig& c) { return c.memberId == 0x7F; },
     "256"},
    {"version", "*=0.50,2=2.10",
     [](const VirtualInstrumentConfig& c) {
         return c.versionMinor[0] == 50 && c.versionMinor[255] == 50 && c.versionMajor[2] == 2 &&
                c.versionMinor[2] == 10;
     },
     "2=2.x"},
    {"protocol", "1", [](const VirtualInstrumentConfig& c) { return c.protocolCode == 1; }, "-1"},
    {"packet-size", "0x400", [](const VirtualInstrumentConfig& c) { return c.packetSize == 1024u; },
     "1k"},
    {"flags", "3", [](const VirtualInstrumentConfig& c) { return c.deviceFlags == 3; }, "0x100"},
    {"write-steps", "4", [](const VirtualInstrumentConfig& c) { return c.writeSteps == 4; }, ""},
    {"zero-total", nullptr,
     [](const VirtualInstrumentConfig& c) { return c.sendZeroTotalProgress == 1; }, nullptr},
    {"block-address", "1=0x100,2=0x10000",
     [](const VirtualInstrumentConfig& c) {
         return c.blockAddress[1] == 0x100u && c.blockAddress[2] == 0x10000u;
     },
     "300=0"},
    {"block-size", "2=4096",
     [](const VirtualInstrumentConfig& c) { return c.blockDataSize[2] == 4096u; }, "2"},
    {"flash", "0x1000:0x2000",
     [](const VirtualInstrumentConfig& c) {
         return c.flashBase == 0x1000u && c.flashSize == 0x2000u;
     },
     "0x1000"},
    {"reply-delay", "100", [](const VirtualInstrumentConfig& c) { return c.replyDelayMs == 100; },
     "0x80000000"},
    {"fault", "write-stalls",
     [](const VirtualInstrumentConfig& c) { return c.fault == VI_FAULT_WRITE_STALLS; }, "meltdown"},
    {"fault-at", "3", [](const VirtualInstrumentConfig& c) { return c.faultAt == 3; }, "three"},
    {"fault-status", "0x41", [](const VirtualInstrumentConfig& c) { return c.faultStatus == 0x41; },
     "0x"},
    {"fault-text", "Flash_busy",
     [](const VirtualInstrumentConfig& c) { return strcmp(c.faultText, "Flash_busy") == 0; },
     nullptr},
    {"fault-delay", "50", [](const VirtualInstrumentConfig& c) { return c.faultDelayMs == 50; },
     "5ms"},
    {"other-product-id", "3E",
     [](const VirtualInstrumentConfig& c) {
         return c.otherProductId[0] == 0x3E && c.otherProductId[1] == 0xFF;
     },
     "3G"},
};

// Every row of the table is applied by its name, lands where it belongs and refuses a bad
// value; a row added without a case here fails, so none goes unchecked. The help lists
// every row, and the rehearsal only offers rows that take a value.
TEST(InstrumentSettingsTest, EveryRowIsTakenByNameAndListedInTheHelp) {
    char help[8192] = "\n"; // every row's line follows a line break
    InstrumentSettingsHelp(help, sizeof help);
    ASSERT_EQ(InstrumentSettingCount(), (int)(sizeof kSettingCases / sizeof kSettingCases[0]));
    for (int i = 0; i < InstrumentSettingCount(); i++) {
        const InstrumentSetting* row = InstrumentSettingAt(i);
        const SettingCase* c = nullptr;
        for (const SettingCase& candidate : kSettingCases) {
            c = strcmp(candidate.name, row->name) == 0 ? &candidate : c;
        }
        ASSERT_NE(c, nullptr) << "no case for " << row->name;
        EXPECT_EQ(InstrumentFindSetting(row->name), row);
        EXPECT_EQ(c->good == nullptr, row->valueName == nullptr) << row->name;
        EXPECT_TRUE(!row->rehearsal || row->valueName != nullptr) << row->name;
        std::string option = std::string("\n  --") + row->name;
        option += row->valueName != nullptr ? std::string(" ") + row->valueName + " " : " ";
        EXPECT_NE(strstr(help, option.c_str()), nullptr) << row->name;

        VirtualInstrumentConfig config;
        VirtualInstrumentDefaultConfig(&config);
        EXPECT_FALSE(c->applied(config)) << row->name;
        EXPECT_EQ(InstrumentApplyOption(row->name, c->good, &config), 1) << row->name;
        EXPECT_TRUE(c->applied(config)) << row->name;
        if (c->bad != nullptr) {
            VirtualInstrumentDefaultConfig(&config);
            EXPECT_EQ(InstrumentApplyOption(row->name, c->bad, &config), 0) << row->name;
        }
    }
    VirtualInstrumentConfig config;
    VirtualInstrumentDefaultConfig(&config);
    EXPECT_EQ(InstrumentApplyOption("meltdown", "1", &config), 0);
    EXPECT_EQ(InstrumentApplyOption("--protocol", "1", &config), 0) << "names come without dashes";
    for (const char* line = help + 1; *line != '\0'; line = strchr(line, '\n') + 1) {
        EXPECT_LE(strchr(line, '\n') - line, 90) << line;
    }
}

// ---- The transport double over the instrument.

class SimTransportTest : public VirtualInstrumentTest {
  protected:
    void SetUp() override {
        VirtualInstrumentTest::SetUp();
        SimTransportDefaultConfig(&transport_);
        transport_.serialTimeoutMs = 50;
        transport_.usbWaitLimitMs = 50;
        transport_.kernelTimeoutMs = 50;
        SimTransportReset(&transport_);
    }
    SimTransportConfig transport_;
    const Bytes inquiry_ = ExampleInquiry();
};

TEST_F(SimTransportTest, UsbBulkCarriesAPacketInThreeWritesAndReadsSixteenBytes) {
    config_.protocolCode = 1;
    config_.deviceFlags = 0x01;
    Restart();
    // Raw data in packets of 128 bytes.
    const Bytes setMode =
        ExampleMessage(SetModeProtocol1(1, EXAMPLE_BLOCK_CODE, 0x4000, 0x800, 1, 5, 128));
    ASSERT_EQ(UsbBulkSend(setMode.data(), (int)setMode.size()), 1);
    unsigned char buffer[64];
    memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 7), ExampleStatusSuccess());

    Bytes data(128, 0xF7);
    Bytes packet = DataMessage(1, 0, data, true);
    ASSERT_EQ(UsbBulkSend(packet.data(), 9), 1);
    ASSERT_EQ(UsbBulkSend(packet.data() + 9, 128), 1);
    EXPECT_EQ(SimTransportPendingReplies(), 0);
    ASSERT_EQ(UsbBulkSend(packet.data() + 137, 2), 1);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 7), ExampleStatusSuccess());
    EXPECT_EQ(Flash(0x4000, 128), data);

    // An extended status longer than one read arrives over two reads.
    config_.fault = VI_FAULT_EXTENDED_STATUS;
    config_.faultAt = 0;
    config_.faultStatus = 0x40;
    strcpy(config_.faultText, "Flash is write protected");
    Restart();
    ASSERT_EQ(UsbBulkSend(setMode.data(), (int)setMode.size()), 1);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    ASSERT_EQ(UsbBulkSend(packet.data(), (int)packet.size()), 1);
    memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    EXPECT_EQ(buffer[16], 0xEE);
    EXPECT_EQ(memcmp(buffer + 6, "Flash is w", 10), 0);
    ASSERT_EQ(UsbBulkReceive(buffer), 1);
    EXPECT_EQ(memcmp(buffer, "rite protected", 14), 0);
}

TEST_F(SimTransportTest, ReceivesKeepTheirTransportsWaitingRules) {
    config_.fault = VI_FAULT_GARBAGE_BEFORE;
    config_.faultAt = 0;
    Restart();
    unsigned char buffer[1024];
    // Serial and MIDI drop what does not start a message; the kernel driver rejects it.
    ASSERT_EQ(SerialSend(inquiry_.data(), (int)inquiry_.size()), 1);
    EXPECT_EQ(SerialReceive(buffer, 1024), 1);
    EXPECT_EQ(buffer[4], 0x01);
    EXPECT_EQ(SerialReceive(buffer, 1024), -1);

    Restart();
    ASSERT_EQ(MidiSend(inquiry_.data(), (int)inquiry_.size()), 1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 10), 1);
    EXPECT_EQ(buffer[4], 0x01);
    EXPECT_EQ(MidiReceive(buffer, 1024, 0), -1);

    Restart();
    ASSERT_EQ(KernelMidiSend(inquiry_.data(), (int)inquiry_.size(), 0), 1);
    EXPECT_EQ(KernelMidiReceive(buffer, 1024), 0);
    EXPECT_EQ(KernelMidiReceive(buffer, 1024), 1);
    EXPECT_EQ(buffer[4], 0x01);

    // A reply later than the time-out is not lost: the next receive takes it. The reply
    // is late by far more than a loaded machine stretches two ticks.
    config_.fault = VI_FAULT_DELAY;
    config_.faultDelayMs = 1000;
    Restart();
    ASSERT_EQ(MidiSend(inquiry_.data(), (int)inquiry_.size()), 1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 2), -1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 300), 1);
    EXPECT_EQ(buffer[4], 0x01);

    // Ticks of microseconds keep the same rules on the clock: garbage dropped, a wait too
    // short for the late reply ends in -1, a long enough one takes it.
    transport_.midiTickUs = 100;
    SimTransportReset(&transport_);
    config_.fault = VI_FAULT_GARBAGE_BEFORE;
    config_.faultAt = 0;
    Restart();
    ASSERT_EQ(MidiSend(inquiry_.data(), (int)inquiry_.size()), 1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 300), 1);
    EXPECT_EQ(buffer[4], 0x01);
    EXPECT_EQ(MidiReceive(buffer, 1024, 10), -1);
    config_.fault = VI_FAULT_DELAY;
    config_.faultDelayMs = 1000;
    Restart();
    ASSERT_EQ(MidiSend(inquiry_.data(), (int)inquiry_.size()), 1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 20), -1);
    EXPECT_EQ(MidiReceive(buffer, 1024, 30000), 1);
    EXPECT_EQ(buffer[4], 0x01);
}

TEST_F(SimTransportTest, AbortEndsAWaitingReceivePromptly) {
    config_.fault = VI_FAULT_NO_REPLY;
    config_.faultAt = 0;
    Restart();
    transport_.usbWaitLimitMs = 10000;
    SimTransportReset(&transport_);
    unsigned char buffer[1024];
    struct Case {
        const char* what;
        int (*receive)(unsigned char*);
        void (*abort)(void);
        int result;
        uint32_t midiTickUs;
    };
    const Case cases[] = {
        {"MIDI", [](unsigned char* b) { return MidiReceive(b, 1024, 5000); }, MidiAbortReceive, -2,
         0},
        {"USB bulk", [](unsigned char* b) { return UsbBulkReceive(b); }, UsbBulkAbort, -2, 0},
        // 5000 ticks of 1000 us: as long a wait as the real one's 50 s is not, still ended.
        {"MIDI, ticks in microseconds", [](unsigned char* b) { return MidiReceive(b, 1024, 5000); },
         MidiAbortReceive, -2, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        transport_.midiTickUs = c.midiTickUs;
        SimTransportReset(&transport_);
        auto start = std::chrono::steady_clock::now();
        std::thread stopper([&c] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            c.abort();
        });
        EXPECT_EQ(c.receive(buffer), c.result);
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
        // The stop holds for every later wait, as the real transports' does until an open.
        EXPECT_EQ(c.receive(buffer), -2);
    }
}

TEST_F(SimTransportTest, RecordsCallsAndFailsTheChosenSend) {
    transport_.failSendAt = 1;
    transport_.failSendResult = -1;
    SimTransportReset(&transport_);
    unsigned char buffer[1024];
    EXPECT_EQ(KernelMidiSend(inquiry_.data(), (int)inquiry_.size(), 1), 1);
    EXPECT_EQ(KernelMidiReceive(buffer, 3), 1);
    EXPECT_EQ(KernelMidiWriteRaw(inquiry_.data(), (int)inquiry_.size()), -1);
    EXPECT_EQ(VirtualInstrumentMessageCount(), 1);
    ASSERT_EQ(SimTransportCallCount(), 3);
    SimTransportCall call;
    ASSERT_EQ(SimTransportGetCall(0, &call), 1);
    EXPECT_EQ(call.operation, SIM_KERNEL_MIDI_SEND);
    EXPECT_EQ(call.endMarker, 1);
    ASSERT_EQ(SimTransportGetCall(1, &call), 1);
    EXPECT_EQ(call.operation, SIM_KERNEL_MIDI_RECEIVE);
    EXPECT_EQ(call.length, 3);
    ASSERT_EQ(SimTransportGetCall(2, &call), 1);
    EXPECT_EQ(call.operation, SIM_KERNEL_MIDI_WRITE_RAW);
    EXPECT_EQ(call.result, -1);
}

} // namespace
