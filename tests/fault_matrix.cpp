#include "tests/fault_matrix.h"

#include "tests/doubles/log_surface_record.h"
#include "tests/update_test_support.h"
#include "update/transport.h"
#include "update/update_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

const FaultRow kFaultRows[] = {
    {"NoInquiryReply", VI_FAULT_NO_REPLY, 0, 0, "", 0, -1, 0, "", SILENCE, 0, 0},
    {"OtherProduct", VI_FAULT_OTHER_PRODUCT, 0, 0, "", 0, -1, 0, "Rx Msg Error(Product ID Error)",
     SILENCE_NONE, 0, 0},
    {"WrongCodeForTheVersion", VI_FAULT_WRONG_CODE, 1, 0, "", 0, -1, 0,
     "Rx Msg Error(Msg Code Error)", SILENCE_NONE, 1, 0},
    {"SetModeNotSent", VI_FAULT_NONE, 0, 0, "", 0, 2, 0, "Transmit Error", SILENCE_NONE, 1, 0},
    {"SetModeRefused", VI_FAULT_REFUSE_MESSAGE, 2, 4, "", 0, -1, 0,
     "Rx Status Error : Block Code Error", SILENCE_NONE, 2, 0},
    {"SetModeUnanswered", VI_FAULT_NO_REPLY, 2, 0, "", 0, -1, 0, "", SILENCE, 2, 0},
    {"UnknownStatus", VI_FAULT_STATUS, 0, 0x0C, "", 0, -1, 0, "Rx Status Error : Unknown Error",
     SILENCE_NONE, 3, 0},
    {"ExtendedStatus", VI_FAULT_EXTENDED_STATUS, 1, 0x41, "Flash busy", 0, -1, 0,
     "Rx Status Error(Exp) : 0x41Flash busy", SILENCE_NONE, 4, 1},
    {"AcknowledgementLost", VI_FAULT_NO_REPLY, 4, 0, "", 0, -1, 0, "", SILENCE, 4, 2},
    {"ChecksumStatus", VI_FAULT_STATUS, 2, 6, "", 0, -1, 0, "Rx Status Error : Checksum Error",
     SILENCE_NONE, 5, 2},
    {"SwitchedOff", VI_FAULT_SILENT_FROM_PACKET, 2, 0, "", 0, -1, 0, "", SILENCE, 5, 2},
    {"WrongCodeForAPacket", VI_FAULT_WRONG_CODE, 5, 0, "", 0, -1, 0, "Rx Msg Error(Msg Code Error)",
     SILENCE_NONE, 5, 3},
    {"HighestStatusAtTheLastPacket", VI_FAULT_STATUS, 3, 0x3F, "", 0, -1, 0,
     "Rx Status Error : Unknown Error", SILENCE_NONE, 6, 3},
    {"WritingStalls", VI_FAULT_WRITE_STALLS, 2, 0, "", 4, -1, 0, "", SILENCE, 6, 3},
    {"GarbageBeforeAnAcknowledgement", VI_FAULT_GARBAGE_BEFORE, 3, 0, "", 0, -1, 0, nullptr,
     SILENCE_NONE, 6, 4},
    {"SlowSetModeReply", VI_FAULT_DELAY, 2, 0, "", 0, -1, 1, nullptr, SILENCE_NONE, 6, 4},
    {"SlowWriting", VI_FAULT_DELAY, 6, 0, "", 3, -1, 1, nullptr, SILENCE_NONE, 6, 4},
};

const size_t kFaultRowCount = sizeof kFaultRows / sizeof kFaultRows[0];

void PrintTo(const FaultRow& row, std::ostream* os) {
    *os << row.name;
}

