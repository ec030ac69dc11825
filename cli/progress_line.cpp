#include "cli/progress_line.h"

#include "platform/text.h"

#include <cstring>

namespace {

const int kBarCells = 20;

int64_t Clamp(int64_t position, int64_t total) {
    if (position < 0 || total <= 0) {
        return 0;
    }
    return position > total ? total : position;
}

void FormatKiB(char* out, size_t size, double bytes) {
    TextFormat(out, size, "%.1f", bytes / 1024.0);
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
    const int percent = ProgressPercent(done, total);
    char bar[kBarCells + 1];
    const int filled = total > 0 ? (int)(done * kBarCells / total) : 0;
    for (int i = 0; i < kBarCells; i++) {
        bar[i] = i < filled ? '#' : '-';
    }
    bar[kBarCells] = '\0';

    char doneKiB[32];
    char totalKiB[32];
    FormatKiB(doneKiB, sizeof doneKiB, (double)done);
    FormatKiB(totalKiB, sizeof totalKiB, (double)total);
    char line[TEXT_SIZE];
    TextFormat(line, sizeof line, "%s  [%s] %3d%%  %s/%s KiB", label, bar, percent, doneKiB,
               totalKiB);
    if (bytesPerSecond > 0.0) {
        const long left = (long)((double)(total - done) / bytesPerSecond + 0.5);
        char rateKiB[32];
        FormatKiB(rateKiB, sizeof rateKiB, bytesPerSecond);
        char tail[96];
        TextFormat(tail, sizeof tail, "  %s KiB/s  %ld:%02ld left", rateKiB, left / 60, left % 60);
        TextAppend(line, sizeof line, tail);
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
