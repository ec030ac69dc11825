// The log view of logview/log_view.h for the command-line program: the engine and the
// version inquiry write their rows as they do in the window, and they land on the terminal
// (cli/terminal.h). The program reads nothing back from them: what it reports comes from
// the values the core hands back.
#include "cli/terminal.h"
#include "logview/log_view.h"

// Every row is its own line on a terminal: a row the window rewrites in place (the packet
// counter) reads best there as the sequence it was.
void LogWrite(int flags, const char* text) {
    (void)flags;
    TerminalLog(text);
}

void LogClear(void) {}

// The details rows describe the file and the instrument in the window; the program tells
// both from the values the core hands back.
void InfoClearDetails(void) {}

void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight) {
    (void)x;
    (void)row;
    (void)text;
    (void)bold;
    (void)clearRow;
    (void)alignRight;
}

void InfoClearStatus(void) {
    TerminalStatus("");
}

// Only the first status row carries the update's state; the second holds the window's
// own offer, which the program words itself.
void InfoPutStatus(int x, int row, const char* text, int clearRow) {
    (void)x;
    (void)clearRow;
    if (row == 0) {
        TerminalStatus(text);
    }
}
