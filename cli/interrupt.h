// Ctrl+C and the other stop signals of the command-line program. They never interrupt
// what runs: the program asks for them where it can act on them, between waits.
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

enum { ANSWER_NO = 0, ANSWER_YES = 1, ANSWER_STOPPED = 2 };

// Asks question on standard error and reads one line of standard input, watching for
// signals meanwhile: ANSWER_YES for an answer starting with y or Y, ANSWER_NO for any
// other answer or the end of the input, ANSWER_STOPPED when a signal came first.
int InterruptAsk(const char* question);

// Runs proc on a thread of its own until it ends. A signal meanwhile ends the transport's
// waits (AbortReceive) until proc returns. 1 when proc ended by itself; 0 when a signal
// stopped it.
int RunStoppable(PlatformThreadProc proc);
