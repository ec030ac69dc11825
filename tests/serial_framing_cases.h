// What arrives on the line and what one SerialReceive makes of it. The framing is portable
// and runs over the fake OS half of serial_framing_test.cpp; the cases whose bytes a serial
// driver could act upon also run over each real OS half, which must hand them over as
// they came.
#pragma once

#include "transports/serial_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

struct FramingCase {
    const char* name;
    std::vector<unsigned char> line;
    int maxLength;
    int result;
    std::vector<unsigned char> message; // the buffer's first bytes after the receive
    bool driverBytes; // NUL, line ends, flow control, interrupt, erase: run on real lines too
};

inline void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

static const FramingCase kFramingCases[] = {
    {"ZeroBeforeStartIsTimeOut", {0x41, 0x00, 0xF0, 0x42, 0xF7}, 1024, -1, {}, false},
    {"RealTimeBytesDropped",
     {0xF0, 0x42, 0xF8, 0x23, 0xFF, 0xF7},
     1024,
     1,
     {0xF0, 0x42, 0x23, 0xF7},
     false},
    {"BytesBeforeStartDropped",
     {0xF7, 0xFE, 0x12, 0x80, 0xF8, 0xFF, 0xF0, 0x42, 0xFE, 0xF7},
     1024,
     1,
     {0xF0, 0x42, 0xFE, 0xF7},
     false},
    {"ZeroAndStartInsideMessageStored",
     {0xF0, 0x00, 0xF0, 0x05, 0xF7},
     1024,
     1,
     {0xF0, 0x00, 0xF0, 0x05, 0xF7},
     true},
    {"LineControlBytesPassUnchanged",
     {0xF0, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xF7},
     1024,
     1,
     {0xF0, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xF7},
     true},
    {"MaxLengthCutsMessage", {0xF0, 0x42, 0x23, 0x30, 0xF7}, 3, 1, {0xF0, 0x42, 0x23}, false},
    {"EndByteFitsBehindShorterMessage", {0xF0, 0x42, 0xF7}, 3, 1, {0xF0, 0x42, 0xF7}, false},
    {"MaxLengthOneKeepsStartOnly", {0xF0, 0xF7}, 1, 1, {0xF0}, false},
};

// The cases a real OS half runs.
inline std::vector<FramingCase> DriverByteCases() {
    std::vector<FramingCase> cases;
    for (const FramingCase& c : kFramingCases) {
        if (c.driverBytes) {
            cases.push_back(c);
        }
    }
    return cases;
}

inline std::string FramingCaseName(const ::testing::TestParamInfo<FramingCase>& info) {
    return info.param.name;
}

// With the case's line already sent to the open port: one receive, and nothing written
// past the message (its end byte included) or past maxLength.
inline void ExpectReceiveFrames(const FramingCase& c) {
    unsigned char buffer[64];
    memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(SerialReceive(buffer, c.maxLength), c.result);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + c.message.size()), c.message);
    for (size_t i = c.message.size(); i < sizeof buffer; i++) {
        ASSERT_EQ(buffer[i], 0xAA) << "byte " << i;
    }
}
