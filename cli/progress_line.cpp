#include "cli/progress_line.h"

#include "platform/text.h"

#include <cstring>

namespace {

const int kBarCells = 20;
// A bar of fewer cells says nothing the percent does not: below this it goes.
const int kBarCellsMin = 4;
// Below this much timed transfer a rate would be mostly noise.
const uint64_t kRateMinUs = 500000;

int64_t Clamp(int64_t position, int64_t total) {
    if (position < 0 || total <= 0) {
        return 0;
    }
    return position > total ? total : position;
}

void FormatKiB(char* out, size_t size, double bytes) {
    TextFormat(out, size, "%.1f", bytes / 1024.0);
}

// "[####----] " of cells cells.
void FormatBar(char* out, size_t size, int cells, int64_t done, int64_t total) {
    char bar[kBarCells + 1];
    const int filled = total > 0 ? (int)(done * cells / total) : 0;
    for (int i = 0; i < cells; i++) {
        bar[i] = i < filled ? '#' : '-';
    }
    bar[cells] = '\0';
    TextFormat(out, size, "[%s] ", bar);
}

} // namespace

int ProgressPercent(int64_t position, int64_t total) {
    if (total <= 0) {
        return 0;
    }
    return (int)(Clamp(position, total) * 100 / total);
}

void FormatProgressLine(char* out, size_t size, const char* label, int64_t position, int64_t total,
                        double bytesPerSecond, int width) {
    const int64_t done = Clamp(position, total);
    char doneKiB[32];
    char totalKiB[32];
    FormatKiB(doneKiB, sizeof doneKiB, (double)done);
    FormatKiB(totalKiB, sizeof totalKiB, (double)total);
    // The numbers, which the line is for: the bar and the label give way to them.
    char numbers[TEXT_SIZE];
    TextFormat(numbers, sizeof numbers, "%3d%%  %s/%s KiB", ProgressPercent(done, total), doneKiB,
               totalKiB);
    if (bytesPerSecond > 0.0) {
        const long left = (long)((double)(total - done) / bytesPerSecond + 0.5);
        char rateKiB[32];
        FormatKiB(rateKiB, sizeof rateKiB, bytesPerSecond);
        char tail[96];
        TextFormat(tail, sizeof tail, "  %s KiB/s  %ld:%02ld left", rateKiB, left / 60, left % 60);
        TextAppend(numbers, sizeof numbers, tail);
    }
    const int labelLength = (int)strlen(label);
    const int numbersLength = (int)strlen(numbers);
    // "<label>  [" cells "] " numbers
    int cells = kBarCells;
    if (width > 0 && labelLength + 2 + cells + 3 + numbersLength > width) {
        cells = width - labelLength - 2 - 3 - numbersLength;
    }
    char line[TEXT_SIZE];
    if (cells >= kBarCellsMin) {
        char bar[kBarCells + 4];
        FormatBar(bar, sizeof bar, cells, done, total);
        TextFormat(line, sizeof line, "%s  %s%s", label, bar, numbers);
    } else {
        const char* bare = numbers;
        while (*bare == ' ') {
            bare++;
        }
        if (width <= 0 || labelLength + 2 + (int)strlen(bare) <= width) {
            TextFormat(line, sizeof line, "%s  %s", label, bare);
        } else {
            TextCopy(line, sizeof line, bare);
        }
    }
    if (width > 0 && (size_t)width < sizeof line) {
        line[width] = '\0';
    }
    TextCopy(out, size, line);
}

void FormatProgressPlain(char* out, size_t size, const char* label, int64_t position,
                         int64_t total) {
    TextFormat(out, size, "%s: %d%% (%lld of %lld bytes)", label, ProgressPercent(position, total),
               (long long)Clamp(position, total), (long long)(total > 0 ? total : 0));
}

void ProgressClockReset(ProgressClock* clock) {
    *clock = ProgressClock{0, 0, 0, 0};
}

void ProgressClockCount(ProgressClock* clock, uint64_t nowUs, int64_t bytes) {
    if (clock->startUs == 0 && bytes > 0) {
        // The first bytes are not yet timed: the clock starts as they are counted.
        clock->startUs = nowUs;
        clock->startBytes = bytes;
    }
}

namespace {

// The part of the current hold that the clock has run through.
uint64_t HeldUs(const ProgressClock* clock, uint64_t nowUs) {
    if (clock->heldSinceUs == 0 || clock->startUs == 0) {
        return 0;
    }
    const uint64_t since =
        clock->heldSinceUs > clock->startUs ? clock->heldSinceUs : clock->startUs;
    return nowUs > since ? nowUs - since : 0;
}

} // namespace

void ProgressClockHold(ProgressClock* clock, uint64_t nowUs, int hold) {
    if (hold) {
        if (clock->heldSinceUs == 0) {
            clock->heldSinceUs = nowUs;
        }
        return;
    }
    clock->leftOutUs += HeldUs(clock, nowUs);
    clock->heldSinceUs = 0;
}

void ProgressClockLeaveOut(ProgressClock* clock, uint64_t microseconds) {
    if (clock->heldSinceUs == 0 && clock->startUs != 0) {
        clock->leftOutUs += microseconds;
    }
}

double ProgressClockRate(const ProgressClock* clock, uint64_t nowUs, int64_t bytes) {
    if (clock->startUs == 0 || nowUs <= clock->startUs || bytes <= clock->startBytes) {
        return 0.0;
    }
    const uint64_t leftOut = clock->leftOutUs + HeldUs(clock, nowUs);
    const uint64_t elapsed = nowUs - clock->startUs;
    if (elapsed <= leftOut || elapsed - leftOut < kRateMinUs) {
        return 0.0;
    }
    return (double)(bytes - clock->startBytes) * 1e6 / (double)(elapsed - leftOut);
}

void ProgressCountStart(ProgressCount* count, int64_t total) {
    *count = ProgressCount{total, 0, 0, -1};
}

void ProgressCountPosition(ProgressCount* count, int64_t position) {
    count->lastPosition = position;
}

void ProgressCountTransferStarted(ProgressCount* count) {
    count->blockStart = count->lastPosition;
}

void ProgressCountBlockDone(ProgressCount* count, int64_t blockBytes, int sent,
                            int expectedToSend) {
    if (sent) {
        count->done += blockBytes;
    }
    if (sent && !expectedToSend) {
        count->total += blockBytes;
    } else if (!sent && expectedToSend) {
        count->total -= blockBytes;
    }
    count->blockStart = -1;
}

int64_t ProgressCountSent(const ProgressCount* count) {
    if (count->blockStart < 0 || count->lastPosition < count->blockStart) {
        return count->done;
    }
    return count->done + (count->lastPosition - count->blockStart);
}
