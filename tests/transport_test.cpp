#include "update/transport.h"

#include "platform/text.h"
#include "tests/doubles/recording_transports.h"
#include "tests/doubles/transport_open_doubles.h"
#include "tests/protocol_examples.h"
#include "transports/usb_bulk.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const char kEarlierText[] = "earlier text";

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RecordingTransportsReset();
        OpenDoublesReset();
        TextCopy(errorText_, sizeof errorText_, kEarlierText);
    }
    void TearDown() override {
        g_updateEngine.deviceType = 0;
    }
    char errorText_[TEXT_SIZE];
    const std::vector<unsigned char> inquiry_ = ExampleInquiry();
    const unsigned char* const message_ = inquiry_.data();
};

TEST_F(TransportTest, TransmitCallsTheOperationOfDeviceTypeAndSendMode) {
    struct Case {
        int deviceType;
        int sendMode;
        TransportOperation operation;
        int endMarker;
    };
    const Case cases[] = {
        {0, 0, OP_SERIAL_SEND, -1},     {0, 2, OP_SERIAL_SEND, -1},
        {0, 5, OP_SERIAL_SEND, -1},     {1, 0, OP_MIDI_SEND, -1},
        {1, 2, OP_MIDI_SEND, -1},       {2, 0, OP_USB_BULK_SEND, -1},
        {2, 2, OP_USB_BULK_SEND, -1},   {3, 0, OP_KERNEL_MIDI_SEND, 0},
        {3, 1, OP_KERNEL_MIDI_SEND, 1}, {3, 2, OP_KERNEL_MIDI_WRITE_RAW, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "deviceType " << c.deviceType << " sendMode " << c.sendMode);
        RecordingTransportsReset();
        g_updateEngine.deviceType = c.deviceType;
        EXPECT_EQ(TransmitMessage(message_, 6, errorText_, c.sendMode), 1);
        ASSERT_EQ(g_recordingTransports.calls.size(), 1u);
        const TransportCall& call = g_recordingTransports.calls[0];
        EXPECT_EQ(call.operation, c.operation);
        EXPECT_EQ(call.bytes, message_);
        EXPECT_EQ(call.length, 6);
        EXPECT_EQ(call.endMarker, c.endMarker);
        EXPECT_STREQ(errorText_, kEarlierText);
    }
}

// A device type that names no transport reaches none: not the kernel driver, not any.
TEST_F(TransportTest, AnUnknownDeviceTypeIsRefused) {
    unsigned char buffer[1024];
    char openText[PATH_SIZE] = "";
    for (int deviceType : {4, 7, 42, -1}) {
        SCOPED_TRACE(testing::Message() << "deviceType " << deviceType);
        g_updateEngine.deviceType = deviceType;
        EXPECT_EQ(TransmitMessage(message_, 6, errorText_, SEND_MODE_PACKETS), 0);
        EXPECT_STREQ(errorText_, "Transmit Error");
        EXPECT_EQ(ReceiveMessage(buffer, 1024, errorText_, 300), 0);
        EXPECT_STREQ(errorText_, "Recieve Error");
        AbortReceive();
        const TransportChoice choice = {deviceType, 1, 38400, "", "", 0};
        EXPECT_EQ(TransportOpen(&choice, openText), 0);
        EXPECT_STREQ(openText, "Unknown Type");
        TransportClose(deviceType);
    }
    EXPECT_TRUE(g_recordingTransports.calls.empty());
    for (int t = 0; t < OPEN_DOUBLE_COUNT; t++) {
        EXPECT_EQ(g_openDoubles.openCalls[t] + g_openDoubles.closeCalls[t], 0) << t;
    }
}

