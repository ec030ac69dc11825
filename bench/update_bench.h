// update-bench: a whole update over one transport path, timed packet by packet.
#pragma once

#include <cstdint>

struct BenchOptions {
    uint32_t fileSize;   // data bytes of the one block
    uint32_t packetSize; // announced by the instrument
    int turnaroundMs;    // the instrument's reply delay
};

// A transport path: opens its transport against an instrument configured for options
// (protocol 1, block 1 at version 1.03), or returns 0 with errorText set; close ends it.
struct BenchPath {
    const char* name;
    int deviceType;
    int pauseMs; // the protocol's pause after each acknowledged packet
    int (*open)(const BenchOptions* options, char* errorText);
    void (*close)(void);
};

// The paths this build runs (native: serial, USB bulk, kernel MIDI; Windows: MIDI).
int BenchPaths(const BenchPath** paths);

// The process's CPU time (user + system) in microseconds.
int64_t BenchCpuMicroseconds(void);

// Windows only: process start to the first paint of the executable's main window in
// milliseconds, or -1; natively -1.
double BenchFirstPaintMs(const char* executable);

// The simulated drivers call the instrument on the protocol's thread: what it allocates
// is no part of the updater, so counting pauses while it runs.
void BenchPauseCounting(bool paused);

// The calling thread's identifier, without allocating.
uint64_t BenchThreadId(void);