namespace {

// Cells that end otherwise than their row, and why.
struct PathException {
    const char* row;
    int deviceType;
    const char* expected;
    int lastMessage;
    int acknowledged;
};

const PathException kPathExceptions[] = {
    // One USB bulk read is one reply: bytes before it are the reply, and not a message.
    {"GarbageBeforeAnAcknowledgement", DEVICE_TYPE_USB_BULK, "Rx Msg Error(0:Not Exclusive)", 3, 1},
    // The kernel driver's receiver takes only System Exclusive event packets: anything
    // else fails the receive.
    {"GarbageBeforeAnAcknowledgement", DEVICE_TYPE_KERNEL_MIDI, "Recieve Error", 3, 1},
};

} // namespace

FaultRow FaultRowOnPath(const FaultRow& row, int deviceType) {
    FaultRow c = row;
    if (c.silence == SILENCE) {
        c.expected = deviceType == DEVICE_TYPE_SERIAL || deviceType == DEVICE_TYPE_MIDI
                         ? "Recieve Error(Timeout)"
                         : "Recieve Error";
    }
    for (const PathException& x : kPathExceptions) {
        if (std::strcmp(x.row, c.name) == 0 && x.deviceType == deviceType) {
            c.expected = x.expected;
            c.lastMessage = x.lastMessage;
            c.acknowledged = x.acknowledged;
        }
    }
    return c;
}

VsbBlock FaultMatrixBlock(void) {
    return TestRandomBlock(1, 1, 5, 0, 1024);
}

void FaultMatrixInstrument(const FaultRow& row, int protocolCode, bool rawOffered,
                           VirtualInstrumentConfig* instrument) {
    VirtualInstrumentDefaultConfig(instrument);
    instrument->versionMajor[1] = 1;
    instrument->versionMinor[1] = 3;
    instrument->protocolCode = protocolCode;
    instrument->deviceFlags = rawOffered ? DEVICE_FLAG_RAW : 0;
    instrument->writeSteps = row.writeSteps;
    instrument->blockDataSize[1] = 1024; // protocol 0 learns where the block ends
    instrument->flashSize = 0x10000;
    instrument->fault = row.fault;
    instrument->faultAt = row.at;
    instrument->faultStatus = row.status;
    instrument->faultDelayMs = 50;
    std::strncpy(instrument->faultText, row.text, sizeof instrument->faultText - 1);
    instrument->otherProductId[0] = 0x3D;
    instrument->otherProductId[1] = instrument->otherProductId[2] = 0xFF;
}

void ExpectRunEndedAs(const FaultRow& row) {
    EXPECT_EQ(TestLogHas("Update Completed!"), row.expected == nullptr);
    if (row.expected != nullptr) {
        EXPECT_STREQ(RecordedStatusRow(0), row.expected);
        EXPECT_TRUE(TestLogHas(row.expected)) << "log lacks " << row.expected;
    }
}

void ExpectInstrumentAfterFault(const FaultRow& row, int deviceType, bool rawOffered) {
    EXPECT_EQ(VirtualInstrumentMessageCount(), row.lastMessage + 1);
    if (row.lastMessage >= 2) {
        // MIDI cannot carry raw data: the offer is declined there.
        std::vector<unsigned char> setMode(VI_MAX_MESSAGE);
        ASSERT_GT(VirtualInstrumentMessage(2, setMode.data(), (int)setMode.size()), 5);
        EXPECT_EQ(setMode[5], rawOffered && deviceType != DEVICE_TYPE_MIDI ? 1 : 0);
    }
    const VsbBlock b = FaultMatrixBlock();
    const uint32_t written = (uint32_t)row.acknowledged * 256;
    EXPECT_EQ(VirtualInstrumentPacketCount(), row.acknowledged);
    EXPECT_EQ(VirtualInstrumentFlashWrittenCount(0, 0x10000), written);
    std::vector<unsigned char> flash(written);
    ASSERT_EQ(VirtualInstrumentFlashRead(b.address + b.offset, flash.data(), written), 1);
    std::vector<unsigned char> data = TestBlockData(b);
    EXPECT_EQ(flash, std::vector<unsigned char>(data.begin(), data.begin() + written));
}
