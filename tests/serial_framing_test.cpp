// The portable half of the serial port transport over a line that this file plays: the
// framing of a receive, once, whatever the operating system. The real OS halves are
// tested in serial_port_test.cpp (POSIX) and serial_port_wine_test.cpp (Win32).
#include "transports/serial_port.h"

#include "platform/text.h"
#include "tests/protocol_examples.h"
#include "tests/serial_framing_cases.h"
#include "transports/serial_port_os.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// The line: the bytes the instrument sent and not yet read. When none are left a read
// slice passes in silence at once, so a time-out costs no waiting.
static std::deque<unsigned char> s_line;

#define FAKE_PORT ((SerialHandle)1)

SerialHandle SerialOsOpen(int portNumber) {
    return portNumber == 1 ? FAKE_PORT : SERIAL_NO_HANDLE;
}

int SerialOsGetLineSettings(SerialHandle) {
    return 1;
}

int SerialOsSetLineSettings(SerialHandle, int) {
    return 1;
}

int SerialOsSetTimeouts(SerialHandle, int, int) {
    return 1;
}

int SerialOsReadByte(SerialHandle, unsigned char* byte) {
    if (s_line.empty()) {
        return 0;
    }
    *byte = s_line.front();
    s_line.pop_front();
    return 1;
}

int SerialOsWrite(SerialHandle, const unsigned char*, int) {
    return 1;
}

void SerialOsClose(SerialHandle) {}

namespace {

class SerialFramingTest : public ::testing::TestWithParam<FramingCase> {
  protected:
    void SetUp() override {
        s_line.clear();
        char errorText[PATH_SIZE] = "";
        ASSERT_EQ(SerialOpen(1, 38400, errorText), 1) << errorText;
    }
    void TearDown() override {
        SerialClose();
    }
    void LineWrite(const Bytes& bytes) {
        s_line.insert(s_line.end(), bytes.begin(), bytes.end());
    }
};

TEST_P(SerialFramingTest, FramesOneMessage) {
    LineWrite(GetParam().line);
    ExpectReceiveFrames(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Line, SerialFramingTest, ::testing::ValuesIn(kFramingCases),
                         FramingCaseName);

TEST_F(SerialFramingTest, NextReceiveDropsRestOfCutMessage) {
    LineWrite(JoinBytes({MessagePrefix(), {0x30, kMessageEnd}, ExampleStatusSuccess()}));
    unsigned char buffer[1024];
    ASSERT_EQ(SerialReceive(buffer, 3), 1);
    ASSERT_EQ(SerialReceive(buffer, sizeof buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 7), ExampleStatusSuccess());
}

} // namespace
