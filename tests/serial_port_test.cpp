// The serial port transport over pseudo-terminals: the test holds the master side and
// plays the instrument's line; COM1..COM4 are pointed at devices through ORV_COM1..4.
// What the POSIX half does is checked here; the framing itself in serial_framing_test.cpp.
#include "transports/serial_port.h"

#include "platform/text.h"
#include "tests/protocol_examples.h"
#include "tests/serial_framing_cases.h"
#include "transports/serial_port_posix.h"

#include <gtest/gtest.h>

#include <asm/termbits.h>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

typedef std::vector<unsigned char> Bytes;

namespace {

struct TestPty {
    int master = -1;
    std::string slave;
};

TestPty PtyCreate() {
    TestPty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return pty;
    }
    pty.slave = ptsname(pty.master);
    return pty;
}

void PtyClose(TestPty* pty) {
    if (pty->master >= 0) {
        close(pty->master);
        pty->master = -1;
    }
}

void LineWrite(const TestPty& pty, const Bytes& bytes) {
    ASSERT_EQ(write(pty.master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
}

// Whatever the port sent, collected until the line stays quiet for a moment.
Bytes LineRead(const TestPty& pty) {
    Bytes got;
    for (;;) {
        struct pollfd waitFor = {pty.master, POLLIN, 0};
        if (poll(&waitFor, 1, 300) <= 0) {
            return got;
        }
        unsigned char chunk[4096];
        ssize_t n = read(pty.master, chunk, sizeof chunk);
        if (n <= 0) {
            return got;
        }
        got.insert(got.end(), chunk, chunk + n);
    }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The ten-second time-out is counted in read slices, and a loaded machine stretches every
// slice: the bound only tells a time-out that ends from one that never does.
const double kTimeOutEndsWithinSeconds = 30.0;

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pty = PtyCreate();
        setenv("ORV_COM1", pty.slave.c_str(), 1);
        // The machine's own serial ports are never touched.
        setenv("ORV_COM2", "/nonexistent/orv-com2", 1);
        setenv("ORV_COM3", "/nonexistent/orv-com3", 1);
        setenv("ORV_COM4", "/nonexistent/orv-com4", 1);
    }
    void TearDown() override {
        SerialClose();
        PtyClose(&pty);
    }
    void OpenCom1() {
        char errorText[PATH_SIZE] = "";
        ASSERT_EQ(SerialOpen(1, 38400, errorText), 1) << errorText;
    }
    TestPty pty;
};

class SerialPortLineTest : public SerialPortTest,
                           public ::testing::WithParamInterface<FramingCase> {};

// The terminal is set so that it acts upon none of the bytes.
TEST_P(SerialPortLineTest, FramesOneMessage) {
    OpenCom1();
    LineWrite(pty, GetParam().line);
    ExpectReceiveFrames(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Line, SerialPortLineTest, ::testing::ValuesIn(DriverByteCases()),
                         FramingCaseName);

TEST_F(SerialPortTest, SilenceInsideMessageTimesOutAfterTenSeconds) {
    OpenCom1();
    LineWrite(pty, {0xF0, 0x42});
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), -1);
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_LT(SecondsSince(start), kTimeOutEndsWithinSeconds);
}

TEST_F(SerialPortTest, StopEndsTheWaitingReceiveAndEveryLaterOneUntilTheNextOpen) {
    OpenCom1();
    LineWrite(pty, {0xF0, 0x42});
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SerialAbortReceive();
    });
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), -2);
    stopper.join();
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), -2);
    OpenCom1();
    LineWrite(pty, {0xF0, 0x05, 0xF7});
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), 1);
}

void IgnoreSignal(int) {}

// Signals come in the middle of waits (the command-line program's Ctrl+C is one): a wait
// cut short by one goes on for the time it has left, so the receive neither fails nor ends
// before its message has come.
TEST_F(SerialPortTest, SignalsDuringTheWaitDoNotCutTheReceiveShort) {
    OpenCom1();
    struct sigaction poke = {};
    poke.sa_handler = IgnoreSignal; // no SA_RESTART: every wait the signal lands in ends
    struct sigaction before = {};
    sigaction(SIGUSR1, &poke, &before);
    const pthread_t receiver = pthread_self();
    std::thread line([this, receiver] {
        for (int i = 0; i < 300; i++) {
            pthread_kill(receiver, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        LineWrite(pty, {0xF0, 0x05, 0xF7});
    });
    unsigned char buffer[1024];
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), 1);
    line.join();
    sigaction(SIGUSR1, &before, nullptr);
}

