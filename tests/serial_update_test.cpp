// A whole update over the serial port: the update engine and the real serial transport
// on one side of a pseudo-terminal, the serial-instrument tool on the other. The flash
// image the tool dumps at its end is compared with the system file's blocks.
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/test_files.h"
#include "tests/transport_paths.h"
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
    PathInstrument instrument;
    std::vector<std::string> seen; // lines the tool must have printed
};

void PrintTo(const SerialUpdateCase& c, std::ostream* os) {
    *os << c.instrument.name;
}

const SerialUpdateCase kCases[] = {
    // 7-bit packed packets, three blocks placed by the instrument itself.
    {{"Protocol0Packed", 0, 256, 0, 0, nullptr, 0, 31250}, {"Rx data packet 0, 302 bytes\n"}},
    // Raw packets carry every byte value, 0xF7, 0xF8 and 0xFF among them, and the
    // instrument writes in a second phase with progress replies.
    {{"Protocol1RawTwoPhase", 1, 1024, DEVICE_FLAG_RAW, 3, nullptr, 0, 57600},
     {"Rx data packet 0, 1035 bytes\n"}},
    // Fill packets for the runs of equal bytes, and line noise before a reply.
    {{"Protocol0RawFillWithGarbage", 0, 256, DEVICE_FLAG_RAW | DEVICE_FLAG_FILL, 0,
      "garbage-before", 4, 38400},
     {"Rx data packet 0, 265 bytes\n", "Rx fill packet 4, 10 bytes\n"}},
};

std::string FileText(const std::string& path) {
    Bytes bytes = TestReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// serial-instrument at the far end of its pseudo-terminal, its output and flash dump in
// files of the test's.
struct InstrumentTool {
    pid_t pid;
    std::string dumpPath;
    std::string outputPath;
};

InstrumentTool s_tool = {-1, "", ""};

// Starts the tool and returns the line's path, the first line the tool prints.
std::string StartTool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    s_tool.pid = fork();
    if (s_tool.pid == 0) {
        int out = open(s_tool.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::string text = FileText(s_tool.outputPath);
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
int StopTool() {
    if (s_tool.pid <= 0) {
        return -1;
    }
    kill(s_tool.pid, SIGTERM);
    int status = 0;
    waitpid(s_tool.pid, &status, 0);
    s_tool.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool OpenToolLine(const PathInstrument& instrument, const std::vector<VsbBlock>& blocks) {
    std::vector<std::string> args = {SERIAL_INSTRUMENT_PATH,
                                     "--baud",
                                     std::to_string(instrument.baudRate),
                                     "--flash-dump",
                                     s_tool.dumpPath,
                                     "--flash-range",
                                     "0:" + std::to_string(kDumpLength)};
    for (const PathSetting& s : PathInstrumentSettings(instrument, blocks)) {
        args.insert(args.end(), {std::string("--") + s.option, s.value});
    }
    std::string line = StartTool(args);
    if (line.empty()) {
        return false;
    }
    setenv("ORV_COM1", line.c_str(), 1);
    char errorText[PATH_SIZE] = "";
    const int opened = SerialOpen(1, instrument.baudRate, errorText);
    EXPECT_EQ(1, opened) << errorText;
    return opened == 1;
}

bool CloseToolLine(void) {
    SerialClose();
    const int status = StopTool();
    EXPECT_EQ(0, status) << FileText(s_tool.outputPath);
    Bytes flash = TestReadFile(s_tool.dumpPath);
    EXPECT_EQ(flash.size(), kDumpLength);
    TestSetFlashImage(flash);
    return status == 0 && flash.size() == kDumpLength;
}

const TransportPath kSerialPath = {"Serial",      DEVICE_TYPE_SERIAL, OpenToolLine, nullptr,
                                   CloseToolLine, TestFlashImageRead, nullptr,      nullptr,
                                   nullptr};

class SerialUpdateTest : public ::testing::TestWithParam<SerialUpdateCase> {
  protected:
    void SetUp() override {
        s_tool.dumpPath = TestTempPath("serial_flash.bin");
        s_tool.outputPath = TestTempPath("serial_instrument.txt");
    }

    void TearDown() override {
        SerialClose();
        StopTool();
        TestRemoveFile(s_tool.dumpPath);
        TestRemoveFile(s_tool.outputPath);
    }
};

TEST_P(SerialUpdateTest, FileOfSeveralBlocksEndsUpInTheInstrumentsFlash) {
    const SerialUpdateCase& c = GetParam();
    std::vector<VsbBlock> blocks = TestSeveralBlocks();
    // Runs of equal bytes, sent as fill packets when the instrument takes them.
    blocks[1].runCount = 1;
    blocks[1].runs[0] = {1024, 512, 0xFF};
    blocks[2].runCount = 1;
    blocks[2].runs[0] = {0, 256, 0xF7};
    ExpectWholeUpdate(kSerialPath, c.instrument, blocks);
    uint32_t total = 0;
    for (const VsbBlock& b : blocks) {
        total += b.dataSize;
    }
    std::string output = FileText(s_tool.outputPath);
    EXPECT_NE(std::string::npos, output.find("written " + std::to_string(total) + "\n"));
    for (const std::string& line : c.seen) {
        EXPECT_NE(std::string::npos, output.find(line)) << line;
    }
}

class SerialStopTest : public SerialUpdateTest {};

TEST_F(SerialStopTest, AbortEndsTheWaitForASilentInstrument) {
    ExpectAbortEndsTheWaitForASilentInstrument(kSerialPath);
}

INSTANTIATE_TEST_SUITE_P(Line, SerialUpdateTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SerialUpdateCase>& info) {
                             return std::string(info.param.instrument.name);
                         });

} // namespace
