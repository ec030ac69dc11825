// Ctrl+C and the other stop signals of the command-line program, and the questions it
// asks. Signals never interrupt what runs: the program asks for them where it can act on
// them, between waits. Questions are asked on the controlling terminal, never on standard
// input or error, which may be a file, a pipe or nothing at all.
#pragma once

#include "platform/platform_thread.h"

enum {
    INTERRUPT_NONE = 0,
    INTERRUPT_ASK = 1,  // Ctrl+C: the user may want to stop
    INTERRUPT_STOP = 2, // SIGTERM or SIGHUP: stop without asking
};

// Once, before any thread is made: every thread made later inherits the blocked signals.
// 0 when the signals cannot be taken over.
int InterruptStart(void);

// The next signal within milliseconds, or INTERRUPT_NONE.
int InterruptWait(int milliseconds);

// The exit status of a run that a signal stopped: 128 + the latest stop signal, as a
// shell reports a process the signal ended (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP); 130
// when none came.
int InterruptExitStatus(void);

// 1 when there is a terminal to ask on: the program has a controlling terminal and runs
// in its foreground. Without one (a service, a script started without a terminal) or in
// the background, where reading the terminal would stop the program, nothing is asked.
int InterruptCanAsk(void);

enum { ANSWER_NO = 0, ANSWER_YES = 1, ANSWER_STOPPED = 2, ANSWER_NO_TERMINAL = 3 };

// Writes text (lines, the last one the question) on the controlling terminal and reads
// one line from it, watching for signals meanwhile: ANSWER_YES for an answer starting
// with y or Y, ANSWER_NO for any other answer or the end of the input, ANSWER_STOPPED
// when a stop signal came first, ANSWER_NO_TERMINAL when there is no terminal to ask on.
int InterruptAsk(const char* text);

// Runs proc on a thread of its own until it ends. A signal meanwhile ends the transport's
// waits (AbortReceive) until proc returns. 1 when proc ended by itself; 0 when a signal
// stopped it.
int RunStoppable(PlatformThreadProc proc);
