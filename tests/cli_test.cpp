#include "cli/progress_line.h"
#include "cli/serial_devices.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LineCase {
    const char* name;
    int64_t position;
    int64_t total;
    double rate;
    int width;
    const char* expected;
};

// What the progress line says is all in its numbers: the bar and percent from the whole
// file, the rate and time left only once a rate is known, nothing past the terminal.
TEST(ProgressLineTest, SaysHowFarHowFastAndHowLong) {
    const LineCase cases[] = {
        {"start", 0, 25088, 0.0, 200, "Sending  [--------------------]   0%  0.0/24.5 KiB"},
        {"half with a rate", 12544, 25088, 4096.0, 200,
         "Sending  [##########----------]  50%  12.2/24.5 KiB  4.0 KiB/s  0:03 left"},
        {"minutes left", 1024, 1024 * 1024, 1024.0, 200,
         "Sending  [--------------------]   0%  1.0/1024.0 KiB  1.0 KiB/s  17:03 left"},
        {"past the end is the end", 30000, 25088, 0.0, 200,
         "Sending  [####################] 100%  24.5/24.5 KiB"},
        {"nothing to send", 5, 0, 0.0, 200, "Sending  [--------------------]   0%  0.0/0.0 KiB"},
        {"cut to the terminal", 12544, 25088, 0.0, 16, "Sending  [######"},
    };
    for (const LineCase& c : cases) {
        char line[256];
        FormatProgressLine(line, sizeof line, "Sending", c.position, c.total, c.rate, c.width);
        EXPECT_STREQ(c.expected, line) << c.name;
    }
    char plain[256];
    FormatProgressPlain(plain, sizeof plain, "Now Updating...", 12544, 25088);
    EXPECT_STREQ("Now Updating...: 50% (12544 of 25088 bytes)", plain);
}

TEST(SerialDeviceTest, TakesTheRateAfterTheLastAt) {
    struct {
        const char* text;
        int ok;
        const char* device;
        int rate;
    } cases[] = {
        {"/dev/ttyUSB0", 1, "/dev/ttyUSB0", SERIAL_DEFAULT_BAUD_RATE},
        {"/dev/ttyUSB0@31250", 1, "/dev/ttyUSB0", 31250},
        {"/dev/odd@name@57600", 1, "/dev/odd@name", 57600},
        {"/dev/ttyUSB0@", 0, "/dev/ttyUSB0", 0},
        {"/dev/ttyUSB0@fast", 0, "/dev/ttyUSB0", 0},
        {"/dev/ttyUSB0@0", 0, "/dev/ttyUSB0", 0},
        {"@38400", 0, "", 0},
        {"", 0, "", 0},
    };
    for (const auto& c : cases) {
        std::string device;
        int rate = 0;
        EXPECT_EQ(c.ok, ParseSerialDevice(c.text, &device, &rate)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.device, device) << c.text;
            EXPECT_EQ(c.rate, rate) << c.text;
        }
    }
}

} // namespace
