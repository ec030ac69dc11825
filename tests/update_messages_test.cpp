#include "update/update_messages.h"

#include "platform/text.h"
#include "tests/protocol_examples.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

SystemFileHeader ExampleHeader(unsigned char id0 = 0x3C, unsigned char id1 = 0xFF,
                               unsigned char id2 = 0xFF) {
    SystemFileHeader h = {};
    h.productId[0] = id0;
    h.productId[1] = id1;
    h.productId[2] = id2;
    h.memberId = 0xFF;
    h.blockCode = 1;
    h.versionMajor = 1;
    h.versionMinor = 5;
    h.address = 0x4000;
    h.dataSize = 0x800;
    return h;
}

Bytes Header(const SystemFileHeader& h, unsigned char code) {
    unsigned char buffer[8];
    int n = BuildMessageHeader(buffer, &h, code);
    return Bytes(buffer, buffer + n);
}

Bytes Num14(uint32_t n) {
    Bytes out(2);
    Encode14Bit(n, out.data());
    return out;
}

Bytes Num28(uint32_t n) {
    Bytes out(4);
    Encode28Bit(n, out.data());
    return out;
}

Bytes PackedWithChecksum(const Bytes& data) {
    Bytes out(data.size() + data.size() / 7 + 2);
    unsigned char checksum = 0;
    out.resize(Pack7Bit(data.data(), out.data(), (int)data.size(), &checksum));
    out.push_back(checksum);
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A reply as the transports deliver it: at the start of a zeroed 1024-byte buffer.
Bytes ReplyBuffer(const Bytes& message) {
    Bytes out(REPLY_BUFFER_SIZE, 0);
    std::copy(message.begin(), message.end(), out.begin());
    return out;
}

class SkipDeviceCheck {
  public:
    explicit SkipDeviceCheck(int skip) : saved_(g_updateEngine.skipDeviceCheck) {
        g_updateEngine.skipDeviceCheck = skip;
    }
    ~SkipDeviceCheck() {
        g_updateEngine.skipDeviceCheck = saved_;
    }

  private:
    int saved_;
};

TEST(UpdateMessages, BuildsTheExampleMessagesByteForByte) {
    const SystemFileHeader h = ExampleHeader();
    const Bytes F7 = {SYSEX_END};
    struct Case {
        const char* name;
        Bytes built;
        Bytes expected;
    };
    const Case cases[] = {
        {"inquiry", Join({Header(h, MSG_INQUIRY), F7}), ExampleInquiry()},
        {"version request", Join({Header(h, MSG_VERSION_REQUEST), {h.blockCode}, F7}),
         ExampleVersionRequest()},
        {"set mode, protocol 0",
         Join({Header(h, MSG_SET_MODE),
               {0, h.blockCode, (unsigned char)(h.versionMajor | 0x40), h.versionMinor},
               F7}),
         ExampleSetModeProtocol0()},
        {"set mode, protocol 1",
         Join({Header(h, MSG_SET_MODE),
               {0, h.blockCode},
               Num28(h.address),
               Num28(h.dataSize),
               {(unsigned char)(h.versionMajor | 0x40), h.versionMinor},
               Num28(1024),
               F7}),
         ExampleSetModeProtocol1()},
        {"data packet, protocol 0",
         Join({Header(h, MSG_DATA), Num14(130), PackedWithChecksum({0x81, 0x02}), F7}),
         ExampleDataPacket()},
        {"fill packet, protocol 0", Join({Header(h, MSG_FILL), Num14(5), {0x0F, 0x0F}, F7}),
         ExampleFillPacket()},
        {"28-bit 300", Num28(300), {0x00, 0x00, 0x02, 0x2C}},
        {"28-bit 1024", Num28(1024), {0x00, 0x00, 0x08, 0x00}},
        {"28-bit drops bits above 27", Num28(0xF0000000u | 300), {0x00, 0x00, 0x02, 0x2C}},
        {"14-bit drops bits above 13", Num14(0x4000 | 130), {0x01, 0x02}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.name;
    }
}

TEST(UpdateMessages, DecodesWhatItEncodes) {
    for (uint32_t n : {0u, 1u, 127u, 128u, 300u, 0x3FFFu, 0x0FFFFFFFu}) {
        EXPECT_EQ(Decode28Bit(Num28(n).data()), n);
        EXPECT_EQ(Decode14Bit(Num14(n).data()), n & 0x3FFF);
    }
}

TEST(UpdateMessages, SendsOnlyThePresentProductIdBytes) {
    struct Case {
        unsigned char id[3];
        Bytes sent;
    };
    const Case cases[] = {
        {{0x3C, 0xFF, 0x12}, {0x3C}},
        {{0x3C, 0x12, 0xFF}, {0x3C, 0x12}},
        {{0x00, 0x12, 0x34}, {0x00, 0x12, 0x34}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Header(ExampleHeader(c.id[0], c.id[1], c.id[2]), 0x07),
                  MessageStart(c.sent, {0x07, {}}));
    }
}

TEST(UpdateMessages, PacksSevenBitGroupsWithTheirChecksum) {
    struct Case {
        Bytes data;
        Bytes packed;
        unsigned char checksum;
    };
    const Case cases[] = {
        {{}, {}, 0},
        {{0x81, 0x02}, {0x01, 0x01, 0x02}, 0x04},
        {Bytes(8, 0xFF), {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x01, 0x7F}, 0x78},
        {{0x41, 0x42, 0x43}, {0x00, 0x41, 0x42, 0x43}, 0x46},
        // The leading byte's bit k belongs to the group's k-th byte, in every group.
        {{0, 0, 0, 0, 0, 0, 0x80, 0, 0x80}, {0x40, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0}, 0x42},
    };
    for (const Case& c : cases) {
        Bytes out(c.data.size() + c.data.size() / 7 + 1, 0xEE);
        unsigned char checksum = 0x55;
        int n = Pack7Bit(c.data.data(), out.data(), (int)c.data.size(), &checksum);
        out.resize(n);
        EXPECT_EQ(out, c.packed);
        EXPECT_EQ(checksum, c.checksum);
    }
    for (int count : {7, 8, 1024}) {
        Bytes data(count, 0xA5);
        Bytes out(count + count / 7 + 1);
        EXPECT_EQ(Pack7Bit(data.data(), out.data(), count, nullptr), count + (count + 6) / 7);
    }
}

TEST(UpdateMessages, StatusCodesHaveTheirTexts) {
    const char* const texts[] = {"Product ID Error", "Member ID Error",     "Format Error",
                                 "Block Code Error", "Packet Number Error", "Checksum Error",
                                 "Timeout Error",    "Hardware Error",      "Flash Write Error",
                                 "User Aborted",     "Version Error"};
    char text[TEXT_SIZE];
    for (int status = 1; status <= 0x3F; status++) {
        StatusCodeText(status, text, (int)sizeof text);
        EXPECT_STREQ(text, status <= 11 ? texts[status - 1] : "Unknown Error") << status;
    }
    StatusCodeText(9, text, 6);
    EXPECT_STREQ(text, "Flash");
}

TEST(ValidateReply, ChecksFramingIdAndCodeInOrder) {
    struct Case {
        const char* name;
        unsigned char id[3];
        Bytes reply;
        int expectedCode;
        int result;
        const char* text; // null: errorText stays as it was
    };
    const Case cases[] = {
        {"inquiry reply", {0x3C, 0xFF, 0xFF}, ExampleInquiryReply(), 0x01, 5, nullptr},
        {"starting with F7",
         {0x3C, 0xFF, 0xFF},
         {0xF7, 0x42, 0x23, 0x3C, 0x03, 0x01, 0x03, 0xF7},
         0x03,
         5,
         nullptr},
        {"two-byte id",
         {0x3C, 0x12, 0xFF},
         Message({0x3C, 0x12}, VersionReply(1, 3)),
         0x03,
         6,
         nullptr},
        {"three-byte id",
         {0x00, 0x12, 0x34},
         Message({0x00, 0x12, 0x34}, {CODE_INQUIRY_REPLY, {0x00}}),
         0x01,
         7,
         nullptr},
        {"status 0 to any request", {0x3C, 0xFF, 0xFF}, ExampleStatusSuccess(), 0x03, 5, nullptr},
        {"not exclusive",
         {0x3C, 0xFF, 0xFF},
         {0x90, 0x42, 0x23, 0x3C, 0x01},
         0x01,
         0,
         "Rx Msg Error(0:Not Exclusive)"},
        {"other maker",
         {0x3C, 0xFF, 0xFF},
         {0xF0, 0x43, 0x23, 0x3C, 0x01},
         0x01,
         0,
         "Rx Msg Error(1:Not MAVO ID)"},
        {"other VUP ID",
         {0x3C, 0xFF, 0xFF},
         {0xF0, 0x42, 0x24, 0x3C, 0x01},
         0x01,
         0,
         "Rx Msg Error(2:VUP ID Error)"},
        {"third id byte differs",
         {0x00, 0x12, 0x34},
         MessageStart({0x00, 0x12, 0x35}, {CODE_INQUIRY_REPLY, {}}),
         0x01,
         0,
         "Rx Msg Error(Product ID Error)"},
        {"first id byte differs",
         {0x3C, 0xFF, 0xFF},
         MessageStart({0x3D}, {CODE_INQUIRY_REPLY, {}}),
         0x01,
         0,
         "Rx Msg Error(Product ID Error)"},
        {"unexpected code",
         {0x3C, 0xFF, 0xFF},
         ExampleVersionReply(),
         0x01,
         0,
         "Rx Msg Error(Msg Code Error)"},
        {"progress without progressOut",
         {0x3C, 0xFF, 0xFF},
         ExampleWriteProgress(),
         0x05,
         0,
         "Rx Msg Error(Msg Code Error)"},
        {"status 6",
         {0x3C, 0xFF, 0xFF},
         ExampleMessage(Status(6)),
         0x05,
         0,
         "Rx Status Error : Checksum Error"},
        {"status 0x0C",
         {0x3C, 0xFF, 0xFF},
         ExampleMessage(Status(0x0C)),
         0x01,
         0,
         "Rx Status Error : Unknown Error"},
        {"extended status",
         {0x3C, 0xFF, 0xFF},
         // What follows the zero byte is no part of the text.
         Join({ExampleMessageStart(ExtendedStatus(0x41, "Busy")), {'X', 0xF7}}),
         0x05,
         0,
         "Rx Status Error(Exp) : 0x41Busy"},
    };
    SkipDeviceCheck check(0);
    for (const Case& c : cases) {
        SystemFileHeader h = ExampleHeader(c.id[0], c.id[1], c.id[2]);
        const SystemFileHeader before = h;
        Bytes reply = ReplyBuffer(c.reply);
        char errorText[TEXT_SIZE] = "earlier text";
        EXPECT_EQ(ValidateReply(reply.data(), &h, c.expectedCode, errorText, nullptr), c.result)
            << c.name;
        EXPECT_STREQ(errorText, c.text != nullptr ? c.text : "earlier text") << c.name;
        EXPECT_EQ(memcmp(&h, &before, sizeof h), 0) << c.name;
    }
}

TEST(ValidateReply, ReportsWriteProgressWhenAskedFor) {
    SystemFileHeader h = ExampleHeader();
    Bytes reply = ReplyBuffer(ExampleWriteProgress());
    char errorText[TEXT_SIZE] = "earlier text";
    uint32_t progress = 0;
    EXPECT_EQ(ValidateReply(reply.data(), &h, MSG_STATUS, errorText, &progress), -1);
    EXPECT_EQ(progress, 130u * 65536u + 388u);
    EXPECT_STREQ(errorText, "earlier text");
}

TEST(ValidateReply, ExtendedStatusTextIsCutToFit) {
    SystemFileHeader h = ExampleHeader();
    // No zero byte anywhere: the text would run to the buffer's end.
    Bytes reply(REPLY_BUFFER_SIZE, 'a');
    const Bytes start = ExampleMessageStart(Status(0x7F));
    std::copy(start.begin(), start.end(), reply.begin());
    char errorText[TEXT_SIZE];
    EXPECT_EQ(ValidateReply(reply.data(), &h, MSG_STATUS, errorText, nullptr), 0);
    EXPECT_EQ(std::string(errorText),
              "Rx Status Error(Exp) : 0x7F" + std::string(EXTENDED_STATUS_TEXT_SIZE - 1, 'a'));
}

TEST(ValidateReply, AdoptsTheInstrumentsIdOnlyWhenTheDeviceCheckIsSkipped) {
    struct Case {
        const char* name;
        Bytes reply;
        int result;
        unsigned char id[3]; // the header afterwards
        unsigned char memberId;
    };
    const Case cases[] = {
        {"one-byte id with member id",
         Message({0x3D}, {CODE_INQUIRY_REPLY, {0x00, 0x05}}),
         -2,
         {0x3D, 0xFF, 0xFF},
         0x05},
        {"one-byte id, no member id",
         Message({0x3D}, {CODE_INQUIRY_REPLY, {0x00, 0x80}}),
         -2,
         {0x3D, 0xFF, 0xFF},
         0xFF},
        {"three-byte id",
         Message({0x00, 0x12, 0x34}, {CODE_INQUIRY_REPLY, {0x00, 0x07}}),
         -2,
         {0x00, 0x12, 0x34},
         0x07},
        {"first byte out of range",
         MessageStart({0x9D}, {CODE_INQUIRY_REPLY, {0x00, 0x05}}),
         0,
         {0x3C, 0xFF, 0xFF},
         0x42},
        {"third byte out of range",
         MessageStart({0x00, 0x12, 0xB4}, {CODE_INQUIRY_REPLY, {}}),
         0,
         {0x3C, 0xFF, 0xFF},
         0x42},
    };
    for (int skip = 0; skip <= 1; skip++) {
        SkipDeviceCheck check(skip);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", skip " << skip);
            SystemFileHeader h = ExampleHeader();
            h.memberId = 0x42;
            Bytes reply = ReplyBuffer(c.reply);
            char errorText[TEXT_SIZE] = "";
            EXPECT_EQ(ValidateReply(reply.data(), &h, MSG_INQUIRY_REPLY, errorText, nullptr),
                      skip ? c.result : 0);
            EXPECT_STREQ(errorText, "Rx Msg Error(Product ID Error)");
            const bool adopted = skip && c.result == -2;
            EXPECT_EQ(h.productId[0], adopted ? c.id[0] : 0x3C);
            EXPECT_EQ(h.productId[1], adopted ? c.id[1] : 0xFF);
            EXPECT_EQ(h.productId[2], adopted ? c.id[2] : 0xFF);
            EXPECT_EQ(h.memberId, adopted ? c.memberId : 0x42);
        }
    }
}

