// Where the command-line program's output goes: results on standard output, failures and
// (with -v) the log rows on standard error, and the update's progress as one line that
// redraws itself on a terminal or as plain lines otherwise; with --log all of it but the
// progress also in a file, line by line with the time. Any thread may call these.
#pragma once

#include "platform/text.h"

#include <cstdint>

// Where results and the progress go: standard output; standard error, when standard
// output carries the document for scripts (--json); nowhere (-q: errors only).
enum { TERMINAL_TEXT_STDOUT = 0, TERMINAL_TEXT_STDERR = 1, TERMINAL_TEXT_OFF = 2 };

// Once, before any output. verbose: 1 the log rows go to standard error, 2 each message
// sent to the instrument and received from it too, in hex. text: TERMINAL_TEXT_*.
void TerminalStart(int verbose, int text = TERMINAL_TEXT_STDOUT);

// From now on every log row, message, result and error also goes to the file at path,
// appended, each line after the date and time to the millisecond. Before any thread is
// made. 0 with errno set when the file cannot be opened for writing.
int TerminalLogTo(const char* path);

// 1 when the results go to a terminal (the progress line redraws itself).
int TerminalIsInteractive(void);

// One line each.
void TerminalPrint(const char* format, ...) TEXT_FORMAT_CHECK(1, 2);
void TerminalError(const char* format, ...) TEXT_FORMAT_CHECK(1, 2);

// A log row of the update or the inquiry ("Tx Set Mode..."); the program's own rows of the
// same kind by format.
void TerminalLog(const char* text);
void TerminalLogFormat(const char* format, ...) TEXT_FORMAT_CHECK(1, 2);

// The update's status row: the progress line's label. An empty text ends the progress
// line as it stands: the engine clears its status before it puts a failure's text there,
// and a failure or an abort is reported on a line of its own, never painted into the bar.
void TerminalStatus(const char* text);

// The bar's range and position, in bytes of the file.
void TerminalProgressRange(int64_t total);
void TerminalProgressPosition(int64_t position);
// The range changes during the run; position and rate go on.
void TerminalProgressTotal(int64_t total);
// Ends the progress line, so the next output starts on a line of its own.
void TerminalProgressEnd(void);

// While held, the progress line is neither drawn nor redrawn (a question is on screen),
// and the time does not count for the rate.
void TerminalHoldProgress(int hold);

// The program stood still this long (stopped by Ctrl+Z and continued): the rate and the
// time left leave it out.
void TerminalLeaveOut(uint64_t microseconds);
