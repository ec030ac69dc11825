// The Win32 serial port under Wine. COM3 leads to a pseudo-terminal whose far end is
// tests/serial_line_peer.py; the test tells the peer over the line what to send back.
// What the Win32 half does is checked here; the framing itself in serial_framing_test.cpp.
#include "transports/serial_port.h"

#include "platform/text.h"
#include "tests/protocol_examples.h"
#include "tests/serial_framing_cases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

typedef std::vector<unsigned char> Bytes;

namespace {

#define PEER_PORT 3

const char kHexDigits[] = "0123456789ABCDEF";

void PeerRequest(unsigned char code, const Bytes& payload) {
    Bytes request = {0xF0, 0x7D, code};
    for (unsigned char b : payload) {
        request.push_back((unsigned char)kHexDigits[b >> 4]);
        request.push_back((unsigned char)kHexDigits[b & 0x0F]);
    }
    request.push_back(0xF7);
    ASSERT_EQ(SerialSend(request.data(), (int)request.size()), 1);
}

// The peer writes these bytes to the line.
void PeerSends(const Bytes& line) {
    PeerRequest(0x01, line);
}

// The digits of a peer's answer F0 7D <digits> F7, as bytes.
Bytes PeerAnswer(int digitCount) {
    unsigned char answer[1024];
    EXPECT_EQ(SerialReceive(answer, sizeof answer), 1);
    Bytes bytes;
    for (int i = 0; i + 1 < digitCount; i += 2) {
        const char* hi = strchr(kHexDigits, answer[2 + i]);
        const char* lo = strchr(kHexDigits, answer[3 + i]);
        if (hi == nullptr || lo == nullptr || answer[2 + i] == 0) {
            ADD_FAILURE() << "not a peer answer";
            return bytes;
        }
        bytes.push_back((unsigned char)(((hi - kHexDigits) << 4) | (lo - kHexDigits)));
    }
    return bytes;
}

uint32_t BigEndian32(const Bytes& b, size_t at) {
    return ((uint32_t)b[at] << 24) | ((uint32_t)b[at + 1] << 16) | ((uint32_t)b[at + 2] << 8) |
           b[at + 3];
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The ten-second time-out is counted in read slices, and a loaded machine stretches every
// slice: the bound only tells a time-out that ends from one that never does.
const double kTimeOutEndsWithinSeconds = 30.0;

class SerialWineTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SerialClose();
    }
    void OpenPeerPort(int rate = 38400) {
        char errorText[PATH_SIZE] = "";
        ASSERT_EQ(SerialOpen(PEER_PORT, rate, errorText), 1) << errorText;
    }
};

class SerialWineFramingTest : public SerialWineTest,
                              public ::testing::WithParamInterface<FramingCase> {};

// The port is set so that the driver acts upon none of the bytes.
TEST_P(SerialWineFramingTest, FramesOneMessage) {
    OpenPeerPort();
    PeerSends(GetParam().line);
    ExpectReceiveFrames(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Line, SerialWineFramingTest, ::testing::ValuesIn(DriverByteCases()),
                         FramingCaseName);

TEST_F(SerialWineTest, SendPassesEveryByteUnchanged) {
    OpenPeerPort();
    // A raw data packet whose bytes a driver could act upon.
    Bytes packet = ExampleMessage({CODE_DATA, {0x0A, 0x0D, 0x11, 0x13, 0x80, 0xFF, 0x00}});
    ASSERT_EQ(SerialSend(packet.data(), (int)packet.size()), 1);
    PeerRequest(0x03, {});
    EXPECT_EQ(PeerAnswer((int)packet.size() * 2), packet);
}

// Wine sets only the standard rates on a pseudo-terminal (31250 becomes 38400 there); the
// native tests check 31250 itself.
TEST_F(SerialWineTest, OpenSetsRateAndFrame) {
    OpenPeerPort(57600);
    PeerRequest(0x05, {});
    Bytes settings = PeerAnswer(16);
    ASSERT_EQ(settings.size(), 8u);
    EXPECT_EQ(BigEndian32(settings, 0), 57600u);
    const uint32_t csize = 0x30, cs8 = 0x30, parenb = 0x100, cstopb = 0x40;
    EXPECT_EQ(BigEndian32(settings, 4) & csize, cs8);
    EXPECT_EQ(BigEndian32(settings, 4) & (parenb | cstopb), 0u);
}

TEST_F(SerialWineTest, SilenceInsideMessageTimesOutAfterTenSeconds) {
    OpenPeerPort();
    PeerSends({0xF0, 0x42});
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), -1);
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LT(SecondsSince(start), kTimeOutEndsWithinSeconds);
}

TEST_F(SerialWineTest, StopEndsTheWaitingReceiveWithinARead) {
    OpenPeerPort();
    PeerSends({0xF0, 0x42});
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SerialAbortReceive();
    });
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), -2);
    stopper.join();
    EXPECT_LT(SecondsSince(start), 2.0);
    std::printf("[ abort    ] COM%d: the receive ended %.0f ms after the stop\n", PEER_PORT,
                SecondsSince(start) * 1000 - 100);
}

// Wine reads a hung-up terminal as a line that stays silent, so the receive ends with the
// time-out rather than at once; it must not report a message or wait for ever.
TEST_F(SerialWineTest, HangUpOfOtherEndEndsReceive) {
    OpenPeerPort();
    PeerRequest(0x02, {});
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(SerialReceive(buffer, sizeof buffer), 1);
    EXPECT_LT(SecondsSince(start), kTimeOutEndsWithinSeconds);
}

TEST_F(SerialWineTest, SendThatCannotFinishFails) {
    OpenPeerPort();
    PeerRequest(0x04, {});
    Bytes big(4 * 1024 * 1024, 0x55);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialSend(big.data(), (int)big.size()), 0);
    EXPECT_LT(SecondsSince(start), kTimeOutEndsWithinSeconds);
}

// The peer points COM1 at /dev/null (it opens, but is no serial port); COM2 and COM4 lead
// nowhere. Wine opens a mapped port whose device is missing and fails its settings, so
// only a port number outside COM1..COM4 gives the CreateFile text here.
TEST_F(SerialWineTest, OpenReportsFailedStep) {
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(SerialOpen(5, 38400, errorText), 0);
    EXPECT_STREQ(errorText, "Comm Port Open Error!(CreateFile)");
    EXPECT_EQ(SerialOpen(1, 38400, errorText), 0);
    EXPECT_STREQ(errorText, "Comm Port Open Error!(GetCommState)");
    errorText[0] = '\0';
    EXPECT_EQ(SerialOpen(2, 38400, errorText), 0);
    EXPECT_NE(errorText[0], '\0');
    OpenPeerPort();
}

// Wine does not refuse a second open of a port, so a port held open elsewhere is only
// checked natively.
TEST_F(SerialWineTest, ProbeFindsPortsWithLineSettings) {
    unsigned char present[SERIAL_PORT_COUNT];
    memset(present, 0xAA, sizeof present);
    SerialProbePorts(present);
    EXPECT_EQ(Bytes(present, present + 4), (Bytes{0, 0, 1, 0}));
    OpenPeerPort();
}

} // namespace
