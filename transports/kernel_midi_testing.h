// What tests and the benchmarks see of the kernel USB-MIDI driver transport beyond its
// operations: the device list the scans keep, the ring's fill, and the state they reset
// between runs. The product calls none of these.
#pragma once

#include "transports/kernel_midi.h"

#include <cstdint>

struct KernelMidiDevice {
    int32_t deviceId;       // the model's identifier, from the driver
    int32_t deviceNumber;   // n of "\\.\VMPRT%d"
    int32_t instanceNumber; // 1, 2, ... among devices of one model; 0 until given
};

// Entry number of the device list kept across scans; 0 for a number outside 0 to 7.
int KernelMidiGetDevice(int number, KernelMidiDevice* out);

// Bytes the reader thread has put in the ring and the receiver not yet taken.
int KernelMidiAvailable(void);

// The number of 2 ms polls before a block counts as not arrived (5000 at start), so a
// test of a silent driver need not wait the product's 10 s.
void KernelMidiSetPollLimit(int polls);

// The device scan state as the process starts.
void KernelMidiScanReset(void);