TEST(ValidateReply, NeverReadsOutsideTheReplyBufferWhateverItHolds) {
    // Exactly REPLY_BUFFER_SIZE bytes on the heap, so the sanitizer sees any read past it;
    // the error text likewise gets exactly TEXT_SIZE bytes.
    std::unique_ptr<unsigned char[]> reply(new unsigned char[REPLY_BUFFER_SIZE]);
    std::unique_ptr<char[]> errorText(new char[TEXT_SIZE]);
    uint32_t state = 0x12345678u;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int round = 0; round < 20000; round++) {
        SystemFileHeader h =
            ExampleHeader(round % 3 == 0 ? 0x00 : 0x3C, round % 3 == 0 ? 0x12 : 0xFF,
                          round % 3 == 0 ? 0x34 : 0xFF);
        // Half the rounds: no zero byte anywhere, so any text search runs to the end.
        const unsigned char floor = round % 2 == 0 ? 1 : 0;
        for (int i = 0; i < REPLY_BUFFER_SIZE; i++) {
            unsigned char b = (unsigned char)next();
            reply[i] = b < floor ? floor : b;
        }
        // Most rounds: a believable start, so the later checks are reached too.
        if (round % 4 != 3) {
            unsigned char start[8];
            int n = BuildMessageHeader(start, &h, (unsigned char)(round % 8 < 4 ? 0x05 : 0x13));
            if (round % 16 == 0) {
                start[3] ^= 0x01; // another product id
            }
            memcpy(reply.get(), start, n);
            if (round % 8 < 4) {
                reply[n] = (unsigned char)(0x40 | next()); // an extended status
            }
        }
        SkipDeviceCheck check(round % 5 == 0);
        uint32_t progress = 0;
        TextCopy(errorText.get(), TEXT_SIZE, "");
        int result = ValidateReply(reply.get(), &h, (int)(next() & 0x1F), errorText.get(),
                                   round % 2 ? &progress : nullptr);
        ASSERT_GE(result, -2);
        ASSERT_LE(result, 7);
        ASSERT_LT(strnlen(errorText.get(), TEXT_SIZE), (size_t)TEXT_SIZE);
    }
}

} // namespace
