// A whole update over the serial port: the update engine and the real serial transport
// on one side of a pseudo-terminal, the serial-instrument tool on the other. The flash
// image the tool dumps at its end is compared with the system file's blocks.
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "transports/serial_port.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// The flash range the tool dumps: every block of the file below lies inside it.
const uint32_t kDumpLength = 0x30400;

struct SerialUpdateCase {
    const char* name;
    int baudRate;
    std::vector<std::string> instrument; // the tool's options
    std::vector<std::string> seen;       // lines the tool must have printed
};

void PrintTo(const SerialUpdateCase& c, std::ostream* os) {
    *os << c.name;
}

const SerialUpdateCase kCases[] = {
    // 7-bit packed packets, three blocks placed by the instrument itself.
    {"Protocol0Packed",
     31250,
     {"--protocol", "0", "--packet-size", "256", "--block-address", "1=0,2=0x10000,3=0x30000"},
     {"Rx data packet 0, 302 bytes\n"}},
    // Raw packets carry every byte value, 0xF7, 0xF8 and 0xFF among them, and the
    // instrument writes in a second phase with progress replies.
    {"Protocol1RawTwoPhase",
     57600,
     {"--protocol", "1", "--packet-size", "1024", "--flags", "1", "--write-steps", "3"},
     {"Rx data packet 0, 1035 bytes\n"}},
    // Fill packets for the runs of equal bytes, and line noise before a reply.
    {"Protocol0RawFillWithGarbage",
     38400,
     {"--protocol", "0", "--packet-size", "256", "--flags", "3", "--block-address",
      "1=0,2=0x10000,3=0x30000", "--fault", "garbage-before", "--fault-at", "4"},
     {"Rx data packet 0, 265 bytes\n", "Rx fill packet 4, 10 bytes\n"}},
};

std::string FileText(const std::string& path) {
    Bytes bytes = TestReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

class SerialUpdateTest : public ::testing::TestWithParam<SerialUpdateCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(TestEngineSetUp(nullptr, DEVICE_TYPE_SERIAL));
        filePath_ = TestTempPath("serial_update.vsb");
        dumpPath_ = TestTempPath("serial_flash.bin");
        outputPath_ = TestTempPath("serial_instrument.txt");
        blocks_.push_back(TestRandomBlock(1, 1, 5, 0x0000, 2048));
        blocks_.push_back(TestRandomBlock(2, 2, 1, 0x10000, 4096));
        blocks_.push_back(TestRandomBlock(3, 1, 10, 0x30000, 1024));
        // Runs of equal bytes, sent as fill packets when the instrument takes them.
        blocks_[1].runCount = 1;
        blocks_[1].runs[0] = {1024, 512, 0xFF};
        blocks_[2].runCount = 1;
        blocks_[2].runs[0] = {0, 256, 0xF7};
    }

    void TearDown() override {
        SerialClose();
        StopInstrument();
        TestEngineTearDown();
        TestRemoveFile(filePath_);
        TestRemoveFile(dumpPath_);
        TestRemoveFile(outputPath_);
    }

    // Starts the tool with its output in a file and returns the line's path, the first
    // line the tool prints.
    std::string StartInstrument(const SerialUpdateCase& c) {
        std::vector<std::string> args = {SERIAL_INSTRUMENT_PATH,
                                         "--baud",
                                         std::to_string(c.baudRate),
                                         "--version",
                                         "1=1.03,2=2.00,3=1.00",
                                         "--flash-dump",
                                         dumpPath_,
                                         "--flash-range",
                                         "0:" + std::to_string(kDumpLength)};
        args.insert(args.end(), c.instrument.begin(), c.instrument.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        instrument_ = fork();
        if (instrument_ == 0) {
            int out = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
            std::string text = FileText(outputPath_);
            size_t end = text.find('\n');
            if (end != std::string::npos) {
                return text.substr(0, end);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "serial-instrument did not start";
        return "";
    }

    // Ends the tool the way a user would; it prints its summary and dumps its flash.
    int StopInstrument() {
        if (instrument_ <= 0) {
            return -1;
        }
        kill(instrument_, SIGTERM);
        int status = 0;
        waitpid(instrument_, &status, 0);
        instrument_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<VsbBlock> blocks_;
    std::string filePath_;
    std::string dumpPath_;
    std::string outputPath_;
    pid_t instrument_ = -1;
};

TEST_P(SerialUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    const SerialUpdateCase& c = GetParam();
    ASSERT_TRUE(TestWriteSystemFile(filePath_, blocks_));
    std::string line = StartInstrument(c);
    ASSERT_FALSE(line.empty());
    setenv("ORV_COM1", line.c_str(), 1);

    char errorText[PATH_SIZE] = "";
    ASSERT_EQ(1, SerialOpen(1, c.baudRate, errorText)) << errorText;
    TextCopy(g_updateEngine.fileName, sizeof g_updateEngine.fileName, filePath_.c_str());
    EXPECT_EQ(1, RunUpdate());
    EXPECT_TRUE(TestLogHas("Update Completed!"));
    SerialClose();

    ASSERT_EQ(0, StopInstrument()) << FileText(outputPath_);
    Bytes flash = TestReadFile(dumpPath_);
    ASSERT_EQ(flash.size(), kDumpLength);
    uint32_t total = 0;
    for (const VsbBlock& b : blocks_) {
        ExpectImageHoldsBlock(b, flash);
        total += b.dataSize;
    }
    std::string output = FileText(outputPath_);
    EXPECT_NE(std::string::npos, output.find("written " + std::to_string(total) + "\n"));
    for (const std::string& line : c.seen) {
        EXPECT_NE(std::string::npos, output.find(line)) << line;
    }
}

class SerialStopTest : public SerialUpdateTest {};

TEST_F(SerialStopTest, AbortEndsTheWaitForASilentInstrument) {
    ASSERT_TRUE(TestWriteSystemFile(filePath_, blocks_));
    const SerialUpdateCase silent = {
        "Silent", 38400, {"--fault", "silent-from-packet", "--fault-at", "2"}, {}};
    std::string line = StartInstrument(silent);
    ASSERT_FALSE(line.empty());
    setenv("ORV_COM1", line.c_str(), 1);
    char errorText[PATH_SIZE] = "";
    ASSERT_EQ(1, SerialOpen(1, silent.baudRate, errorText)) << errorText;
    // A 10 s read time-out would otherwise hold the Stop dialog.
    EXPECT_LT(TestAbortRunningUpdate(filePath_.c_str(), DEVICE_TYPE_SERIAL, 500), 2000);
}

INSTANTIATE_TEST_SUITE_P(Line, SerialUpdateTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SerialUpdateCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
