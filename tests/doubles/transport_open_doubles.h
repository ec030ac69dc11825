// Opening and closing of every transport, recorded, for tests that run the main window
// with the in-process transport double (which only sends and receives).
#pragma once

#include <windows.h>

enum OpenDoubleTransport {
    OPEN_DOUBLE_SERIAL = 0,
    OPEN_DOUBLE_MIDI,
    OPEN_DOUBLE_USB_BULK,
    OPEN_DOUBLE_KERNEL_MIDI,
    OPEN_DOUBLE_COUNT,
};

struct OpenDoubleState {
    int openCalls[OPEN_DOUBLE_COUNT];
    int closeCalls[OPEN_DOUBLE_COUNT];
    int isOpen[OPEN_DOUBLE_COUNT];
    int failOpen[OPEN_DOUBLE_COUNT]; // the next opens fail with the transport's text
    char lastMidiOutput[260];
    char lastMidiInput[260];
    int lastSerialPort;
    int lastSerialRate;
};

extern OpenDoubleState g_openDoubles;

void OpenDoublesReset(void);
