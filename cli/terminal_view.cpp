#include "cli/terminal_view.h"

#include "cli/terminal.h"
#include "logview/log_view.h"
#include "platform/text.h"

#include <mutex>

namespace {

const int kDetailsRows = 4;

std::mutex s_detailsLock;
char s_detailsValues[kDetailsRows][TEXT_SIZE];
char s_lastLogRow[TEXT_SIZE];

} // namespace

void TerminalDetailsValue(int row, char* text, int size) {
    std::lock_guard<std::mutex> guard(s_detailsLock);
    TextCopy(text, (size_t)size, row >= 0 && row < kDetailsRows ? s_detailsValues[row] : "");
}

// Every row is its own line on a terminal: a row the window rewrites in place (the packet
// counter) reads best there as the sequence it was.
void LogWrite(int flags, const char* text) {
    (void)flags;
    if (text != nullptr && text[0] != '\0') {
        std::lock_guard<std::mutex> guard(s_detailsLock);
        TextCopy(s_lastLogRow, sizeof s_lastLogRow, text);
    }
    TerminalLog(text);
}

void TerminalLastLogRow(char* text, int size) {
    std::lock_guard<std::mutex> guard(s_detailsLock);
    TextCopy(text, (size_t)size, s_lastLogRow);
}

void LogClear(void) {}

void InfoClearDetails(void) {
    std::lock_guard<std::mutex> guard(s_detailsLock);
    for (char* value : s_detailsValues) {
        value[0] = '\0';
    }
}

// A row's label is drawn right-aligned, its value left-aligned after it: the value is
// what the program reads back.
void InfoPutDetails(int x, int row, const char* text, int bold, int clearRow, int alignRight) {
    (void)x;
    (void)bold;
    (void)clearRow;
    if (alignRight || row < 0 || row >= kDetailsRows) {
        return;
    }
    std::lock_guard<std::mutex> guard(s_detailsLock);
    TextCopy(s_detailsValues[row], TEXT_SIZE, text != nullptr ? text : "");
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
