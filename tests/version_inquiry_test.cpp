// The version inquiry and the file analysis report, against the virtual instrument and
// the recording log view.
#include "logview/log_view.h"
#include "platform/platform_file.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "sysfile/system_file.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/sim_transport.h"
#include "tests/protocol_examples.h"
#include "tests/test_files.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

PlatformWindow const kWindow = reinterpret_cast<PlatformWindow>(0x1000);

class ViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RecordReset();
        RecordSetClientSize(494, 514);
        LogViewCreate(kWindow, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
        char errorText[TEXT_SIZE];
        ASSERT_EQ(AllocUpdateBuffers(errorText), 1);
        g_updateEngine.skipDeviceCheck = 0;
        VsbBlockDefaults(&block_);
        block_.dataSize = 256;
        path_ = TestTempPath("inquiry.vsb");
    }
    void TearDown() override {
        LogViewDestroy();
        FreeUpdateBuffers();
        TestRemoveFile(path_);
    }
    void WriteFile(int blocks = 1) {
        VsbBlock list[2] = {block_, block_};
        list[1].blockName[0] = 'X';
        char errorText[TEXT_SIZE];
        ASSERT_EQ(VsbWriteFile(path_.c_str(), list, blocks, 0, 0, errorText), 1) << errorText;
    }
    VsbBlock block_;
    std::string path_;
};

class InquireVersionTest : public ViewTest {
  protected:
    void SetUp() override {
        ViewTest::SetUp();
        VirtualInstrumentDefaultConfig(&instrument_);
        SimTransportDefaultConfig(&transport_);
        transport_.midiTickMs = 1;
        header_ = {};
        header_.productId[0] = 0x3C;
        header_.productId[1] = header_.productId[2] = 0xFF;
        header_.memberId = 0xFF;
        header_.blockCode = 1;
    }
    int Inquire(int fileMajor, int fileMinor, int major, int minor) {
        header_.versionMajor = (unsigned char)fileMajor;
        header_.versionMinor = (unsigned char)fileMinor;
        instrument_.versionMajor[1] = (unsigned char)major;
        instrument_.versionMinor[1] = (unsigned char)minor;
        VirtualInstrumentReset(&instrument_);
        SimTransportReset(&transport_);
        return InquireVersion(&header_, DEVICE_TYPE_MIDI, &answer_);
    }
    VirtualInstrumentConfig instrument_;
    SimTransportConfig transport_;
    SystemFileHeader header_;
    InstrumentAnswer answer_ = {};
};

// The timeoutTicks of every MIDI receive, in order.
std::vector<int> ReceiveTicks() {
    std::vector<int> out;
    SimTransportCall call;
    for (int i = 0; SimTransportGetCall(i, &call); i++) {
        if (call.operation == SIM_MIDI_RECEIVE) {
            out.push_back(call.timeoutTicks);
        }
    }
    return out;
}

struct VersionCase {
    int fileMajor, fileMinor, major, minor;
    int result;
    const char* row;
};

TEST_F(InquireVersionTest, ComparesAndShowsTheInstrumentsVersion) {
    const VersionCase cases[] = {
        {2, 5, 2, 3, INQUIRE_UPDATE_NEEDED, "Software Version : 2.03 (needs update)"},
        {2, 5, 2, 5, INQUIRE_UP_TO_DATE, "Software Version : 2.05"},
        {2, 5, 3, 0, INQUIRE_UP_TO_DATE, "Software Version : 3.00"},
        {3, 0, 2, 99, INQUIRE_UPDATE_NEEDED, "Software Version : 2.99 (needs update)"},
        {1, 0x80, 1, 0x7F, INQUIRE_UPDATE_NEEDED, "Software Version : 1.127 (needs update)"},
    };
    for (const VersionCase& c : cases) {
        InfoClearDetails();
        EXPECT_EQ(Inquire(c.fileMajor, c.fileMinor, c.major, c.minor), c.result);
        EXPECT_STREQ(RecordedDetailsRow(2), c.row);
        // The same answer as values, for a front end that shows no rows.
        EXPECT_EQ(answer_.versionMajor, c.major);
        EXPECT_EQ(answer_.versionMinor, c.minor);
        // 0.1 s for the inquiry, 50 s for the version request.
        EXPECT_EQ(ReceiveTicks(), (std::vector<int>{10, 5000}));
    }
    // The caller's record is never changed; the protocol code is the engine's now.
    EXPECT_EQ(header_.productId[0], 0x3C);
    EXPECT_EQ(g_updateEngine.protocolCode, 0);
}

TEST_F(InquireVersionTest, HandsBackWhatTheInstrumentToldOfItself) {
    instrument_.protocolCode = 1;
    instrument_.packetSize = 4096;
    instrument_.deviceFlags = DEVICE_FLAG_RAW | DEVICE_FLAG_FILL;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_UPDATE_NEEDED);
    EXPECT_EQ(answer_.inquiryRead, 1);
    EXPECT_EQ(answer_.inquiry.protocolCode, 1);
    EXPECT_EQ(answer_.inquiry.packetSize, 4096u);
    EXPECT_EQ(answer_.inquiry.deviceFlags, DEVICE_FLAG_RAW | DEVICE_FLAG_FILL);
    EXPECT_EQ(answer_.productId[0], 0x3C);
}

TEST_F(InquireVersionTest, InquiryCarriesTheMemberIdOnlyBelow0x80) {
    typedef std::vector<unsigned char> Bytes;
    const struct {
        unsigned char memberId;
        Bytes inquiry;
    } cases[] = {
        {0x05, ExampleMessage(Inquiry(0x05))},
        {0x80, ExampleInquiry()},
    };
    instrument_.memberId = 0x05;
    for (const auto& c : cases) {
        header_.memberId = c.memberId;
        EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_UPDATE_NEEDED);
        Bytes sent(64);
        sent.resize((size_t)VirtualInstrumentMessage(0, sent.data(), (int)sent.size()));
        EXPECT_EQ(sent, c.inquiry);
    }
}

