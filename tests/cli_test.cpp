#include "cli/hints.h"
#include "cli/progress_line.h"
#include "cli/serial_devices.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

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
// file, the rate and time left only once a rate is known, nothing past the terminal, and
// on a narrow one the bar gives way before the numbers do, then the label.
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
        {"the bar shrinks to the terminal", 12544, 25088, 4096.0, 60,
         "Sending  [###----]  50%  12.2/24.5 KiB  4.0 KiB/s  0:03 left"},
        {"the bar goes before the numbers", 12544, 25088, 4096.0, 52,
         "Sending  50%  12.2/24.5 KiB  4.0 KiB/s  0:03 left"},
        {"then the label", 12544, 25088, 4096.0, 45, "50%  12.2/24.5 KiB  4.0 KiB/s  0:03 left"},
        {"cut to the terminal", 12544, 25088, 0.0, 16, "50%  12.2/24.5 K"},
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

// The rate counts the time the transfer ran, not the time the user spent at a question or
// the program stood stopped.
TEST(ProgressLineTest, TheRateLeavesOutQuestionsAndStops) {
    enum Kind { COUNT, HOLD, RELEASE, STOPPED };
    struct Event {
        Kind kind;
        uint64_t at; // ms
        int64_t value;
    };
    const uint64_t kMs = 1000;
    const struct {
        const char* name;
        std::vector<Event> events;
        uint64_t at;
        int64_t bytes;
        double rate;
    } cases[] = {
        {"from the first bytes", {{COUNT, 1000, 1000}}, 2000, 3048, 2048.0},
        {"none in the first half second", {{COUNT, 1000, 1000}}, 1400, 2000, 0.0},
        {"a question answered",
         {{COUNT, 1000, 1000}, {HOLD, 2000, 0}, {RELEASE, 12000, 0}},
         13000,
         5096,
         2048.0},
        {"a question still open", {{COUNT, 1000, 1000}, {HOLD, 2000, 0}}, 9000, 3048, 2048.0},
        {"stopped by Ctrl+Z", {{COUNT, 1000, 1000}, {STOPPED, 0, 10000}}, 13000, 5096, 2048.0},
        {"stopped at a question, left out once",
         {{COUNT, 1000, 1000}, {HOLD, 2000, 0}, {STOPPED, 0, 5000}, {RELEASE, 12000, 0}},
         13000,
         5096,
         2048.0},
        {"a question before the first bytes",
         {{HOLD, 500, 0}, {COUNT, 1000, 1000}, {RELEASE, 3000, 0}},
         4000,
         3048,
         2048.0},
    };
    for (const auto& c : cases) {
        ProgressClock clock;
        ProgressClockReset(&clock);
        for (const Event& e : c.events) {
            switch (e.kind) {
            case COUNT:
                ProgressClockCount(&clock, e.at * kMs, e.value);
                break;
            case HOLD:
            case RELEASE:
                ProgressClockHold(&clock, e.at * kMs, e.kind == HOLD);
                break;
            case STOPPED:
                ProgressClockLeaveOut(&clock, (uint64_t)e.value * kMs);
                break;
            }
        }
        EXPECT_DOUBLE_EQ(c.rate, ProgressClockRate(&clock, c.at * kMs, c.bytes)) << c.name;
    }
}