// The cable pulled mid-run: the receive and every send after it fail at once, and the
// port tells why, so a program can say the instrument went away.
TEST_F(SerialPortTest, HangUpOfOtherEndFailsReceivePromptly) {
    OpenCom1();
    EXPECT_EQ(SerialOsPortError(), 0);
    LineWrite(pty, {0xF0, 0x42});
    PtyClose(&pty);
    unsigned char buffer[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), 0);
    EXPECT_EQ(SerialOsPortError(), EIO);
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), 0);
    const Bytes inquiry = ExampleInquiry();
    EXPECT_EQ(SerialSend(inquiry.data(), (int)inquiry.size()), 0);
    EXPECT_EQ(SerialOsPortError(), EIO);
    EXPECT_LT(SecondsSince(start), 2.0);

    // A port opened anew starts without the old one's failure.
    pty = PtyCreate();
    setenv("ORV_COM1", pty.slave.c_str(), 1);
    OpenCom1();
    EXPECT_EQ(SerialOsPortError(), 0);
}

// A reply that came after an earlier run closed the port (the instrument answering what
// that run sent before it was stopped) lies in the line's input; a new run must not take it
// for the answer to its own first request.
TEST_F(SerialPortTest, OpenDropsWhatTheLineHeldBeforeIt) {
    // The far end keeps the line open and raw between runs, as an instrument's does.
    int holder = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    struct termios2 raw;
    ASSERT_EQ(ioctl(holder, TCGETS2, &raw), 0);
    raw.c_iflag = 0;
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    ASSERT_EQ(ioctl(holder, TCSETS2, &raw), 0);
    LineWrite(pty, ExampleStatusSuccess());
    struct pollfd arrived = {holder, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 2000), 1) << "the late reply never reached the line";

    OpenCom1();
    const Bytes reply = ExampleInquiryReply();
    LineWrite(pty, reply);
    unsigned char buffer[1024];
    ASSERT_EQ(SerialReceive(buffer, sizeof buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + reply.size()), reply);
    close(holder);
}

TEST_F(SerialPortTest, SendPassesEveryByteUnchanged) {
    OpenCom1();
    // A raw data packet whose bytes a driver could act upon.
    Bytes packet = ExampleMessage({CODE_DATA, {0x0A, 0x0D, 0x11, 0x13, 0x80, 0xFF, 0x00}});
    EXPECT_EQ(SerialSend(packet.data(), (int)packet.size()), 1);
    EXPECT_EQ(LineRead(pty), packet);
}

// Nobody reads the line: the write stops short when its time-out runs out, and a message
// that did not go out whole must not count as sent.
TEST_F(SerialPortTest, SendThatCannotFinishFails) {
    OpenCom1();
    Bytes big(4 * 1024 * 1024, 0x55);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialSend(big.data(), (int)big.size()), 0);
    EXPECT_LT(SecondsSince(start), kTimeOutEndsWithinSeconds);
}

TEST_F(SerialPortTest, ClosedPortFailsAndClosesHarmlessly) {
    unsigned char buffer[16];
    const Bytes inquiry = ExampleInquiry();
    EXPECT_EQ(SerialSend(inquiry.data(), (int)inquiry.size()), 0);
    EXPECT_EQ(SerialReceive(buffer, sizeof buffer), 0);
    OpenCom1();
    SerialClose();
    SerialClose();
    EXPECT_EQ(SerialSend(inquiry.data(), (int)inquiry.size()), 0);
    OpenCom1(); // the port was really given back
}

// The caller is meant to close first; if it does not, the port it left open must not be
// lost and stay blocked.
TEST_F(SerialPortTest, OpenWhileOpenGivesBackThePreviousPort) {
    TestPty second = PtyCreate();
    setenv("ORV_COM2", second.slave.c_str(), 1);
    OpenCom1();
    char errorText[PATH_SIZE] = "";
    ASSERT_EQ(SerialOpen(2, 38400, errorText), 1) << errorText;
    int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    const Bytes inquiry = ExampleInquiry();
    EXPECT_EQ(SerialSend(inquiry.data(), (int)inquiry.size()), 1);
    EXPECT_EQ(LineRead(second), inquiry);
    SerialClose();
    PtyClose(&second);
}

