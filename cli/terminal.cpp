#include "cli/terminal.h"

#include "cli/json_report.h"
#include "cli/progress_line.h"
#include "platform/platform_thread.h"
#include "transports/sysex.h"
#include "update/transport.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

const int kDefaultWidth = 80;
// A redraw at most this often: a fast link acknowledges hundreds of packets a second.
const uint64_t kRedrawUs = 100000;
const int kPlainStepPercent = 10;

struct Terminal {
    int verbose;
    FILE* text; // results and progress; null: none
    FILE* log;  // --log's file; null: none
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
Terminal g_terminal = {0, stdout, nullptr, 0, 0, {0}, 0, 0, {0, 0, 0, 0}, 0, -1, 0};

int TerminalWidth(void) {
    struct winsize size;
    if (g_terminal.text != nullptr && ioctl(fileno(g_terminal.text), TIOCGWINSZ, &size) == 0 &&
        size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return kDefaultWidth;
}

// Clears a progress line on screen so that other output can take its place.
void ClearLineLocked(void) {
    // While held the line is off screen already, and a question may stand in its place.
    if (g_terminal.lineOpen && !g_terminal.hold) {
        fputs("\r\033[K", g_terminal.text);
        fflush(g_terminal.text);
    }
}

void DrawLocked(int force) {
    Terminal& t = g_terminal;
    // Until the engine names what it is doing there is nothing to label the bar with.
    if (t.text == nullptr || t.hold || t.total <= 0 || t.status[0] == '\0') {
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
        fprintf(t.text, "\r\033[K%s", line);
        fflush(t.text);
        t.lineOpen = 1;
        t.lastDrawUs = now;
        return;
    }
    const int percent = ProgressPercent(t.position, t.total);
    const int step = percent / kPlainStepPercent * kPlainStepPercent;
    if (step > t.plainPercentShown) {
        FormatProgressPlain(line, sizeof line, t.status, t.position, t.total);
        fprintf(t.text, "%s\n", line);
        fflush(t.text);
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
        fputc('\n', t.text);
        fflush(t.text);
    }
    t.lineOpen = 0;
    t.total = 0;
}

// A line of any length: a command given back to the user holds the paths it was given.
std::string FormatLine(const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = vsnprintf(nullptr, 0, format, arguments);
    std::string line(length > 0 ? (size_t)length + 1 : 1, '\0');
    vsnprintf(&line[0], line.size(), format, again);
    va_end(again);
    line.resize(length > 0 ? (size_t)length : 0);
    return line;
}

// A line of the log file, after the date and time it was written.
void LogLineLocked(const char* text) {
    FILE* log = g_terminal.log;
    if (log == nullptr) {
        return;
    }
    struct timespec now;
    struct tm local;
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    fprintf(log, "%s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text);
    // Line by line, so that the log holds everything up to a crash or a kill.
    fflush(log);
}

void PrintLocked(FILE* stream, const char* line) {
    LogLineLocked(line);
    if (stream == nullptr) {
        return;
    }
    ClearLineLocked();
    fprintf(stream, "%s\n", line);
    fflush(stream);
    RestoreLineLocked();
}

// A message as it went to the instrument or came from it: "Tx hex: F0 42 ... F7". Called
// between a message's send and its reply, so the line is put together in place, never on
// the heap; a message longer than any the protocol makes is cut.
void ShowMessage(int direction, const unsigned char* bytes, int length) {
    static const char kDigits[] = "0123456789ABCDEF";
    static char s_line[8 + 3 * SYSEX_MESSAGE_SIZE_MAX + 1];
    std::lock_guard<std::mutex> guard(s_lock);
    int at = snprintf(s_line, sizeof s_line, "%s",
                      direction == TRANSPORT_TAP_SENT ? "Tx hex:" : "Rx hex:");
    for (int i = 0; i < length && i < SYSEX_MESSAGE_SIZE_MAX; i++) {
        s_line[at++] = ' ';
        s_line[at++] = kDigits[bytes[i] >> 4];
        s_line[at++] = kDigits[bytes[i] & 0x0F];
    }
    s_line[at] = '\0';
    LogLineLocked(s_line);
    if (g_terminal.verbose >= 2) {
        ClearLineLocked();
        fprintf(stderr, "%s\n", s_line);
        fflush(stderr);
        RestoreLineLocked();
    }
}

} // namespace

void TerminalStart(int verbose, int text) {
    std::lock_guard<std::mutex> guard(s_lock);
    g_terminal.verbose = verbose;
    g_terminal.text = text == TERMINAL_TEXT_STDOUT   ? stdout
                      : text == TERMINAL_TEXT_STDERR ? stderr
                                                     : nullptr;
    g_terminal.interactive = g_terminal.text != nullptr && isatty(fileno(g_terminal.text)) ? 1 : 0;
    if (verbose >= 2) {
        TransportSetTap(ShowMessage);
    }
}

int TerminalLogTo(const char* path) {
    FILE* log = fopen(path, "ae");
    if (log == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(s_lock);
    g_terminal.log = log;
    TransportSetTap(ShowMessage);
    return 1;
}

int TerminalIsInteractive(void) {
    std::lock_guard<std::mutex> guard(s_lock);
    return g_terminal.interactive;
}

void TerminalPrint(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string line = FormatLine(format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(s_lock);
    PrintLocked(g_terminal.text, line.c_str());
}

void TerminalError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string line = FormatLine(format, arguments);
    va_end(arguments);
    JsonReportError(line.c_str());
    std::lock_guard<std::mutex> guard(s_lock);
    PrintLocked(stderr, line.c_str());
}

void TerminalLogFormat(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string row = FormatLine(format, arguments);
    va_end(arguments);
    TerminalLog(row.c_str());
}

void TerminalLog(const char* text) {
    std::lock_guard<std::mutex> guard(s_lock);
    if (text == nullptr || text[0] == '\0') {
        return;
    }
    LogLineLocked(text);
    if (!g_terminal.verbose) {
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