TEST_F(TransportTest, OpensAndClosesTheChosenTransportOnly) {
    const TransportChoice choices[] = {
        {DEVICE_TYPE_SERIAL, 3, 57600, "", "", 0},
        {DEVICE_TYPE_MIDI, 0, 0, "OUT", "IN", 1},
        {DEVICE_TYPE_USB_BULK, 0, 0, "", "", 0},
        {DEVICE_TYPE_KERNEL_MIDI, 0, 0, "", "", 0},
    };
    const int doubles[] = {OPEN_DOUBLE_SERIAL, OPEN_DOUBLE_MIDI, OPEN_DOUBLE_USB_BULK,
                           OPEN_DOUBLE_KERNEL_MIDI};
    char openText[PATH_SIZE] = "";
    for (int i = 0; i < 4; i++) {
        OpenDoublesReset();
        EXPECT_EQ(TransportOpen(&choices[i], openText), 1);
        TransportClose(choices[i].deviceType);
        for (int t = 0; t < OPEN_DOUBLE_COUNT; t++) {
            EXPECT_EQ(g_openDoubles.openCalls[t], t == doubles[i] ? 1 : 0) << i << " " << t;
            EXPECT_EQ(g_openDoubles.closeCalls[t], t == doubles[i] ? 1 : 0) << i << " " << t;
        }
        if (choices[i].deviceType == DEVICE_TYPE_SERIAL) {
            EXPECT_EQ(g_openDoubles.lastSerialPort, 3);
            EXPECT_EQ(g_openDoubles.lastSerialRate, 57600);
        } else if (choices[i].deviceType == DEVICE_TYPE_MIDI) {
            EXPECT_STREQ(g_openDoubles.lastMidiOutput, "OUT");
            EXPECT_STREQ(g_openDoubles.lastMidiInput, "IN");
        }
    }
    OpenDoublesReset();
    TransportCloseAll();
    for (int t = 0; t < OPEN_DOUBLE_COUNT; t++) {
        EXPECT_EQ(g_openDoubles.closeCalls[t], 1) << t;
    }
}

TEST_F(TransportTest, KernelDriverWithUnknownSendModeFailsWithoutACall) {
    g_updateEngine.deviceType = 3;
    for (int sendMode : {5, 3, -1}) {
        TextCopy(errorText_, sizeof errorText_, kEarlierText);
        EXPECT_EQ(TransmitMessage(message_, 6, errorText_, sendMode), 0);
        EXPECT_STREQ(errorText_, "Transmit Error");
    }
    EXPECT_TRUE(g_recordingTransports.calls.empty());
}

TEST_F(TransportTest, TransmitTurnsEveryTransportResultIntoItsText) {
    struct Case {
        int transportResult;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "Transmit Error"},       {-1, 0, "Transmit Error(Time Out)"},
        {-2, 0, "Rx-Midi Setup Error"}, {1, 1, kEarlierText},
        {3, 1, kEarlierText},
    };
    for (int deviceType = 0; deviceType <= 3; deviceType++) {
        g_updateEngine.deviceType = deviceType;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "deviceType " << deviceType << " result " << c.transportResult);
            TextCopy(errorText_, sizeof errorText_, kEarlierText);
            g_recordingTransports.result = c.transportResult;
            EXPECT_EQ(TransmitMessage(message_, 6, errorText_, 0), c.result);
            EXPECT_STREQ(errorText_, c.text);
        }
    }
}

TEST_F(TransportTest, ReceiveCallsTheOperationOfDeviceTypeWithItsArguments) {
    struct Case {
        int deviceType;
        TransportOperation operation;
        int capacity;
        int timeoutTicks;
    };
    const Case cases[] = {
        {0, OP_SERIAL_RECEIVE, 1024, -1},
        {1, OP_MIDI_RECEIVE, 1024, 300},
        {2, OP_USB_BULK_RECEIVE, -1, -1},
        {3, OP_KERNEL_MIDI_RECEIVE, 1024, -1},
    };
    unsigned char buffer[1024];
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "deviceType " << c.deviceType);
        RecordingTransportsReset();
        g_updateEngine.deviceType = c.deviceType;
        EXPECT_EQ(ReceiveMessage(buffer, 1024, errorText_, 300), 1);
        ASSERT_EQ(g_recordingTransports.calls.size(), 1u);
        const TransportCall& call = g_recordingTransports.calls[0];
        EXPECT_EQ(call.operation, c.operation);
        EXPECT_EQ(call.buffer, buffer);
        EXPECT_EQ(call.capacity, c.capacity);
        EXPECT_EQ(call.timeoutTicks, c.timeoutTicks);
        EXPECT_STREQ(errorText_, kEarlierText);
        EXPECT_EQ(LastReceiveResult(), 1);
    }
}