TEST_F(InquireVersionTest, NoValidAnswerLeavesTheRowAsItWas) {
    InfoPutDetails(200, 2, "Software Version :", 1, 0, 1);
    instrument_.fault = VI_FAULT_NO_REPLY;
    instrument_.faultAt = 0;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_NO_ANSWER);
    EXPECT_STREQ(RecordedDetailsRow(2), "Software Version :");
    EXPECT_EQ(VirtualInstrumentMessageCount(), 1);

    instrument_.fault = VI_FAULT_NONE;
    instrument_.protocolCode = 2;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_NO_ANSWER);
    EXPECT_EQ(VirtualInstrumentMessageCount(), 1) << "no version request after code 2";
}

TEST_F(InquireVersionTest, AdoptsAnotherProductOnlyWhenTheDeviceCheckIsSkipped) {
    instrument_.productId[0] = 0x3D;
    instrument_.protocolCode = 1;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_NO_ANSWER);

    g_updateEngine.skipDeviceCheck = 1;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_UPDATE_NEEDED);
    EXPECT_EQ(g_updateEngine.protocolCode, 0) << "an adopted id resets the protocol code";
    unsigned char request[64];
    ASSERT_GT(VirtualInstrumentMessage(1, request, sizeof request), 5);
    EXPECT_EQ(request[3], 0x3D) << "the version is asked in the adopted id";
    EXPECT_EQ(header_.productId[0], 0x3C) << "only the inquiry's copy adopts it";

    // Yet another product id in the version reply gives no trustworthy version.
    instrument_.productId[0] = 0x3C;
    instrument_.fault = VI_FAULT_OTHER_PRODUCT;
    instrument_.faultAt = 1;
    instrument_.otherProductId[0] = 0x3E;
    instrument_.otherProductId[1] = instrument_.otherProductId[2] = 0xFF;
    EXPECT_EQ(Inquire(2, 5, 2, 3), INQUIRE_NO_ANSWER);
    g_updateEngine.skipDeviceCheck = 0;
}

class AnalyzeSystemFileTest : public ViewTest {};

TEST_F(AnalyzeSystemFileTest, DescribesTheFirstBlock) {
    TextCopy(block_.deviceName, sizeof block_.deviceName, "ORVENT 1");
    TextCopy(block_.blockName, sizeof block_.blockName, "SYSTEM");
    block_.versionMajor = 3;
    block_.versionMinor = 7;
    WriteFile(2);
    SystemFileHeader header = {};
    ASSERT_EQ(AnalyzeSystemFile(path_.c_str(), &header), 1);
    EXPECT_STREQ(RecordedDetailsRow(0), "Name : ORVENT 1");
    EXPECT_STREQ(RecordedDetailsRow(1), "Block : SYSTEM");
    EXPECT_STREQ(RecordedDetailsRow(2), "Software Version :");
    EXPECT_STREQ(RecordedDetailsRow(3), "Latest Software Version : 3.07");
    EXPECT_STREQ(RecordedLogRow(0), path_.c_str());
    EXPECT_STREQ(header.blockName, "SYSTEM");
    EXPECT_FALSE(header.isLastBlock);

    // Labels end at x 200 of the details block (310 in the window); values start at 210.
    RecordedRun runs[4];
    ASSERT_EQ(RecordedRuns(RECORD_SURFACE_INFO, 20, runs, 4), 2);
    EXPECT_EQ(runs[0].x + runs[0].width, 310);
    EXPECT_TRUE(runs[0].bold);
    EXPECT_EQ(runs[1].x, 320);
    EXPECT_FALSE(runs[1].bold);
}

TEST_F(AnalyzeSystemFileTest, FailuresShowTheirOwnTextsAndKeepTheHeader) {
    SystemFileHeader header = {};
    header.blockCode = 0x55;

    const std::string missing = TestTempPath("no_such_file.vsb");
    EXPECT_EQ(AnalyzeSystemFile(missing.c_str(), &header), 0);
    EXPECT_STREQ(RecordedDetailsRow(0), "File Open Error");
    EXPECT_EQ(std::string(RecordedLogRow(0)), "File Open Error - " + missing);

    ASSERT_TRUE(TestWriteFile(path_, std::vector<unsigned char>(100, 0x4D)));
    EXPECT_EQ(AnalyzeSystemFile(path_.c_str(), &header), 0);
    EXPECT_STREQ(RecordedDetailsRow(0), "File Analyze Error");
    EXPECT_EQ(std::string(RecordedLogRow(0)), "File Analyze  Error - " + path_);
    EXPECT_STREQ(RecordedLogRow(1), "");

    // A file another program holds cannot be opened: on Windows it is opened without
    // sharing; elsewhere readers share it, and one that writes it keeps them out.
    WriteFile();
#ifdef _WIN32
    PlatformFile held = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(held, PLATFORM_FILE_NONE);
#else
    const int writer = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(flock(writer, LOCK_EX | LOCK_NB), 0);
#endif
    EXPECT_EQ(AnalyzeSystemFile(path_.c_str(), &header), 0);
    EXPECT_STREQ(RecordedDetailsRow(0), "File Open Error");
#ifdef _WIN32
    PlatformFileClose(&held);
#else
    close(writer);
#endif

    EXPECT_EQ(header.blockCode, 0x55);
    // The analysis closed what it opened: the file opens again.
    EXPECT_EQ(AnalyzeSystemFile(path_.c_str(), &header), 1);
}

} // namespace
