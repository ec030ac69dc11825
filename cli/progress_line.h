// The one-line progress display of the command-line program, as plain text: what it says
// depends only on the numbers given, so it is formatted, timed and counted apart from the
// terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// "<label>  [#####-----]  45%  11.0/24.5 KiB  8.1 KiB/s  0:02 left", at most width
// characters: on a narrow terminal the bar shrinks first, then goes, then the label goes,
// and only then is the rest cut. A rate of 0 (not known yet) leaves the rate and the
// time left out; position is clamped to 0..total.
void FormatProgressLine(char* out, size_t size, const char* label, int64_t position, int64_t total,
                        double bytesPerSecond, int width);

// "<label>: 40% (9800 of 24576 bytes)", for output that is no terminal.
void FormatProgressPlain(char* out, size_t size, const char* label, int64_t position,
                         int64_t total);

// Whole percent of position in total, 0 to 100.
int ProgressPercent(int64_t position, int64_t total);

// The clock of the rate: it starts with the first bytes counted, and leaves out the time
// the transfer stood still for the user (a question on screen, the program stopped by
// Ctrl+Z), so that neither makes the rate fall nor the time left grow. Times in
// microseconds of a monotonic clock.
struct ProgressClock {
    uint64_t startUs; // 0: not started
    int64_t startBytes;
    uint64_t leftOutUs;
    uint64_t heldSinceUs; // 0: not held
};

void ProgressClockReset(ProgressClock* clock);
// bytes counted so far; the first call with bytes above 0 starts the clock there.
void ProgressClockCount(ProgressClock* clock, uint64_t nowUs, int64_t bytes);
// From hold until release nothing is timed.
void ProgressClockHold(ProgressClock* clock, uint64_t nowUs, int hold);
// A stretch that passed without the program running; nothing while held (the hold leaves
// it out already).
void ProgressClockLeaveOut(ProgressClock* clock, uint64_t microseconds);
// Bytes per second since the clock started, or 0 while less than half a second was timed.
double ProgressClockRate(const ProgressClock* clock, uint64_t nowUs, int64_t bytes);

// What the line counts: the blocks that go out, each with its header, as they go. The
// engine's position runs over the whole file, blocks the instrument already has
// included; a skipped block counts neither as sent nor in the total.
struct ProgressCount {
    int64_t total;        // the blocks expected to go out
    int64_t done;         // blocks sent whole
    int64_t lastPosition; // the engine's latest position
    int64_t blockStart;   // the engine's position where the current block's packets began;
                          // -1 outside a transfer
};

void ProgressCountStart(ProgressCount* count, int64_t total);
void ProgressCountPosition(ProgressCount* count, int64_t position);
// The current block's packets begin to go out.
void ProgressCountTransferStarted(ProgressCount* count);
// The current block is done, sent or skipped; blockBytes is its header and data.
// expectedToSend tells whether the total counted it: the engine asks the instrument
// again, and may find otherwise.
void ProgressCountBlockDone(ProgressCount* count, int64_t blockBytes, int sent, int expectedToSend);
// Bytes sent so far.
int64_t ProgressCountSent(const ProgressCount* count);
