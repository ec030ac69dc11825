// The model of a soak run: what the run must come to, worked out without the engine. It
// walks the file as the updater does and answers each message as the instrument does, on
// abstract replies, and reads them through the waiting rules of the run's transport.
#pragma once

#include "sim/soak_scenario.h"

#include <cstdint>
#include <string>
#include <vector>

struct Prediction {
    bool success;
    std::string text;                     // the failure's text
    int messages;                         // complete messages the instrument gets
    int sends;                            // send calls, the failing one included
    std::vector<uint32_t> packetsWritten; // per block
    std::vector<bool> toSend;             // per block: not skipped as current
    uint32_t packetSize;                  // the size the packets have (0: none sent)
    int packets;                          // data and fill packets the instrument got
    int64_t estimateMs;                   // how long the run should take, roughly
    bool faultReached;
};

Prediction SoakPredict(const Scenario& s);

// The updater's wording of a status byte below the extended ones.
const char* SoakStatusText(int status);
