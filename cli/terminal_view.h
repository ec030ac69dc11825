// The log view of logview/log_view.h for the command-line program: the engine and the
// version inquiry write their rows as they do in the window, and they land on the
// terminal (cli/terminal.h). The details rows are kept for the program to read.
#pragma once

// The value part of a details row (the version inquiry writes the instrument's version
// into row 2); empty when nothing was written there since the last clear.
void TerminalDetailsValue(int row, char* text, int size);

// The last log row written, shown or not: a run that ends before it has a status row (the
// file cannot be opened) leaves its reason there.
void TerminalLastLogRow(char* text, int size);
