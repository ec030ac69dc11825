// What one run of update-soak is made of, and how it is chosen from its seed: the system
// file, the instrument, the transport, the engine's switches, the injected fault and the
// user's stop. The same seed always chooses the same run.
#pragma once

#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/sim_transport.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The waits the runs are given. A MIDI tick of 50 us makes the 300- and 5000-tick waits
// 15 ms and 250 ms; a reply of the instrument comes within 2 ms, or 8 ms when delayed on
// purpose, so every wait that should see a reply does, on the clock, however busy the
// machine is. A reply meant to be too late is due in ten minutes: no wait sees it.
const uint32_t kMidiTickUs = 50;
const uint32_t kSerialTimeoutMs = 100;
const uint32_t kUsbWaitLimitMs = 60;
const uint32_t kKernelTimeoutMs = 60;
const int kShortDelayMaxMs = 8;
const int kNeverDelayMs = 600000;
// A USB bulk read has no time-out: a late reply there is one that still comes.
const int kUsbLateDelayMs = 120;

const uint32_t kFlashSize = 512u * 1024u;

enum StopKind { STOP_NONE, STOP_CONTINUE, STOP_ABORT };

struct Scenario {
    uint64_t seed;
    int deviceType;
    int skipVersionCheck;
    int skipDeviceCheck;
    int showLog;
    std::vector<VsbBlock> blocks;
    std::vector<std::vector<unsigned char>> data; // each block's bytes
    uint32_t surplus;
    VirtualInstrumentConfig instrument;
    SimTransportConfig transport;
    StopKind stop;
    int stopAtMs;
    int stopHoldMs;
    std::vector<std::string> choices; // what was picked out of the ordinary, for --replay
};

// A product id as the file and the instrument hold it: unused trailing bytes are
// PRODUCT_ID_ABSENT.
struct Id {
    unsigned char bytes[3];
};

inline bool SoakSameId(const Id& a, const Id& b) {
    return std::memcmp(a.bytes, b.bytes, 3) == 0;
}

inline Id SoakIdOf(const unsigned char* bytes) {
    Id id;
    std::memcpy(id.bytes, bytes, 3);
    return id;
}

Scenario SoakChoose(uint64_t seed);

std::string SoakFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* SoakFaultName(VirtualFault fault);