// The line counts the blocks that go out: a block the instrument has is neither sent nor
// in the total, whatever the engine's position over the whole file says.
TEST(ProgressLineTest, SkippedBlocksDoNotCountAsSent) {
    // Blocks of 1024 and 512 bytes after their 256-byte headers: the engine's position runs
    // 0 .. 2048 over the file.
    enum Kind { POSITION, STARTED, SENT, SKIPPED };
    struct Step {
        Kind kind;
        int64_t value; // a position, or the block's bytes
        int expected;  // SENT, SKIPPED: whether the total counted the block
        int64_t sent;
        int64_t total;
    };
    const struct {
        const char* name;
        int64_t total;
        std::vector<Step> steps;
    } cases[] = {
        {"both sent",
         2048,
         {{POSITION, 256, 0, 0, 2048},
          {STARTED, 0, 0, 0, 2048},
          {POSITION, 768, 0, 512, 2048},
          {POSITION, 1280, 0, 1024, 2048},
          {SENT, 1280, 1, 1280, 2048},
          {POSITION, 1536, 0, 1280, 2048},
          {STARTED, 0, 0, 1280, 2048},
          {POSITION, 2048, 0, 1792, 2048},
          {SENT, 768, 1, 2048, 2048}}},
        {"the first skipped",
         768,
         {{POSITION, 256, 0, 0, 768},
          {POSITION, 1280, 0, 0, 768},
          {SKIPPED, 1280, 0, 0, 768},
          {POSITION, 1536, 0, 0, 768},
          {STARTED, 0, 0, 0, 768},
          {POSITION, 2048, 0, 512, 768},
          {SENT, 768, 1, 768, 768}}},
        {"skipped against the inquiry's word",
         2048,
         {{POSITION, 256, 0, 0, 2048}, {POSITION, 1280, 0, 0, 2048}, {SKIPPED, 1280, 1, 0, 768}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressCount count;
        ProgressCountStart(&count, c.total);
        for (size_t i = 0; i < c.steps.size(); i++) {
            const Step& s = c.steps[i];
            if (s.kind == POSITION) {
                ProgressCountPosition(&count, s.value);
            } else if (s.kind == STARTED) {
                ProgressCountTransferStarted(&count);
            } else {
                ProgressCountBlockDone(&count, s.value, s.kind == SENT, s.expected);
            }
            EXPECT_EQ(s.sent, ProgressCountSent(&count)) << "step " << i;
            EXPECT_EQ(s.total, count.total) << "step " << i;
        }
    }
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

// An adapter is told by its stable name and the USB ids of the device above its tty in
// sysfs, wherever the tty hangs below it (ttyUSB under a port, ttyACM at the interface);
// the walk up for the ids ends at the sysfs root, and a built-in port has none.
TEST(SerialDeviceTest, NamesTheAdapterByIdAndUsbIds) {
    char folder[] = "/tmp/orv-sysfs-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string root = folder;
    const char* const tree[] = {
        // D folder, F file with its text, L link to its target; each made with its parents
        "F dev/ttyUSB0",
        "F dev/ttyUSB1",
        "F dev/ttyACM0",
        "F dev/ttyS0",
        "L dev/serial/by-id/usb-B_Adapter-if00-port0 ../../ttyUSB0",
        "L dev/serial/by-id/usb-A_Adapter-if00-port0 ../../ttyUSB0",
        "L dev/serial/by-id/usb-C_Gone-if00 ../../ttyUSB9",
        "D sys/devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0",
        "F sys/devices/pci0/usb1/1-1/idVendor 0403",
        "F sys/devices/pci0/usb1/1-1/idProduct 6001",
        "D sys/devices/pci0/usb1/1-2/1-2:1.0",
        "F sys/devices/pci0/usb1/1-2/idVendor 2341",
        "F sys/devices/pci0/usb1/1-2/idProduct 0043",
        "D sys/devices/platform/serial8250/ttyS0",
        "F idVendor 1111",
        "F idProduct 2222",
        "L sys/class/tty/ttyUSB0/device ../../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0",
        "L sys/class/tty/ttyACM0/device ../../../devices/pci0/usb1/1-2/1-2:1.0",
        "L sys/class/tty/ttyS0/device ../../../devices/platform/serial8250/ttyS0"};
    for (const char* entry : tree) {
        const std::string text = entry + 2;
        const size_t space = text.find(' ');
        const std::string path = root + "/" + text.substr(0, space);
        const std::string value = space == std::string::npos ? "" : text.substr(space + 1);
        const std::string folder = entry[0] == 'D' ? path : path.substr(0, path.rfind('/'));
        ASSERT_EQ(0, system(("mkdir -p '" + folder + "'").c_str()));
        if (entry[0] == 'L') {
            ASSERT_EQ(0, symlink(value.c_str(), path.c_str())) << path;
        } else if (entry[0] == 'F') {
            FILE* f = fopen(path.c_str(), "w");
            ASSERT_NE(nullptr, f) << path;
            fputs(value.c_str(), f);
            fclose(f);
        }
    }
    const struct {
        const char* device;
        const char* byId;
        int vendor;
        int product;
    } cases[] = {
        {"ttyUSB0", "/dev/serial/by-id/usb-A_Adapter-if00-port0", 0x0403, 0x6001},
        {"ttyACM0", "", 0x2341, 0x0043},
        {"ttyS0", "", -1, -1},
        {"ttyUSB1", "", -1, -1},
    };
    for (const auto& c : cases) {
        SerialDeviceInfo info;
        DescribeSerialDevice(root + "/dev/" + c.device, root + "/dev", root + "/sys", &info);
        EXPECT_EQ(c.byId[0] != '\0' ? root + c.byId : "", info.byId) << c.device;
        EXPECT_EQ(c.vendor, info.usbVendor) << c.device;
        EXPECT_EQ(c.product, info.usbProduct) << c.device;
    }
    EXPECT_EQ(0, system(("rm -rf '" + root + "'").c_str()));
}

// After a failed open the user reads the system's reason and what to do about it; a busy
// port names its holder, found under /proc: here this test, holding a terminal's far end.
TEST(OpenHintTest, SaysWhyAndWhatToDo) {
    const struct {
        int kind;
        const char* device;
        int error;
        const char* expected;
    } cases[] = {
        {HINT_SERIAL, "/dev/ttyUSB0", EACCES,
         "Permission denied: add yourself to the dialout group: sudo usermod -aG dialout $USER, "
         "then log in again; or install the udev rule 60-orvent.rules"},
        {HINT_MIDI, "hw:1,0", EACCES,
         "Permission denied: add yourself to the audio group: sudo usermod -aG audio $USER, "
         "then log in again; or install the udev rule 60-orvent.rules"},
        {HINT_SERIAL, "/dev/ttyUSB9", ENOENT, "No such file or directory: see orvent-update ports"},
        {HINT_MIDI, "hw:9,0", ENODEV, "No such device: see orvent-update ports"},
        {HINT_SERIAL, "/dev/no-such-tty", EBUSY,
         "Device or resource busy: another program holds it"},
        {HINT_MIDI, "ORVENT 1 SOUND", EBUSY, "Device or resource busy: another program holds it"},
        {HINT_SERIAL, "/dev/null", ENOTTY,
         "Inappropriate ioctl for device: /dev/null is no serial line"},
        {HINT_SERIAL, "/dev/ttyUSB0", 0, ""},
    };
    for (const auto& c : cases) {
        char hint[512];
        EXPECT_EQ(c.error != 0, FormatOpenHint(c.kind, c.device, c.error, hint, sizeof hint));
        EXPECT_STREQ(c.expected, hint) << c.device;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const std::string path = ptsname(master);
    char holder[256];
    EXPECT_EQ(0, FindDeviceHolder(path.c_str(), holder, sizeof holder)) << holder;
    const int held = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    char name[64] = "";
    FILE* comm = fopen("/proc/self/comm", "r");
    ASSERT_NE(nullptr, comm);
    ASSERT_NE(nullptr, fgets(name, sizeof name, comm));
    fclose(comm);
    name[strcspn(name, "\n")] = '\0';
    const std::string expected = "PID " + std::to_string(getpid()) + " (" + name + ")";
    EXPECT_EQ(1, FindDeviceHolder(path.c_str(), holder, sizeof holder));
    EXPECT_EQ(expected, holder);
    char hint[512];
    FormatOpenHint(HINT_SERIAL, path.c_str(), EBUSY, hint, sizeof hint);
    EXPECT_EQ("Device or resource busy: held by " + expected, std::string(hint));
    close(held);
    EXPECT_EQ(0, FindDeviceHolder(path.c_str(), holder, sizeof holder)) << holder;
    close(master);
}

} // namespace
