#include "cli/terminal.h"

#include "cli/progress_line.h"
#include "platform/platform_thread.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

const int kDefaultWidth = 80;
// A redraw at most this often: a fast link acknowledges hundreds of packets a second.
const uint64_t kRedrawUs = 100000;
const int kPlainStepPercent = 10;
// Below this much transfer time a rate would be mostly noise.
const double kRateMinSeconds = 0.5;

struct Terminal {
    int verbose;
    int interactive;
    int hold;
    char status[TEXT_SIZE];
    int64_t total;
    int64_t position;
    int64_t clockPosition; // where the rate's clock started
    uint64_t clockStartUs; // 0: not started
    uint64_t lastDrawUs;
    int plainPercentShown; // -1: none yet
    int lineOpen;          // a progress line is on screen without its newline
};

std::mutex s_lock;
Terminal g_terminal = {0, 0, 0, {0}, 0, 0, 0, 0, 0, -1, 0};

int TerminalWidth(void) {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return kDefaultWidth;
}

// Clears a progress line on screen so that other output can take its place.
void ClearLineLocked(void) {
    if (g_terminal.lineOpen) {
        fputs("\r\033[K", stdout);
        fflush(stdout);
    }
}

void DrawLocked(int force) {
    Terminal& t = g_terminal;
    // Until the engine names what it is doing there is nothing to label the bar with.
    if (t.hold || t.total <= 0 || t.status[0] == '\0') {
        return;
    }
    const uint64_t now = PlatformMonotonicUs();
    char line[TEXT_SIZE];
    if (t.interactive) {
        if (!force && t.lineOpen && now - t.lastDrawUs < kRedrawUs) {
            return;
        }
        // The rate counts from where the clock started; the bar shows the whole file.
        double rate = 0.0;
        const double seconds = t.clockStartUs != 0 ? (double)(now - t.clockStartUs) / 1e6 : 0.0;
        if (seconds >= kRateMinSeconds && t.position > t.clockPosition) {
            rate = (double)(t.position - t.clockPosition) / seconds;
        }
        FormatProgressLine(line, sizeof line, t.status, t.position, t.total, rate, TerminalWidth());
        fprintf(stdout, "\r\033[K%s", line);
        fflush(stdout);
        t.lineOpen = 1;
        t.lastDrawUs = now;
        return;
    }
    const int percent = ProgressPercent(t.position, t.total);
    const int step = percent / kPlainStepPercent * kPlainStepPercent;
    if (step > t.plainPercentShown) {
        FormatProgressPlain(line, sizeof line, t.status, t.position, t.total);
        fprintf(stdout, "%s\n", line);
        fflush(stdout);
        t.plainPercentShown = step;
    }
}

void RestoreLineLocked(void) {
    if (g_terminal.lineOpen) {
        DrawLocked(1);
    }
}

void PrintLocked(FILE* stream, const char* format, va_list arguments) {
    ClearLineLocked();
    vfprintf(stream, format, arguments);
    fputc('\n', stream);
    fflush(stream);
    RestoreLineLocked();
}

} // namespace

void TerminalStart(int verbose) {
    std::lock_guard<std::mutex> guard(s_lock);
    g_terminal.verbose = verbose;
    g_terminal.interactive = isatty(STDOUT_FILENO) ? 1 : 0;
}

int TerminalIsInteractive(void) {
    std::lock_guard<std::mutex> guard(s_lock);
    return g_terminal.interactive;
}

void TerminalPrint(const char* format, ...) {
    std::lock_guard<std::mutex> guard(s_lock);
    va_list arguments;
    va_start(arguments, format);
    PrintLocked(stdout, format, arguments);
    va_end(arguments);
}

void TerminalError(const char* format, ...) {
    std::lock_guard<std::mutex> guard(s_lock);
    va_list arguments;
    va_start(arguments, format);
    PrintLocked(stderr, format, arguments);
    va_end(arguments);
}

void TerminalLog(const char* text) {
    std::lock_guard<std::mutex> guard(s_lock);
    if (!g_terminal.verbose || text == nullptr || text[0] == '\0') {
        return;
    }
    ClearLineLocked();
    fprintf(stderr, "%s\n", text);
    fflush(stderr);
    RestoreLineLocked();
}

void TerminalStatus(const char* text) {
    std::lock_guard<std::mutex> guard(s_lock);
    TextCopy(g_terminal.status, sizeof g_terminal.status, text != nullptr ? text : "");
    if (g_terminal.interactive && g_terminal.lineOpen) {
        DrawLocked(1);
    }
}

void TerminalProgressRange(int64_t total) {
    std::lock_guard<std::mutex> guard(s_lock);
    Terminal& t = g_terminal;
    t.total = total;
    t.position = 0;
    t.clockStartUs = 0;
    t.plainPercentShown = -1;
}

void TerminalProgressPosition(int64_t position) {
    std::lock_guard<std::mutex> guard(s_lock);
    Terminal& t = g_terminal;
    if (t.clockStartUs == 0 && position > 0) {
        // The first packet's bytes are not yet timed: the clock starts as they are counted.
        t.clockStartUs = PlatformMonotonicUs();
        t.clockPosition = position;
    }
    t.position = position;
    DrawLocked(position >= t.total);
}

void TerminalProgressEnd(void) {
    std::lock_guard<std::mutex> guard(s_lock);
    Terminal& t = g_terminal;
    if (t.lineOpen) {
        fputc('\n', stdout);
        fflush(stdout);
        t.lineOpen = 0;
    }
    t.total = 0;
}

void TerminalHoldProgress(int hold) {
    std::lock_guard<std::mutex> guard(s_lock);
    if (hold) {
        ClearLineLocked();
    }
    g_terminal.hold = hold;
    if (!hold) {
        RestoreLineLocked();
    }
}
