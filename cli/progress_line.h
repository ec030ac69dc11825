// The one-line progress display of the command-line program, as plain text: what it says
// depends only on the numbers given, so it is formatted apart from the terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// "<label>  [#####-----]  45%  11.0/24.5 KiB  8.1 KiB/s  0:02 left", cut to width
// characters. A rate of 0 (not known yet) leaves the rate and the time left out;
// position is clamped to 0..total.
void FormatProgressLine(char* out, size_t size, const char* label, int64_t position, int64_t total,
                        double bytesPerSecond, int width);

// "<label>: 40% (9800 of 24576 bytes)", for output that is no terminal.
void FormatProgressPlain(char* out, size_t size, const char* label, int64_t position,
                         int64_t total);

// Whole percent of position in total, 0 to 100.
int ProgressPercent(int64_t position, int64_t total);
