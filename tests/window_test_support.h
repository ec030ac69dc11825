// For tests that run windows and the MIDI service under Wine: the thread's messages
// pumped, its message boxes read and closed, and the stand-in winmm.dll's controls.
#pragma once

#include "sim/winmm_standin.h"

#include <windows.h>

#include <string>
#include <vector>

// The texts of the message boxes MessageBoxCloser has closed, oldest first.
extern std::vector<std::string> g_messageBoxes;

// What else the closer read of each box (same order): what the user saw of it.
struct SeenMessageBox {
    std::string caption;
    HWND owner;
    std::vector<int> buttons; // identifiers of the visible buttons (IDOK, IDCANCEL, ...)
    bool icon;                // an icon is shown
};
extern std::vector<SeenMessageBox> g_messageBoxDetails;

// The arguments of every MessageBoxA call of this program, oldest first, once
// RecordMessageBoxCalls has run: the flags the box itself does not show (Wine brings
// every new box to the foreground, asked or not).
struct MessageBoxCall {
    HWND owner;
    bool hasCaption;
    UINT type;
};
extern std::vector<MessageBoxCall> g_messageBoxCalls;

// Routes this program's imported MessageBoxA through the recorder. False when the
// program does not import it.
bool RecordMessageBoxCalls(void);

// A test failure unless box number index (closed and recorded) was owned by owner, had
// no caption of its own (the platform's "Error"), only an OK button and no icon, and was
// asked to come to the foreground.
void ExpectPlainMessageBox(size_t index, HWND owner);

// A thread timer procedure (SetTimer(NULL, 0, 20, MessageBoxCloser)): it runs inside any
// modal loop of this thread, so every message box is read into g_messageBoxes and
// g_messageBoxDetails and closed.
void CALLBACK MessageBoxCloser(HWND, UINT, UINT_PTR, DWORD);

// Dispatches this thread's messages until done() holds or about milliseconds have
// passed; returns whether done() came to hold.
template <typename Done> bool PumpMessagesUntil(Done done, int milliseconds = 10000) {
    for (int waited = 0; waited < milliseconds; waited++) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (done()) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

// The stand-in's control exports, found in the winmm.dll this process loaded.
struct StandinControl {
    decltype(&StandinReset) reset;
    decltype(&StandinInject) inject;
    decltype(&StandinPendingInput) pendingInput;
    decltype(&StandinOpenDevice) openDevice;
    decltype(&StandinOpenPortCount) openPortCount;
    decltype(&StandinServiceThreads) serviceThreads;
    decltype(&StandinDroppedInputBytes) droppedInputBytes;
    decltype(&StandinForeignBytes) foreignBytes;
    decltype(&StandinMessageCount) messageCount;
    decltype(&StandinMessage) message;
};

extern StandinControl g_standin;

// False when the winmm.dll beside the test is not the stand-in (or lacks an export).
bool BindStandin(void);