TEST_F(TransportTest, ReceiveTurnsEveryTransportResultIntoItsText) {
    struct Case {
        int transportResult;
        int result;
        const char* text;
        const char* replyText;
    };
    // A user's stop (-2) is not a failure of its own: the caller words it, so the text
    // stays as it was and only LastReceiveResult tells it apart. ReceiveReply, for the
    // protocol's callers, words it as they do.
    const Case cases[] = {
        {0, 0, "Recieve Error", "Recieve Error"},
        {-1, 0, "Recieve Error(Timeout)", "Recieve Error(Timeout)"},
        {-2, 0, kEarlierText, "User aborted."},
        {1, 1, kEarlierText, kEarlierText},
    };
    unsigned char buffer[1024];
    for (int deviceType = 0; deviceType <= 3; deviceType++) {
        g_updateEngine.deviceType = deviceType;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "deviceType " << deviceType << " result " << c.transportResult);
            TextCopy(errorText_, sizeof errorText_, kEarlierText);
            g_recordingTransports.result = c.transportResult;
            EXPECT_EQ(ReceiveMessage(buffer, 1024, errorText_, 10), c.result);
            EXPECT_STREQ(errorText_, c.text);
            EXPECT_EQ(LastReceiveResult(), c.transportResult);
            TextCopy(errorText_, sizeof errorText_, kEarlierText);
            EXPECT_EQ(ReceiveReply(buffer, errorText_, 10), c.result);
            EXPECT_STREQ(errorText_, c.replyText);
        }
    }
}

TEST_F(TransportTest, UsbBulkReceiveNeverWritesPastSixteenBytesOrTheCapacity) {
    g_updateEngine.deviceType = 2;
    g_recordingTransports.reply.assign(40, 0x55);
    for (int capacity : {1024, 16, 4, 0}) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        unsigned char buffer[64];
        memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(ReceiveMessage(buffer, capacity, errorText_, 300), 1);
        int written = capacity < USB_BULK_READ_SIZE ? capacity : USB_BULK_READ_SIZE;
        for (int i = 0; i < (int)sizeof buffer; i++) {
            ASSERT_EQ(buffer[i], i < written ? 0x55 : 0xEE) << "byte " << i;
        }
    }
}

TEST_F(TransportTest, ExchangeSendsReceivesAndChecksAndStopsAtTheFirstFailure) {
    struct Case {
        const char* name;
        int transportResult;
        std::vector<unsigned char> reply;
        int result;
        const char* text;
        size_t calls;
    };
    const std::vector<unsigned char> inquiryReply = {0xF0, 0x42, 0x23, 0x3C, 0x01,
                                                     0x00, 0x02, 0x00, 0x00, 0xF7};
    const std::vector<unsigned char> versionReply = {0xF0, 0x42, 0x23, 0x3C,
                                                     0x03, 0x01, 0x03, 0xF7};
    const Case cases[] = {
        {"answered", 1, inquiryReply, 5, kEarlierText, 2},
        {"another code", 1, versionReply, 0, "Rx Msg Error(Msg Code Error)", 2},
        {"send failed", 0, inquiryReply, 0, "Transmit Error", 1},
        {"send timed out", -1, inquiryReply, 0, "Transmit Error(Time Out)", 1},
    };
    g_updateEngine.deviceType = DEVICE_TYPE_SERIAL;
    g_updateEngine.skipDeviceCheck = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingTransportsReset();
        TextCopy(errorText_, sizeof errorText_, kEarlierText);
        g_recordingTransports.result = c.transportResult;
        g_recordingTransports.reply = c.reply;
        SystemFileHeader header = {};
        header.productId[0] = 0x3C;
        header.productId[1] = 0xFF;
        header.productId[2] = 0xFF;
        unsigned char reply[REPLY_BUFFER_SIZE];
        EXPECT_EQ(ExchangeMessage(message_, 6, reply, &header, MSG_INQUIRY_REPLY, errorText_, 300),
                  c.result);
        EXPECT_STREQ(errorText_, c.text);
        ASSERT_EQ(g_recordingTransports.calls.size(), c.calls);
        EXPECT_EQ(g_recordingTransports.calls[0].operation, OP_SERIAL_SEND);
        EXPECT_EQ(g_recordingTransports.calls[0].bytes, message_);
        if (c.calls == 2) {
            EXPECT_EQ(g_recordingTransports.calls[1].operation, OP_SERIAL_RECEIVE);
            EXPECT_EQ(g_recordingTransports.calls[1].buffer, reply);
        }
    }
}

} // namespace