TEST_F(SerialPortTest, OpenSetsRateAndFrameAndKeepsFlowControl) {
    // A second descriptor of the line, opened before the port, to look at its settings.
    int look = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(look, 0);
    struct termios2 before;
    ASSERT_EQ(ioctl(look, TCGETS2, &before), 0);
    before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    ASSERT_EQ(ioctl(look, TCSETS2, &before), 0);

    char errorText[PATH_SIZE] = "untouched";
    ASSERT_EQ(SerialOpen(1, 31250, errorText), 1);
    EXPECT_STREQ(errorText, "untouched");
    struct termios2 after;
    ASSERT_EQ(ioctl(look, TCGETS2, &after), 0);
    EXPECT_EQ(after.c_ospeed, 31250u);
    EXPECT_EQ(after.c_ispeed, 31250u);
    EXPECT_EQ(after.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
    close(look);
}

struct OpenFailureCase {
    const char* name;
    const char* device; // for COM1; null: the test's pseudo-terminal
    int port;
    int rate;
    const char* text;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialOpenFailureTest : public SerialPortTest,
                              public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(SerialOpenFailureTest, ReportsFailedStepAndStaysClosed) {
    const OpenFailureCase& c = GetParam();
    if (c.device != nullptr) {
        setenv("ORV_COM1", c.device, 1);
    }
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(SerialOpen(c.port, c.rate, errorText), 0);
    EXPECT_STREQ(errorText, c.text);
    const Bytes inquiry = ExampleInquiry();
    EXPECT_EQ(SerialSend(inquiry.data(), (int)inquiry.size()), 0);
    // Nothing was left open: the pseudo-terminal opens now.
    setenv("ORV_COM1", pty.slave.c_str(), 1);
    OpenCom1();
}

const OpenFailureCase kOpenFailureCases[] = {
    {"MissingDevice", "/nonexistent/orv-com1", 1, 38400, "Comm Port Open Error!(CreateFile)"},
    {"PortNumberZero", nullptr, 0, 38400, "Comm Port Open Error!(CreateFile)"},
    {"PortNumberFive", nullptr, 5, 38400, "Comm Port Open Error!(CreateFile)"},
    {"DeviceWithoutLineSettings", "/dev/null", 1, 38400, "Comm Port Open Error!(GetCommState)"},
    {"RateZero", nullptr, 1, 0, "Comm Port Open Error!(SetCommState)"},
};

INSTANTIATE_TEST_SUITE_P(Open, SerialOpenFailureTest, ::testing::ValuesIn(kOpenFailureCases),
                         [](const ::testing::TestParamInfo<OpenFailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SerialPortTest, PortHeldByAnotherOpenerCannotBeOpened) {
    int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(SerialOpen(1, 38400, errorText), 0);
    EXPECT_STREQ(errorText, "Comm Port Open Error!(CreateFile)");
    close(other);
    OpenCom1();
}

TEST_F(SerialPortTest, ProbeMarksPortsThatOpenWithLineSettings) {
    TestPty second = PtyCreate();
    TestPty held = PtyCreate();
    setenv("ORV_COM2", "/dev/null", 1);
    setenv("ORV_COM3", second.slave.c_str(), 1);
    setenv("ORV_COM4", held.slave.c_str(), 1);
    int other = open(held.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    unsigned char present[SERIAL_PORT_COUNT];
    memset(present, 0xAA, sizeof present);
    SerialProbePorts(present);
    EXPECT_EQ(Bytes(present, present + 4), (Bytes{1, 0, 1, 0}));

    // The probe leaves nothing open, and a port this program has open counts as held.
    close(other);
    OpenCom1();
    SerialProbePorts(present);
    EXPECT_EQ(Bytes(present, present + 4), (Bytes{0, 0, 1, 1}));
    PtyClose(&second);
    PtyClose(&held);
}

} // namespace
