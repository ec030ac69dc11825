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

struct Terminal {
    int verbose;
    int interactive;
    int hold;
    char status[TEXT_SIZE];
    int64_t total;
    int64_t position;
    ProgressClock clock;
    uint64_t lastDrawUs;
    int plainPercentShown; // -1: none yet
    int lineOpen;          // a progress line is on screen without its newline
};

std::mutex s_lock;
Terminal g_terminal = {0, 0, 0, {0}, 0, 0, {0, 0, 0, 0}, 0, -1, 0};

int TerminalWidth(void) {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return kDefaultWidth;
}

// Clears a progress line on screen so that other output can take its place.
void ClearLineLocked(void) {
    // While held the line is off screen already, and a question may stand in its place.
    if (g_terminal.lineOpen && !g_terminal.hold) {
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
        const double rate = ProgressClockRate(&t.clock, now, t.position);
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

// Leaves the progress line on screen as far as it got and draws no more of it.
void EndLineLocked(void) {
    Terminal& t = g_terminal;
    // A held line is off screen already.
    if (t.lineOpen && !t.hold) {
        DrawLocked(1);
        fputc('\n', stdout);
        fflush(stdout);
    }
    t.lineOpen = 0;
    t.total = 0;
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
    Terminal& t = g_terminal;
    if (text == nullptr || text[0] == '\0') {
        EndLineLocked();
    }
    TextCopy(t.status, sizeof t.status, text != nullptr ? text : "");
    if (t.interactive && t.lineOpen) {
        DrawLocked(1);
    }
}

void TerminalProgressRange(int64_t total) {
    std::lock_guard<std::mutex> guard(s_lock);
    Terminal& t = g_terminal;
    t.total = total;
    t.position = 0;
    const int held = t.clock.heldSinceUs != 0;
    ProgressClockReset(&t.clock);
    ProgressClockHold(&t.clock, PlatformMonotonicUs(), held);
    t.plainPercentShown = -1;
}

void TerminalProgressPosition(int64_t position) {
    std::lock_guard<std::mutex> guard(s_lock);
    Terminal& t = g_terminal;
    ProgressClockCount(&t.clock, PlatformMonotonicUs(), position);
    t.position = position;
    DrawLocked(position >= t.total);
}

void TerminalProgressTotal(int64_t total) {
    std::lock_guard<std::mutex> guard(s_lock);
    g_terminal.total = total;
}

void TerminalProgressEnd(void) {
    std::lock_guard<std::mutex> guard(s_lock);
    EndLineLocked();
}

void TerminalHoldProgress(int hold) {
    std::lock_guard<std::mutex> guard(s_lock);
    if (hold) {
        ClearLineLocked();
    }
    g_terminal.hold = hold;
    ProgressClockHold(&g_terminal.clock, PlatformMonotonicUs(), hold);
    if (!hold) {
        RestoreLineLocked();
    }
}

void TerminalLeaveOut(uint64_t microseconds) {
    std::lock_guard<std::mutex> guard(s_lock);
    ProgressClockLeaveOut(&g_terminal.clock, microseconds);
}
